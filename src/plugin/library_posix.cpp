// The library's load and unload on ELF systems. The load waits for the
// host's first call of an export: a constructor of the library could run
// before the dynamic initialisation of its other static objects (their order
// across translation units is not fixed, and link-time optimisation merges
// them), while a call made after dlopen has returned finds them all made.
// Unloading is registered then as an exit handler of this library (tied to
// its DSO handle), so that it runs before the destructors of the library's
// static objects, both when the host closes the library and when the host
// process exits with the library still open.
#include <mutex>

#include "plugin/plugin.h"

extern "C" int __cxa_atexit(void (*function)(void*), void* argument, void* dso);
extern "C" void* __dso_handle;

namespace tabulon {

namespace {

std::once_flag loadOnce;

void OnLibraryUnload(void*) { LibraryUnload(); }

}  // namespace

void EnsureLibraryLoaded() noexcept {
  std::call_once(loadOnce, [] {
    LibraryLoad();
    __cxa_atexit(OnLibraryUnload, nullptr, &__dso_handle);
  });
}

}  // namespace tabulon

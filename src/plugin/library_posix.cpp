// The library's load and unload on ELF systems. Loading runs from the
// library's constructor; unloading is registered from there as an exit
// handler of this library (tied to its DSO handle), so that it runs before
// the destructors of the library's static objects, both when the host closes
// the library and when the host process exits with the library still open.
#include "plugin/plugin.h"

extern "C" int __cxa_atexit(void (*function)(void*), void* argument, void* dso);
extern "C" void* __dso_handle;

namespace {

void OnLibraryUnload(void*) { tabulon::LibraryUnload(); }

__attribute__((constructor)) void OnLibraryLoad() {
  tabulon::LibraryLoad();
  __cxa_atexit(OnLibraryUnload, nullptr, &__dso_handle);
}

}  // namespace

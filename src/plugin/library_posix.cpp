// The library's load and unload on ELF systems. Loading runs from the
// library's constructor; unloading is registered with atexit from there, so
// that it runs before the destructors of the library's static objects, both
// when the host closes the library and when the host process exits with the
// library still open.
#include <cstdlib>

#include "plugin/plugin.h"

namespace {

void OnLibraryUnload() { tabulon::LibraryUnload(); }

__attribute__((constructor)) void OnLibraryLoad() {
  tabulon::LibraryLoad();
  std::atexit(OnLibraryUnload);
}

}  // namespace

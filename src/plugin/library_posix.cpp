// The library's load and unload on ELF systems: the dynamic loader runs
// these when the host opens and closes the library.
#include "plugin/plugin.h"

namespace {

__attribute__((constructor)) void OnLibraryLoad() { tabulon::LibraryLoad(); }
__attribute__((destructor)) void OnLibraryUnload() { tabulon::LibraryUnload(); }

}  // namespace

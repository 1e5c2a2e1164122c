// The library's load and unload on Windows: the loader calls DllMain when
// the host loads the library (process attach) and when it unloads it or the
// process ends (process detach). The runtime has initialised the library's
// static objects before the attach call and destroys them after the detach
// call.
#include <windows.h>

#include "platform/platform.h"
#include "plugin/plugin.h"

// DllMain has loaded the library before any export can be called.
void tabulon::EnsureLibraryLoaded() noexcept {}

extern "C" BOOL WINAPI DllMain(HINSTANCE /*instance*/, DWORD reason, LPVOID /*reserved*/) {
  switch (reason) {
    case DLL_PROCESS_ATTACH: {
      // The host's thread may be in any floating-point state here too.
      tabulon::platform::TFloatModeGuard floatMode;
      // The locale's decimal symbol is read once, here, in the loading
      // thread, so every answer writes numbers the same way.
      tabulon::platform::DecimalSymbol();
      tabulon::LibraryLoad();
      break;
    }
    case DLL_PROCESS_DETACH:
      tabulon::LibraryUnload();
      break;
    default:
      // Thread attach and detach: nothing to do.
      break;
  }
  return TRUE;
}

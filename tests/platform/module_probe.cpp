// A small DLL built like Tabulon.qdx (stdcall exports renamed by a .def file,
// DllMain, the static runtime, the platform library inside). platform_test
// loads it as the host loads the plug-in.
#include <windows.h>

#include <cstring>

#include "platform/exports.h"
#include "platform/platform.h"

namespace {
int process_attaches = 0;
}

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) ++process_attaches;
  return TRUE;
}

// Copies the module's own file name (as the platform layer finds it) into
// buffer; returns its length.
TABULON_EXPORT uint32_t TABULON_STDCALL probeModuleFileName(char16_t* buffer, uint32_t capacity) {
  const std::u16string name = tabulon::platform::ModuleFileName();
  if (name.size() >= capacity) return 0;
  std::memcpy(buffer, name.c_str(), (name.size() + 1) * sizeof(char16_t));
  return static_cast<uint32_t>(name.size());
}

// Hands text back in an answer block, as the request functions do.
TABULON_EXPORT char* TABULON_STDCALL probeAnswer(const char* text) {
  const std::size_t size = std::strlen(text) + 1;
  char* block = tabulon::platform::AllocHostBlock(size);
  if (block != nullptr) std::memcpy(block, text, size);
  return block;
}

TABULON_EXPORT int TABULON_STDCALL probeAttachCount() { return process_attaches; }

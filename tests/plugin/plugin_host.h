// A host for tests: loads a private copy of the built Tabulon.qdx as a
// server does (LoadLibrary on Windows, dlopen elsewhere), from a fresh
// temporary directory that also holds its configuration file (and whatever
// workbook files a test puts there). Every TPluginHost is its own instance
// of the library.
//
// Every answer read is checked to be well-formed XML; one that is not fails
// the running test.
//
// Needs TABULON_PLUGIN_PATH (the built library); tabulon_use_plugin_host()
// in tests/CMakeLists.txt sets it.
#pragma once

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#include <stdlib.h>
#endif

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>

#include "support/temp_dir.h"
#include "support/xml_check.h"

namespace tabulon::test {

class TPluginHost {
 public:
#ifdef _WIN32
  // The host's calling convention: the callee pops its arguments.
  using IniSocketXtraFn = const char*(__stdcall*)(int32_t);
  using RequestFn = char*(__stdcall*)(int32_t, int32_t, const char*, const char*, const char*, const char*);
#else
  using IniSocketXtraFn = const char* (*)(int32_t);
  using RequestFn = char* (*)(int32_t, int32_t, const char*, const char*, const char*, const char*);
#endif

  // The copy of the library in a new directory; `config`, when given, is
  // written beside it as Tabulon.qdx.config. Nothing is loaded yet.
  explicit TPluginHost(const std::optional<std::string>& config = std::nullopt) {
    dir_ = MakeTempDirectory("tabulon-host");
    std::filesystem::copy_file(TABULON_PLUGIN_PATH, Library());
    if (config) WriteFile("Tabulon.qdx.config", *config);
  }
  ~TPluginHost() {
    Unload();
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  TPluginHost(const TPluginHost&) = delete;
  TPluginHost& operator=(const TPluginHost&) = delete;

  // A configuration naming `file` with the read lists given as attributes
  // of the read element (by default every list "##": empty names may read).
  static std::string Config(const std::string& file,
                            const std::string& readAttributes = R"(domains="" rooms="" nickNames="")") {
    return "<config><data file=\"" + file + "\"><read " + readAttributes +
           R"( /><write domains="" rooms="" nickNames="" /></data></config>)";
  }

  const std::filesystem::path& Dir() const { return dir_; }
  std::filesystem::path Library() const { return dir_ / "Tabulon.qdx"; }
  std::filesystem::path Path(const std::string& name) const { return dir_ / name; }

  void WriteFile(const std::string& name, const std::string& content) const {
    std::ofstream out(dir_ / name, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    if (!out) throw std::runtime_error("cannot write " + name);
  }
  void CopyFile(const std::filesystem::path& from, const std::string& name) const {
    std::filesystem::copy_file(from, dir_ / name, std::filesystem::copy_options::overwrite_existing);
  }

  // Loads the copy: runs the library's load steps.
  void Load() {
#ifdef _WIN32
    handle_ = LoadLibraryW(Library().wstring().c_str());
    if (handle_ == nullptr) throw std::runtime_error("LoadLibrary: error " + std::to_string(GetLastError()));
#else
    handle_ = dlopen(Library().c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) throw std::runtime_error(std::string("dlopen: ") + dlerror());
#endif
    ini_ = reinterpret_cast<IniSocketXtraFn>(Symbol("iniSocketXtra"));
    cells_ = reinterpret_cast<RequestFn>(Symbol("getCellValueRef"));
    block_ = reinterpret_cast<RequestFn>(Symbol("getMultiCellValueRef"));
  }
  // The address of an export of the loaded library; throws when it has none.
  void* Symbol(const char* name) {
#ifdef _WIN32
    void* p = reinterpret_cast<void*>(GetProcAddress(handle_, name));
#else
    void* p = dlsym(handle_, name);
#endif
    if (p == nullptr) throw std::runtime_error(std::string("no export ") + name);
    return p;
  }
  // Unloads the library (its unload steps run); a later Load loads it anew.
  void Unload() {
    if (handle_ == nullptr) return;
#ifdef _WIN32
    FreeLibrary(handle_);
#else
    dlclose(handle_);
#endif
    handle_ = nullptr;
  }
  // iniSocketXtra.
  const char* Init(int32_t hostVersion = 0x0100) { return ini_(hostVersion); }
  // Load and Init.
  TPluginHost& Start() {
    Load();
    Init();
    return *this;
  }

  // getCellValueRef / getMultiCellValueRef; nullopt for a null answer. The
  // answer block is released as the host does: GlobalFree(GlobalHandle(p))
  // on Windows, free() elsewhere.
  std::optional<std::string> Request(const std::string& xml, const std::string& nick = "",
                                     const std::string& room = "", const std::string& domain = "") {
    return Call(cells_, nick.c_str(), room.c_str(), domain.c_str(), xml.c_str());
  }
  std::optional<std::string> MultiRequest(const std::string& xml, const std::string& nick = "",
                                          const std::string& room = "", const std::string& domain = "") {
    return Call(block_, nick.c_str(), room.c_str(), domain.c_str(), xml.c_str());
  }
  // The same with any pointers, null ones included.
  std::optional<std::string> RawRequest(bool block, const char* nick, const char* room, const char* domain,
                                        const char* request) {
    return Call(block ? block_ : cells_, nick, room, domain, request);
  }

 private:
  static std::optional<std::string> Call(RequestFn fn, const char* nick, const char* room, const char* domain,
                                         const char* request) {
    char* answer = fn(0, 0, nick, room, domain, request);
    if (answer == nullptr) return std::nullopt;
    std::string text(answer);
#ifdef _WIN32
    // A movable global memory block, unlocked: its handle frees it.
    HGLOBAL block = GlobalHandle(answer);
    if (block == nullptr || GlobalFree(block) != nullptr) throw std::runtime_error("answer block not freed");
#else
    free(answer);
#endif
    const std::string error = CheckXmlWellFormed(AsUtf8(text));
    if (!error.empty()) ADD_FAILURE() << "answer is no well-formed XML (" << error << "): " << text;
    return text;
  }

  // The answer as UTF-8. Cell values are UTF-8 on every system, the rest of
  // an answer host text: on Windows a failure answer is all host text (the
  // ANSI code page), a success answer has only ASCII outside its values.
  static std::string AsUtf8(const std::string& answer) {
#ifdef _WIN32
    if (answer.rfind("<result state=\"error\">", 0) != 0) return answer;
    const int n = static_cast<int>(answer.size());
    std::wstring wide(static_cast<std::size_t>(n), L'\0');
    wide.resize(static_cast<std::size_t>(MultiByteToWideChar(CP_ACP, 0, answer.data(), n, wide.data(), n)));
    const int wn = static_cast<int>(wide.size());
    std::string utf8(static_cast<std::size_t>(wn) * 3, '\0');
    utf8.resize(static_cast<std::size_t>(
        WideCharToMultiByte(CP_UTF8, 0, wide.data(), wn, utf8.data(), wn * 3, nullptr, nullptr)));
    return utf8;
#else
    return answer;
#endif
  }

  std::filesystem::path dir_;
#ifdef _WIN32
  HMODULE handle_ = nullptr;
#else
  void* handle_ = nullptr;
#endif
  IniSocketXtraFn ini_ = nullptr;
  RequestFn cells_ = nullptr;
  RequestFn block_ = nullptr;
};

// The failure answer with a message.
inline std::string ErrorAnswer(const std::string& message) {
  return "<result state=\"error\"><error>" + message + "</error></result>";
}

}  // namespace tabulon::test

// A host for tests: loads a private copy of the built Tabulon.qdx with
// dlopen, as a server does, from a fresh temporary directory that also holds
// its configuration file (and whatever workbook files a test puts there).
// Every TPluginHost is its own instance of the library.
//
// Needs TABULON_PLUGIN_PATH (the built library); tabulon_use_plugin_host()
// in tests/CMakeLists.txt sets it.
#pragma once

#include <dlfcn.h>
#include <stdlib.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>

namespace tabulon::test {

class TPluginHost {
 public:
  using IniSocketXtraFn = const char* (*)(int32_t);
  using RequestFn = char* (*)(int32_t, int32_t, const char*, const char*, const char*, const char*);

  // The copy of the library in a new directory; `config`, when given, is
  // written beside it as Tabulon.qdx.config. Nothing is loaded yet.
  explicit TPluginHost(const std::optional<std::string>& config = std::nullopt) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/tabulon-host-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    dir_ = pattern;
    std::filesystem::copy_file(TABULON_PLUGIN_PATH, Library());
    if (config) WriteFile("Tabulon.qdx.config", *config);
  }
  ~TPluginHost() {
    if (handle_ != nullptr) dlclose(handle_);
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

  // dlopen of the copy: runs the library's load steps.
  void Load() {
    handle_ = dlopen(Library().c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) throw std::runtime_error(std::string("dlopen: ") + dlerror());
    ini_ = reinterpret_cast<IniSocketXtraFn>(Symbol("iniSocketXtra"));
    cells_ = reinterpret_cast<RequestFn>(Symbol("getCellValueRef"));
    block_ = reinterpret_cast<RequestFn>(Symbol("getMultiCellValueRef"));
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
  // answer block is released with free(), as the host does.
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
  void* Symbol(const char* name) {
    void* p = dlsym(handle_, name);
    if (p == nullptr) throw std::runtime_error(std::string("dlsym: ") + name);
    return p;
  }
  static std::optional<std::string> Call(RequestFn fn, const char* nick, const char* room, const char* domain,
                                         const char* request) {
    char* answer = fn(0, 0, nick, room, domain, request);
    if (answer == nullptr) return std::nullopt;
    std::string text(answer);
    free(answer);
    return text;
  }

  std::filesystem::path dir_;
  void* handle_ = nullptr;
  IniSocketXtraFn ini_ = nullptr;
  RequestFn cells_ = nullptr;
  RequestFn block_ = nullptr;
};

// The failure answer with a message.
inline std::string ErrorAnswer(const std::string& message) {
  return "<result state=\"error\"><error>" + message + "</error></result>";
}

}  // namespace tabulon::test

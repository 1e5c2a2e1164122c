// tabulon-query: a command-line host for Tabulon.qdx. It loads the library
// as a server does, calls iniSocketXtra, sends the requests given on the
// command line as one caller and prints the answers.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "plugin/exports.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace {

using IniSocketXtraFn = const char*(TABULON_STDCALL*)(int32_t);
using RequestFn = char*(TABULON_STDCALL*)(int32_t, int32_t, const char*, const char*, const char*, const char*);

// ---- Loading the library: the only platform-specific lines ------------------------
#if defined(_WIN32)
void* OpenLibrary(const std::string& path, std::string& error) {
  HMODULE library = LoadLibraryA(path.c_str());
  if (library == nullptr) error = "LoadLibrary failed with error " + std::to_string(GetLastError());
  return reinterpret_cast<void*>(library);
}
void* LibrarySymbol(void* library, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}
void CloseLibrary(void* library) { FreeLibrary(static_cast<HMODULE>(library)); }
// The host owns every answer block, a block of global memory.
void FreeAnswer(char* answer) { GlobalFree(GlobalHandle(answer)); }
#else
void* OpenLibrary(const std::string& path, std::string& error) {
  void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) error = dlerror();
  return library;
}
void* LibrarySymbol(void* library, const char* name) { return dlsym(library, name); }
void CloseLibrary(void* library) { dlclose(library); }
// The host owns every answer block; on this platform it is released with free().
void FreeAnswer(char* answer) { free(answer); }
#endif
// ------------------------------------------------------------------------------------

constexpr const char* kHelp = R"(Usage: tabulon-query --plugin PATH [options] REQUEST...

Loads the plug-in library PATH (Tabulon.qdx) as a server does, with its
configuration file Tabulon.qdx.config beside it, calls iniSocketXtra and
sends each REQUEST in the order given, as one caller. Each answer is
printed as it came, one per line, or as a table with --table.

Requests:
  --cells "S!REF S!REF ..."   getCellValueRef for the listed cells; S is the
                              1-based sheet number (default 1 when "S!" is
                              left out), REF an A1 reference such as B3 or $C$10
  --range "S!REF:REF"         getMultiCellValueRef for the block between two
                              corners, column by column
  --request 'XML'             getCellValueRef with a request text of your own
  --multi 'XML'               getMultiCellValueRef with a request text of your own

Options:
  --plugin PATH       the library to load (required)
  --nick NAME         the caller's nickname (default empty)
  --room NAME         the caller's room (default empty)
  --domain NAME       the caller's domain (default empty)
  --table             print sheet, cell and value as an aligned table;
                      a failure prints "error: MESSAGE"
  --show-requests     print each request text before its answer
  --help              this text

Exit status: 0 when every answer was "ok", 1 when an answer was an error or
missing, 2 when the command line or the library could not be used.

Examples:
  tabulon-query --plugin ./Tabulon.qdx --cells "1!B3 2!A1"
  tabulon-query --plugin ./Tabulon.qdx --table --range "1!A1:C4" --domain main
  tabulon-query --plugin ./Tabulon.qdx --nick ann \
      --request '<cells><c sheet="1" cell="B3"/></cells>'
  tabulon-query --plugin ./Tabulon.qdx --multi '<range><r sheet="1" cellMin="A1" cellMax="B2"/></range>'
)";

struct Request {
  bool block = false;
  std::string text;
};

std::string AttributeValue(std::string_view text) {
  std::string out;
  for (const char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out.push_back(c);
    }
  }
  return out;
}

// "S!REF" -> sheet text and reference; sheet "1" when there is no "!".
void SplitSheet(std::string_view item, std::string& sheet, std::string& ref) {
  const std::size_t bang = item.find('!');
  if (bang == std::string_view::npos) {
    sheet = "1";
    ref = std::string(item);
  } else {
    sheet = std::string(item.substr(0, bang));
    ref = std::string(item.substr(bang + 1));
  }
}

std::string CellsRequest(std::string_view list) {
  std::string text = "<cells>";
  std::size_t at = 0;
  while (at < list.size()) {
    const std::size_t start = list.find_first_not_of(" \t,", at);
    if (start == std::string_view::npos) break;
    std::size_t end = list.find_first_of(" \t,", start);
    if (end == std::string_view::npos) end = list.size();
    std::string sheet, ref;
    SplitSheet(list.substr(start, end - start), sheet, ref);
    text += "<c sheet=\"" + AttributeValue(sheet) + "\" cell=\"" + AttributeValue(ref) + "\"/>";
    at = end;
  }
  return text + "</cells>";
}

std::string RangeRequest(std::string_view range) {
  std::string sheet, corners;
  SplitSheet(range, sheet, corners);
  const std::size_t colon = corners.find(':');
  const std::string first = corners.substr(0, colon);
  const std::string last = colon == std::string::npos ? first : corners.substr(colon + 1);
  return "<range><r sheet=\"" + AttributeValue(sheet) + "\" cellMin=\"" + AttributeValue(first) + "\" cellMax=\"" +
         AttributeValue(last) + "\"/></range>";
}

std::string Unescape(std::string_view text) {
  static constexpr struct {
    std::string_view entity;
    char c;
  } kEntities[] = {{"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}};
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    bool replaced = false;
    if (text[i] == '&') {
      for (const auto& e : kEntities) {
        if (text.substr(i, e.entity.size()) == e.entity) {
          out.push_back(e.c);
          i += e.entity.size() - 1;
          replaced = true;
          break;
        }
      }
    }
    if (!replaced) out.push_back(text[i]);
  }
  return out;
}

// The text of attribute `name` in a start tag, unescaped.
std::string TagAttribute(std::string_view tag, std::string_view name) {
  const std::string key = " " + std::string(name) + "=\"";
  const std::size_t at = tag.find(key);
  if (at == std::string_view::npos) return {};
  const std::size_t start = at + key.size();
  const std::size_t end = tag.find('"', start);
  return Unescape(tag.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
}

// Control characters would break the table's lines; they are shown escaped.
std::string Printable(std::string_view value) {
  std::string out;
  for (const char c : value) {
    if (c == '\n') out += "\\n";
    else if (c == '\r') out += "\\r";
    else if (c == '\t') out += "\\t";
    else out.push_back(c);
  }
  return out;
}

// Display width of UTF-8 text: one column per character.
std::size_t Width(std::string_view text) {
  std::size_t n = 0;
  for (const char c : text) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return n;
}

struct Row {
  std::string sheet, cell, value;
};

// Reads the pieces of a success answer; false for a failure answer, with
// its message in `error`.
bool ParseAnswer(std::string_view answer, std::vector<Row>& rows, std::string& error) {
  constexpr std::string_view kErrorOpen = "<error>";
  if (answer.find("<result state=\"error\">") == 0) {
    const std::size_t start = answer.find(kErrorOpen);
    const std::size_t end = answer.rfind("</error>");
    if (start != std::string_view::npos && end != std::string_view::npos && end >= start + kErrorOpen.size())
      error = Unescape(answer.substr(start + kErrorOpen.size(), end - start - kErrorOpen.size()));
    else error = std::string(answer);
    return false;
  }
  std::size_t at = 0;
  while ((at = answer.find("<xls ", at)) != std::string_view::npos) {
    const std::size_t tagEnd = answer.find('>', at);
    const std::size_t close = answer.find("</xls>", at);
    if (tagEnd == std::string_view::npos || close == std::string_view::npos) break;
    const std::string_view tag = answer.substr(at, tagEnd - at);
    Row row{TagAttribute(tag, "sheet"), TagAttribute(tag, "cell"), {}};
    // The value may come in several consecutive CDATA sections.
    std::string_view body = answer.substr(tagEnd + 1, close - tagEnd - 1);
    constexpr std::string_view kOpen = "<![CDATA[";
    while (body.substr(0, kOpen.size()) == kOpen) {
      const std::size_t end = body.find("]]>", kOpen.size());
      if (end == std::string_view::npos) break;
      row.value += body.substr(kOpen.size(), end - kOpen.size());
      body.remove_prefix(end + 3);
    }
    rows.push_back(std::move(row));
    at = close + 6;
  }
  return true;
}

void PrintTable(const std::vector<Row>& rows) {
  std::size_t sheetWidth = Width("sheet"), cellWidth = Width("cell");
  for (const Row& row : rows) {
    sheetWidth = std::max(sheetWidth, Width(row.sheet));
    cellWidth = std::max(cellWidth, Width(row.cell));
  }
  auto pad = [](const std::string& text, std::size_t width) {
    return text + std::string(width - Width(text), ' ');
  };
  std::printf("%s  %s  value\n", pad("sheet", sheetWidth).c_str(), pad("cell", cellWidth).c_str());
  for (const Row& row : rows)
    std::printf("%s  %s  %s\n", pad(row.sheet, sheetWidth).c_str(), pad(row.cell, cellWidth).c_str(),
                Printable(row.value).c_str());
}

int Usage(const char* message) {
  std::fprintf(stderr, "tabulon-query: %s\nTry 'tabulon-query --help'.\n", message);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string plugin, nick, room, domain;
  bool table = false, showRequests = false;
  std::vector<Request> requests;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(kHelp, stdout);
      return 0;
    }
    if (arg == "--table") {
      table = true;
      continue;
    }
    if (arg == "--show-requests") {
      showRequests = true;
      continue;
    }
    const bool takesValue = arg == "--plugin" || arg == "--nick" || arg == "--room" || arg == "--domain" ||
                            arg == "--cells" || arg == "--range" || arg == "--request" || arg == "--multi";
    if (!takesValue) return Usage(("unknown argument: " + std::string(arg)).c_str());
    if (i + 1 >= argc) return Usage(("missing value after " + std::string(arg)).c_str());
    const std::string value = argv[++i];
    if (arg == "--plugin") plugin = value;
    else if (arg == "--nick") nick = value;
    else if (arg == "--room") room = value;
    else if (arg == "--domain") domain = value;
    else if (arg == "--cells") requests.push_back({false, CellsRequest(value)});
    else if (arg == "--range") requests.push_back({true, RangeRequest(value)});
    else if (arg == "--request") requests.push_back({false, value});
    else requests.push_back({true, value});
  }
  if (plugin.empty()) return Usage("--plugin PATH is required");
  if (requests.empty()) return Usage("no request given (--cells, --range, --request or --multi)");

  std::string error;
  void* library = OpenLibrary(plugin, error);
  if (library == nullptr) {
    std::fprintf(stderr, "tabulon-query: cannot load %s: %s\n", plugin.c_str(), error.c_str());
    return 2;
  }
  const auto ini = reinterpret_cast<IniSocketXtraFn>(LibrarySymbol(library, "iniSocketXtra"));
  const auto cells = reinterpret_cast<RequestFn>(LibrarySymbol(library, "getCellValueRef"));
  const auto block = reinterpret_cast<RequestFn>(LibrarySymbol(library, "getMultiCellValueRef"));
  if (ini == nullptr || cells == nullptr || block == nullptr) {
    std::fprintf(stderr, "tabulon-query: %s lacks the plug-in's exports\n", plugin.c_str());
    CloseLibrary(library);
    return 2;
  }
  ini(0x0100);

  int status = 0;
  for (const Request& request : requests) {
    if (showRequests) std::printf("%s\n", request.text.c_str());
    char* answer = (request.block ? block : cells)(0, 0, nick.c_str(), room.c_str(), domain.c_str(),
                                                    request.text.c_str());
    if (answer == nullptr) {
      std::printf("(no answer)\n");
      status = 1;
      continue;
    }
    const std::string text = answer;
    FreeAnswer(answer);
    std::vector<Row> rows;
    const bool ok = ParseAnswer(text, rows, error);
    if (!ok) status = 1;
    if (!table) std::printf("%s\n", text.c_str());
    else if (ok) PrintTable(rows);
    else std::printf("error: %s\n", error.c_str());
  }
  std::fflush(stdout);
  CloseLibrary(library);
  return status;
}

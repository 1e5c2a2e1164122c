// The configuration file beside the library: the workbook file, its
// password, and the access lists; and the rights test made before every
// request.
#pragma once

#include <string>
#include <string_view>

namespace tabulon {

class TXLSWorkbook;

// The result of reading the configuration. Each list is "#" + the configured
// names separated by "#" + "#"; an empty list admits nobody. The write lists
// are kept but no request consults them.
struct TConfiguration {
  bool ConfigError = false;
  std::string ReadDomains;
  std::string ReadRooms;
  std::string ReadNickNames;
  std::string WriteDomains;
  std::string WriteRooms;
  std::string WriteNickNames;
};

// The configuration file of a module: the extension of the module's file
// name replaced by ".qdx.config".
std::u16string ConfigurationFileName(const std::u16string& moduleFileName);

// Reads the configuration file of the module `moduleFileName` into `config`
// and gives `xls` its Filename (and Password, when the file names one).
// Never fails outward: a problem sets ConfigError and keeps what was read
// before it.
void ReadConfiguration(const std::u16string& moduleFileName, TConfiguration& config, TXLSWorkbook& xls);

// The pre-check of a request: "Error in Tabulon.qdx.config", "The xls file
// was not found", "You do not have the necessary rights to use this
// function", or the empty text when the caller may read.
std::string CheckAccess(const TConfiguration& config, const TXLSWorkbook& xls, std::string_view domain,
                        std::string_view room, std::string_view nickName);

}  // namespace tabulon

#include "plugin/config.h"

#include "platform/error.h"
#include "platform/platform.h"
#include "workbook/workbook.h"
#include "xmldoc/xml_document.h"

namespace tabulon {

namespace {

std::string ListOf(const TXmlNode& element, std::string_view attribute) {
  return "#" + element.AttributeText(attribute) + "#";
}

// "#" + name + "#" anywhere in the list, byte for byte.
bool Listed(const std::string& list, std::string_view name) {
  std::string key;
  key.reserve(name.size() + 2);
  key += '#';
  key += name;
  key += '#';
  return list.find(key) != std::string::npos;
}

}  // namespace

std::u16string ConfigurationFileName(const std::u16string& moduleFileName) {
  const std::size_t slash = moduleFileName.rfind(platform::kPathSeparator);
  const std::size_t nameStart = slash == std::u16string::npos ? 0 : slash + 1;
  std::size_t dot = moduleFileName.rfind(u'.');
  if (dot == std::u16string::npos || dot < nameStart) dot = moduleFileName.size();
  return moduleFileName.substr(0, dot) + u".qdx.config";
}

void ReadConfiguration(const std::u16string& moduleFileName, TConfiguration& config, TXLSWorkbook& xls) {
  config = TConfiguration{};
  std::string file;
  std::string password;
  try {
    std::unique_ptr<TXmlDocument> document = CreateDocument();
    document->LoadFromFile(ConfigurationFileName(moduleFileName));
    const TXmlNode* root = document->RootElement();
    if (root == nullptr) Throw("The configuration has no document element");
    const TXmlNode* data = root->FindChildElement("data");
    if (data != nullptr) {
      file = data->AttributeText("file");
      password = data->AttributeText("password");
      if (!platform::FileExists(platform::HostToWide(file))) {
        // A name that does not exist as given is taken relative to the
        // module's directory.
        std::string directory = platform::WideToHost(
            moduleFileName.substr(0, moduleFileName.rfind(platform::kPathSeparator) + 1));
        const std::string separator = platform::WideToHost(std::u16string(1, platform::kPathSeparator));
        if (directory.empty() || directory.compare(directory.size() - separator.size(), separator.size(), separator) != 0)
          directory += separator;
        file = directory + file;
      }
    }
    if (data == nullptr) Throw("The configuration has no data element");
    if (const TXmlNode* read = data->FindChildElement("read")) {
      config.ReadDomains = ListOf(*read, "domains");
      config.ReadRooms = ListOf(*read, "rooms");
      config.ReadNickNames = ListOf(*read, "nickNames");
    }
    if (const TXmlNode* write = data->FindChildElement("write")) {
      config.WriteDomains = ListOf(*write, "domains");
      config.WriteRooms = ListOf(*write, "rooms");
      config.WriteNickNames = ListOf(*write, "nickNames");
    }
  } catch (...) {
    config.ConfigError = true;
  }
  xls.Filename = platform::HostToWide(file);
  if (!password.empty()) xls.Password = platform::HostToWide(password);
}

std::string CheckAccess(const TConfiguration& config, const TXLSWorkbook& xls, std::string_view domain,
                        std::string_view room, std::string_view nickName) {
  std::string message;
  if (config.ConfigError) message = "Error in Tabulon.qdx.config";
  if (!platform::FileExists(xls.Filename)) message = "The xls file was not found";
  if (message.empty() && !Listed(config.ReadDomains, domain) && !Listed(config.ReadRooms, room) &&
      !Listed(config.ReadNickNames, nickName))
    message = "You do not have the necessary rights to use this function";
  return message;
}

}  // namespace tabulon

// Legacy workbooks (compound files and bare BIFF streams), and the Open XML
// packages that their writer encrypted into a compound file.
#include "loader/loader.h"

#include "biff/biff_reader.h"
#include "biff/compound_file.h"
#include "ooxml/encrypted_package.h"
#include "platform/error.h"

namespace tabulon {

namespace {

std::vector<uint8_t> WholeStream(TCompoundFile& document, const TCompoundElement& element) {
  std::unique_ptr<TCompoundStream> stream = document.OpenStream(element);
  std::vector<uint8_t> bytes(static_cast<std::size_t>(stream->Size()));
  bytes.resize(stream->Read(bytes.data(), bytes.size()));
  return bytes;
}

// The two streams of an encrypted package when the file is a compound file
// that holds them and no workbook stream; false for anything else,
// including a file that cannot be read as a compound file.
bool ReadEncryptedPackageStreams(const TXLSWorkbook& workbook, std::vector<uint8_t>& info,
                                 std::vector<uint8_t>& package) {
  try {
    std::unique_ptr<TCompoundFile> document = TCompoundFile::OpenView(workbook.FileBytes(), workbook.Filename);
    const TCompoundElement* infoElement = document->FindElement(u"EncryptionInfo");
    const TCompoundElement* packageElement = document->FindElement(u"EncryptedPackage");
    if (infoElement == nullptr || packageElement == nullptr || document->FindElement(u"Workbook") != nullptr ||
        document->FindElement(u"Book") != nullptr || infoElement->type != TCompoundElementType::kStream ||
        packageElement->type != TCompoundElementType::kStream) {
      return false;
    }
    info = WholeStream(*document, *infoElement);
    package = WholeStream(*document, *packageElement);
    return true;
  } catch (const Exception&) {
    return false;
  }
}

}  // namespace

std::unique_ptr<TStream> TWorkbookLoader::ReadLegacy(TXLSWorkbook& workbook) {
  try {
    TXLSBiffReader reader(workbook);
    reader.ReadBytes(workbook.FileBytes());
    return nullptr;
  } catch (const Exception&) {
    // A compound file without a workbook stream may be an encrypted Open
    // XML package; anything else keeps the legacy reader's failure. Only
    // failed reads look again, so legacy workbooks are read once.
    std::vector<uint8_t> info;
    std::vector<uint8_t> encrypted;
    if (!ReadEncryptedPackageStreams(workbook, info, encrypted)) throw;
    auto package = std::make_unique<TMemoryStream>();
    package->Bytes() = DecryptPackage(workbook, info, encrypted);
    // OnPassword ended the read: nothing was read, as in a legacy workbook.
    if (workbook.Abort) return nullptr;
    return package;
  }
}

}  // namespace tabulon

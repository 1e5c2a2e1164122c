#include "plugin/plugin.h"

#include "platform/platform.h"
#include "plugin/exports.h"
#include "plugin/request.h"
#include "workbook/sheet.h"

#ifndef TABULON_VERSION
#define TABULON_VERSION "0"
#endif

namespace tabulon {

std::unique_ptr<TDataModule1> DataModule1;
TConfiguration Configuration;
std::atomic<bool> PluginReady{false};

namespace {

constexpr char kIdentification[] = "Tabulon " TABULON_VERSION " workbook cell values";

char* Answer(TRequestKind kind, const char* nickName, const char* room, const char* domain,
             const char* request) noexcept {
  if (!PluginReady.load()) return nullptr;
  TDataModule1* module = DataModule1.get();
  if (module == nullptr) return nullptr;
  std::lock_guard<std::mutex> guard(module->Lock);
  const std::string answer = ServeRequest(kind, *module->xls, Configuration, nickName, room, domain, request);
  if (answer.empty()) return nullptr;
  return AnswerToHostBlock(answer);
}

}  // namespace

TDataModule1::TDataModule1() : xls(std::make_unique<TXLSWorkbook>(&Readers)) {
  xls->SetVersion(xvExcel97);
  xls->SetStrTRUE(u"TRUE");
  xls->SetStrFALSE(u"FALSE");
  xls->ShowFormulas = false;
  xls->IsMac = false;
  xls->PreserveMacros = true;
  xls->RecomendReadOnly = false;
  xls->ComponentVersion = "4.00.15";
  xls->Sheets()[0].SetName(u"Sheet1");
  // Requests ask again and again for cells of a workbook that rarely
  // changes: unchanged bytes are answered from the model already read.
  xls->ReuseUnchanged = true;
}

void ReadConfiguration() { ReadConfiguration(platform::ModuleFileName(), Configuration, *DataModule1->xls); }

void LibraryLoad() noexcept {
  try {
    DataModule1 = std::make_unique<TDataModule1>();
    ReadConfiguration();
  } catch (...) {
    // Without its data module the library answers no request.
    DataModule1.reset();
  }
  PluginReady = false;
}

void LibraryUnload() noexcept {
  PluginReady = false;
  DataModule1.reset();
}

}  // namespace tabulon

// Each export runs with the floating-point state the library computes in,
// whatever precision, rounding or exception masks the host left in its
// thread, and gives the host's state back on return.

const char* TABULON_STDCALL iniSocketXtra(int32_t /*HostVersion*/) {
  tabulon::platform::TFloatModeGuard floatMode;
  tabulon::EnsureLibraryLoaded();
  tabulon::PluginReady = true;
  return tabulon::kIdentification;
}

char* TABULON_STDCALL getCellValueRef(int32_t /*Reserved1*/, int32_t /*Reserved2*/, const char* NickName,
                                      const char* Room, const char* Domain, const char* Request) {
  tabulon::platform::TFloatModeGuard floatMode;
  tabulon::EnsureLibraryLoaded();
  return tabulon::Answer(tabulon::rkCells, NickName, Room, Domain, Request);
}

char* TABULON_STDCALL getMultiCellValueRef(int32_t /*Reserved1*/, int32_t /*Reserved2*/, const char* NickName,
                                           const char* Room, const char* Domain, const char* Request) {
  tabulon::platform::TFloatModeGuard floatMode;
  tabulon::EnsureLibraryLoaded();
  return tabulon::Answer(tabulon::rkBlock, NickName, Room, Domain, Request);
}

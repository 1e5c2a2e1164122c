// The library's module-wide state: the data module with its one workbook
// component, the configuration, and the ready flag; the load and unload
// steps that the platform's library entry code calls.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>

#include "loader/loader.h"
#include "plugin/config.h"
#include "workbook/workbook.h"

namespace tabulon {

class TDataModule1 {
 public:
  // Creates the workbook component with the plug-in's property values.
  TDataModule1();
  TDataModule1(const TDataModule1&) = delete;
  TDataModule1& operator=(const TDataModule1&) = delete;

  // One request at a time uses the component.
  std::mutex Lock;
  TWorkbookLoader Readers;
  // Declared after the readers it refers to, so it goes first.
  std::unique_ptr<TXLSWorkbook> xls;
};

extern std::unique_ptr<TDataModule1> DataModule1;
extern TConfiguration Configuration;
extern std::atomic<bool> PluginReady;

// Reads the configuration file beside this module.
void ReadConfiguration();

// Library load: the data module, the configuration, PluginReady cleared.
void LibraryLoad() noexcept;
// Library unload: frees the data module and everything it holds.
void LibraryUnload() noexcept;
// Runs the library load once, before an export does anything else, where
// the platform's entry code has not run it already (library_posix.cpp,
// library_win32.cpp).
void EnsureLibraryLoaded() noexcept;

}  // namespace tabulon

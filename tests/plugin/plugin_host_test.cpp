// The plug-in as a host sees it: each test loads its own copy of
// Tabulon.qdx with dlopen from a directory that holds its configuration.
#include <gtest/gtest.h>

#include "plugin/plugin_host.h"

namespace tabulon::test {
namespace {

TEST(PluginHost, SmokeAnswersAfterInit) {
  TPluginHost host;
  host.Load();
  EXPECT_FALSE(host.Request("<cells/>").has_value());
  host.Init();
  EXPECT_EQ(host.Request("<cells/>"), ErrorAnswer("The xls file was not found"));
}

}  // namespace
}  // namespace tabulon::test

#include "spp/plugin_config.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/spp/spp_test_files.h"

namespace korvex {
namespace {

TEST(PluginConfig, ListsTheRcptPluginsInOrder) {
  plugin_config config;
  std::string error;
  ASSERT_TRUE(parse_plugin_config(
      "# plugins for the demo\n\n[rcpt]\n/usr/bin/first\n  /usr/bin/second  \r\n"
      "\t# not this one\n/usr/bin/first",
      &config, &error))
      << error;
  EXPECT_EQ(config.rcpt,
            (std::vector<std::string>{"/usr/bin/first", "/usr/bin/second", "/usr/bin/first"}));
  ASSERT_TRUE(parse_plugin_config("", &config, &error));
  EXPECT_TRUE(config.rcpt.empty());
}

TEST(PluginConfig, RejectsWhatWouldSilentlyNeverRun) {
  const auto error_of = [](const std::string& text) {
    plugin_config config;
    std::string error;
    EXPECT_FALSE(parse_plugin_config(text, &config, &error)) << text;
    return error;
  };
  EXPECT_EQ(error_of("/usr/bin/plugin\n"), "line 1: plugin outside a section: /usr/bin/plugin");
  EXPECT_EQ(error_of("[rcpt]\n\n[mail]\n/usr/bin/plugin\n"),
            "line 3: unknown section [mail] (only [rcpt] is known)");
  EXPECT_EQ(error_of("[rcpt]\nbin/plugin\n"), "line 2: plugin path must be absolute: bin/plugin");

  const testing::ScratchDir dir;
  plugin_config config;
  std::string error;
  EXPECT_FALSE(load_plugin_config(dir.file("absent"), &config, &error));
  EXPECT_EQ(error, dir.file("absent") + ": No such file or directory");
  const std::string path = dir.write("plugins", "[rcpt]\nrelative\n");
  EXPECT_FALSE(load_plugin_config(path, &config, &error));
  EXPECT_EQ(error, path + ": line 2: plugin path must be absolute: relative");
}

}  // namespace
}  // namespace korvex

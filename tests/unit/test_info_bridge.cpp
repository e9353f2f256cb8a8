// The info plug-in bridge against the test plug-ins of tests/fixtures, which log every
// call they receive to a file of the test's own.

#include "Info.h"
#include "info_bridge_internal.h"
#include "scoped_temp_dir.h"

#include <dlfcn.h>
#include <malloc.h>
#include <stdlib.h>

#include <algorithm>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

namespace fs = std::filesystem;

std::string Hex(const void *p) {
  char text[32];
  std::snprintf(text, sizeof text, "0x%" PRIxPTR, reinterpret_cast<uintptr_t>(p));
  return text;
}

// The driver directory of a test plug-in built as <base>/Libs/libinfo.dylib.
std::string BaseOf(const char *plugin) {
  return fs::path(plugin).parent_path().parent_path().string();
}

bool IsLoaded(const char *plugin) {
  void *handle = dlopen(plugin, RTLD_NOW | RTLD_NOLOAD);
  if (handle != nullptr) {
    dlclose(handle);
  }
  return handle != nullptr;
}

// Nested directories below root whose path is exactly length bytes long.
std::string MakeDirectoryOfLength(const std::string &root, std::size_t length) {
  std::string path = root;
  while (path.size() < length) {
    std::size_t need = length - path.size();
    std::size_t part = std::min<std::size_t>(need - 1, 200);
    if (need - 1 - part == 1) {
      --part;  // a last part of "/" alone is impossible
    }
    path += "/" + std::string(part, 'd');
  }
  fs::create_directories(path);
  return path;
}

// Text between key and the next space (or "[") in a log line.
std::string Field(const std::string &line, const std::string &key) {
  std::size_t start = line.find(key);
  if (start == std::string::npos) {
    return "<missing " + key + ">";
  }
  start += key.size();
  return line.substr(start, line.find_first_of(" [", start) - start);
}

// Text in brackets after key, as in "first=0x1[text]".
std::string Bracketed(const std::string &line, const std::string &key) {
  std::size_t start = line.find('[', line.find(key));
  std::size_t end = line.find("] ", start);
  if (start == std::string::npos || end == std::string::npos) {
    return "<missing " + key + ">";
  }
  return line.substr(start + 1, end - start - 1);
}

class InfoBridgeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(temp_.valid());
    dir_ = temp_.path();
    log_ = dir_ + "/plugin.log";
    setenv("ZELCUPS_INFO_PLUGIN_LOG", log_.c_str(), 1);
    unsetenv("ZELCUPS_INFO_PLUGIN_RESULT");
  }
  void TearDown() override {
    unsetenv("ZELCUPS_INFO_PLUGIN_LOG");
    unsetenv("ZELCUPS_INFO_PLUGIN_RESULT");
  }

  std::vector<std::string> Log() const {
    std::vector<std::string> lines;
    std::ifstream in(log_);
    for (std::string line; std::getline(in, line);) {
      lines.push_back(line);
    }
    return lines;
  }
  void ClearLog() const { fs::remove(log_); }

  // The context handle the plug-in handed out, from its Info_Initialize line.
  std::string Context() const {
    for (const std::string &line : Log()) {
      if (line.starts_with("Info_Initialize ")) {
        return Field(line, "-> ");
      }
    }
    return "<no Info_Initialize>";
  }

  ScopedTempDir temp_;
  std::string dir_;
  std::string log_;
};

TEST_F(InfoBridgeTest, NullStringsAreRefusedBeforeAnythingIsLoaded) {
  const std::string base = BaseOf(INFO_PLUGIN_FULL);
  struct Row {
    const char *base;
    const char *queue;
    const char *extra;
  } rows[] = {
      {nullptr, "Office", "none"},
      {base.c_str(), nullptr, "none"},
      {base.c_str(), "Office", nullptr},
  };
  for (std::size_t i = 0; i < std::size(rows); ++i) {
    EXPECT_EQ(Info_Initialize(rows[i].base, rows[i].queue, rows[i].extra, false, nullptr), nullptr)
        << "row " << i;
    EXPECT_TRUE(Log().empty()) << "row " << i;
  }
}

TEST_F(InfoBridgeTest, PluginThatCannotBeUsedIsNeverInitialized) {
  const std::string fifteen = INFO_PLUGIN_FIFTEEN;
  struct Row {
    std::string base;
    std::vector<std::string> log;
  } rows[] = {
      {dir_, {}},  // no Libs/libinfo.dylib there
      {BaseOf(INFO_PLUGIN_FIFTEEN), {"load " + fifteen, "unload"}},
  };
  for (std::size_t i = 0; i < std::size(rows); ++i) {
    ClearLog();
    EXPECT_EQ(Info_Initialize(rows[i].base.c_str(), "Office", "none", false, nullptr), nullptr)
        << "row " << i;
    EXPECT_EQ(Log(), rows[i].log) << "row " << i;
    EXPECT_FALSE(IsLoaded(INFO_PLUGIN_FIFTEEN)) << "row " << i;
  }
}

TEST_F(InfoBridgeTest, NullContextFromPluginEndsItOnceAndUnloads) {
  EXPECT_EQ(
      Info_Initialize(BaseOf(INFO_PLUGIN_INIT_NULL).c_str(), "Office", "none", false, nullptr),
      nullptr);
  std::vector<std::string> log = Log();
  ASSERT_GE(log.size(), 2u);
  EXPECT_EQ(log.front(), std::string("load ") + INFO_PLUGIN_INIT_NULL);
  EXPECT_EQ(Field(log[1], "-> "), "0x0");
  EXPECT_EQ(
      std::count_if(log.begin(), log.end(),
                    [](const std::string &line) { return line.starts_with("Info_Terminate "); }),
      1);
  EXPECT_EQ(log.end()[-2], "Info_Terminate 0x0 self_check=0");
  EXPECT_EQ(log.back(), "unload");
  EXPECT_FALSE(IsLoaded(INFO_PLUGIN_INIT_NULL));
}

TEST_F(InfoBridgeTest, PluginReceivesCopiesOfThePair) {
  const std::string base = BaseOf(INFO_PLUGIN_FULL);
  struct Row {
    bool has_pair;
    InfoStringPair pair;
  } rows[] = {
      {false, {nullptr, nullptr}}, {true, {nullptr, nullptr}}, {true, {"alpha", "beta"}},
      {true, {"alpha", nullptr}},  {true, {nullptr, "beta"}},
  };
  for (std::size_t i = 0; i < std::size(rows); ++i) {
    ClearLog();
    const InfoStringPair *pair = rows[i].has_pair ? &rows[i].pair : nullptr;
    InfoInstance *instance = Info_Initialize(base.c_str(), "Office", "none", true, pair);
    ASSERT_NE(instance, nullptr) << "row " << i;
    Info_Terminate(instance);

    std::vector<std::string> log = Log();
    ASSERT_GE(log.size(), 2u) << "row " << i;
    const std::string &line = log[1];
    EXPECT_TRUE(line.starts_with("Info_Initialize [" + base + "] [Office] [none] 1 pair="))
        << "row " << i << ": " << line;
    if (pair == nullptr) {
      EXPECT_EQ(Field(line, "pair="), "0x0") << "row " << i;
      continue;
    }
    EXPECT_NE(Field(line, "pair="), "0x0") << "row " << i;
    EXPECT_NE(Field(line, "pair="), Hex(pair)) << "row " << i;
    const char *strings[] = {pair->first, pair->second};
    const char *keys[] = {"first=", "second="};
    for (int k = 0; k < 2; ++k) {
      if (strings[k] == nullptr) {
        EXPECT_EQ(Field(line, keys[k]), "0x0") << "row " << i << " " << keys[k];
        EXPECT_EQ(Bracketed(line, keys[k]), "(null)") << "row " << i << " " << keys[k];
      } else {
        EXPECT_NE(Field(line, keys[k]), Hex(strings[k])) << "row " << i << " " << keys[k];
        EXPECT_EQ(Bracketed(line, keys[k]), strings[k]) << "row " << i << " " << keys[k];
      }
    }
  }
}

TEST_F(InfoBridgeTest, PairCopyIsFreedAfterTheCall) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "LeakSanitizer checks this when the test exits";
#else
  const std::string base = BaseOf(INFO_PLUGIN_FULL);
  const std::string big(1 << 20, 'x');
  const InfoStringPair pair = {big.c_str(), big.c_str()};
  auto in_use = [] {
    struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
  };
  // A first round so that whatever the loader keeps for good is already counted.
  Info_Terminate(Info_Initialize(base.c_str(), "Office", "none", false, nullptr));
  ClearLog();
  unsetenv("ZELCUPS_INFO_PLUGIN_LOG");  // the log would hold the strings' text
  std::size_t before = in_use();
  InfoInstance *instance = Info_Initialize(base.c_str(), "Office", "none", false, &pair);
  ASSERT_NE(instance, nullptr);
  std::size_t during = in_use();
  Info_Terminate(instance);
  std::size_t after = in_use();
  // Both copies (2 MB) are gone once Info_Initialize has returned.
  EXPECT_LT(during, before + (1u << 20));
  EXPECT_LT(after, before + (1u << 20));
#endif
}

TEST_F(InfoBridgeTest, PluginPathJoinsTheBaseDirectoryUnchanged) {
  struct Row {
    std::string base;
    std::optional<std::string> path;  // none: does not fit the 1024-byte path buffer
  } rows[] = {
      {"/Library/Printers/Arvex/QRX5", "/Library/Printers/Arvex/QRX5/Libs/libinfo.dylib"},
      {"/Library/Printers/Arvex/QRX5/", "/Library/Printers/Arvex/QRX5//Libs/libinfo.dylib"},
      {"", "/Libs/libinfo.dylib"},
      {"relative", "relative/Libs/libinfo.dylib"},
      {std::string(1004, 'a'), std::string(1004, 'a') + "/Libs/libinfo.dylib"},
      {std::string(1005, 'a'), std::nullopt},
  };
  for (std::size_t i = 0; i < std::size(rows); ++i) {
    EXPECT_EQ(InfoBridge_LibraryPath(rows[i].base), rows[i].path) << "row " << i;
  }
}

TEST_F(InfoBridgeTest, BaseDirectoryEndingInSlashLoadsThroughTwoSlashes) {
  const std::string base = BaseOf(INFO_PLUGIN_FULL) + "/";
  InfoInstance *instance = Info_Initialize(base.c_str(), "Office", "none", false, nullptr);
  ASSERT_NE(instance, nullptr);
  Info_Terminate(instance);
  ASSERT_FALSE(Log().empty());
  EXPECT_EQ(Log().front(), "load " + base + "/Libs/libinfo.dylib");
}

TEST_F(InfoBridgeTest, BaseDirectoryTooLongForThePathIsRefusedNotCut) {
  // 1004 bytes is the longest base directory whose plug-in path fits 1024 bytes.
  const std::string fits = MakeDirectoryOfLength(dir_ + "/fits", 1004);
  fs::create_directories(fits + "/Libs");
  fs::create_symlink(INFO_PLUGIN_FULL, fits + "/Libs/libinfo.dylib");
  ASSERT_EQ(fits.size(), 1004u);

  // One byte more: a cut path would end in "libinfo.dyli", so one is there to be found.
  const std::string too_long = MakeDirectoryOfLength(dir_ + "/long", 1005);
  fs::create_directories(too_long + "/Libs");
  fs::create_symlink(INFO_PLUGIN_FULL, too_long + "/Libs/libinfo.dylib");
  fs::create_symlink(INFO_PLUGIN_FULL, too_long + "/Libs/libinfo.dyli");
  ASSERT_EQ(too_long.size(), 1005u);

  InfoInstance *instance = Info_Initialize(fits.c_str(), "Office", "none", false, nullptr);
  EXPECT_NE(instance, nullptr);
  Info_Terminate(instance);
  ASSERT_FALSE(Log().empty());
  EXPECT_EQ(Log().front(), "load " + fits + "/Libs/libinfo.dylib");

  ClearLog();
  EXPECT_EQ(Info_Initialize(too_long.c_str(), "Office", "none", false, nullptr), nullptr);
  EXPECT_TRUE(Log().empty());
  EXPECT_FALSE(IsLoaded(INFO_PLUGIN_FULL));
}

TEST_F(InfoBridgeTest, EachInstanceLoadsAndUnloadsThePlugin) {
  const std::string base = BaseOf(INFO_PLUGIN_FULL);
  InfoInstance *first = Info_Initialize(base.c_str(), "Office", "none", false, nullptr);
  InfoInstance *second = Info_Initialize(base.c_str(), "Lab", "none", false, nullptr);
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_TRUE(IsLoaded(INFO_PLUGIN_FULL));
  Info_Terminate(first);
  EXPECT_TRUE(IsLoaded(INFO_PLUGIN_FULL)) << "the second instance holds its own handle";
  Info_Terminate(second);
  EXPECT_FALSE(IsLoaded(INFO_PLUGIN_FULL)) << "each instance closed its handle";

  Info_Terminate(Info_Initialize(base.c_str(), "Office", "none", false, nullptr));
  std::vector<std::string> events;
  for (const std::string &line : Log()) {
    if (line.starts_with("load ") || line == "unload") {
      events.push_back(line.substr(0, line.find(' ')));
    }
  }
  EXPECT_EQ(events, (std::vector<std::string>{"load", "unload", "load", "unload"}));
}

TEST_F(InfoBridgeTest, TerminateEndsTheContextOnceAndThePluginCallsItself) {
  InfoInstance *instance =
      Info_Initialize(BaseOf(INFO_PLUGIN_FULL).c_str(), "Office", "none", false, nullptr);
  ASSERT_NE(instance, nullptr);
  const std::string context = Context();
  ClearLog();
  Info_Terminate(instance);
  // The plug-in's Info_Terminate calls Info_CheckSandbox(NULL): its own logs the call,
  // the bridge's of the same name would refuse it silently.
  EXPECT_EQ(Log(),
            (std::vector<std::string>{"Info_CheckSandbox 0x0",
                                      "Info_Terminate " + context + " self_check=0", "unload"}));
}

// Arguments handed to the forwarding functions, at addresses the plug-in logs.
int g_data1;
int g_data2;
void *g_options;

enum class Kind { kInt, kBool, kVoid };

struct ForwardRow {
  const char *name;
  Kind kind;
  int32_t (*call)(InfoInstance *);
  std::string args;  // as the plug-in logs them after the context handle
  int32_t refused;
};

std::vector<ForwardRow> ForwardRows() {
  return {
      {"Info_CreateUpdatedOptions", Kind::kInt,
       [](InfoInstance *i) { return Info_CreateUpdatedOptions(i, true, "0000", &g_options); },
       " 1 [0000] " + Hex(&g_options), -1},
      {"Info_DestroyUpdatedOptions", Kind::kVoid,
       [](InfoInstance *i) {
         Info_DestroyUpdatedOptions(i, &g_data1);
         return 0;
       },
       " " + Hex(&g_data1), 0},
      {"Info_UpdateOptions", Kind::kInt,
       [](InfoInstance *i) { return Info_UpdateOptions(i, &g_data2); }, " " + Hex(&g_data2), -1},
      {"Info_CheckDuplex", Kind::kBool,
       [](InfoInstance *i) -> int32_t { return Info_CheckDuplex(i); }, "", 0},
      {"Info_CheckEnableBidiMode", Kind::kBool,
       [](InfoInstance *i) -> int32_t { return Info_CheckEnableBidiMode(i); }, "", 1},
      {"Info_Duplex_GetPrinterXML_ByCtrlID", Kind::kInt,
       [](InfoInstance *i) { return Info_Duplex_GetPrinterXML_ByCtrlID(i, false, 7, -8, INT_MAX); },
       " 0 7 -8 2147483647", -1},
      {"Info_Duplex_EnableManagement", Kind::kBool,
       [](InfoInstance *i) -> int32_t { return Info_Duplex_EnableManagement(i); }, "", 0},
      {"Info_Duplex_CheckManagement", Kind::kBool,
       [](InfoInstance *i) -> int32_t {
         return Info_Duplex_CheckManagement(i, &g_data1, &g_data2, -3);
       },
       " " + Hex(&g_data1) + " " + Hex(&g_data2) + " -3", 0},
      {"Info_Duplex_GetDigregData", Kind::kInt,
       [](InfoInstance *i) { return Info_Duplex_GetDigregData(i, &g_data2); }, " " + Hex(&g_data2),
       -1},
      {"Info_SimplexDuplex_GetCalib3Info", Kind::kInt,
       [](InfoInstance *i) { return Info_SimplexDuplex_GetCalib3Info(i, 41, &g_data1); },
       " 41 " + Hex(&g_data1), -1},
      {"Info_CheckSandbox", Kind::kInt, [](InfoInstance *i) { return Info_CheckSandbox(i); }, "",
       -1},
      {"Info_CheckCacheFile", Kind::kInt, [](InfoInstance *i) { return Info_CheckCacheFile(i); },
       "", -1},
      {"Info_GetJobAccountSettings", Kind::kInt,
       [](InfoInstance *i) { return Info_GetJobAccountSettings(i, 5, -6); }, " 5 -6", -1},
      {"Info_SaveJobAccountSettings", Kind::kInt,
       [](InfoInstance *i) { return Info_SaveJobAccountSettings(i, 9, true, -10, 11, false); },
       " 9 1 -10 11 0", -1},
  };
}

TEST_F(InfoBridgeTest, ForwardingPassesContextAndArgumentsAndReturnsThePluginsResult) {
  InfoInstance *instance =
      Info_Initialize(BaseOf(INFO_PLUGIN_FULL).c_str(), "Office", "none", false, nullptr);
  ASSERT_NE(instance, nullptr);
  const std::string context = Context();
  const std::vector<ForwardRow> rows = ForwardRows();
  for (int32_t result : {0, 1, -7, INT32_MIN, INT32_MAX}) {
    setenv("ZELCUPS_INFO_PLUGIN_RESULT", std::to_string(result).c_str(), 1);
    for (std::size_t i = 0; i < rows.size(); ++i) {
      ClearLog();
      int32_t answer = rows[i].call(instance);
      EXPECT_EQ(Log(), std::vector<std::string>{rows[i].name + (" " + context) + rows[i].args})
          << "row " << i << " result " << result;
      if (rows[i].kind == Kind::kInt) {
        EXPECT_EQ(answer, result) << "row " << i;
      } else if (rows[i].kind == Kind::kBool) {
        EXPECT_EQ(answer, result != 0 ? 1 : 0) << "row " << i << " result " << result;
      }
    }
  }
  Info_Terminate(instance);
}

TEST_F(InfoBridgeTest, NullInstanceIsRefusedWithTheFixedValue) {
  const std::vector<ForwardRow> rows = ForwardRows();
  for (std::size_t i = 0; i < rows.size(); ++i) {
    EXPECT_EQ(rows[i].call(nullptr), rows[i].refused) << "row " << i << " " << rows[i].name;
  }
  Info_Terminate(nullptr);
  EXPECT_TRUE(Log().empty());
}

TEST_F(InfoBridgeTest, NullRequiredArgumentIsRefusedWithoutCallingThePlugin) {
  InfoInstance *instance =
      Info_Initialize(BaseOf(INFO_PLUGIN_FULL).c_str(), "Office", "none", false, nullptr);
  ASSERT_NE(instance, nullptr);
  setenv("ZELCUPS_INFO_PLUGIN_RESULT", "5", 1);
  struct Row {
    int32_t (*call)(InfoInstance *);
    int32_t expected;
    bool reaches_plugin;
  } rows[] = {
      {[](InfoInstance *i) { return Info_CreateUpdatedOptions(i, true, nullptr, &g_options); }, -1,
       false},
      {[](InfoInstance *i) { return Info_CreateUpdatedOptions(i, true, "0000", nullptr); }, -1,
       false},
      {[](InfoInstance *i) {
         Info_DestroyUpdatedOptions(i, nullptr);
         return 0;
       },
       0, false},
      {[](InfoInstance *i) { return Info_UpdateOptions(i, nullptr); }, -1, false},
      {[](InfoInstance *i) -> int32_t {
         return Info_Duplex_CheckManagement(i, nullptr, &g_data2, 1);
       },
       0, false},
      {[](InfoInstance *i) -> int32_t {
         return Info_Duplex_CheckManagement(i, &g_data1, nullptr, 1);
       },
       0, false},
      {[](InfoInstance *i) { return Info_Duplex_GetDigregData(i, nullptr); }, -1, false},
      {[](InfoInstance *i) { return Info_SimplexDuplex_GetCalib3Info(i, 1, nullptr); }, -1, false},
      // The first argument is passed on, not tested.
      {[](InfoInstance *i) { return Info_SimplexDuplex_GetCalib3Info(i, 0, &g_data1); }, 5, true},
  };
  for (std::size_t i = 0; i < std::size(rows); ++i) {
    ClearLog();
    EXPECT_EQ(rows[i].call(instance), rows[i].expected) << "row " << i;
    EXPECT_EQ(Log().size(), rows[i].reaches_plugin ? 1u : 0u) << "row " << i;
  }
  Info_Terminate(instance);
}

TEST_F(InfoBridgeTest, OptionsHandleLeftByFailedCreateIsDestroyed) {
  InfoInstance *instance =
      Info_Initialize(BaseOf(INFO_PLUGIN_OPTIONS_FAIL).c_str(), "Office", "none", false, nullptr);
  ASSERT_NE(instance, nullptr);
  const std::string context = Context();
  void *options = nullptr;
  EXPECT_EQ(Info_CreateUpdatedOptions(instance, true, "0000", &options), 3);
  ASSERT_NE(options, nullptr);
  Info_DestroyUpdatedOptions(instance, options);  // the plug-in frees it
  Info_Terminate(instance);
  std::vector<std::string> log = Log();
  EXPECT_NE(std::find(log.begin(), log.end(), "options " + Hex(options)), log.end());
  EXPECT_NE(std::find(log.begin(), log.end(),
                      "Info_DestroyUpdatedOptions " + context + " " + Hex(options)),
            log.end());
}

}  // namespace

#include "pairscan/pnf_pairs.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "common/captured_run.h"

namespace {

namespace fs = std::filesystem;

struct StemCase {
  const char16_t* windows_folder;
  const char16_t* entry_name;
  const char16_t* stem;
};

TEST(PnfStemTest, CutsAtTheFirstDotOfTheName) {
  const StemCase cases[] = {
      {u"C:\\WINDOWS", u"oem7.pnf", u"C:\\WINDOWS\\inf\\oem7"},
      {u"C:\\WINDOWS", u"setup.api.pnf", u"C:\\WINDOWS\\inf\\setup"},
      {u"C:\\WINDOWS", u"OEM9.PNF", u"C:\\WINDOWS\\inf\\OEM9"},
      {u"C:\\WIN.NT", u"oem7.pnf", u"C:\\WIN.NT\\inf\\oem7"},
      {u"/mnt/case.001/Windows", u"a.b.pnf", u"/mnt/case.001/Windows\\inf\\a"},
      {u"C:\\WINDOWS", u"50%s.pnf", u"C:\\WINDOWS\\inf\\50%s"},
      // A name that starts with a dot has an empty stem part: its companion
      // would be the entry ".inf".
      {u"C:\\WINDOWS", u".pnf", u"C:\\WINDOWS\\inf\\"},
      {u"C:\\WINDOWS", u"nodot", u"C:\\WINDOWS\\inf\\nodot"},
  };
  for (const StemCase& c : cases) {
    EXPECT_EQ(PnfStem(c.windows_folder, c.entry_name), WideString(c.stem))
        << "entry "
        << DisplayFromWide(c.entry_name,
                           std::char_traits<char16_t>::length(c.entry_name));
  }
}

// A Windows folder in a temporary folder, named by SystemRoot, with a log
// beside it and the console caught, so that a walk's output can be compared.
class ScanPnfPairsTest : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/pnf_pairs_test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
    // A dot in the folder path must not decide the stems.
    windows_ = root_ / "case.001" / "Windows";
    fs::create_directories(windows_ / "inf");
    const char* old = getenv("SystemRoot");
    had_system_root_ = old != nullptr;
    if (old) old_system_root_ = old;
    setenv("SystemRoot", windows_.c_str(), 1);
  }

  void TearDown() override {
    if (had_system_root_)
      setenv("SystemRoot", old_system_root_.c_str(), 1);
    else
      unsetenv("SystemRoot");
    fs::remove_all(root_);
  }

  void Touch(const char* name) { std::ofstream(windows_ / "inf" / name); }

  // Runs the walk and returns what it printed.
  std::string Scan() {
    ScanPnfPairs();
    return run_.Console();
  }

  WideString Log() { return run_.Log(); }

  WideString Stem(const char16_t* name) {
    return WideFromNative(windows_.string()) + u"\\inf\\" + name;
  }

  static std::string Display(const WideString& text) {
    return DisplayFromWide(text.data(), text.size());
  }

  fs::path root_;
  fs::path windows_;
  CapturedRun run_;
  bool had_system_root_ = false;
  std::string old_system_root_;
};

TEST_F(ScanPnfPairsTest, ReportsOrphansBeforeAnnouncingThem) {
  Touch("oem7.pnf");
  Touch("oem7.inf");
  Touch("oem8.pnf");
  Touch("setup.api.pnf");
  Touch("setup.inf");
  Touch("OEM9.PNF");
  Touch("oem9.inf");
  Touch("50%s.pnf");
  Touch("folder.pnf");
  fs::create_directory(windows_ / "inf" / "folder.inf");

  const WideString orphan_percent =
      u"SUSPICIOUS: There is no corresponding inf file for " + Stem(u"50%s") +
      u"\r\n";
  const WideString orphan_oem8 =
      u"SUSPICIOUS: There is no corresponding inf file for " + Stem(u"oem8") +
      u"\r\n";
  const WideString console = orphan_percent + u"INFO: Checking file " +
                             Stem(u"50%s") + u"\n" + u"INFO: Checking file " +
                             Stem(u"folder") + u"\n" + u"INFO: Checking file " +
                             Stem(u"oem7") + u"\n" + orphan_oem8 +
                             u"INFO: Checking file " + Stem(u"oem8") + u"\n" +
                             u"INFO: Checking file " + Stem(u"OEM9") + u"\n" +
                             u"INFO: Checking file " + Stem(u"setup") + u"\n";
  EXPECT_EQ(Scan(), Display(console));
  EXPECT_EQ(Log(), orphan_percent + orphan_oem8);
}

TEST_F(ScanPnfPairsTest, WalkThatCannotStartIsLoggedAndEchoed) {
  Touch("oem7.inf");
  const WideString no_list =
      u"ERROR: Could not get directory list. Error code: 0x2\r\n";
  EXPECT_EQ(Scan(), Display(no_list));
  EXPECT_EQ(Log(), no_list);
}

TEST_F(ScanPnfPairsTest, FallsBackToTheDefaultWindowsFolder) {
  unsetenv("SystemRoot");
  // Without a Windows folder the walk reads c:\WINDOWS, here a relative path
  // below the current folder.
  fs::create_directories(root_ / "c:" / "WINDOWS" / "inf");
  std::ofstream(root_ / "c:" / "WINDOWS" / "inf" / "lone.pnf");
  const fs::path old_folder = fs::current_path();
  fs::current_path(root_);
  const std::string console = Scan();
  fs::current_path(old_folder);

  const WideString no_folder =
      u"ERROR: Could not retrieve windows directory. Error code: 0xcb\r\n";
  const WideString orphan =
      u"SUSPICIOUS: There is no corresponding inf file for "
      u"c:\\WINDOWS\\inf\\lone\r\n";
  EXPECT_EQ(console, Display(no_folder + orphan +
                             u"INFO: Checking file c:\\WINDOWS\\inf\\lone\n"));
  EXPECT_EQ(Log(), no_folder + orphan);
}

}  // namespace

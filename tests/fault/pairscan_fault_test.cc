// pairscan's failure routes, each driven through the fake platform.
#include <string>

#include "pairscan/pnf_pairs.h"
#include "tests/fault/fault_test.h"

namespace {

std::string Checking(const std::string& stem) {
  return "INFO: Checking file " + stem + "\n";
}

std::string Orphan(const std::string& stem) {
  return "SUSPICIOUS: There is no corresponding inf file for " + stem + "\r\n";
}

using PnfPairsFault = FaultTest;

TEST_F(PnfPairsFault, FolderFailures) {
  const std::string kFolderError =
      "ERROR: Could not retrieve windows directory. Error code: 0xcb\r\n";
  const WalkCase cases[] = {
      {"Windows folder unavailable: c:\\WINDOWS is walked",
       [] {
         fake.windows_folder_error = 0xcb;
         fake.files[u"D:\\WINNT\\inf\\d.pnf"] = FakeFile();
         fake.files[u"c:\\WINDOWS\\inf\\a.pnf"] = FakeFile();
         fake.files[u"c:\\WINDOWS\\inf\\a.inf"] = FakeFile();
         fake.files[u"c:\\WINDOWS\\inf\\b.pnf"] = FakeFile();
       },
       kFolderError + Checking("c:\\WINDOWS\\inf\\a") +
           Orphan("c:\\WINDOWS\\inf\\b") + Checking("c:\\WINDOWS\\inf\\b"),
       kFolderError + Orphan("c:\\WINDOWS\\inf\\b")},
      {"enumeration failing at start",
       [] {
         fake.enumeration_error = kErrorPathNotFound;
         fake.files[u"D:\\WINNT\\inf\\a.pnf"] = FakeFile();
       },
       "ERROR: Could not get directory list. Error code: 0x3\r\n",
       "ERROR: Could not get directory list. Error code: 0x3\r\n"},
      {"enumeration ending early, without a word",
       [] {
         fake.entries_before_end = 1;
         fake.files[u"D:\\WINNT\\inf\\a.pnf"] = FakeFile();
         fake.files[u"D:\\WINNT\\inf\\b.pnf"] = FakeFile();
       },
       Orphan("D:\\WINNT\\inf\\a") + Checking("D:\\WINNT\\inf\\a"),
       Orphan("D:\\WINNT\\inf\\a")},
  };
  ExpectEachCase(cases, ScanPnfPairs);
}

// A name holding line ends is still probed under its own name, and in its
// messages they travel as escape units.
TEST_F(PnfPairsFault, ANameCannotEndALogLine) {
  Restart();
  fake.files[u"D:\\WINNT\\inf\\a\r\nSUSPICIOUS: b.pnf"] = FakeFile();
  fake.files[u"D:\\WINNT\\inf\\c\n.pnf"] = FakeFile();
  fake.files[u"D:\\WINNT\\inf\\c\n.inf"] = FakeFile();
  ScanPnfPairs();
  const std::string orphan =
      "D:\\WINNT\\inf\\a\xEF\xBF\xBD\xEF\xBF\xBDSUSPICIOUS: b";
  EXPECT_EQ(FakeConsole(), Orphan(orphan) + Checking(orphan) +
                               Checking("D:\\WINNT\\inf\\c\xEF\xBF\xBD"));
  EXPECT_EQ(FakeLogText(), kStartLine + Orphan(orphan));
}

}  // namespace

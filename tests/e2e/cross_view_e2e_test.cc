// The Windows programs' cross-view under Wine: a drive that is a host folder
// and a raw device at once, the folder playing what the system shows and an
// NTFS image what the disk holds (in the prefix's dosdevices, e: links to
// the folder and e:: to the image).
#include <gtest/gtest.h>
#include <unistd.h>

#include "tests/e2e/harness.h"
#include "tests/e2e/images.h"
#include "tests/e2e/messages.h"

namespace {

const std::string kZeros(4096, '\0');
const std::string kClean(24, '\x90');

// The disk: four drivers with a signature each, the last kept compressed
// by WOF (CompactOS), a pnf file with its .inf and one above the threshold
// without.
TreeFile CompressedByWof(const std::string& path, const std::string& bytes) {
  TreeFile file = File(path, bytes);
  file.wof_algorithm = 0;  // XPRESS4K
  return file;
}

VolumeRecipe Disk() {
  VolumeRecipe recipe{"cross_view", FileSystem::kNtfs, 8, {}};
  recipe.tree.files = {
      File("Windows/System32/drivers/a.sys", WithSignature(kRow1)),
      File("Windows/System32/drivers/h.sys", WithSignature(kRow5)),
      File("Windows/System32/drivers/m.sys", WithSignature(kRow11)),
      CompressedByWof("Windows/System32/drivers/w.sys", WithSignature(kRow1)),
      File("Windows/inf/a.inf", "[Version]\r\n"),
      File("Windows/inf/a.pnf", kZeros),
      File("Windows/inf/h.pnf", EveryByte()),
  };
  return recipe;
}

// What the system shows: the disk, w.sys as its original bytes, or the disk
// with h.sys, w.sys and h.pnf hidden and m.sys read without its signature.
void LaySystemView(const std::string& root, bool as_on_disk) {
  const std::string drivers = root + "/Windows/System32/drivers/";
  const std::string inf = root + "/Windows/inf/";
  WriteFileBytes(drivers + "a.sys", WithSignature(kRow1));
  WriteFileBytes(drivers + "m.sys",
                 as_on_disk ? WithSignature(kRow11) : kClean);
  WriteFileBytes(inf + "a.inf", "[Version]\r\n");
  WriteFileBytes(inf + "a.pnf", kZeros);
  if (as_on_disk) {
    WriteFileBytes(drivers + "h.sys", WithSignature(kRow5));
    WriteFileBytes(drivers + "w.sys", WithSignature(kRow1));
    WriteFileBytes(inf + "h.pnf", EveryByte());
  }
}

// A hidden driver that WOF compresses: its bytes on the disk are
// compressed where only the system's filter reads them.
const char kNotReadable[] =
    "ERROR: Could not open file for reading. Error code: 0x32\r\n";
const char kExamining[] =
    "INFO: Examining the Windows folder E:\\Windows (VORLKIT_WINDOWS)\r\n";
const char kWow64Warning[] =
    "WARNING: 64-bit system is detected. Some drivers may remain unchecked. "
    "Note that Vorl currently does not use 64-bit kernel drivers!\r\n";

std::string Compared(const std::string& folder) {
  return "INFO: Comparing the folder " + folder +
         " with the raw NTFS volume \\\\.\\E:\r\n";
}

// What one tool says, on the console and in the log after the start line.
struct Said {
  std::string console;
  std::string log;
};

class WineCrossView : public testing::TestWithParam<WindowsBuild> {
 protected:
  void SetUp() override {
    SKIP_OR_FAIL_WITHOUT(GetParam());
    const BuiltImage& disk = BuildVolume(Disk());
    SKIP_OR_FAIL_UNLESS_BUILT(disk);
    disk_ = &disk;
    devices_ = WinePrefix() + "/dosdevices/";
    drive_ = temp_.path() + "/drive";
    MakeFolders(drive_);
    ASSERT_EQ(symlink(drive_.c_str(), (devices_ + "e:").c_str()), 0);
    ASSERT_EQ(symlink(disk.path.c_str(), (devices_ + "e::").c_str()), 0);
    before_ = ImageState(disk);
  }

  void TearDown() override {
    if (devices_.empty()) return;
    unlink((devices_ + "e:").c_str());
    unlink((devices_ + "e::").c_str());
    if (disk_) {
      EXPECT_EQ(ImageState(*disk_), before_);
    }
  }

  Said Run(const std::string& tool, const std::string& raw = "") {
    RunOptions options = OptionsIn(temp_.path(), {tool + ".log"});
    options.env["VORLKIT_WINDOWS"] = "E:\\Windows";
    if (!raw.empty()) options.env["VORLKIT_RAW"] = raw;
    RunResult run = RunWindows(GetParam(), tool, options);
    EXPECT_EQ(run.exit_code, 0) << tool;
    return {run.console, LogTextAfterStart(temp_.path() + "/" + tool + ".log",
                                           tool + ".exe")};
  }

  // The lines before the walk: the folder named, drvscan's warning when it
  // runs under WoW64, and the comparison that ran, if any.
  std::string Before(const std::string& tool, const std::string& compared) {
    std::string out = kExamining;
    if (tool == "drvscan" && GetParam().wow64) out += kWow64Warning;
    return out + compared;
  }

  TempFolder temp_;
  const BuiltImage* disk_ = nullptr;
  std::string devices_;
  std::string drive_;
  std::string before_;
};

TEST_P(WineCrossView, FindsNothingWhereTheFolderIsTheDisk) {
  LaySystemView(drive_, true);
  const std::string drivers = Compared("E:\\Windows\\system32\\drivers");
  const std::string inf = Compared("E:\\Windows\\inf");
  Said drvscan = Run("drvscan");
  EXPECT_EQ(drvscan.console, Before("drvscan", drivers) + Checking("a.sys") +
                                 kHit1 + Checking("h.sys") + kHit5 +
                                 Checking("m.sys") + kHit11 +
                                 Checking("w.sys") + kHit1);
  EXPECT_EQ(drvscan.log,
            Before("drvscan", drivers) + Logged("a.sys", "decrypt magic1") +
                Logged("h.sys", "C6 2A xor") + Logged("m.sys", "79 F4 8B") +
                Logged("w.sys", "decrypt magic1"));
  Said noisegauge = Run("noisegauge");
  EXPECT_EQ(noisegauge.console, Before("noisegauge", inf) + Checking("a.pnf") +
                                    Checking("h.pnf") +
                                    AboveThreshold("h.pnf"));
  Said pairscan = Run("pairscan");
  EXPECT_EQ(pairscan.console, Before("pairscan", inf) +
                                  Checking("E:\\Windows\\inf\\a") +
                                  Orphan("E:\\Windows\\inf\\h") +
                                  Checking("E:\\Windows\\inf\\h"));
}

TEST_P(WineCrossView, ExaminesWhatTheListingHidesAndTheDiskHolds) {
  LaySystemView(drive_, false);
  const std::string drivers = Compared("E:\\Windows\\system32\\drivers");
  const std::string inf = Compared("E:\\Windows\\inf");
  Said drvscan = Run("drvscan");
  EXPECT_EQ(drvscan.console, Before("drvscan", drivers) + Checking("a.sys") +
                                 kHit1 + Hidden("h.sys") + Checking("h.sys") +
                                 kHit5 + Checking("m.sys") + Masked("m.sys") +
                                 kHit11 + Hidden("w.sys") + Checking("w.sys") +
                                 kNotReadable);
  EXPECT_EQ(drvscan.log, Before("drvscan", drivers) +
                             Logged("a.sys", "decrypt magic1") +
                             Hidden("h.sys") + Logged("h.sys", "C6 2A xor") +
                             Masked("m.sys") + Logged("m.sys", "79 F4 8B") +
                             Hidden("w.sys") + kNotReadable);
  Said noisegauge = Run("noisegauge");
  const std::string entropy = Checking("a.pnf") + Hidden("h.pnf") +
                              Checking("h.pnf") + AboveThreshold("h.pnf");
  EXPECT_EQ(noisegauge.console, Before("noisegauge", inf) + entropy);
  EXPECT_EQ(noisegauge.log, Before("noisegauge", inf) + Hidden("h.pnf") +
                                AboveThreshold("h.pnf"));
  Said pairscan = Run("pairscan");
  EXPECT_EQ(pairscan.console, Before("pairscan", inf) +
                                  Checking("E:\\Windows\\inf\\a") +
                                  Hidden("E:\\Windows\\inf\\h.pnf") +
                                  Orphan("E:\\Windows\\inf\\h") +
                                  Checking("E:\\Windows\\inf\\h"));
  EXPECT_EQ(pairscan.log, Before("pairscan", inf) +
                              Hidden("E:\\Windows\\inf\\h.pnf") +
                              Orphan("E:\\Windows\\inf\\h"));
}

// VORLKIT_RAW=0 turns the comparison off: the output of the plain walk.
TEST_P(WineCrossView, ComparesNothingWhenTurnedOff) {
  LaySystemView(drive_, false);
  Said drvscan = Run("drvscan", "0");
  EXPECT_EQ(drvscan.console, Before("drvscan", "") + Checking("a.sys") + kHit1 +
                                 Checking("m.sys"));
  EXPECT_EQ(drvscan.log,
            Before("drvscan", "") + Logged("a.sys", "decrypt magic1"));
}

// VORLKIT_RAW=1 requires the comparison: on a drive without a raw device it
// cannot run, and the walk says why before it goes on as usual.
TEST_P(WineCrossView, SaysWhyARequiredComparisonCannotRun) {
  unlink((devices_ + "e::").c_str());
  LaySystemView(drive_, false);
  Said drvscan = Run("drvscan", "1");
  const std::string why =
      "ERROR: Could not compare the folder E:\\Windows\\system32\\drivers "
      "with the raw volume \\\\.\\E:. Error code: 0x";
  const std::string before = Before("drvscan", "");
  ASSERT_EQ(drvscan.log.compare(0, before.size() + why.size(), before + why), 0)
      << drvscan.log;
  std::string after =
      drvscan.log.substr(drvscan.log.find("\r\n", before.size()) + 2);
  EXPECT_EQ(after, Logged("a.sys", "decrypt magic1"));
}

INSTANTIATE_TEST_SUITE_P(Wine, WineCrossView,
                         testing::ValuesIn(WindowsBuilds()),
                         [](const auto& info) { return info.param.name; });

}  // namespace

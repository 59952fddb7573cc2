// The three programs on evidence images whose NTFS volume keeps shadow
// copies: after the volume's own walk, each copy, newest first, is walked
// for what it holds that the volume does not, and copies that cannot be
// read are named. Every image is first held against its states by
// libvshadow's own tools, and must stay as it was.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "tests/e2e/harness.h"
#include "tests/e2e/images.h"
#include "tests/e2e/messages.h"
#include "tests/e2e/shadow_copies.h"

namespace {

const char* const kTools[] = {"drvscan", "noisegauge", "pairscan"};
const std::string kDrivers = "Windows/System32/drivers/";
const std::string kInf = "Windows/inf/";

// The three versions of beep.sys: in the oldest state, in the states after
// it, and on the volume now, which holds no signature.
std::string OldBeep() { return Placed(8192, 'b', 100, kRow5); }
std::string LaterBeep() { return Placed(9000, 'c', 4000, kRow5); }
std::string CurrentBeep() { return std::string(5000, 'B'); }

// The oldest state: a Vorl driver, a packed pnf without its .inf, a driver
// changed later and one that never changes, which holds a signature.
Tree OldestState() {
  return {{},
          {File(kDrivers + "vorl.sys", WithSignature(kRow1)),
           File(kDrivers + "beep.sys", OldBeep()),
           File(kDrivers + "null.sys", WithSignature(kRow11)),
           File(kInf + "oem9.pnf", Repeat(EveryByte(), 64)),
           File(kInf + "oem1.pnf", EveryByte()), File(kInf + "oem1.inf", "")}};
}

// The volume now: the Vorl files deleted, beep.sys clean, a driver added.
Tree CurrentChanges() {
  Tree tree = {{},
               {File(kDrivers + "beep.sys", CurrentBeep()),
                File(kDrivers + "clean.sys", std::string(3000, 'k'))}};
  tree.removed = {kDrivers + "vorl.sys", kInf + "oem9.pnf"};
  return tree;
}

VolumeRecipe OneCopy() {
  VolumeRecipe recipe{"walk-one", FileSystem::kNtfs, 16, {}};
  recipe.shadows = {{OldestState(), "2019-06-04 23:43:32"}};
  recipe.tree = CurrentChanges();
  return recipe;
}

// Three copies: the Vorl files deleted after the first and beep.sys changed,
// then a state that changes no folder the tools look in, listed in the
// catalog in an order of its own.
VolumeRecipe ThreeCopies() {
  VolumeRecipe recipe{"walk-three", FileSystem::kNtfs, 16, {}};
  Tree second = {{}, {File(kDrivers + "beep.sys", LaterBeep())}};
  second.removed = {kDrivers + "vorl.sys", kInf + "oem9.pnf"};
  recipe.shadows = {{OldestState(), "2019-06-04 23:43:32"},
                    {second, "2019-06-05 08:00:00"},
                    {{{"Windows/Temp"}, {}}, "2020-01-01 00:00:01"}};
  recipe.tree = {{},
                 {File(kDrivers + "beep.sys", CurrentBeep()),
                  File(kDrivers + "clean.sys", std::string(3000, 'k'))}};
  recipe.shadow_catalog_order = {2, 0, 1};
  return recipe;
}

// The oldest state has no drivers folder; the volume now has one.
VolumeRecipe NoDriversFolder() {
  VolumeRecipe recipe{"walk-nodrivers", FileSystem::kNtfs, 16, {}};
  recipe.shadows = {
      {{{"Windows/System32/config"},
        {File(kInf + "oem1.pnf", EveryByte()), File(kInf + "oem1.inf", "")}},
       "2021-03-01 12:00:00"}};
  recipe.tree = {{}, {File(kDrivers + "vorl.sys", WithSignature(kRow1))}};
  return recipe;
}

std::string Examining(uint64_t offset, const std::string& image) {
  return "INFO: Examining the Windows folder \\Windows of the NTFS volume at "
         "byte " +
         std::to_string(offset) + " of " + image + " (VORLKIT_IMAGE)\r\n";
}

std::string VolumeText(uint64_t offset, const std::string& image) {
  return "the NTFS volume at byte " + std::to_string(offset) + " of " + image;
}

std::string CopyLine(int number, int count, const std::string& made,
                     uint64_t offset, const std::string& image) {
  return "INFO: Examining shadow copy " + std::to_string(number) + " of " +
         std::to_string(count) + ", made " + made + " UTC, of " +
         VolumeText(offset, image) + "\r\n";
}

std::string CopyError(int number, int count, uint64_t offset,
                      const std::string& image, const std::string& code) {
  return "ERROR: Could not examine shadow copy " + std::to_string(number) +
         " of " + std::to_string(count) + " of " + VolumeText(offset, image) +
         ". Error code: 0x" + code + "\r\n";
}

std::string CatalogError(uint64_t offset, const std::string& image) {
  return "ERROR: Could not examine shadow copy 0 of " +
         VolumeText(offset, image) + ". Error code: 0x570\r\n";
}

std::string Entropy(const std::string& name, const std::string& digits) {
  return "SUSPICIOUS: The entropy of " + name +
         " is above threshold: " + digits + "\r\n";
}

// What each program says of a walk: on the console, and in the log.
struct Said {
  std::string console;
  std::string log;
  Said& operator+=(const Said& more) {
    console += more.console;
    log += more.log;
    return *this;
  }
};

// A line that is logged and echoed.
Said Both(const std::string& line) { return {line, line}; }

Said Hit(const std::string& name, const char* hit, const char* pattern) {
  return {Checking(name) + hit, Logged(name, pattern)};
}

const std::string kStems = "\\Windows\\inf\\";

// What the volume's own walk says, the same with and without shadow copies.
std::map<std::string, Said> VolumeWalk() {
  return {{"drvscan",
           {Checking("beep.sys") + Checking("clean.sys") +
                Checking("null.sys") + kHit11,
            Logged("null.sys", "79 F4 8B")}},
          {"noisegauge",
           {Checking("oem1.pnf") + AboveThreshold("oem1.pnf"),
            AboveThreshold("oem1.pnf")}},
          {"pairscan", {Checking(kStems + "oem1"), ""}}};
}

// What the walk of the oldest copy says: the Vorl files and its beep.sys,
// and nothing of null.sys or oem1, which the volume holds unchanged.
std::map<std::string, Said> OldestCopyWalk() {
  std::map<std::string, Said> walk;
  walk["drvscan"] = Hit("beep.sys", kHit5, "C6 2A xor");
  walk["drvscan"] += Hit("vorl.sys", kHit1, "decrypt magic1");
  walk["noisegauge"] = {Checking("oem9.pnf") + Entropy("oem9.pnf", "0.999023"),
                        Entropy("oem9.pnf", "0.999023")};
  walk["pairscan"] = {Orphan(kStems + "oem9") + Checking(kStems + "oem9"),
                      Orphan(kStems + "oem9")};
  return walk;
}

// Runs every program on `image` and holds what each says to `expected`.
void ExpectWalks(const std::string& what, const std::string& image,
                 const std::map<std::string, Said>& expected,
                 const std::map<std::string, std::string>& env = {}) {
  for (const char* tool : kTools) {
    ImageRun run = RunOnImage(tool, image, env);
    const Said& said = expected.at(tool);
    EXPECT_FALSE(run.run.timed_out) << what << " " << tool;
    EXPECT_EQ(run.run.exit_code, 0) << what << " " << tool;
    EXPECT_EQ(run.run.console, said.console) << what << " " << tool;
    EXPECT_EQ(run.log, said.log) << what << " " << tool;
  }
}

// The image is held against its states, and left as it was by the runs.
#define EXPECT_SHADOWS_READ_AS_WRITTEN(image) \
  ASSERT_EQ(CheckShadowCopies(image), "")

TEST(NativeShadowWalk, FindsWhatOnlyACopyHolds) {
  const std::vector<DiskRecipe> disks = {
      {PartitionTable::kNone, {OneCopy()}},
      {PartitionTable::kMbr, {OneCopy()}},
      {PartitionTable::kGpt, {OneCopy()}},
      {PartitionTable::kGpt, {OneCopy()}, ImageFormat::kE01}};
  for (const DiskRecipe& disk : disks) {
    const BuiltImage& image = BuildImage(disk);
    SKIP_OR_FAIL_UNLESS_BUILT(image);
    EXPECT_SHADOWS_READ_AS_WRITTEN(image);
    const std::string before = ImageState(image);
    const uint64_t offset = image.offsets.at(0);
    std::map<std::string, Said> expected;
    for (const char* tool : kTools) {
      expected[tool] = Both(Examining(offset, image.path));
      expected[tool] += VolumeWalk()[tool];
      expected[tool] +=
          Both(CopyLine(1, 1, "2019-06-04 23:43:32", offset, image.path));
      expected[tool] += OldestCopyWalk()[tool];
    }
    ExpectWalks(image.path, image.path, expected);
    EXPECT_EQ(ImageState(image), before) << image.path;
  }
}

// Newest first: a copy whose folders hold nothing new gets its line alone,
// and a changed driver is reported in each copy where it differs from the
// volume.
TEST(NativeShadowWalk, WalksEveryCopyNewestFirst) {
  const BuiltImage& image = BuildVolume(ThreeCopies());
  SKIP_OR_FAIL_UNLESS_BUILT(image);
  EXPECT_SHADOWS_READ_AS_WRITTEN(image);
  const std::string before = ImageState(image);
  std::map<std::string, Said> expected;
  for (const char* tool : kTools) {
    const std::string name = tool;
    expected[tool] = Both(Examining(0, image.path));
    expected[tool] += VolumeWalk()[tool];
    expected[tool] +=
        Both(CopyLine(3, 3, "2020-01-01 00:00:01", 0, image.path));
    if (name == "drvscan")
      expected[tool] += Hit("beep.sys", kHit5, "C6 2A xor");
    expected[tool] +=
        Both(CopyLine(2, 3, "2019-06-05 08:00:00", 0, image.path));
    if (name == "drvscan")
      expected[tool] += Hit("beep.sys", kHit5, "C6 2A xor");
    expected[tool] +=
        Both(CopyLine(1, 3, "2019-06-04 23:43:32", 0, image.path));
    expected[tool] += OldestCopyWalk()[tool];
  }
  ExpectWalks("three copies", image.path, expected);

  // Turned off, the output is that of a volume without shadow copies.
  std::map<std::string, Said> volume_only;
  for (const char* tool : kTools) {
    volume_only[tool] = Both(Examining(0, image.path));
    volume_only[tool] += VolumeWalk()[tool];
  }
  ExpectWalks("VORLKIT_SHADOWS=0", image.path, volume_only,
              {{"VORLKIT_SHADOWS", "0"}});
  EXPECT_EQ(ImageState(image), before);
}

// A copy without the folder that the walk looks in says so once, with the
// walk's own error line.
TEST(NativeShadowWalk, ACopyWithoutTheFolderSaysSo) {
  const BuiltImage& image = BuildVolume(NoDriversFolder());
  SKIP_OR_FAIL_UNLESS_BUILT(image);
  EXPECT_SHADOWS_READ_AS_WRITTEN(image);
  const std::string copy = CopyLine(1, 1, "2021-03-01 12:00:00", 0, image.path);
  std::map<std::string, Said> expected = {
      {"drvscan",
       {Examining(0, image.path) + Checking("vorl.sys") + kHit1 + copy +
            "ERROR: Could not find the specified file. Error code: 0x3\r\n",
        Examining(0, image.path) + Logged("vorl.sys", "decrypt magic1") + copy +
            "ERROR: Could not find the specified file. Error code: 0x3\r\n"}},
      {"noisegauge", Both(Examining(0, image.path) + Checking("oem1.pnf") +
                          AboveThreshold("oem1.pnf") + copy)},
      {"pairscan",
       {Examining(0, image.path) + Checking(kStems + "oem1") + copy,
        Examining(0, image.path) + copy}}};
  expected["noisegauge"].log =
      Examining(0, image.path) + AboveThreshold("oem1.pnf") + copy;
  ExpectWalks("no drivers folder", image.path, expected);
}

// A store whose block list is damaged stops its own copy and those that
// read through it; a damaged catalog stops them all. The volume's walk
// stands either way.
TEST(NativeShadowWalk, NamesCopiesThatCannotBeRead) {
  const BuiltImage& image = BuildImage({PartitionTable::kMbr, {ThreeCopies()}});
  SKIP_OR_FAIL_UNLESS_BUILT(image);
  const uint64_t offset = image.offsets.at(0);
  const VolumeShadows& shadows = image.shadows.at(0);
  ASSERT_EQ(shadows.copies.size(), 3u);
  auto damaged = [&](const std::string& name,
                     uint64_t at) -> const BuiltImage& {
    return ChangedImage(image, name, [offset, at](std::string* bytes) {
      bytes->replace(offset + at, 0x4000, 0x4000, '\x5a');
      return std::string();
    });
  };
  const BuiltImage& oldest_store =
      damaged("walk-store1.raw", shadows.copies[0].first_block_list);
  const BuiltImage& catalog =
      damaged("walk-catalog.raw", shadows.catalog_blocks.at(0));
  SKIP_OR_FAIL_UNLESS_BUILT(oldest_store);
  SKIP_OR_FAIL_UNLESS_BUILT(catalog);

  std::map<std::string, Said> store_said, catalog_said;
  for (const char* tool : kTools) {
    const std::string name = tool;
    for (const BuiltImage* changed : {&oldest_store, &catalog}) {
      std::map<std::string, Said>& said =
          changed == &catalog ? catalog_said : store_said;
      said[tool] = Both(Examining(offset, changed->path));
      said[tool] += VolumeWalk()[tool];
    }
    catalog_said[tool] += Both(CatalogError(offset, catalog.path));
    Said& said = store_said[tool];
    said +=
        Both(CopyLine(3, 3, "2020-01-01 00:00:01", offset, oldest_store.path));
    if (name == "drvscan") said += Hit("beep.sys", kHit5, "C6 2A xor");
    said +=
        Both(CopyLine(2, 3, "2019-06-05 08:00:00", offset, oldest_store.path));
    if (name == "drvscan") said += Hit("beep.sys", kHit5, "C6 2A xor");
    said += Both(CopyError(1, 3, offset, oldest_store.path, "570"));
  }
  ExpectWalks("a damaged store", oldest_store.path, store_said);
  ExpectWalks("a damaged catalog", catalog.path, catalog_said);
}

// kitreport gives each record of a copy's walk the copy's creation time.
TEST(NativeShadowWalk, KitreportNamesTheCopyOfEachRecord) {
  const BuiltImage& image = BuildVolume(OneCopy());
  SKIP_OR_FAIL_UNLESS_BUILT(image);
  TempFolder temp;
  for (const char* tool : kTools) {
    RunOptions options = OptionsIn(temp.path(), {"case.log"});
    options.env["VORLKIT_IMAGE"] = image.path;
    ASSERT_EQ(RunNative(tool, options).exit_code, 0) << tool;
  }
  RunResult report = RunNative(
      "kitreport", OptionsIn(temp.path(), {"--format", "csv", "case.log"}));
  EXPECT_EQ(report.exit_code, 1);
  size_t in_copy = 0, in_volume = 0;
  size_t start = report.console.find('\n') + 1;
  while (start < report.console.size()) {
    size_t end = report.console.find("\r\n", start);
    const std::string row = report.console.substr(start, end - start);
    if (row.size() > 20 &&
        row.compare(row.size() - 20, 20, "2019-06-04T23:43:32Z") == 0)
      ++in_copy;
    else if (row.back() == ',')
      ++in_volume;
    start = end + 2;
  }
  // In the copy's walk: its line in each log, drvscan's two findings,
  // noisegauge's and pairscan's one. Outside: each program's start line and
  // image line, and the volume's findings of drvscan and noisegauge.
  EXPECT_EQ(in_copy, 7u) << report.console;
  EXPECT_EQ(in_volume, 8u) << report.console;
}

}  // namespace

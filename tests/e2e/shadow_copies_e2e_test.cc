// The volume shadow copies that the end-to-end tests write: each volume's
// states are laid as asked, and libvshadow reads every copy as the state it
// keeps, bare and behind an MBR or a GPT and in an E01, and finds the damage
// done where the built image says its structures lie. A test of the kit on
// shadow copies is only as good as these.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/e2e/harness.h"
#include "tests/e2e/images.h"
#include "tests/e2e/messages.h"
#include "tests/e2e/shadow_copies.h"

namespace {

const std::string kDrivers = "Windows/System32/drivers/";
const std::string kInf = "Windows/inf/";

std::string Clean(char fill, size_t size) { return std::string(size, fill); }

// State 1 holds a Vorl driver and a packed PNF without its .inf beside clean
// drivers; the current volume has deleted them, changed a driver in place
// and added one.
VolumeRecipe OneCopy() {
  VolumeRecipe recipe{"vss-one", FileSystem::kNtfs, 16, {}};
  recipe.shadows = {{{{},
                      {File(kDrivers + "vorl.sys", WithSignature(kRow1)),
                       File(kInf + "oem9.pnf", Repeat(EveryByte(), 64)),
                       File(kDrivers + "beep.sys", Clean('b', 20000)),
                       File(kDrivers + "null.sys", Clean('n', 9000))}},
                     "2019-06-04 23:43:32"}};
  recipe.tree = {{},
                 {File(kDrivers + "beep.sys", Clean('B', 50000)),
                  File(kDrivers + "acpi.sys", Clean('a', 12000))},
                 {kDrivers + "vorl.sys", kInf + "oem9.pnf"}};
  return recipe;
}

// Three copies: the Vorl files are deleted after the first, beep.sys is
// changed between every two copies, and the catalog lists the copies in an
// order of its own.
VolumeRecipe ThreeCopies() {
  VolumeRecipe recipe{"vss-three", FileSystem::kNtfs, 16, {}};
  recipe.shadows = {
      {{{},
        {File(kDrivers + "vorl.sys", WithSignature(kRow1)),
         File(kInf + "oem9.pnf", Repeat(EveryByte(), 64)),
         File(kDrivers + "beep.sys", Clean('1', 20000)),
         File(kDrivers + "null.sys", Clean('n', 9000))}},
       "2019-06-04 23:43:32"},
      {{{},
        {File(kDrivers + "beep.sys", Clean('2', 70000))},
        {kDrivers + "vorl.sys", kInf + "oem9.pnf"}},
       "2019-06-05 08:00:00"},
      {{{"Windows/Temp"}, {File(kDrivers + "beep.sys", Clean('3', 5000))}},
       "2020-01-01 00:00:01"}};
  recipe.tree = {{}, {File(kDrivers + "acpi.sys", Clean('a', 12000))}};
  recipe.shadow_catalog_order = {2, 0, 1};
  return recipe;
}

// The oldest state has no drivers folder at all.
VolumeRecipe NoDriversFolder() {
  VolumeRecipe recipe{"vss-nodrivers", FileSystem::kNtfs, 16, {}};
  recipe.shadows = {
      {{{"Windows/System32/config"}, {File(kInf + "oem1.inf", "[Version]")}},
       "2021-03-01 12:00:00"}};
  recipe.tree = {{}, {File(kDrivers + "vorl.sys", WithSignature(kRow1))}};
  return recipe;
}

std::vector<DiskRecipe> Containers(const VolumeRecipe& volume) {
  return {{PartitionTable::kNone, {volume}},
          {PartitionTable::kMbr, {volume}},
          {PartitionTable::kGpt, {volume}},
          {PartitionTable::kGpt, {volume}, ImageFormat::kE01}};
}

TEST(NativeShadowCopies, EveryCopyReadsAsItsState) {
  for (const VolumeRecipe& volume :
       {OneCopy(), ThreeCopies(), NoDriversFolder()}) {
    for (const DiskRecipe& disk : Containers(volume)) {
      const BuiltImage& image = BuildImage(disk);
      SKIP_OR_FAIL_UNLESS_BUILT(image);
      SCOPED_TRACE(image.path);
      ASSERT_EQ(image.shadows.size(), 1u);
      EXPECT_EQ(image.shadows[0].copies.size(), volume.shadows.size());
      EXPECT_EQ("", CheckShadowCopies(image));
    }
  }
}

// What one state of a volume holds at a path: its bytes, or nothing.
struct Holds {
  size_t state;  // the index of a copy, or the number of copies: the volume
  std::string path;
  bool present;
  std::string bytes;
};

TEST(NativeShadowCopies, StatesHoldWhatTheirChangesMade) {
  const VolumeRecipe recipe = ThreeCopies();
  const BuiltImage& image = BuildVolume(recipe);
  SKIP_OR_FAIL_UNLESS_BUILT(image);
  const VolumeShadows& shadows = image.shadows.at(0);
  ASSERT_EQ(shadows.copies.size(), 3u);
  const std::vector<Holds> table = {
      {0, kDrivers + "vorl.sys", true, WithSignature(kRow1)},
      {0, kInf + "oem9.pnf", true, Repeat(EveryByte(), 64)},
      {0, kDrivers + "beep.sys", true, Clean('1', 20000)},
      {1, kDrivers + "vorl.sys", false, ""},
      {1, kInf + "oem9.pnf", false, ""},
      {1, kDrivers + "beep.sys", true, Clean('2', 70000)},
      {1, kDrivers + "null.sys", true, Clean('n', 9000)},
      {2, kDrivers + "beep.sys", true, Clean('3', 5000)},
      {2, "Windows/Temp", true, ""},
      {2, kDrivers + "acpi.sys", false, ""},
      {3, kDrivers + "acpi.sys", true, Clean('a', 12000)},
      {3, kDrivers + "beep.sys", true, Clean('3', 5000)},
      {3, kDrivers + "vorl.sys", false, ""},
  };
  for (size_t state = 0; state <= shadows.copies.size(); ++state) {
    NtfsMount mount(state < shadows.copies.size() ? shadows.copies[state].state
                                                  : image.path);
    ASSERT_TRUE(mount.mounted()) << mount.why();
    for (const Holds& holds : table) {
      if (holds.state != state) continue;
      const std::string path = mount.path() + "/" + holds.path;
      SCOPED_TRACE((state < shadows.copies.size()
                        ? "state " + std::to_string(state + 1)
                        : std::string("the current volume")) +
                   ": " + holds.path);
      EXPECT_EQ(access(path.c_str(), F_OK) == 0, holds.present);
      if (holds.present && !holds.bytes.empty()) {
        EXPECT_EQ(ReadFileBytes(path), holds.bytes);
      }
    }
  }
  // The copies are numbered by age whatever the catalog's order.
  EXPECT_EQ(shadows.copies[0].catalog_index, 1);
  EXPECT_EQ(shadows.copies[1].catalog_index, 2);
  EXPECT_EQ(shadows.copies[2].catalog_index, 0);
  EXPECT_EQ(shadows.copies[0].filetime, 132041654120000000u);  // in UTC
}

// Damage at the offsets the built image gives: the check must see each.
TEST(NativeShadowCopies, CheckFindsDamageWhereTheImageSays) {
  const BuiltImage& disk = BuildImage({PartitionTable::kMbr, {ThreeCopies()}});
  SKIP_OR_FAIL_UNLESS_BUILT(disk);
  const uint64_t volume = disk.offsets.at(0);
  const VolumeShadows& shadows = disk.shadows.at(0);
  ASSERT_EQ(shadows.copies.size(), 3u);
  struct Damage {
    std::string name;
    uint64_t at;           // from the volume's start
    std::string expected;  // in what the check says
  };
  // A saved block of the oldest store, from its first block list.
  const std::string raw = ReadFileBytes(disk.raw);
  const size_t descriptor = volume + shadows.copies[0].first_block_list + 128;
  uint64_t saved = 0;
  for (int i = 7; i >= 0; --i)
    saved =
        saved << 8 | static_cast<unsigned char>(raw.at(descriptor + 16 + i));
  ASSERT_GT(shadows.copies[0].saved_blocks, 0u);
  const std::vector<Damage> damages = {
      {"vss-catalog.raw", shadows.catalog_blocks.at(0), "vshadowinfo"},
      {"vss-store2.raw", shadows.copies[1].store_header, "vshadowinfo"},
      {"vss-blocks1.raw", shadows.copies[0].first_block_list, "vss1"},
      {"vss-saved1.raw", saved, "vss1"},
  };
  for (const Damage& damage : damages) {
    SCOPED_TRACE(damage.name);
    const BuiltImage& damaged =
        ChangedImage(disk, damage.name, [&](std::string* bytes) {
          bytes->replace(volume + damage.at, 0x4000, 0x4000, '\x5a');
          return std::string();
        });
    SKIP_OR_FAIL_UNLESS_BUILT(damaged);
    const std::string said = CheckShadowCopies(damaged);
    EXPECT_NE(said.find(damage.expected), std::string::npos) << said;
  }
}

TEST(NativeShadowCopies, RefusesCopiesOutOfOrder) {
  VolumeRecipe late = OneCopy();
  late.name = "vss-refused-times";
  late.shadows.push_back(late.shadows[0]);
  late.shadows[1].created = "2019-06-04 23:43:31";
  VolumeRecipe unnamed = ThreeCopies();
  unnamed.name = "vss-refused-order";
  unnamed.shadow_catalog_order = {0, 2, 2};
  for (const VolumeRecipe& recipe : {late, unnamed}) {
    const BuiltImage& image = BuildVolume(recipe);
    EXPECT_FALSE(image.built) << recipe.name;
    EXPECT_FALSE(image.missing_tool) << image.why;
  }
}

}  // namespace

// Files that Windows keeps compressed through WOF (CompactOS) in an NTFS
// image: the three programs read each as Windows reads it, its original
// bytes decompressed from its chunks, and report as a read error each file
// whose reparse point or chunks are damaged, or whose bytes lie elsewhere.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "tests/e2e/harness.h"
#include "tests/e2e/images.h"
#include "tests/e2e/messages.h"
#include "tests/e2e/wof_files.h"

namespace {

const char* const kTools[] = {"drvscan", "noisegauge", "pairscan"};

// Bytes that compress well, without a signature.
std::string Text(size_t size) {
  std::string bytes;
  for (int line = 0; bytes.size() < size; ++line)
    bytes += "Windows driver text, line " + std::to_string(line) + "\r\n";
  bytes.resize(size);
  return bytes;
}

std::string Placed(std::string bytes, size_t at, const std::string& row) {
  return bytes.replace(at, row.size(), row);
}

TreeFile Wof(const std::string& path, int algorithm, const std::string& bytes) {
  TreeFile file;
  file.path = path;
  file.bytes = bytes;
  file.wof_algorithm = algorithm;
  return file;
}

// A WOF file of XPRESS4K whose stream or reparse point is laid as given.
TreeFile Laid(const std::string& path, const std::string& bytes,
              std::optional<std::string> stream,
              std::optional<std::string> reparse = std::nullopt) {
  TreeFile file = Wof(path, kWofXpress4k, bytes);
  file.wof_stream = std::move(stream);
  file.wof_reparse = std::move(reparse);
  return file;
}

const std::string kDrivers = "System32/drivers/";
const std::string kInf = "inf/";

// The folder \Wof: every algorithm, with a signature across the boundary of
// two chunks of each chunk size; a short last chunk ending in a signature; a
// chunk stored as it is, since it does not compress, beside compressed ones;
// files of one byte and of exactly one chunk; pnf files across chunks.
std::vector<TreeFile> ReadableFiles() {
  return {
      Wof(kDrivers + "x4.sys", kWofXpress4k,
          Placed(Placed(Text(3 * 4096 + 500), 2 * 4096 - 2, kRow1),
                 3 * 4096 + 500 - kRow11.size(), kRow11)),
      Wof(kDrivers + "lzx.sys", kWofLzx,
          Placed(Text(2 * 32768 + 1000), 32768 - 4, kRow5)),
      Wof(kDrivers + "x8.sys", kWofXpress8k,
          Placed(Text(3 * 8192 + 10), 2 * 8192 - 3, kRow1)),
      Wof(kDrivers + "x16.sys", kWofXpress16k,
          Placed(Text(2 * 16384 + 100), 16384 - 8, kRow11)),
      Wof(kDrivers + "raw.sys", kWofXpress4k,
          Placed(Text(4096) + Incompressible(4096, 11) + Text(4096),
                 2 * 4096 - 4, kRow5)),
      Wof(kDrivers + "one.sys", kWofXpress4k, "M"),
      Wof(kDrivers + "chunk.sys", kWofXpress4k,
          Placed(Text(4096), 4096 - kRow1.size(), kRow1)),
      Wof(kInf + "oem1.pnf", kWofXpress4k, Repeat(EveryByte(), 64)),
      Wof(kInf + "oem1.inf", kWofXpress4k, Text(300)),
      Wof(kInf + "lz.pnf", kWofLzx, Repeat(EveryByte(), 200) + Text(77)),
  };
}

uint32_t Entry(const std::string& stream, int index) {
  uint32_t value = 0;
  for (int i = 3; i >= 0; --i)
    value = value << 8 | static_cast<unsigned char>(stream[4 * index + i]);
  return value;
}

std::string WithEntry(std::string stream, int index, uint32_t value) {
  for (int i = 0; i < 4; ++i)
    stream[4 * index + i] = static_cast<char>(value >> (8 * i));
  return stream;
}

// The folder \WofBad: files that cannot be read, between two that can.
std::vector<TreeFile> DamagedFiles() {
  // Four chunks of XPRESS4K, three entries in the table.
  const std::string bytes = Placed(Text(3 * 4096 + 100), 5000, kRow5);
  const std::string stream = WofCompressedStream(bytes, kWofXpress4k);
  std::string garbage = stream;
  for (uint32_t at = Entry(stream, 0); at < Entry(stream, 1); ++at)
    garbage[12 + at] = '\xff';
  return {
      Wof(kDrivers + "a.sys", kWofXpress4k, WithSignature(kRow1)),
      Laid(kDrivers + "algo.sys", bytes, std::nullopt, WofReparseValue(9)),
      Laid(kDrivers + "garbage.sys", bytes, garbage),
      Laid(kDrivers + "nostream.sys", bytes, ""),
      Laid(kDrivers + "order.sys", bytes,
           WithEntry(stream, 1, Entry(stream, 0) - 1)),
      Laid(kDrivers + "past.sys", bytes,
           WithEntry(stream, 2, static_cast<uint32_t>(stream.size()))),
      Laid(kDrivers + "short.sys", bytes, stream.substr(0, 3)),
      Laid(kDrivers + "version.sys", bytes, std::nullopt,
           WofReparseValue(kWofXpress4k, 2, 2)),
      Laid(kDrivers + "wimboot.sys", bytes, "",
           WofReparseValue(kWofXpress4k, 1)),
      Wof(kDrivers + "z.sys", kWofLzx, WithSignature(kRow11)),
      Laid(kInf + "bad.pnf", bytes, garbage),
      Wof(kInf + "good.pnf", kWofXpress4k, EveryByte()),
      Laid(kInf + "wimboot.pnf", bytes, "", WofReparseValue(kWofXpress4k, 1)),
  };
}

VolumeRecipe CompactOsNtfs() {
  VolumeRecipe recipe = {"compact_os", FileSystem::kNtfs, 16, {}};
  for (TreeFile file : ReadableFiles()) {
    file.path = "Wof/" + file.path;
    recipe.tree.files.push_back(file);
  }
  for (TreeFile file : DamagedFiles()) {
    file.path = "WofBad/" + file.path;
    recipe.tree.files.push_back(file);
  }
  return recipe;
}

std::string Examining(const std::string& folder, const std::string& image) {
  return "INFO: Examining the Windows folder " + folder +
         " of the NTFS volume at byte 0 of " + image + " (VORLKIT_IMAGE)\r\n";
}

std::string ReadError(const std::string& code) {
  return "ERROR: Could not open file for reading. Error code: 0x" + code +
         "\r\n";
}

std::string PnfReadError(const std::string& name, const std::string& code) {
  return "ERROR: " + name +
         " - Could not read the specified file. Error code: 0x" + code + "\r\n";
}

struct Said {
  std::string console;
  std::string log;  // after the start line
};

// A run of `tool` on the Windows folder `windows` of the image, or, without
// an image, on the folder of this machine that `windows` names.
Said Examine(const std::string& tool, const std::string& image,
             const std::string& windows) {
  TempFolder temp;
  RunOptions options = OptionsIn(temp.path(), {"case.log"});
  if (!image.empty()) options.env["VORLKIT_IMAGE"] = image;
  options.env["VORLKIT_WINDOWS"] = windows;
  options.timeout_seconds = 30;
  RunResult run = RunNative(tool, options);
  EXPECT_EQ(run.exit_code, 0) << tool;
  EXPECT_FALSE(run.timed_out) << tool;
  return {run.console,
          LogTextAfterStart(temp.path() + "/case.log", NativeProgram(tool))};
}

// Each program says of the compressed files what it says of their original
// bytes in a folder of this machine.
TEST(NativeImageWof, ReadsCompactOsFilesAsTheirOriginalBytes) {
  const BuiltImage& image =
      BuildImage({PartitionTable::kNone, {CompactOsNtfs()}});
  SKIP_OR_FAIL_UNLESS_BUILT(image);
  const std::string before = ImageState(image);
  TempFolder original;
  const std::string windows = original.path() + "/Wof";
  for (const TreeFile& file : ReadableFiles())
    WriteFileBytes(windows + "/" + file.path, file.bytes);
  const std::string named = "INFO: Examining the Windows folder " + windows +
                            " (VORLKIT_WINDOWS)\r\n";
  const std::string info = Examining("\\Wof", image.path);

  std::map<std::string, Said> reference;
  for (const char* tool : kTools) {
    Said said = Examine(tool, "", windows);
    ASSERT_EQ(said.console.compare(0, named.size(), named), 0) << tool;
    ASSERT_EQ(said.log.compare(0, named.size(), named), 0) << tool;
    for (std::string* text : {&said.console, &said.log})
      *text = Replaced(text->substr(named.size()), windows + "\\inf\\",
                       "\\Wof\\inf\\");
    reference[tool] = said;
  }
  // The signatures across chunk boundaries are there to be found.
  EXPECT_EQ(
      reference["drvscan"].log,
      Logged("chunk.sys", "decrypt magic1") + Logged("lzx.sys", "C6 2A xor") +
          Logged("raw.sys", "C6 2A xor") + Logged("x16.sys", "79 F4 8B") +
          Logged("x4.sys", "decrypt magic1") + Logged("x4.sys", "79 F4 8B") +
          Logged("x8.sys", "decrypt magic1"));
  EXPECT_NE(reference["noisegauge"].log.find("lz.pnf"), std::string::npos);
  EXPECT_EQ(reference["pairscan"].log, Orphan("\\Wof\\inf\\lz"));

  for (const char* tool : kTools) {
    Said said = Examine(tool, image.path, "\\Wof");
    EXPECT_EQ(said.console, info + reference[tool].console) << tool;
    EXPECT_EQ(said.log, info + reference[tool].log) << tool;
  }
  EXPECT_EQ(ImageState(image), before);
}

// A damaged file is its read error, 0x570, and one whose bytes lie in a WIM
// file elsewhere (WIMBoot) 0x32; the walk goes on with the next file.
TEST(NativeImageWof, ReportsCompactOsFilesThatCannotBeRead) {
  const BuiltImage& image =
      BuildImage({PartitionTable::kNone, {CompactOsNtfs()}});
  SKIP_OR_FAIL_UNLESS_BUILT(image);
  const std::string info = Examining("\\WofBad", image.path);
  std::string console = Checking("a.sys") + kHit1;
  for (const char* name : {"algo.sys", "garbage.sys", "nostream.sys",
                           "order.sys", "past.sys", "short.sys", "version.sys"})
    console += Checking(name) + ReadError("570");
  console +=
      Checking("wimboot.sys") + ReadError("32") + Checking("z.sys") + kHit11;
  std::string log = Logged("a.sys", "decrypt magic1") +
                    Repeat(ReadError("570"), 7) + ReadError("32") +
                    Logged("z.sys", "79 F4 8B");
  Said drvscan = Examine("drvscan", image.path, "\\WofBad");
  EXPECT_EQ(drvscan.console, info + console);
  EXPECT_EQ(drvscan.log, info + log);

  Said noisegauge = Examine("noisegauge", image.path, "\\WofBad");
  EXPECT_EQ(noisegauge.console,
            info + Checking("bad.pnf") + PnfReadError("bad.pnf", "570") +
                Checking("good.pnf") + AboveThreshold("good.pnf") +
                Checking("wimboot.pnf") + PnfReadError("wimboot.pnf", "32"));
  EXPECT_EQ(noisegauge.log, info + PnfReadError("bad.pnf", "570") +
                                AboveThreshold("good.pnf") +
                                PnfReadError("wimboot.pnf", "32"));
}

}  // namespace

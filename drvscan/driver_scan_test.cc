#include "drvscan/driver_scan.h"

#include <sys/resource.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/captured_run.h"
#include "common/console.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Bytes that differ from chunk to chunk and within each, and from one size
// to the next, so that a chunk copied to the wrong place or twice shows.
Bytes Content(size_t size) {
  Bytes bytes(size);
  uint32_t state = 12345 + static_cast<uint32_t>(size);
  for (uint8_t& byte : bytes) {
    state = state * 1103515245 + 12345;
    byte = static_cast<uint8_t>(state >> 16);
  }
  return bytes;
}

// Gives every test a fresh run log, the captured console and a data file.
class ReadWholeFileTest : public testing::Test {
 protected:
  void TearDown() override { std::remove(data_path_.c_str()); }

  std::string Console() { return run_.Console(); }
  size_t LogSize() { return run_.LogSize(); }

  CapturedRun run_;
  std::string data_path_ = run_.log_path() + ".sys";
};

TEST_F(ReadWholeFileTest, ReadsExactlyTheFile) {
  // Around the 64 KiB read size, and several reads with a short last one,
  // into one buffer cleared between the files, as the walk does, so that a
  // file after a longer one shows the longer one's bytes if they are kept.
  FileData data;
  for (size_t size : {200000, 0, 65537, 1, 65536, 65535}) {
    SCOPED_TRACE(size);
    Bytes content = Content(size);
    {
      std::ofstream out(data_path_, std::ios::binary | std::ios::trunc);
      out.write(reinterpret_cast<const char*>(content.data()), size);
    }
    PlatformFile file;
    ASSERT_EQ(OpenForReading(WideFromNative(data_path_), &file), kErrorSuccess);
    data.Clear();
    ASSERT_TRUE(ReadWholeFile(file, &data));
    ASSERT_EQ(data.size(), size);
    EXPECT_TRUE(size == 0 || Bytes(data.data(), data.data() + size) == content);
  }
  EXPECT_EQ(Console(), "");
  EXPECT_EQ(LogSize(), 0u);
}

TEST_F(ReadWholeFileTest, ReportsAFailedRead) {
  PlatformFile not_open;
  FileData data;
  EXPECT_FALSE(ReadWholeFile(not_open, &data));
  const std::string line =
      "ERROR: Could not open file for reading. Error code: 0x";
  EXPECT_EQ(Console().rfind(line, 0), 0u) << Console();
  EXPECT_EQ(Console().substr(Console().size() - 2), "\r\n");
  // The same line in the log, two bytes per character.
  EXPECT_EQ(LogSize(), 2 * Console().size());
}

TEST(FileDataTest, RefusesWhatCannotBeHeldAndKeepsItsContent) {
  FileData data;
  const uint8_t bytes[] = {1, 2, 3};
  ASSERT_TRUE(data.Append(bytes, 3));
  EXPECT_FALSE(data.Reserve(SIZE_MAX));
  // A count that would wrap the size around must not be taken for a small
  // one; the bytes are never read.
  EXPECT_FALSE(data.Append(bytes, SIZE_MAX - 1));
  ASSERT_EQ(data.size(), 3u);
  EXPECT_EQ(Bytes(data.data(), data.data() + 3), Bytes({1, 2, 3}));
  ASSERT_TRUE(data.Append(bytes, 2));
  EXPECT_EQ(Bytes(data.data(), data.data() + 5), Bytes({1, 2, 3, 1, 2}));
}

// The bytes of address space that the process holds now.
size_t AddressSpaceInUse() {
  long pages = 0;
  FILE* statm = fopen("/proc/self/statm", "r");
  if (statm && fscanf(statm, "%ld", &pages) != 1) pages = 0;
  if (statm) fclose(statm);
  return static_cast<size_t>(pages) * sysconf(_SC_PAGESIZE);
}

// Dies with `message` unless `holds`, for a check in a child process.
void Require(bool holds, const char* message) {
  if (holds) return;
  fprintf(stderr, "%s\n", message);
  _exit(1);
}

// As in a 32-bit process, the address space has room for the old block or
// for the new one, not for both: an empty buffer then gives its block back
// and takes the larger one. Exits with 0 when it does; runs in a child
// process, so that the cap binds nothing else.
void GrowInACappedAddressSpace() {
  constexpr size_t kMiB = 1 << 20;
  FileData data;
  Require(data.Reserve(64 * kMiB), "the first block failed");
  const rlimit cap = {AddressSpaceInUse() + 40 * kMiB, RLIM_INFINITY};
  Require(setrlimit(RLIMIT_AS, &cap) == 0, "setrlimit failed");
  Require(malloc(80 * kMiB) == nullptr, "the cap leaves room for both blocks");
  Require(data.Reserve(80 * kMiB), "the larger block failed");
  // The room is there: filling it takes no further block.
  static const uint8_t chunk[65536] = {};
  for (size_t filled = 0; filled < 80 * kMiB; filled += sizeof chunk)
    Require(data.Append(chunk, sizeof chunk), "an append failed");
  _exit(0);
}

TEST(FileDataTest, GrowsWhereTheOldAndTheNewBlockDoNotFitTogether) {
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
  GTEST_SKIP() << "AddressSanitizer ends the process when memory runs out";
#endif
#endif
  EXPECT_EXIT(GrowInACappedAddressSpace(), testing::ExitedWithCode(0), "");
}

}  // namespace

#include "drvscan/driver_scan.h"

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

}  // namespace

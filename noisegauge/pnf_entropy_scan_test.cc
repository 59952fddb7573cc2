#include "noisegauge/pnf_entropy_scan.h"

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/console.h"
#include "common/run_log.h"
#include "noisegauge/entropy.h"

namespace {

namespace fs = std::filesystem;

// Bytes from a fixed pseudo-random sequence: nearly every window of it, at
// any offset and of any length, has an entropy of its own, so a window read
// from the wrong place or of the wrong length changes the sum.
std::vector<uint8_t> NoiseBytes(size_t size) {
  std::vector<uint8_t> bytes(size);
  uint32_t state = 12345;
  for (uint8_t& b : bytes) {
    state = state * 1103515245u + 12345u;
    b = static_cast<uint8_t>(state >> 16);
  }
  return bytes;
}

// `count` bytes counting up from 0: every value below `count` once.
std::vector<uint8_t> Ascending(size_t count) {
  std::vector<uint8_t> bytes(count);
  for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>(i);
  return bytes;
}

// Each file gets a fresh temporary folder; console text is captured.
class PnfEntropyScanTest : public testing::Test {
 protected:
  void SetUp() override {
    char templ[] = "/tmp/noisegauge_test.XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(templ));
    dir_ = templ;
    SetConsoleSinkForTesting(&console_);
  }

  void TearDown() override {
    SetConsoleSinkForTesting(nullptr);
    fs::remove_all(dir_);
  }

  void WriteFile(const fs::path& path, const std::vector<uint8_t>& bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  }

  // Writes `bytes` to a file, measures it and returns what was measured.
  PnfEntropy Measure(const std::vector<uint8_t>& bytes) {
    fs::path path = dir_ / "f.pnf";
    WriteFile(path, bytes);
    PlatformFile file;
    EXPECT_EQ(kErrorSuccess,
              OpenForReading(WideFromNative(path.string()), &file));
    PnfEntropy entropy = MeasurePnfFile(file, u"f.pnf");
    ConsoleFlush();
    return entropy;
  }

  fs::path dir_;
  std::string console_;
};

struct Window {
  size_t offset;
  size_t length;
};

TEST_F(PnfEntropyScanTest, WindowsOverlapByHalfAndEndWithAShortOne) {
  struct Case {
    size_t size;
    std::vector<Window> windows;
  } cases[] = {
      {0, {{0, 0}}},
      {100, {{0, 100}}},
      {127, {{0, 127}}},
      {128, {{0, 128}}},
      {256, {{0, 256}, {128, 128}}},
      {300, {{0, 256}, {128, 172}}},
      {384, {{0, 256}, {128, 256}, {256, 128}}},
      {1000,
       {{0, 256},
        {128, 256},
        {256, 256},
        {384, 256},
        {512, 256},
        {640, 256},
        {768, 232}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "size " << c.size);
    std::vector<uint8_t> bytes = NoiseBytes(c.size);
    double expected_sum = 0.0;
    for (const Window& w : c.windows)
      expected_sum += WindowEntropy(bytes.data() + w.offset, w.length);

    console_.clear();
    PnfEntropy entropy = Measure(bytes);
    EXPECT_EQ(static_cast<int32_t>(c.windows.size()), entropy.windows);
    EXPECT_EQ(expected_sum, entropy.sum);
    // Only a file shorter than the step cannot step back from its end.
    EXPECT_EQ(c.size < 128 ? "ERROR: f.pnf - Could not set file pointer. "
                             "Error code: 0x83\r\n"
                           : "",
              console_);
  }
}

TEST_F(PnfEntropyScanTest, LargeFilesHaveAFullWindowAtEveryStep) {
  // The file is read in blocks of 65536 bytes: windows that straddle one
  // block and the next, a file that ends with a block or just after one, and
  // several blocks.
  for (size_t size : {70000, 65535, 65536, 65537, 65536 + 128, 65536 + 200,
                      3 * 65536 + 300}) {
    SCOPED_TRACE(testing::Message() << "size " << size);
    std::vector<uint8_t> bytes = NoiseBytes(size);
    // Full windows every 128 bytes while they fit, then a shorter one, added
    // in file order.
    double expected_sum = 0.0;
    int32_t expected_windows = 0;
    size_t offset = 0;
    for (; offset + 256 <= size; offset += 128, ++expected_windows)
      expected_sum += WindowEntropy(bytes.data() + offset, 256);
    expected_sum += WindowEntropy(bytes.data() + offset,
                                  static_cast<uint32_t>(size - offset));
    ++expected_windows;

    console_.clear();
    PnfEntropy entropy = Measure(bytes);
    EXPECT_EQ(expected_windows, entropy.windows);
    EXPECT_EQ(expected_sum, entropy.sum);
    EXPECT_EQ("", console_);
  }
}

TEST_F(PnfEntropyScanTest, EveryByteValueOnceAveragesTheTwoWindows) {
  PnfEntropy entropy = Measure(Ascending(256));
  ASSERT_EQ(2, entropy.windows);
  EXPECT_DOUBLE_EQ(0.9375, entropy.sum / entropy.windows);
}

// The walk over a Windows folder given by SystemRoot, with the run log open
// in the test's folder.
class ScanPnfEntropyTest : public PnfEntropyScanTest {
 protected:
  void SetUp() override {
    PnfEntropyScanTest::SetUp();
    const char* root = getenv("SystemRoot");
    if (root) saved_root_ = root;
    had_root_ = root != nullptr;
    saved_cwd_ = fs::current_path();
  }

  void TearDown() override {
    if (had_root_)
      setenv("SystemRoot", saved_root_.c_str(), 1);
    else
      unsetenv("SystemRoot");
    fs::current_path(saved_cwd_);
    PnfEntropyScanTest::TearDown();
  }

  // Runs the walk between opening and closing the log; returns the log's
  // text.
  WideString Scan() {
    WideString program = u"noisegauge";
    WideString log_path = WideFromNative((dir_ / "run.log").string());
    char16_t* argv[] = {program.data(), log_path.data()};
    EXPECT_TRUE(OpenRunLog(2, argv));
    ScanPnfEntropy();
    CloseRunLog();
    ConsoleFlush();

    std::ifstream in(dir_ / "run.log", std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)),
                      std::istreambuf_iterator<char>());
    WideString text;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2)
      text.push_back(
          static_cast<char16_t>(static_cast<uint8_t>(bytes[i]) |
                                static_cast<uint8_t>(bytes[i + 1]) << 8));
    return text;
  }

  std::string saved_root_;
  bool had_root_ = false;
  fs::path saved_cwd_;
};

TEST_F(ScanPnfEntropyTest, ReportsFilesAboveThresholdAndOpenFailures) {
  fs::path inf = dir_ / "Windows" / "inf";
  std::vector<uint8_t> every_value = Ascending(256);
  WriteFile(inf / "a%d.pnf", every_value);
  fs::create_directories(inf / "x.pnf");
  WriteFile(inf / "zeros.pnf", std::vector<uint8_t>(4096, 0));
  WriteFile(inf / "zeros.inf", every_value);
  setenv("SystemRoot", (dir_ / "Windows").c_str(), 1);

  WideString log = Scan();
  EXPECT_EQ(
      "INFO: Checking file a%d.pnf\n"
      "SUSPICIOUS: The entropy of a%d.pnf is above threshold: 0.937500\r\n"
      "INFO: Checking file x.pnf\n"
      "ERROR: x.pnf - Could not open PNF file for reading. Error code: "
      "0x5\r\n"
      "INFO: Checking file zeros.pnf\n",
      console_);
  EXPECT_EQ(
      u"SUSPICIOUS: The entropy of a%d.pnf is above threshold: 0.937500\r\n"
      u"ERROR: x.pnf - Could not open PNF file for reading. Error code: "
      u"0x5\r\n",
      log);
}

TEST_F(ScanPnfEntropyTest, ReportsOnlyAveragesAboveThreshold) {
  // Files of n distinct bytes: one window each, with entropy log256(n).
  fs::path inf = dir_ / "Windows" / "inf";
  WriteFile(inf / "high.pnf", Ascending(32));  // 0.625
  WriteFile(inf / "low.pnf", Ascending(16));   // 0.5
  setenv("SystemRoot", (dir_ / "Windows").c_str(), 1);

  WideString log = Scan();
  EXPECT_EQ(
      "INFO: Checking file high.pnf\n"
      "ERROR: high.pnf - Could not set file pointer. Error code: 0x83\r\n"
      "SUSPICIOUS: The entropy of high.pnf is above threshold: 0.625000\r\n"
      "INFO: Checking file low.pnf\n"
      "ERROR: low.pnf - Could not set file pointer. Error code: 0x83\r\n",
      console_);
  EXPECT_EQ(
      u"SUSPICIOUS: The entropy of high.pnf is above threshold: 0.625000\r\n",
      log);
}

TEST_F(ScanPnfEntropyTest, WithoutWindowsFolderWalksTheDefaultOne) {
  unsetenv("SystemRoot");
  // The default folder, c:\WINDOWS, resolves against the current folder here.
  WriteFile(dir_ / "c:" / "WINDOWS" / "inf" / "empty.pnf", {});
  fs::current_path(dir_);

  WideString log = Scan();
  EXPECT_EQ(
      "ERROR: Could not retrieve windows directory. Error code: 0xcb\r\n"
      "INFO: Checking file empty.pnf\n"
      "ERROR: empty.pnf - Could not set file pointer. Error code: 0x83\r\n",
      console_);
  EXPECT_EQ(
      u"ERROR: Could not retrieve windows directory. Error code: 0xcb\r\n",
      log);
}

TEST_F(ScanPnfEntropyTest, NoPnfFileEndsTheWalkWithAnError) {
  WriteFile(dir_ / "Windows" / "inf" / "a.inf", {1, 2, 3});
  setenv("SystemRoot", (dir_ / "Windows").c_str(), 1);

  WideString log = Scan();
  EXPECT_EQ(u"ERROR: Could not get directory entry. Error code: 0x2\r\n", log);
  EXPECT_EQ("ERROR: Could not get directory entry. Error code: 0x2\r\n",
            console_);
}

}  // namespace

#include "common/captured_run.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <iterator>

#include "common/console.h"
#include "common/run_log.h"

namespace {

std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in),
                     std::istreambuf_iterator<char>());
}

}  // namespace

WideString ReadUtf16LeFile(const std::string& path) {
  std::string bytes = ReadBytes(path);
  EXPECT_EQ(bytes.size() % 2, 0u) << path << " ends inside a code unit";
  WideString units;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2)
    units.push_back(
        static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                              static_cast<unsigned char>(bytes[i + 1]) << 8));
  return units;
}

CapturedRun::CapturedRun() {
  char pattern[] = "/tmp/captured_run.XXXXXX";
  folder_ = mkdtemp(pattern);
  log_path_ = folder_ + "/run.log";
  WideString program = u"tool";
  WideString log = WideFromNative(log_path_);
  char16_t* argv[] = {program.data(), log.data(), nullptr};
  EXPECT_TRUE(OpenRunLog(2, argv));
  SetConsoleSinkForTesting(&console_);
}

CapturedRun::~CapturedRun() {
  SetConsoleSinkForTesting(nullptr);
  CloseRunLog();
  unlink(log_path_.c_str());
  rmdir(folder_.c_str());
}

std::string CapturedRun::Console() {
  ConsoleFlush();
  return console_;
}

void CapturedRun::ClearConsole() {
  ConsoleFlush();
  console_.clear();
}

WideString CapturedRun::Log() const { return ReadUtf16LeFile(log_path_); }

std::string CapturedRun::LogText() const {
  WideString units = Log();
  return DisplayFromWide(units.data(), units.size());
}

size_t CapturedRun::LogSize() const { return ReadBytes(log_path_).size(); }

// The frame of every fault test: a fresh fake system and a run log opened
// on it, as a tool's entry point opens it.
#ifndef TESTS_FAULT_FAULT_TEST_H_
#define TESTS_FAULT_FAULT_TEST_H_

#include <gtest/gtest.h>

#include <string>

#include "common/run_log.h"
#include "tests/fault/platform_fake.h"

// What WriteRunHeader writes at the fake's fixed time.
constexpr char kStartLine[] = "\r\ntool is started at 03/04/2024 09:05\r\n";

// One row of a walk's failure table: what the fake system holds, and what
// the walk must print and log (after the start line).
struct WalkCase {
  const char* what;
  void (*arrange)();
  std::string console;
  std::string log;
};

class FaultTest : public testing::Test {
 protected:
  void SetUp() override { Begin(); }
  void TearDown() override { End(); }

  // Opens the log on the fake as it stands and writes the start line.
  void StartRun() {
    WideString program = u"tool";
    WideString log = u"fault.log";
    char16_t* argv[] = {program.data(), log.data()};
    ASSERT_TRUE(OpenRunLog(2, argv));
    WriteRunHeader(program.c_str());
  }

  void Begin() {
    ResetFake();
    StartRun();
  }

  // Closes the log. By then the walk must have closed every file it opened.
  void End() {
    CloseRunLog();
    EXPECT_EQ(fake.open_files, 0) << "files left open";
  }

  // Ends the run and begins a new one on a fresh fake, for the next case of
  // a table.
  void Restart() {
    End();
    Begin();
  }

  // Runs `walk` once for each case, each on a fresh fake, and compares the
  // console and the log exactly.
  template <size_t N>
  void ExpectEachCase(const WalkCase (&cases)[N], void (*walk)()) {
    for (const WalkCase& c : cases) {
      SCOPED_TRACE(c.what);
      Restart();
      c.arrange();
      walk();
      EXPECT_EQ(FakeConsole(), c.console);
      EXPECT_EQ(FakeLogText(), kStartLine + c.log);
    }
  }
};

#endif  // TESTS_FAULT_FAULT_TEST_H_

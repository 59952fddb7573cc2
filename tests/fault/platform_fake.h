// A platform layer for tests, linked in place of the real one: files and
// folders held in memory, and failures scripted call by call, so that every
// failure route of the tools can be driven deterministically.
#ifndef TESTS_FAULT_PLATFORM_FAKE_H_
#define TESTS_FAULT_PLATFORM_FAKE_H_

#include <cstdint>
#include <deque>
#include <map>
#include <set>
#include <string>

#include "common/platform.h"

// One file and the failures scripted for it.
struct FakeFile {
  std::string bytes;
  uint32_t open_error = kErrorSuccess;  // OpenForReading fails with it
  // A read that asks for this byte fails, as on a bad sector; the byte just
  // past the end makes the read at the end fail. -1 for none.
  int64_t unreadable_at = -1;
  uint32_t read_error = kErrorIoDevice;
  int64_t step_fails_at = -1;  // a step back from this position fails
  uint32_t step_error = kErrorIoDevice;
  bool size_unknown = false;  // GetFileSize fails
  // While the file is open, this many reallocations succeed and every one
  // after them fails; -1 for no limit.
  int allocations = -1;
};

// The whole fake system: what it holds, what fails, and what the tools did.
struct FakePlatform {
  // Files by full path, exactly as the tools form it.
  std::map<WideString, FakeFile> files;
  WideString windows_folder = u"D:\\WINNT";
  uint32_t windows_folder_error = kErrorSuccess;
  uint32_t system_folder_error = kErrorSuccess;
  bool wow64 = false;
  uint32_t enumeration_error = kErrorSuccess;  // the first entry fails
  int entries_before_end = -1;  // Next fails after this many entries
  uint32_t log_open_error = kErrorSuccess;
  std::set<int> failing_writes;  // log writes, counted from 1, that fail
  uint32_t write_error = kErrorDiskFull;

  // The folder comparison that every walk's Start reports; while it ran,
  // the walks yield these paths as hidden, and OpenOnVolume reads the bytes
  // of `on_volume` (whose entries `refreshed` replaces once
  // RefreshVolumeViews has been called, as the disk catches up).
  FolderComparison comparison;
  std::set<WideString> hidden;
  std::map<WideString, std::string> on_volume;
  std::map<WideString, std::string> refreshed;
  int refreshes = 0;

  // An evidence image that VORLKIT_IMAGE names, when not empty: its volume
  // is `image_volume`, and each walk after the volume's own is told of the
  // next of `shadow_steps`.
  WideString image;
  ImageVolumeInfo image_volume;
  std::deque<ShadowCopyStep> shadow_steps;

  std::string log;      // the bytes appended to the log
  std::string console;  // console text as UTF-8, as far as flushed
  int log_writes = 0;
  int open_files = 0;  // files open for reading right now
  // Reallocations that had to keep a block's bytes: the old and the new block
  // were both needed at once.
  int block_moves = 0;
};

extern FakePlatform fake;

// Starts over with an empty fake system.
void ResetFake();

// The console text so far, everything printed flushed first.
std::string FakeConsole();

// The log as text, lone surrogates shown as U+FFFD.
std::string FakeLogText();

#endif  // TESTS_FAULT_PLATFORM_FAKE_H_

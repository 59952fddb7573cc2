#include "drvscan/driver_scan.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "common/console.h"
#include "common/run_log.h"
#include "common/text.h"
#include "drvscan/signatures.h"

namespace {

// The most bytes asked for by one read.
constexpr uint32_t kChunkSize = 65536;

// Reports a file that could not be read whole, with the platform's code.
void ReportReadError(uint32_t error) {
  LogAndEcho(u"ERROR: Could not open file for reading. Error code: 0x%x\r\n",
             {error});
}

// Opens, announces, reads and scans one entry of the drivers folder, with
// `data` as the buffer for the file's bytes.
void ScanDriverFile(const WideString& system_folder, const WideString& name,
                    FileData* data) {
  PlatformFile file;
  uint32_t error = OpenForReading(
      FormatText(u"%ls\\drivers\\%ls", {system_folder, name}), &file);
  if (error != kErrorSuccess) {
    // The message names no file: the entry was never announced.
    ConsolePrint(
        u"ERROR: Could not read the specified file. Error code: 0x%x\n",
        {error});
    return;
  }
  const WideString shown = NameForMessages(name);
  ConsolePrint(u"INFO: Checking file %ls\n", {shown});

  // Empty files and files that could not be read whole are not scanned.
  data->Clear();
  if (ReadWholeFile(file, data) && data->size() > 0)
    ScanBuffer(shown, data->data(), data->size());

  file.Close();
  // Each file's console output is complete before the next file is opened.
  ConsoleFlush();
}

// A block of `capacity` bytes, taken through realloc like every block of the
// buffer (the fault tests stand in for realloc alone); the null pointer is
// volatile, so that the compiler does not turn the call into malloc.
void* FreshBlock(size_t capacity) {
  void* volatile none = nullptr;
  return realloc(none, capacity);
}

}  // namespace

FileData::~FileData() { Free(); }

bool FileData::Reserve(size_t capacity) {
  if (capacity <= capacity_) return true;
  // Growing to at least twice the room keeps the number of blocks that a
  // walk over ever larger files takes logarithmic, and every page of a new
  // block faults in anew. When twice cannot be had, the exact need may be.
  size_t doubled = capacity_ <= SIZE_MAX / 2 ? capacity_ * 2 : SIZE_MAX;
  return (doubled > capacity && TakeBlock(doubled)) || TakeBlock(capacity);
}

bool FileData::TakeBlock(size_t capacity) {
  void* block = nullptr;
  if (size_ > 0) {
    block = realloc(bytes_, capacity);
  } else {
    // Nothing to keep, so nothing is copied: a fresh block is taken while
    // the old one is still held, and only when that fails does the old one
    // go back first, since a 32-bit address space may not have room for both.
    block = FreshBlock(capacity);
    if (!block && bytes_) {
      Free();
      block = FreshBlock(capacity);
    }
    if (block) free(bytes_);
  }
  if (!block) return false;
  bytes_ = static_cast<uint8_t*>(block);
  capacity_ = capacity;
  return true;
}

bool FileData::Append(const uint8_t* bytes, size_t count) {
  if (count > SIZE_MAX - size_) return false;
  size_t needed = size_ + count;
  if (!Reserve(needed)) return false;
  if (count > 0) memcpy(bytes_ + size_, bytes, count);
  size_ = needed;
  return true;
}

void FileData::Free() {
  free(bytes_);
  bytes_ = nullptr;
  size_ = 0;
  capacity_ = 0;
}

bool ReadWholeFile(const PlatformFile& file, FileData* data) {
  // Size the buffer from what the platform reports, so that a file read
  // whole is rarely copied; the reads alone decide what the data is. A file
  // larger than the process can address cannot be held at all.
  size_t capacity = kChunkSize;
  uint64_t file_size = 0;
  if (GetFileSize(file, &file_size) == kErrorSuccess) {
    if (file_size > SIZE_MAX) {
      ReportReadError(kErrorNotEnoughMemory);
      return false;
    }
    if (file_size > capacity) capacity = static_cast<size_t>(file_size);
  }
  if (!data->Reserve(capacity)) {
    ReportReadError(kErrorNotEnoughMemory);
    return false;
  }

  // Each read lands in a staging area that stays in the processor's cache,
  // and is copied on from there: faster, as measured on Linux, than reading
  // straight into the large buffer, which the system fills more slowly.
  static uint8_t staging[kChunkSize];
  for (;;) {
    uint32_t bytes_read = 0;
    uint32_t error = ReadFromFile(file, staging, kChunkSize, &bytes_read);
    if (error != kErrorSuccess) {
      ReportReadError(error);
      return false;
    }
    if (!data->Append(staging, bytes_read)) {
      ReportReadError(kErrorNotEnoughMemory);
      return false;
    }
    // Only the last chunk is short; a file whose size is a multiple of the
    // chunk size ends with an empty read.
    if (bytes_read < kChunkSize) return true;
  }
}

void ScanDriverFolder() {
  WideString system_folder = u"c:\\WINDOWS\\system32";
  uint32_t error = GetSystemFolder(&system_folder);
  if (error != kErrorSuccess) {
    LogAndEcho(
        u"ERROR: Could not retrieve system directory. Error code: 0x%x\r\n",
        {error});
  }

  if (RunsUnderWow64()) {
    LogAndEcho(
        u"WARNING: 64-bit system is detected. Some drivers may remain "
        u"unchecked. %ls",
        {u"Note that Vorl currently does not use 64-bit kernel drivers!\r\n"});
  }

  FolderEntries entries;
  WideString name;
  error =
      entries.Start(FormatText(u"%ls\\drivers\\*.sys", {system_folder}), &name);
  if (error != kErrorSuccess) {
    LogAndEcho(
        u"ERROR: Could not find the specified file. Error code: 0x%x\r\n",
        {error});
    return;
  }
  // One buffer serves every file in turn, holding one file's data at a time.
  // Its memory is then taken from the system a few times, as larger files
  // come, rather than page by page for every file.
  FileData data;
  do {
    ScanDriverFile(system_folder, name, &data);
  } while (entries.Next(&name));
}

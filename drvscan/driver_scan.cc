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

bool SameBytes(const FileData& a, const FileData& b) {
  return a.size() == b.size() &&
         (a.size() == 0 || memcmp(a.data(), b.data(), a.size()) == 0);
}

// Reads the file at `path` whole, from the raw volume or through the system;
// false when it cannot be opened or read, which is not reported: the bytes
// are only read again to compare them.
bool ReadAgain(const WideString& path, bool on_volume, FileData* data) {
  PlatformFile file;
  uint32_t error =
      on_volume ? OpenOnVolume(path, &file) : OpenForReading(path, &file);
  data->Clear();
  return error == kErrorSuccess && ReadAll(file, data) == kErrorSuccess;
}

// Compares the bytes that the system read of a listed driver with its bytes
// on the raw volume, where its folder was compared with the volume. Where
// they differ, and still do once the system's cache has had a moment to
// reach the disk, the file is reported, and the bytes on the disk are
// scanned too, for the signatures not found already.
void CompareWithDisk(const WideString& path, const WideString& shown,
                     FileData* data, FileData* disk,
                     bool reported[kSignatureCount]) {
  if (!ReadAgain(path, true, disk) || SameBytes(*data, *disk)) return;
  RefreshVolumeViews();
  if (!ReadAgain(path, false, data) || !ReadAgain(path, true, disk) ||
      SameBytes(*data, *disk))
    return;
  LogAndEcho(u"SUSPICIOUS: The system reads %ls otherwise than on disk\r\n",
             {shown});
  if (disk->size() > 0) ScanBuffer(shown, disk->data(), disk->size(), reported);
}

// Opens, announces, reads and scans one entry of the drivers folder, with
// `data` as the buffer for the file's bytes and `disk` for its bytes on the
// raw volume. An entry the folder listing hides is read from the volume.
void ScanDriverFile(const WideString& system_folder, const WideString& name,
                    bool hidden, FileData* data, FileData* disk) {
  const WideString path =
      FormatText(u"%ls\\drivers\\%ls", {system_folder, name});
  const WideString shown = NameForMessages(name);
  if (hidden) ReportHiddenEntry(shown);
  PlatformFile file;
  uint32_t error = OpenForReading(path, &file);
  if (error != kErrorSuccess) {
    // The message names no file: the entry was never announced.
    ConsolePrint(
        u"ERROR: Could not read the specified file. Error code: 0x%x\n",
        {error});
    return;
  }
  ConsolePrint(u"INFO: Checking file %ls\n", {shown});

  // Empty files and files that could not be read whole are not scanned.
  data->Clear();
  bool read_whole = ReadWholeFile(file, data);
  bool reported[kSignatureCount] = {};
  if (read_whole && data->size() > 0)
    ScanBuffer(shown, data->data(), data->size(), reported);
  file.Close();
  if (read_whole && !hidden) CompareWithDisk(path, shown, data, disk, reported);
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
  uint32_t error = ReadAll(file, data);
  if (error != kErrorSuccess) ReportReadError(error);
  return error == kErrorSuccess;
}

uint32_t ReadAll(const PlatformFile& file, FileData* data) {
  // Size the buffer from what the platform reports, so that a file read
  // whole is rarely copied; the reads alone decide what the data is. A file
  // larger than the process can address cannot be held at all.
  size_t capacity = kChunkSize;
  uint64_t file_size = 0;
  if (GetFileSize(file, &file_size) == kErrorSuccess) {
    if (file_size > SIZE_MAX) return kErrorNotEnoughMemory;
    if (file_size > capacity) capacity = static_cast<size_t>(file_size);
  }
  if (!data->Reserve(capacity)) return kErrorNotEnoughMemory;

  // Each read lands in a staging area that stays in the processor's cache,
  // and is copied on from there: faster, as measured on Linux, than reading
  // straight into the large buffer, which the system fills more slowly.
  static uint8_t staging[kChunkSize];
  for (;;) {
    uint32_t bytes_read = 0;
    uint32_t error = ReadFromFile(file, staging, kChunkSize, &bytes_read);
    if (error != kErrorSuccess) return error;
    if (!data->Append(staging, bytes_read)) return kErrorNotEnoughMemory;
    // Only the last chunk is short; a file whose size is a multiple of the
    // chunk size ends with an empty read.
    if (bytes_read < kChunkSize) return kErrorSuccess;
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
  ReportFolderComparison(entries.comparison(),
                         FormatText(u"%ls\\drivers", {system_folder}));
  if (error != kErrorSuccess) {
    LogAndEcho(
        u"ERROR: Could not find the specified file. Error code: 0x%x\r\n",
        {error});
    return;
  }
  // One buffer serves every file in turn, holding one file's data at a time.
  // Its memory is then taken from the system a few times, as larger files
  // come, rather than page by page for every file.
  FileData data, disk;
  do {
    ScanDriverFile(system_folder, name, entries.hidden(), &data, &disk);
  } while (entries.Next(&name));
}

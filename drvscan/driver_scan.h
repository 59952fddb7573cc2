// The walk over the driver files below the system folder.
#ifndef DRVSCAN_DRIVER_SCAN_H_
#define DRVSCAN_DRIVER_SCAN_H_

#include <cstddef>
#include <cstdint>

#include "common/platform.h"

// One file's bytes on the heap, freed when the object goes out of scope.
// The memory comes from malloc/realloc, so running out of it is a false
// result, never an exception.
class FileData {
 public:
  FileData() = default;
  ~FileData();
  FileData(const FileData&) = delete;
  FileData& operator=(const FileData&) = delete;

  const uint8_t* data() const { return bytes_; }
  size_t size() const { return size_; }

  // Makes room for at least `capacity` bytes in all, keeping the content.
  // The room at least doubles when it grows, so that a series of appends
  // costs linear time and a walk over ever larger files takes few blocks.
  // False when the memory cannot be had; the content is then unchanged,
  // though an empty buffer may have given its block back.
  bool Reserve(size_t capacity);

  // Appends `count` bytes, growing the room as Reserve does. False when the
  // memory cannot be had; the content is then unchanged.
  bool Append(const uint8_t* bytes, size_t count);

  // Forgets the data and keeps the memory, for the next file.
  void Clear() { size_ = 0; }

  // Gives the memory back; the buffer is empty afterwards.
  void Free();

 private:
  // Moves to a block of exactly `capacity` bytes, the content with it.
  bool TakeBlock(size_t capacity);

  uint8_t* bytes_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

// Reads `file` from its current position to its end into `data`, at most
// 65536 bytes at a time. When a read fails, or when the whole file cannot be
// held in memory (error code 0x8), logs and echoes the read error and
// returns false; whatever `data` holds then is not to be used.
bool ReadWholeFile(const PlatformFile& file, FileData* data);

// The same without a report: the error code of the read that failed, or
// kErrorNotEnoughMemory.
uint32_t ReadAll(const PlatformFile& file, FileData* data);

// Reads every *.sys entry of the drivers folder below the system folder and
// scans it for the built-in signatures, reporting on the console and in the
// log. Expects the run log to be open.
void ScanDriverFolder();

#endif  // DRVSCAN_DRIVER_SCAN_H_

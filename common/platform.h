// Platform services: files, folders, clock and console output, with the
// semantics the Windows kernel gives them. platform-win32.cc provides them
// through kernel32; platform-posix.cc provides the same on Linux, where the
// Windows folder is named by the SystemRoot environment variable. On both,
// VORLKIT_WINDOWS names a Windows folder in place of the system's.
//
// Every service that can fail returns a Windows error code (kErrorSuccess on
// success), whatever the platform, so that logs read alike everywhere.
#ifndef COMMON_PLATFORM_H_
#define COMMON_PLATFORM_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "common/error_codes.h"
#include "common/text.h"
#include "volume/examined_volume.h"

// An open file, closed when the object goes out of scope.
class PlatformFile {
 public:
  using Handle = intptr_t;
  static constexpr Handle kInvalid = -1;

  PlatformFile() = default;
  explicit PlatformFile(Handle handle) : handle_(handle) {}
  PlatformFile(PlatformFile&& other) noexcept : handle_(other.Release()) {}
  PlatformFile& operator=(PlatformFile&& other) noexcept {
    if (this != &other) {
      Close();
      handle_ = other.Release();
    }
    return *this;
  }
  PlatformFile(const PlatformFile&) = delete;
  PlatformFile& operator=(const PlatformFile&) = delete;
  ~PlatformFile() { Close(); }

  bool is_open() const { return handle_ != kInvalid; }
  Handle handle() const { return handle_; }
  // Gives up the handle without closing it.
  Handle Release() {
    Handle handle = handle_;
    handle_ = kInvalid;
    return handle;
  }
  // Closes the handle; defined by each platform.
  void Close();

 private:
  Handle handle_ = kInvalid;
};

// Opens `path` for appending, creating it when missing and keeping what it
// holds, with no other opener allowed while it is open. The path is used
// exactly as given.
uint32_t OpenLogForAppend(const WideString& path, PlatformFile* file);

// Appends all `size` bytes, or fails.
uint32_t AppendToFile(const PlatformFile& file, const void* data, size_t size);

// Opens an existing regular file for reading, other readers allowed. Fails at
// once for folders and anything else that is not a regular file.
uint32_t OpenForReading(const WideString& path, PlatformFile* file);

// Reads up to `size` bytes at the current position. `*bytes_read` is below
// `size` only at the end of the file, and 0 there; 0 on failure too, with
// the position left where it was before the call.
uint32_t ReadFromFile(const PlatformFile& file, void* buffer, uint32_t size,
                      uint32_t* bytes_read);

// Moves the position back by `distance` bytes from where it is. A move below
// the start fails with kErrorNegativeSeek and leaves the position unchanged.
uint32_t StepBack(const PlatformFile& file, uint32_t distance);

// The file's size in bytes, as far as the platform knows it.
uint32_t GetFileSize(const PlatformFile& file, uint64_t* size);

// The Windows folder and the system folder below it: full paths without a
// trailing backslash. On failure `*folder` is left unchanged.
uint32_t GetWindowsFolder(WideString* folder);
uint32_t GetSystemFolder(WideString* folder);

// The Windows folder named by the VORLKIT_WINDOWS environment variable,
// exactly as given; false when it is unset or empty. While it names one,
// GetWindowsFolder yields it and GetSystemFolder its "\system32" folder,
// without asking the system.
bool GetWindowsFolderOverride(WideString* folder);

// The evidence image named by the VORLKIT_IMAGE environment variable,
// exactly as given; false when it is unset or empty.
bool GetImageOverride(WideString* image);

// Makes the Windows folder inside the evidence image `image` the source of
// every folder and file service above for the rest of the run: folders are
// listed and files read inside the image, never on this machine, and
// GetWindowsFolder and GetSystemFolder yield the folders of `*info`.
// VORLKIT_WINDOWS names the Windows folder inside the volume and
// VORLKIT_VOLUME the byte offset of the volume. On failure nothing changes,
// `*problem` says why and the result is the error code.
uint32_t UseImageSource(const WideString& image, ImageVolumeInfo* info,
                        ImageProblem* problem);

// After the walk of an evidence image's volume, and after each walk of one
// of its shadow copies: makes the next shadow copy of the volume, newest
// first, the source of every folder and file service above, and says which
// in `*step`. There, listings hold only the entries that are new or changed
// against the volume itself, and names are looked up in the copy. A step
// with an error names a copy that cannot be examined, or the catalog of
// copies (number 0); the call after it goes on with the next copy. False
// when no copy is left, at once where none is examined: outside an image,
// on a volume without shadow copies, or with VORLKIT_SHADOWS=0.
bool UseNextShadowCopy(ShadowCopyStep* step);

// True when this 32-bit process runs on a 64-bit Windows. False when the
// platform cannot tell, as on every system but Windows.
bool RunsUnderWow64();

struct UtcTime {
  int year;
  int month;
  int day;
  int hour;
  int minute;
};

// The current time in UTC.
UtcTime CurrentUtcTime();

// The entries of a folder that match a wildcard pattern ("folder\*.sys"):
// files and folders alike, hidden ones included, bare names, in the
// platform's order (on POSIX ascending by name, ASCII case ignored). On
// POSIX a backslash within a name comes as the unit 0xDC5C, so that the
// name, joined to its folder, still names that entry.
//
// Where the listing is compared with the raw volume, the walk also yields,
// where the volume's index has them, the entries that match the pattern on
// the volume but that the system neither lists nor finds by name, looked
// at twice; each is hidden(), and OpenForReading reads it from the volume.
class FolderEntries {
 public:
  FolderEntries();
  ~FolderEntries();
  FolderEntries(const FolderEntries&) = delete;
  FolderEntries& operator=(const FolderEntries&) = delete;

  // Starts the walk and yields its first entry. Fails when nothing matches.
  uint32_t Start(const WideString& search_pattern, WideString* first_name);

  // Yields the next entry; false when the walk is over or fails.
  bool Next(WideString* name);

  // Whether the last Start compared the folder with the raw volume.
  const FolderComparison& comparison() const;

  // True when the entry yielded last is hidden from the system's listing.
  bool hidden() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// True exactly when an entry of that name exists (file, folder or link).
// The name holds no wildcards: '*' and '?' are taken literally. In a folder
// compared with the raw volume, an entry the volume holds exists too.
bool EntryExists(const WideString& path);

// Opens, from the raw volume, a file that the walk of a compared folder
// yielded, to compare its bytes with what the system reads. Fails with
// kErrorNotSupported when the folder was not compared, and where the
// system's bytes of the file rightly come from elsewhere than the volume's
// data stream (a file that Windows decompresses through a reparse point, or
// an encrypted one).
uint32_t OpenOnVolume(const WideString& path, PlatformFile* file);

// Gives the system's cache a moment to reach the disk and forgets what was
// read from the raw volumes, so that a file is read afresh before it is
// reported for reading otherwise than on disk.
void RefreshVolumeViews();

// Writes console text to the process's output, in order.
void WriteConsoleText(const char16_t* text, size_t length);

// The process's standard output and standard error.
enum class StandardStream { kOutput, kError };

// Writes UTF-8 `bytes` to `stream` exactly as they are, for output that
// other programs read. A Windows console is given them as UTF-16 text,
// shown as ShowableText makes it.
void WriteToStandardStream(StandardStream stream, const std::string& bytes);

#endif  // COMMON_PLATFORM_H_

#include "tests/ntfs_compare.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <libbfio.h>
#include <libfsntfs.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <tsk/libtsk.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <vector>

#include "common/text.h"
#include "volume/ntfs_volume.h"

namespace {

constexpr size_t kMostDifferences = 100;
constexpr size_t kChunk = 1 << 20;
constexpr uint64_t kRootRecord = 5;
constexpr uint64_t kUpcaseRecord = 10;
constexpr uint64_t kFirstUserRecord = 16;
constexpr uint64_t kRecordMask = 0xFFFFFFFFFFFFull;
// $FILE_NAME namespaces.
constexpr uint8_t kDosName = 2;
constexpr uint8_t kWin32AndDosName = 3;

struct ImageFile {
  int fd = -1;
  uint64_t offset = 0;
  ~ImageFile() {
    if (fd >= 0) close(fd);
  }
};

bool ReadImage(void* context, uint64_t offset, void* buffer, size_t length) {
  const ImageFile* image = static_cast<const ImageFile*>(context);
  uint8_t* out = static_cast<uint8_t*>(buffer);
  while (length > 0) {
    ssize_t got = pread(image->fd, out, length,
                        static_cast<off_t>(image->offset + offset));
    if (got <= 0) return false;
    out += got;
    offset += static_cast<uint64_t>(got);
    length -= static_cast<size_t>(got);
  }
  return true;
}

// The volume as the kit's reader opens it.
struct ReaderVolume {
  ImageFile image;
  uint64_t size = 0;  // of the volume, to the image's end
  NtfsVolumePtr volume;
};

bool OpenReader(const std::string& image_path, uint64_t volume_offset,
                ReaderVolume* opened, std::string* differences) {
  opened->image.offset = volume_offset;
  opened->image.fd = open(image_path.c_str(), O_RDONLY);
  struct stat status;
  if (opened->image.fd < 0 || fstat(opened->image.fd, &status) != 0 ||
      static_cast<uint64_t>(status.st_size) <= volume_offset) {
    *differences = image_path + ": cannot be read\n";
    return false;
  }
  opened->size = static_cast<uint64_t>(status.st_size) - volume_offset;
  VolumeReader reader;
  reader.context = &opened->image;
  reader.read = ReadImage;
  reader.size = opened->size;
  uint32_t error = OpenNtfsVolume(reader, &opened->volume);
  if (error != kErrorSuccess) {
    *differences = "the reader cannot open the volume: error " +
                   std::to_string(error) + "\n";
    return false;
  }
  return true;
}

struct Name {
  WideString name;
  WideString short_name;
  uint64_t record;
  bool is_folder;
  bool type_known = true;  // false where a library does not say
};

bool SameName(const Name& a, const Name& b) {
  return a.name == b.name && a.short_name == b.short_name &&
         a.record == b.record && a.is_folder == b.is_folder &&
         a.type_known == b.type_known;
}

std::string Describe(const Name& name) {
  std::string text = "\"" + NativeFromWide(name.name) + "\"";
  if (!name.short_name.empty())
    text += " (8.3 \"" + NativeFromWide(name.short_name) + "\")";
  text += " record " + std::to_string(name.record);
  if (name.is_folder) text += " folder";
  if (!name.type_known) text += " of no type";
  return text;
}

// NTFS's collation of file names: unit by unit once upper-cased by the
// volume's table; names equal then, by their units as they are.
bool CollatesBefore(const std::vector<char16_t>& upcase, const WideString& a,
                    const WideString& b) {
  size_t common = std::min(a.size(), b.size());
  for (size_t i = 0; i < common; ++i) {
    char16_t x = upcase[a[i]], y = upcase[b[i]];
    if (x != y) return x < y;
  }
  if (a.size() != b.size()) return a.size() < b.size();
  return a < b;
}

// Reads `length` bytes at `offset` of a file's unnamed data stream; false
// when they cannot all be read.
using DataRead =
    std::function<bool(uint64_t offset, void* buffer, size_t length)>;

// The other side of a comparison: how it lists a folder and reads a file.
struct OtherSide {
  std::string name;  // "libtsk"
  // The allocated entries of the folder of `record`, as the reader gives
  // them: no ".", "..", or the root's system files. False, with why, when it
  // cannot list the folder.
  std::function<bool(uint64_t record, std::vector<Name>* names,
                     std::string* why)>
      list;
  // The size of the unnamed data stream of the file of `record` (0 without
  // one) and its reader. False, with why, when it cannot open the file.
  std::function<bool(uint64_t record, uint64_t* size, DataRead* read,
                     std::string* why)>
      open_data;
};

struct Comparison {
  NtfsVolume* volume = nullptr;
  std::string* differences = nullptr;
  const KnownDifferences* known = nullptr;
  size_t count = 0;

  void Differ(const WideString& path, const std::string& what) {
    std::string line =
        NativeFromWide(path.empty() ? u"\\" : path) + ": " + what;
    for (const std::string& part : *known)
      if (line.find(part) != std::string::npos) return;
    if (count++ < kMostDifferences) *differences += line + "\n";
  }
  bool Finish() {
    if (count > kMostDifferences)
      *differences +=
          "... and " + std::to_string(count - kMostDifferences) + " more\n";
    return count == 0;
  }
};

void CompareData(Comparison* comparison, const OtherSide& other,
                 const WideString& path, uint64_t record) {
  uint64_t expected = 0;
  DataRead read;
  std::string why;
  if (!other.open_data(record, &expected, &read, &why)) {
    comparison->Differ(path, other.name + " cannot open the file: " + why);
    return;
  }
  NtfsFileInfo info;
  uint32_t error = GetNtfsFileInfo(comparison->volume, record, &info);
  if (error != kErrorSuccess) {
    comparison->Differ(
        path, "the reader fails on the file with " + std::to_string(error));
    return;
  }
  if (info.size != expected) {
    comparison->Differ(path, "size " + std::to_string(info.size) + ", " +
                                 other.name + " " + std::to_string(expected));
    return;
  }
  std::vector<char> ours(kChunk), theirs(kChunk);
  for (uint64_t offset = 0; offset < expected; offset += kChunk) {
    size_t wanted =
        static_cast<size_t>(std::min<uint64_t>(kChunk, expected - offset));
    size_t got = 0;
    error = ReadNtfsFile(comparison->volume, record, offset, ours.data(),
                         kChunk, &got);
    if (error != kErrorSuccess || got != wanted) {
      comparison->Differ(path, "the reader reads " + std::to_string(got) +
                                   " bytes at " + std::to_string(offset) +
                                   " with " + std::to_string(error));
      return;
    }
    if (!read(offset, theirs.data(), wanted)) {
      comparison->Differ(
          path, other.name + " cannot read at " + std::to_string(offset));
      return;
    }
    if (memcmp(ours.data(), theirs.data(), wanted) != 0) {
      size_t at = 0;
      while (ours[at] == theirs[at]) ++at;
      comparison->Differ(path,
                         "the bytes differ at " + std::to_string(offset + at));
      return;
    }
  }
}

void CompareFolder(Comparison* comparison, const OtherSide& other,
                   const WideString& path, uint64_t record,
                   std::deque<std::pair<WideString, uint64_t>>* pending) {
  std::vector<NtfsEntry> entries;
  uint32_t error = ListNtfsFolder(comparison->volume, path, &entries);
  if (error != kErrorSuccess) {
    comparison->Differ(path, "the reader cannot list the folder: error " +
                                 std::to_string(error));
    return;
  }
  const std::vector<char16_t>& upcase = NtfsUpcase(comparison->volume);
  std::vector<Name> ours, theirs;
  for (size_t i = 0; i < entries.size(); ++i) {
    const NtfsEntry& entry = entries[i];
    ours.push_back(
        Name{entry.name, entry.short_name, entry.record, entry.is_folder});
    if (i > 0 && !CollatesBefore(upcase, entries[i - 1].name, entry.name))
      comparison->Differ(path, "\"" + NativeFromWide(entry.name) +
                                   "\" comes after \"" +
                                   NativeFromWide(entries[i - 1].name) +
                                   "\", out of collation order");
  }
  std::string why;
  if (!other.list(record, &theirs, &why)) {
    comparison->Differ(path, other.name + " cannot list the folder: " + why);
    return;
  }
  // An entry is its name and record; what each side says of it beyond
  // that is compared for the entries of both.
  std::map<std::pair<WideString, uint64_t>, Name> only_theirs;
  for (const Name& name : theirs)
    only_theirs.emplace(std::make_pair(name.name, name.record), name);
  for (const Name& name : ours) {
    auto found = only_theirs.find(std::make_pair(name.name, name.record));
    if (found == only_theirs.end()) {
      comparison->Differ(path, "only the reader lists " + Describe(name));
      continue;
    }
    const Name& same = found->second;
    if (same.short_name != name.short_name)
      comparison->Differ(
          path, Describe(name) + ": " + other.name + " gives " +
                    (same.short_name.empty()
                         ? std::string("no 8.3 name")
                         : "the 8.3 name \"" + NativeFromWide(same.short_name) +
                               "\""));
    if (!same.type_known)
      comparison->Differ(path, Describe(name) + ": " + other.name +
                                   " does not say whether it is a folder");
    else if (same.is_folder != name.is_folder)
      comparison->Differ(path, Describe(name) + ": " + other.name +
                                   " says it is " +
                                   (same.is_folder ? "a folder" : "a file"));
    only_theirs.erase(found);
  }
  for (const auto& [key, name] : only_theirs)
    comparison->Differ(path, "only " + other.name + " lists " + Describe(name));

  for (const NtfsEntry& entry : entries) {
    WideString child = path + u"\\" + entry.name;
    if (entry.is_folder)
      pending->emplace_back(child, entry.record);
    else
      CompareData(comparison, other, child, entry.record);
  }
}

// The volume's $UpCase as the other side reads it against the reader's
// table, by which the reader's order is checked.
void CompareUpcase(Comparison* comparison, const OtherSide& other) {
  uint64_t size = 0;
  DataRead read;
  std::string why;
  std::vector<uint8_t> table(2 * 65536);
  if (!other.open_data(kUpcaseRecord, &size, &read, &why) ||
      size != table.size() || !read(0, table.data(), table.size())) {
    comparison->Differ(u"\\$UpCase", other.name + " cannot read it: " + why);
    return;
  }
  const std::vector<char16_t>& upcase = NtfsUpcase(comparison->volume);
  for (size_t unit = 0; unit < 65536; ++unit) {
    if (upcase[unit] != (table[2 * unit] | table[2 * unit + 1] << 8)) {
      comparison->Differ(u"\\$UpCase", "the reader's table differs from " +
                                           other.name + "'s at unit " +
                                           std::to_string(unit));
      return;
    }
  }
}

// Walks every folder of the reader's volume against `other`.
bool CompareWalk(NtfsVolume* volume, const OtherSide& other,
                 const KnownDifferences& known, std::string* differences) {
  Comparison comparison;
  comparison.volume = volume;
  comparison.differences = differences;
  comparison.known = &known;
  CompareUpcase(&comparison, other);
  std::deque<std::pair<WideString, uint64_t>> pending;
  std::set<uint64_t> walked;
  pending.emplace_back(WideString(), kRootRecord);
  while (!pending.empty()) {
    std::pair<WideString, uint64_t> folder = pending.front();
    pending.pop_front();
    // A folder is walked once, whichever of its names leads to it first.
    if (!walked.insert(folder.second).second) continue;
    CompareFolder(&comparison, other, folder.first, folder.second, &pending);
  }
  return comparison.Finish();
}

// libtsk.

struct TskImageCloser {
  void operator()(TSK_IMG_INFO* image) const { tsk_img_close(image); }
};
struct TskFsCloser {
  void operator()(TSK_FS_INFO* file_system) const { tsk_fs_close(file_system); }
};
struct TskFileCloser {
  void operator()(TSK_FS_FILE* file) const { tsk_fs_file_close(file); }
};

std::string LibtskError() {
  std::string text = tsk_error_get() == nullptr ? "" : tsk_error_get();
  tsk_error_reset();
  return text;
}

// The unnamed $DATA attribute of an open file; null without one.
const TSK_FS_ATTR* UnnamedData(TSK_FS_FILE* file) {
  int count = tsk_fs_file_attr_getsize(file);
  for (int i = 0; i < count; ++i) {
    const TSK_FS_ATTR* attribute = tsk_fs_file_attr_get_idx(file, i);
    if (attribute == nullptr || attribute->type != TSK_FS_ATTR_TYPE_NTFS_DATA)
      continue;
    if (attribute->name == nullptr || attribute->name[0] == '\0' ||
        strcmp(attribute->name, "$Data") == 0)
      return attribute;
  }
  tsk_error_reset();
  return nullptr;
}

bool TskList(TSK_FS_INFO* file_system, uint64_t record,
             std::vector<Name>* names, std::string* why) {
  TSK_FS_DIR* folder = tsk_fs_dir_open_meta(file_system, record);
  if (folder == nullptr) {
    *why = LibtskError();
    return false;
  }
  for (size_t i = 0; i < tsk_fs_dir_getsize(folder); ++i) {
    const TSK_FS_NAME* name = tsk_fs_dir_get_name(folder, i);
    if (name == nullptr || name->name == nullptr ||
        (name->flags & TSK_FS_NAME_FLAG_UNALLOC) != 0 ||
        name->type == TSK_FS_NAME_TYPE_VIRT ||
        name->type == TSK_FS_NAME_TYPE_VIRT_DIR ||
        strcmp(name->name, ".") == 0 || strcmp(name->name, "..") == 0 ||
        (record == kRootRecord && name->meta_addr < kFirstUserRecord))
      continue;
    Name entry;
    entry.name = WideFromUtf8(name->name);
    if (name->shrt_name != nullptr)
      entry.short_name = WideFromUtf8(name->shrt_name);
    entry.record = name->meta_addr;
    entry.is_folder = name->type == TSK_FS_NAME_TYPE_DIR;
    entry.type_known = name->type != TSK_FS_NAME_TYPE_UNDEF;
    names->push_back(entry);
  }
  tsk_fs_dir_close(folder);
  tsk_error_reset();
  return true;
}

bool TskOpenData(TSK_FS_INFO* file_system, uint64_t record, uint64_t* size,
                 DataRead* read, std::string* why) {
  std::shared_ptr<TSK_FS_FILE> file(
      tsk_fs_file_open_meta(file_system, nullptr, record), TskFileCloser());
  if (file == nullptr) {
    *why = LibtskError();
    return false;
  }
  const TSK_FS_ATTR* data = UnnamedData(file.get());
  *size = data == nullptr ? 0 : static_cast<uint64_t>(data->size);
  *read = [file, data](uint64_t offset, void* buffer, size_t length) {
    ssize_t got = tsk_fs_attr_read(data, static_cast<TSK_OFF_T>(offset),
                                   static_cast<char*>(buffer), length,
                                   TSK_FS_FILE_READ_FLAG_NONE);
    tsk_error_reset();
    return got == static_cast<ssize_t>(length);
  };
  return true;
}

// libfsntfs, over a libbfio handle of our own that reads the volume's bytes
// of the image file (libbfio's own file range reads nothing past the
// range's size counted from the file's start, not the range's).

// The volume's bytes as the handle reads them: from `start` of the file,
// `size` of them, the next at `position`.
struct VolumeRange {
  int fd = -1;
  uint64_t start = 0;
  uint64_t size = 0;
  uint64_t position = 0;
};

VolumeRange* RangeOf(intptr_t* io_handle) {
  return reinterpret_cast<VolumeRange*>(io_handle);
}

int RangeOpen(intptr_t*, int, libbfio_error_t**) { return 1; }
int RangeClose(intptr_t*, libbfio_error_t**) { return 0; }
int RangeExists(intptr_t*, libbfio_error_t**) { return 1; }
int RangeIsOpen(intptr_t*, libbfio_error_t**) { return 1; }

ssize_t RangeRead(intptr_t* io_handle, uint8_t* buffer, size_t size,
                  libbfio_error_t**) {
  VolumeRange* range = RangeOf(io_handle);
  if (range->position >= range->size) return 0;
  size = static_cast<size_t>(
      std::min<uint64_t>(size, range->size - range->position));
  ssize_t got = pread(range->fd, buffer, size,
                      static_cast<off_t>(range->start + range->position));
  if (got < 0) return -1;
  range->position += static_cast<uint64_t>(got);
  return got;
}

ssize_t RangeWrite(intptr_t*, const uint8_t*, size_t, libbfio_error_t**) {
  return -1;
}

off64_t RangeSeek(intptr_t* io_handle, off64_t offset, int whence,
                  libbfio_error_t**) {
  VolumeRange* range = RangeOf(io_handle);
  int64_t base = whence == SEEK_SET   ? 0
                 : whence == SEEK_CUR ? static_cast<int64_t>(range->position)
                                      : static_cast<int64_t>(range->size);
  if (offset < -base) return -1;
  range->position = static_cast<uint64_t>(base + offset);
  return static_cast<off64_t>(range->position);
}

int RangeSize(intptr_t* io_handle, size64_t* size, libbfio_error_t**) {
  *size = RangeOf(io_handle)->size;
  return 1;
}

struct BfioCloser {
  void operator()(libbfio_handle_t* handle) const {
    libbfio_handle_free(&handle, nullptr);
  }
};
struct FsntfsVolumeCloser {
  void operator()(libfsntfs_volume_t* volume) const {
    libfsntfs_volume_close(volume, nullptr);
    libfsntfs_volume_free(&volume, nullptr);
  }
};
struct FsntfsEntryCloser {
  void operator()(libfsntfs_file_entry_t* entry) const {
    libfsntfs_file_entry_free(&entry, nullptr);
  }
};
struct FsntfsAttributeCloser {
  void operator()(libfsntfs_attribute_t* attribute) const {
    libfsntfs_attribute_free(&attribute, nullptr);
  }
};
using FsntfsEntry = std::unique_ptr<libfsntfs_file_entry_t, FsntfsEntryCloser>;
using FsntfsAttribute =
    std::unique_ptr<libfsntfs_attribute_t, FsntfsAttributeCloser>;

// Members in the order they are to be closed in: the volume before the
// handle, the handle before the range it reads.
struct FsntfsVolume {
  VolumeRange range;
  std::unique_ptr<libbfio_handle_t, BfioCloser> file;
  std::unique_ptr<libfsntfs_volume_t, FsntfsVolumeCloser> volume;
};

// The library's message for `error`, which it frees; libbfio's errors are
// of the same kind.
std::string FsntfsError(libfsntfs_error_t* error) {
  if (error == nullptr) return "failed";
  char text[1024] = {};
  libfsntfs_error_sprint(error, text, sizeof text);
  libfsntfs_error_free(&error);
  return text;
}

// Opens the volume that `image` reads through libfsntfs.
bool OpenFsntfs(const ReaderVolume& image, FsntfsVolume* opened,
                std::string* why) {
  opened->range.fd = image.image.fd;
  opened->range.start = image.image.offset;
  opened->range.size = image.size;
  libfsntfs_error_t* error = nullptr;
  libbfio_handle_t* file = nullptr;
  if (libbfio_handle_initialize(
          &file, reinterpret_cast<intptr_t*>(&opened->range), nullptr, nullptr,
          RangeOpen, RangeClose, RangeRead, RangeWrite, RangeSeek, RangeExists,
          RangeIsOpen, RangeSize,
          LIBBFIO_FLAG_IO_HANDLE_NON_MANAGED |
              LIBBFIO_FLAG_IO_HANDLE_CLONE_BY_REFERENCE,
          &error) != 1) {
    *why = FsntfsError(error);
    return false;
  }
  opened->file.reset(file);
  libfsntfs_volume_t* volume = nullptr;
  if (libfsntfs_volume_initialize(&volume, &error) != 1) {
    *why = FsntfsError(error);
    return false;
  }
  if (libfsntfs_volume_open_file_io_handle(volume, file, LIBFSNTFS_OPEN_READ,
                                           &error) != 1) {
    libfsntfs_volume_free(&volume, nullptr);
    *why = FsntfsError(error);
    return false;
  }
  opened->volume.reset(volume);
  return true;
}

// A name of the entry or of one of its $FILE_NAME attributes.
template <typename SizeOf, typename Get>
bool FsntfsName(SizeOf size_of, Get get, WideString* name,
                libfsntfs_error_t** error) {
  size_t units = 0;
  if (size_of(&units, error) != 1) return false;
  std::vector<uint16_t> buffer(std::max<size_t>(units, 1));
  if (get(buffer.data(), buffer.size(), error) != 1) return false;
  name->assign(buffer.begin(), buffer.begin() + (units > 0 ? units - 1 : 0));
  return true;
}

// The 8.3 name of the file `entry` in the folder of `folder`: its DOS
// $FILE_NAME there, or its name itself when that is Win32 and DOS at once.
bool FsntfsShortName(libfsntfs_file_entry_t* entry, uint64_t folder,
                     const WideString& name, WideString* short_name,
                     libfsntfs_error_t** error) {
  int count = 0;
  if (libfsntfs_file_entry_get_number_of_attributes(entry, &count, error) != 1)
    return false;
  for (int i = 0; i < count; ++i) {
    libfsntfs_attribute_t* raw = nullptr;
    if (libfsntfs_file_entry_get_attribute_by_index(entry, i, &raw, error) != 1)
      return false;
    FsntfsAttribute attribute(raw);
    uint32_t type = 0;
    if (libfsntfs_attribute_get_type(raw, &type, error) != 1) return false;
    if (type != LIBFSNTFS_ATTRIBUTE_TYPE_FILE_NAME) continue;
    uint8_t name_space = 0;
    uint64_t parent = 0;
    WideString units;
    if (libfsntfs_file_name_attribute_get_name_space(raw, &name_space, error) !=
            1 ||
        libfsntfs_file_name_attribute_get_parent_file_reference(raw, &parent,
                                                                error) != 1 ||
        !FsntfsName(
            [raw](size_t* size, libfsntfs_error_t** e) {
              return libfsntfs_file_name_attribute_get_utf16_name_size(raw,
                                                                       size, e);
            },
            [raw](uint16_t* buffer, size_t size, libfsntfs_error_t** e) {
              return libfsntfs_file_name_attribute_get_utf16_name(raw, buffer,
                                                                  size, e);
            },
            &units, error))
      return false;
    if ((parent & kRecordMask) != folder) continue;
    if (name_space == kDosName ||
        (name_space == kWin32AndDosName && units == name))
      *short_name = units;
  }
  return true;
}

bool FsntfsList(libfsntfs_volume_t* volume, uint64_t record,
                std::vector<Name>* names, std::string* why) {
  libfsntfs_error_t* error = nullptr;
  libfsntfs_file_entry_t* raw = nullptr;
  if (libfsntfs_volume_get_file_entry_by_index(volume, record, &raw, &error) !=
      1) {
    *why = FsntfsError(error);
    return false;
  }
  FsntfsEntry folder(raw);
  int count = 0;
  if (libfsntfs_file_entry_get_number_of_sub_file_entries(raw, &count,
                                                          &error) != 1) {
    *why = FsntfsError(error);
    return false;
  }
  for (int i = 0; i < count; ++i) {
    libfsntfs_file_entry_t* sub = nullptr;
    if (libfsntfs_file_entry_get_sub_file_entry_by_index(raw, i, &sub,
                                                         &error) != 1) {
      *why = FsntfsError(error);
      return false;
    }
    FsntfsEntry entry(sub);
    Name name;
    uint64_t reference = 0;
    int is_folder = 0, allocated = 0;
    if (libfsntfs_file_entry_get_file_reference(sub, &reference, &error) != 1 ||
        !FsntfsName(
            [sub](size_t* size, libfsntfs_error_t** e) {
              return libfsntfs_file_entry_get_utf16_name_size(sub, size, e);
            },
            [sub](uint16_t* buffer, size_t size, libfsntfs_error_t** e) {
              return libfsntfs_file_entry_get_utf16_name(sub, buffer, size, e);
            },
            &name.name, &error) ||
        (is_folder = libfsntfs_file_entry_has_directory_entries_index(
             sub, &error)) < 0 ||
        (allocated = libfsntfs_file_entry_is_allocated(sub, &error)) < 0 ||
        !FsntfsShortName(sub, record, name.name, &name.short_name, &error)) {
      *why = FsntfsError(error);
      return false;
    }
    name.record = reference & kRecordMask;
    name.is_folder = is_folder == 1;
    if (allocated != 1 ||
        (record == kRootRecord && name.record < kFirstUserRecord))
      continue;
    names->push_back(name);
  }
  return true;
}

bool FsntfsOpenData(libfsntfs_volume_t* volume, uint64_t record, uint64_t* size,
                    DataRead* read, std::string* why) {
  libfsntfs_error_t* error = nullptr;
  libfsntfs_file_entry_t* raw = nullptr;
  if (libfsntfs_volume_get_file_entry_by_index(volume, record, &raw, &error) !=
      1) {
    *why = FsntfsError(error);
    return false;
  }
  std::shared_ptr<libfsntfs_file_entry_t> entry(raw, FsntfsEntryCloser());
  int has_data = libfsntfs_file_entry_has_default_data_stream(raw, &error);
  if (has_data < 0 || (has_data == 1 &&
                       libfsntfs_file_entry_get_size(raw, size, &error) != 1)) {
    *why = FsntfsError(error);
    return false;
  }
  if (has_data == 0) *size = 0;
  *read = [entry](uint64_t offset, void* buffer, size_t length) {
    uint8_t* out = static_cast<uint8_t*>(buffer);
    while (length > 0) {
      libfsntfs_error_t* error = nullptr;
      ssize_t got = libfsntfs_file_entry_read_buffer_at_offset(
          entry.get(), out, length, static_cast<off64_t>(offset), &error);
      if (error != nullptr) libfsntfs_error_free(&error);
      if (got <= 0) return false;
      out += got;
      offset += static_cast<uint64_t>(got);
      length -= static_cast<size_t>(got);
    }
    return true;
  };
  return true;
}

// The mount.

// The mount's path of the folder at a rooted path of the volume.
std::string MountPath(const std::string& mount, const WideString& path) {
  std::string out = mount + NativeFromWide(path);
  std::replace(out.begin() + mount.size(), out.end(), '\\', '/');
  return out;
}

// The entries of the mount's folder at `path`, sorted as the index collates
// them.
bool MountList(const std::string& mount, const std::vector<char16_t>& upcase,
               const WideString& path, std::vector<Name>* names,
               std::string* why) {
  const std::string folder = MountPath(mount, path);
  DIR* listing = opendir(folder.c_str());
  if (listing == nullptr) {
    *why = strerror(errno);
    return false;
  }
  while (dirent* entry = readdir(listing)) {
    if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0)
      continue;
    const std::string child = folder + "/" + entry->d_name;
    struct stat status;
    if (lstat(child.c_str(), &status) != 0) {
      *why = child + ": " + strerror(errno);
      closedir(listing);
      return false;
    }
    Name name;
    name.name = WideFromUtf8(entry->d_name);
    name.record = status.st_ino;
    name.is_folder = S_ISDIR(status.st_mode);
    char short_name[64];
    ssize_t got = getxattr(child.c_str(), "system.ntfs_dos_name", short_name,
                           sizeof short_name);
    if (got > 0) name.short_name = WideFromUtf8(std::string(short_name, got));
    names->push_back(name);
  }
  closedir(listing);
  std::sort(names->begin(), names->end(),
            [&upcase](const Name& a, const Name& b) {
              return CollatesBefore(upcase, a.name, b.name);
            });
  return true;
}

// Readdir's listing against the reader's, entry by entry in order.
void CompareMountFolder(Comparison* comparison, const std::string& mount,
                        const WideString& path,
                        std::deque<WideString>* pending) {
  std::vector<NtfsEntry> entries;
  uint32_t error = ListNtfsFolder(comparison->volume, path, &entries);
  if (error != kErrorSuccess) {
    comparison->Differ(path, "the reader cannot list the folder: error " +
                                 std::to_string(error));
    return;
  }
  std::vector<Name> theirs;
  std::string why;
  if (!MountList(mount, NtfsUpcase(comparison->volume), path, &theirs, &why)) {
    comparison->Differ(path, "the mount cannot list the folder: " + why);
    return;
  }
  for (size_t i = 0; i < std::max(entries.size(), theirs.size()); ++i) {
    if (i == entries.size()) {
      comparison->Differ(path, "only the mount lists " + Describe(theirs[i]));
      continue;
    }
    const NtfsEntry& entry = entries[i];
    const Name ours{entry.name, entry.short_name, entry.record,
                    entry.is_folder};
    if (i == theirs.size()) {
      comparison->Differ(path, "only the reader lists " + Describe(ours));
      continue;
    }
    if (!SameName(ours, theirs[i]))
      comparison->Differ(path, "entry " + std::to_string(i) + ": the reader " +
                                   Describe(ours) + ", the mount " +
                                   Describe(theirs[i]));
    if (entry.is_folder) pending->push_back(path + u"\\" + entry.name);
  }
}

}  // namespace

bool CompareNtfsReaderWithLibtsk(const std::string& image_path,
                                 uint64_t volume_offset,
                                 std::string* differences,
                                 const KnownDifferences& known) {
  differences->clear();
  ReaderVolume reader;
  if (!OpenReader(image_path, volume_offset, &reader, differences))
    return false;
  std::unique_ptr<TSK_IMG_INFO, TskImageCloser> image(
      tsk_img_open_utf8_sing(image_path.c_str(), TSK_IMG_TYPE_RAW, 0));
  std::unique_ptr<TSK_FS_INFO, TskFsCloser> file_system(
      image == nullptr
          ? nullptr
          : tsk_fs_open_img(image.get(), static_cast<TSK_OFF_T>(volume_offset),
                            TSK_FS_TYPE_NTFS));
  if (file_system == nullptr) {
    *differences = "libtsk cannot open the volume: " + LibtskError() + "\n";
    return false;
  }
  TSK_FS_INFO* fs = file_system.get();
  OtherSide libtsk;
  libtsk.name = "libtsk";
  libtsk.list = [fs](uint64_t record, std::vector<Name>* names,
                     std::string* why) {
    return TskList(fs, record, names, why);
  };
  libtsk.open_data = [fs](uint64_t record, uint64_t* size, DataRead* read,
                          std::string* why) {
    return TskOpenData(fs, record, size, read, why);
  };
  return CompareWalk(reader.volume.get(), libtsk, known, differences);
}

bool CompareNtfsReaderWithLibfsntfs(const std::string& image_path,
                                    uint64_t volume_offset,
                                    std::string* differences,
                                    const KnownDifferences& known) {
  differences->clear();
  ReaderVolume reader;
  if (!OpenReader(image_path, volume_offset, &reader, differences))
    return false;
  FsntfsVolume opened;
  std::string why;
  if (!OpenFsntfs(reader, &opened, &why)) {
    *differences = "libfsntfs cannot open the volume: " + why + "\n";
    return false;
  }
  libfsntfs_volume_t* volume = opened.volume.get();
  OtherSide libfsntfs;
  libfsntfs.name = "libfsntfs";
  libfsntfs.list = [volume](uint64_t record, std::vector<Name>* names,
                            std::string* why) {
    return FsntfsList(volume, record, names, why);
  };
  libfsntfs.open_data = [volume](uint64_t record, uint64_t* size,
                                 DataRead* read, std::string* why) {
    return FsntfsOpenData(volume, record, size, read, why);
  };
  return CompareWalk(reader.volume.get(), libfsntfs, known, differences);
}

bool CompareNtfsReaderWithMount(const std::string& image_path,
                                uint64_t volume_offset,
                                const std::string& mount,
                                std::string* differences) {
  differences->clear();
  ReaderVolume reader;
  if (!OpenReader(image_path, volume_offset, &reader, differences))
    return false;
  const KnownDifferences none;
  Comparison comparison;
  comparison.volume = reader.volume.get();
  comparison.differences = differences;
  comparison.known = &none;
  std::deque<WideString> pending = {WideString()};
  while (!pending.empty()) {
    WideString path = pending.front();
    pending.pop_front();
    CompareMountFolder(&comparison, mount, path, &pending);
  }
  return comparison.Finish();
}

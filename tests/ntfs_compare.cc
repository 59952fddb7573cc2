#include "tests/ntfs_compare.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <tsk/libtsk.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <set>
#include <tuple>
#include <vector>

#include "volume/ntfs_volume.h"
#include "common/text.h"

namespace {

constexpr size_t kMostDifferences = 100;
constexpr size_t kChunk = 1 << 20;
constexpr TSK_INUM_T kRootRecord = 5;
constexpr TSK_INUM_T kUpcaseRecord = 10;
constexpr TSK_INUM_T kFirstUserRecord = 16;

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

struct Name {
  WideString name;
  WideString short_name;
  uint64_t record;
  bool is_folder;

  bool operator<(const Name& other) const {
    return std::tie(name, record, short_name, is_folder) <
           std::tie(other.name, other.record, other.short_name,
                    other.is_folder);
  }
  bool operator==(const Name& other) const {
    return !(*this < other) && !(other < *this);
  }
};

struct Comparison {
  TSK_FS_INFO* file_system = nullptr;
  NtfsVolume* volume = nullptr;
  std::vector<char16_t> upcase;
  std::string* differences = nullptr;
  size_t count = 0;

  void Differ(const WideString& path, const std::string& what) {
    if (count++ < kMostDifferences)
      *differences +=
          NativeFromWide(path.empty() ? u"\\" : path) + ": " + what + "\n";
  }
};

std::string Describe(const Name& name) {
  std::string text = "\"" + NativeFromWide(name.name) + "\"";
  if (!name.short_name.empty())
    text += " (8.3 \"" + NativeFromWide(name.short_name) + "\")";
  text += " record " + std::to_string(name.record);
  if (name.is_folder) text += " folder";
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

void ReadUpcase(Comparison* comparison) {
  comparison->upcase.resize(65536);
  for (size_t unit = 0; unit < 65536; ++unit)
    comparison->upcase[unit] = static_cast<char16_t>(unit);
  TSK_FS_FILE* file =
      tsk_fs_file_open_meta(comparison->file_system, nullptr, kUpcaseRecord);
  if (file == nullptr) return;
  const TSK_FS_ATTR* data = UnnamedData(file);
  std::vector<uint8_t> table(131072);
  ssize_t got =
      data == nullptr
          ? -1
          : tsk_fs_attr_read(data, 0, reinterpret_cast<char*>(&table[0]),
                             table.size(), TSK_FS_FILE_READ_FLAG_NONE);
  for (ssize_t unit = 0; unit < got / 2; ++unit)
    comparison->upcase[unit] =
        static_cast<char16_t>(table[2 * unit] | table[2 * unit + 1] << 8);
  tsk_fs_file_close(file);
  tsk_error_reset();
}

// The allocated entries that libtsk lists in the folder of `record`, as the
// reader gives them: no ".", "..", virtual entries, or the root's system
// files.
bool LibraryEntries(Comparison* comparison, const WideString& path,
                    TSK_INUM_T record, std::vector<Name>* names) {
  TSK_FS_DIR* folder = tsk_fs_dir_open_meta(comparison->file_system, record);
  if (folder == nullptr) {
    comparison->Differ(
        path, std::string("libtsk cannot open the folder: ") + tsk_error_get());
    tsk_error_reset();
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
    names->push_back(entry);
  }
  tsk_fs_dir_close(folder);
  tsk_error_reset();
  return true;
}

void CompareData(Comparison* comparison, const WideString& path,
                 uint64_t record) {
  TSK_FS_FILE* file =
      tsk_fs_file_open_meta(comparison->file_system, nullptr, record);
  if (file == nullptr) {
    comparison->Differ(path, "libtsk cannot open the file");
    tsk_error_reset();
    return;
  }
  const TSK_FS_ATTR* data = UnnamedData(file);
  uint64_t expected = data == nullptr ? 0 : static_cast<uint64_t>(data->size);
  NtfsFileInfo info;
  uint32_t error = GetNtfsFileInfo(comparison->volume, record, &info);
  if (error != kErrorSuccess) {
    comparison->Differ(
        path, "the reader fails on the file with " + std::to_string(error));
  } else if (info.size != expected) {
    comparison->Differ(path, "size " + std::to_string(info.size) + ", libtsk " +
                                 std::to_string(expected));
  } else {
    std::vector<char> ours(kChunk), theirs(kChunk);
    for (uint64_t offset = 0; offset < expected; offset += kChunk) {
      size_t wanted =
          static_cast<size_t>(std::min<uint64_t>(kChunk, expected - offset));
      size_t got = 0;
      error = ReadNtfsFile(comparison->volume, record, offset, ours.data(),
                           kChunk, &got);
      ssize_t library =
          tsk_fs_attr_read(data, static_cast<TSK_OFF_T>(offset), theirs.data(),
                           wanted, TSK_FS_FILE_READ_FLAG_NONE);
      if (error != kErrorSuccess || got != wanted) {
        comparison->Differ(path, "the reader reads " + std::to_string(got) +
                                     " bytes at " + std::to_string(offset) +
                                     " with " + std::to_string(error));
        break;
      }
      if (library != static_cast<ssize_t>(wanted)) {
        comparison->Differ(path,
                           "libtsk cannot read at " + std::to_string(offset));
        break;
      }
      if (memcmp(ours.data(), theirs.data(), wanted) != 0) {
        size_t at = 0;
        while (ours[at] == theirs[at]) ++at;
        comparison->Differ(
            path, "the bytes differ at " + std::to_string(offset + at));
        break;
      }
    }
  }
  tsk_fs_file_close(file);
  tsk_error_reset();
}

void CompareFolder(Comparison* comparison, const WideString& path,
                   uint64_t record,
                   std::deque<std::pair<WideString, uint64_t>>* pending) {
  std::vector<NtfsEntry> entries;
  uint32_t error = ListNtfsFolder(comparison->volume, path, &entries);
  if (error != kErrorSuccess) {
    comparison->Differ(path, "the reader cannot list the folder: error " +
                                 std::to_string(error));
    return;
  }
  std::vector<Name> ours, theirs;
  for (size_t i = 0; i < entries.size(); ++i) {
    const NtfsEntry& entry = entries[i];
    ours.push_back(
        Name{entry.name, entry.short_name, entry.record, entry.is_folder});
    if (i > 0 &&
        !CollatesBefore(comparison->upcase, entries[i - 1].name, entry.name))
      comparison->Differ(path, "\"" + NativeFromWide(entry.name) +
                                   "\" comes after \"" +
                                   NativeFromWide(entries[i - 1].name) +
                                   "\", out of collation order");
  }
  if (!LibraryEntries(comparison, path, record, &theirs)) return;
  std::sort(ours.begin(), ours.end());
  std::sort(theirs.begin(), theirs.end());
  std::vector<Name> only_ours, only_theirs;
  std::set_difference(ours.begin(), ours.end(), theirs.begin(), theirs.end(),
                      std::back_inserter(only_ours));
  std::set_difference(theirs.begin(), theirs.end(), ours.begin(), ours.end(),
                      std::back_inserter(only_theirs));
  for (const Name& name : only_ours)
    comparison->Differ(path, "only the reader lists " + Describe(name));
  for (const Name& name : only_theirs)
    comparison->Differ(path, "only libtsk lists " + Describe(name));

  for (const NtfsEntry& entry : entries) {
    WideString child = path + u"\\" + entry.name;
    if (entry.is_folder)
      pending->emplace_back(child, entry.record);
    else
      CompareData(comparison, child, entry.record);
  }
}

}  // namespace

bool CompareNtfsReaderWithLibtsk(const std::string& image_path,
                                 uint64_t volume_offset,
                                 std::string* differences) {
  differences->clear();
  ImageFile image;
  image.offset = volume_offset;
  image.fd = open(image_path.c_str(), O_RDONLY);
  struct stat status;
  if (image.fd < 0 || fstat(image.fd, &status) != 0 ||
      static_cast<uint64_t>(status.st_size) <= volume_offset) {
    *differences = image_path + ": cannot be read\n";
    return false;
  }
  VolumeReader reader;
  reader.context = &image;
  reader.read = ReadImage;
  reader.size = static_cast<uint64_t>(status.st_size) - volume_offset;
  NtfsVolumePtr volume;
  uint32_t error = OpenNtfsVolume(reader, &volume);
  if (error != kErrorSuccess) {
    *differences = "the reader cannot open the volume: error " +
                   std::to_string(error) + "\n";
    return false;
  }

  TSK_IMG_INFO* library_image =
      tsk_img_open_utf8_sing(image_path.c_str(), TSK_IMG_TYPE_RAW, 0);
  TSK_FS_INFO* file_system =
      library_image == nullptr
          ? nullptr
          : tsk_fs_open_img(library_image,
                            static_cast<TSK_OFF_T>(volume_offset),
                            TSK_FS_TYPE_NTFS);
  if (file_system == nullptr) {
    *differences =
        std::string("libtsk cannot open the volume: ") + tsk_error_get() + "\n";
    tsk_error_reset();
    if (library_image != nullptr) tsk_img_close(library_image);
    return false;
  }

  Comparison comparison;
  comparison.file_system = file_system;
  comparison.volume = volume.get();
  comparison.differences = differences;
  ReadUpcase(&comparison);
  std::deque<std::pair<WideString, uint64_t>> pending;
  std::set<uint64_t> walked;
  pending.emplace_back(WideString(), kRootRecord);
  while (!pending.empty()) {
    std::pair<WideString, uint64_t> folder = pending.front();
    pending.pop_front();
    // A folder is walked once, whichever of its names leads to it first.
    if (!walked.insert(folder.second).second) continue;
    CompareFolder(&comparison, folder.first, folder.second, &pending);
  }
  if (comparison.count > kMostDifferences)
    *differences += "... and " +
                    std::to_string(comparison.count - kMostDifferences) +
                    " more\n";
  tsk_fs_close(file_system);
  tsk_img_close(library_image);
  return comparison.count == 0;
}

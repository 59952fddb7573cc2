#include "volume/image_volume.h"

#include <tsk/libtsk.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>

#include "volume/ntfs_volume.h"
#include "volume/wildcard.h"

namespace {

// A backslash separates the components of the kit's paths, but a volume
// written by another system may hold one within a name. Listings hand it on
// as this lone unit, the way the POSIX platform does.
constexpr char16_t kEscapedBackslash = 0xDC5C;

// The NTFS system file that holds the volume's upper-case table, and the
// size of a whole table: one upper-case unit for each of the 65536 units.
constexpr TSK_INUM_T kNtfsUpcaseFile = 10;
constexpr size_t kUpcaseUnits = 65536;

// The first bytes of a BitLocker volume: a jump, then this OEM name.
constexpr char kBitLockerSignature[] = "-FVE-FS-";
constexpr size_t kBitLockerSignatureOffset = 3;

// Listings kept for path lookups; past this many, the cache starts over, so
// that a walk through many folders holds no more than a few at a time.
constexpr size_t kMostCachedFolders = 16;

struct FolderEntry {
  WideString name;        // the long name, backslashes escaped
  WideString short_name;  // the 8.3 name, empty when there is none
  TSK_INUM_T address = 0;
  bool is_folder = false;
};

struct OpenFile {
  TSK_FS_FILE* file = nullptr;
  const TSK_FS_ATTR* data = nullptr;  // null for a file without data
  uint64_t size = 0;
  uint64_t position = 0;
};

}  // namespace

struct ImageVolume {
  TSK_IMG_INFO* image = nullptr;
  TSK_FS_INFO* file_system = nullptr;
  bool ntfs = false;
  // On NTFS, the kit's own reader over the same volume, which checks each
  // file record before the library parses it.
  uint64_t offset = 0;
  VolumeReader reader;
  NtfsVolumePtr checker;
  // Each unit's upper case by the volume's rule, indexed by the unit.
  std::vector<char16_t> upcase;
  std::map<TSK_INUM_T, std::vector<FolderEntry>> folders;
  std::vector<OpenFile> files;  // by slot; a closed slot holds no file

  char16_t Upper(char16_t unit) const { return upcase[unit]; }
};

namespace {

// The Windows code for the library's last error, which is then cleared. A
// read of the image that fails or falls short is a device error; anything
// else wrong with the volume's structures makes the file corrupt.
uint32_t TakeLibraryError() {
  uint32_t library_error = tsk_error_get_errno();
  tsk_error_reset();
  if (library_error == TSK_ERR_AUX_MALLOC) return kErrorNotEnoughMemory;
  if ((library_error & TSK_ERR_IMG) != 0 || library_error == TSK_ERR_FS_READ)
    return kErrorIoDevice;
  return kErrorFileCorrupt;
}

bool ReadVolumeOfImage(void* context, uint64_t offset, void* buffer,
                       size_t length) {
  const ImageVolume* volume = static_cast<const ImageVolume*>(context);
  ssize_t got = tsk_img_read(volume->image,
                             static_cast<TSK_OFF_T>(volume->offset + offset),
                             static_cast<char*>(buffer), length);
  tsk_error_reset();
  return got == static_cast<ssize_t>(length);
}

// Opens the kit's own NTFS reader over the volume at `offset`. The library
// reads some damaged records without a word, or beyond what holds them; the
// kit's reader checks every length, offset and run of a record, so a file
// whose record it finds damaged is not handed to the library. Where it
// cannot read the volume at all, the library alone reads it.
void OpenRecordChecker(ImageVolume* volume, uint64_t offset) {
  volume->checker.reset();
  if (!volume->ntfs) return;
  volume->offset = offset;
  volume->reader.context = volume;
  volume->reader.read = ReadVolumeOfImage;
  uint64_t image_size = static_cast<uint64_t>(volume->image->size);
  volume->reader.size = image_size > offset ? image_size - offset : 0;
  NtfsVolumePtr checker;
  if (OpenNtfsVolume(volume->reader, &checker) == kErrorSuccess)
    volume->checker = std::move(checker);
}

// Upper case as Windows has it where the volume brings no table: ASCII and
// the Latin-1 letters.
std::vector<char16_t> DefaultUpcase() {
  std::vector<char16_t> table(kUpcaseUnits);
  for (size_t unit = 0; unit < kUpcaseUnits; ++unit)
    table[unit] = static_cast<char16_t>(unit);
  for (char16_t unit = u'a'; unit <= u'z'; ++unit) table[unit] = unit - 0x20;
  for (char16_t unit = 0xE0; unit <= 0xFE; ++unit)
    if (unit != 0xF7) table[unit] = unit - 0x20;
  table[0xFF] = 0x178;
  return table;
}

// The unnamed data stream of an open file: on NTFS the $DATA attribute
// without a name (named streams are not the file), elsewhere the file's
// one data attribute. Null when the file has none.
const TSK_FS_ATTR* UnnamedData(TSK_FS_FILE* file, bool ntfs) {
  if (!ntfs) {
    const TSK_FS_ATTR* data = tsk_fs_file_attr_get(file);
    tsk_error_reset();
    return data;
  }
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

// Takes the volume's own upper-case table from NTFS's $UpCase file, over
// the default for whatever part of it cannot be read.
void ReadUpcaseTable(ImageVolume* volume) {
  volume->upcase = DefaultUpcase();
  if (!volume->ntfs) return;
  TSK_FS_FILE* file =
      tsk_fs_file_open_meta(volume->file_system, nullptr, kNtfsUpcaseFile);
  if (file == nullptr) {
    tsk_error_reset();
    return;
  }
  const TSK_FS_ATTR* data = UnnamedData(file, true);
  if (data != nullptr && data->size > 0) {
    size_t bytes =
        std::min<uint64_t>(static_cast<uint64_t>(data->size), kUpcaseUnits * 2);
    std::vector<uint8_t> table(bytes);
    ssize_t got = tsk_fs_attr_read(data, 0, reinterpret_cast<char*>(&table[0]),
                                   bytes, TSK_FS_FILE_READ_FLAG_NONE);
    if (got > 0) {
      for (size_t unit = 0; unit < static_cast<size_t>(got) / 2; ++unit)
        volume->upcase[unit] =
            static_cast<char16_t>(table[2 * unit] | (table[2 * unit + 1] << 8));
    }
  }
  tsk_error_reset();
  tsk_fs_file_close(file);
}

WideString NameOf(const char* utf8) {
  WideString name = WideFromUtf8(utf8 == nullptr ? "" : utf8);
  std::replace(name.begin(), name.end(), u'\\', kEscapedBackslash);
  return name;
}

// The order of an NTFS index: names compared unit by unit once upper-cased
// by the volume's table; names that are then equal, which only names made
// outside Windows can be, by their units as they are.
bool IndexOrder(const ImageVolume& volume, const FolderEntry& a,
                const FolderEntry& b) {
  size_t common = std::min(a.name.size(), b.name.size());
  for (size_t i = 0; i < common; ++i) {
    char16_t x = volume.Upper(a.name[i]), y = volume.Upper(b.name[i]);
    if (x != y) return x < y;
  }
  if (a.name.size() != b.name.size()) return a.name.size() < b.name.size();
  return a.name < b.name;
}

// The entries of the folder at `address`, in the order Windows lists them:
// on NTFS the index's order, elsewhere the order of the folder's entries.
// Deleted entries that linger in the folder are left out.
const std::vector<FolderEntry>* FolderAt(ImageVolume* volume,
                                         TSK_INUM_T address, uint32_t* error) {
  auto cached = volume->folders.find(address);
  if (cached != volume->folders.end()) return &cached->second;

  if (volume->checker) {
    NtfsFileInfo checked;
    uint32_t checked_error =
        GetNtfsFileInfo(volume->checker.get(), address, &checked);
    if (checked_error == kErrorFileCorrupt || checked_error == kErrorIoDevice) {
      *error = checked_error;
      return nullptr;
    }
  }
  TSK_FS_DIR* folder = tsk_fs_dir_open_meta(volume->file_system, address);
  if (folder == nullptr) {
    *error = TakeLibraryError();
    return nullptr;
  }
  std::vector<FolderEntry> entries;
  size_t count = tsk_fs_dir_getsize(folder);
  entries.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    const TSK_FS_NAME* name = tsk_fs_dir_get_name(folder, i);
    if (name == nullptr || name->name == nullptr ||
        (name->flags & TSK_FS_NAME_FLAG_UNALLOC) != 0 ||
        name->type == TSK_FS_NAME_TYPE_VIRT ||
        name->type == TSK_FS_NAME_TYPE_VIRT_DIR ||
        strcmp(name->name, ".") == 0 || strcmp(name->name, "..") == 0)
      continue;
    FolderEntry entry;
    entry.name = NameOf(name->name);
    if (name->shrt_name != nullptr) entry.short_name = NameOf(name->shrt_name);
    entry.address = name->meta_addr;
    entry.is_folder = name->type == TSK_FS_NAME_TYPE_DIR;
    if (!entry.name.empty()) entries.push_back(std::move(entry));
  }
  tsk_fs_dir_close(folder);
  tsk_error_reset();
  if (volume->ntfs) {
    std::stable_sort(entries.begin(), entries.end(),
                     [volume](const FolderEntry& a, const FolderEntry& b) {
                       return IndexOrder(*volume, a, b);
                     });
  }
  if (volume->folders.size() >= kMostCachedFolders) volume->folders.clear();
  return &(volume->folders[address] = std::move(entries));
}

bool EqualIgnoringCase(const ImageVolume& volume, const WideString& a,
                       const WideString& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (volume.Upper(a[i]) != volume.Upper(b[i])) return false;
  return true;
}

// The entry of `entries` that `name` names, as Windows finds it: its long
// name exactly, or else the first whose long or 8.3 name equals it once
// upper-cased.
const FolderEntry* FindEntry(const ImageVolume& volume,
                             const std::vector<FolderEntry>& entries,
                             const WideString& name) {
  for (const FolderEntry& entry : entries)
    if (entry.name == name) return &entry;
  for (const FolderEntry& entry : entries) {
    if (EqualIgnoringCase(volume, entry.name, name) ||
        (!entry.short_name.empty() &&
         EqualIgnoringCase(volume, entry.short_name, name)))
      return &entry;
  }
  return nullptr;
}

// Finds the entry a rooted path names ("\Windows\inf\oem7.inf"), and the
// path as the volume spells it. The root itself is a folder without a name.
uint32_t Resolve(ImageVolume* volume, const WideString& path,
                 FolderEntry* found, WideString* spelled = nullptr) {
  std::vector<WideString> components;
  size_t start = 0;
  for (;;) {
    size_t separator = path.find(u'\\', start);
    WideString component =
        path.substr(start, separator == WideString::npos ? WideString::npos
                                                         : separator - start);
    if (component == u"..") {
      if (!components.empty()) components.pop_back();
    } else if (!component.empty() && component != u".") {
      components.push_back(component);
    }
    if (separator == WideString::npos) break;
    start = separator + 1;
  }

  FolderEntry current;
  current.address = volume->file_system->root_inum;
  current.is_folder = true;
  WideString spelling;
  for (size_t i = 0; i < components.size(); ++i) {
    bool last = i + 1 == components.size();
    if (!current.is_folder) return kErrorPathNotFound;
    uint32_t error = kErrorSuccess;
    const std::vector<FolderEntry>* entries =
        FolderAt(volume, current.address, &error);
    if (entries == nullptr) return error;
    const FolderEntry* entry = FindEntry(*volume, *entries, components[i]);
    if (entry == nullptr) return last ? kErrorFileNotFound : kErrorPathNotFound;
    current = *entry;
    spelling += u"\\" + entry->name;
  }
  *found = current;
  if (spelled) *spelled = spelling;
  return kErrorSuccess;
}

OpenFile* FileOf(ImageVolume* volume, size_t slot) {
  if (volume == nullptr || slot >= volume->files.size() ||
      volume->files[slot].file == nullptr)
    return nullptr;
  return &volume->files[slot];
}

// Reads the first sector of the volume at `offset`, or as much of it as
// the image holds; the count read.
size_t ReadBootSector(TSK_IMG_INFO* image, uint64_t offset, uint8_t boot[512]) {
  ssize_t got = tsk_img_read(image, static_cast<TSK_OFF_T>(offset),
                             reinterpret_cast<char*>(boot), 512);
  tsk_error_reset();
  return got > 0 ? static_cast<size_t>(got) : 0;
}

bool IsBitLocker(const uint8_t* boot, size_t size) {
  const size_t end = kBitLockerSignatureOffset + sizeof kBitLockerSignature - 1;
  return size >= end &&
         memcmp(boot + kBitLockerSignatureOffset, kBitLockerSignature,
                sizeof kBitLockerSignature - 1) == 0;
}

uint32_t LittleEndian(const uint8_t* bytes, size_t count) {
  uint32_t value = 0;
  for (size_t i = count; i-- > 0;) value = value << 8 | bytes[i];
  return value;
}

// The size in bytes that an NTFS boot sector's size byte gives: a count of
// clusters when positive, else a power of two.
uint64_t NtfsRecordBytes(uint8_t encoded, uint64_t cluster_bytes) {
  int8_t value = static_cast<int8_t>(encoded);
  if (value > 0) return static_cast<uint64_t>(value) * cluster_bytes;
  if (value <= -9 && value >= -16) return uint64_t{1} << -value;
  return 0;
}

// False for a volume that calls itself NTFS but whose boot sector no NTFS
// has: sector, cluster and record sizes that are no power of two or out of
// every range NTFS uses, or an MFT outside the volume. The library reads
// what such a boot sector says before it checks much of it, so such a
// volume is not handed to it; any other volume is.
bool PlausibleVolume(const uint8_t* boot, size_t size) {
  if (size < 512 || memcmp(boot + 3, "NTFS    ", 8) != 0) return true;
  uint64_t sector_bytes = LittleEndian(boot + 0x0b, 2);
  uint8_t sectors_per_cluster = boot[0x0d];
  uint64_t cluster_sectors = sectors_per_cluster <= 0x80 ? sectors_per_cluster
                             : sectors_per_cluster >= 0xf4
                                 ? uint64_t{1} << (256 - sectors_per_cluster)
                                 : 0;
  auto power_of_two = [](uint64_t n) { return n != 0 && (n & (n - 1)) == 0; };
  if (!power_of_two(sector_bytes) || sector_bytes < 256 ||
      sector_bytes > 4096 || !power_of_two(cluster_sectors))
    return false;
  uint64_t cluster_bytes = sector_bytes * cluster_sectors;
  uint64_t total_sectors = LittleEndian(boot + 0x28, 4) |
                           static_cast<uint64_t>(LittleEndian(boot + 0x2c, 4))
                               << 32;
  uint64_t mft_cluster = LittleEndian(boot + 0x30, 4) |
                         static_cast<uint64_t>(LittleEndian(boot + 0x34, 4))
                             << 32;
  uint64_t record_bytes = NtfsRecordBytes(boot[0x40], cluster_bytes);
  uint64_t index_bytes = NtfsRecordBytes(boot[0x44], cluster_bytes);
  if (cluster_bytes > (uint64_t{1} << 21) || total_sectors == 0 ||
      !power_of_two(record_bytes) || record_bytes < 256 ||
      record_bytes > 65536 || !power_of_two(index_bytes) || index_bytes < 256 ||
      index_bytes > 65536)
    return false;
  uint64_t total_clusters = total_sectors / cluster_sectors;
  return mft_cluster < total_clusters;
}

// The byte offsets of the image's volumes in partition order: those of the
// allocated partitions of its partition table, or 0 for an image that is
// one bare volume.
std::vector<uint64_t> VolumeOffsets(TSK_IMG_INFO* image) {
  std::vector<uint64_t> offsets;
  TSK_VS_INFO* partitions = tsk_vs_open(image, 0, TSK_VS_TYPE_DETECT);
  if (partitions != nullptr) {
    uint64_t image_size = static_cast<uint64_t>(image->size);
    for (TSK_PNUM_T i = 0; i < partitions->part_count; ++i) {
      const TSK_VS_PART_INFO* part = tsk_vs_part_get(partitions, i);
      if (part == nullptr || (part->flags & TSK_VS_PART_FLAG_ALLOC) == 0 ||
          partitions->block_size == 0)
        continue;
      if (part->start > image_size / partitions->block_size) continue;
      offsets.push_back(part->start * partitions->block_size);
    }
    tsk_vs_close(partitions);
  }
  tsk_error_reset();
  if (offsets.empty()) offsets.push_back(0);
  return offsets;
}

// The folder the selection names, as the kit's paths write it: rooted, with
// backslashes and no trailing one.
WideString SelectedFolder(const ImageSelection& selection) {
  WideString folder = selection.windows_folder;
  std::replace(folder.begin(), folder.end(), u'/', u'\\');
  if (folder.empty()) return u"\\Windows";
  if (folder[0] != u'\\') folder.insert(0, 1, u'\\');
  while (folder.size() > 1 && folder.back() == u'\\') folder.pop_back();
  return folder;
}

WideString FileSystemName(TSK_FS_TYPE_ENUM type) {
  WideString name = WidenAscii(tsk_fs_type_toname(type));
  for (char16_t& unit : name)
    if (unit >= u'a' && unit <= u'z') unit -= 0x20;
  return name;
}

// Looks for the Windows folder in the file system just opened in `volume`:
// with the selection's folder, that folder; otherwise \Windows with a
// System32 folder in it.
bool FindWindowsFolder(ImageVolume* volume, const ImageSelection& selection,
                       ImageVolumeInfo* info) {
  WideString folder = SelectedFolder(selection);
  FolderEntry windows, system;
  WideString windows_spelled, system_spelled;
  if (Resolve(volume, folder, &windows, &windows_spelled) != kErrorSuccess ||
      !windows.is_folder)
    return false;
  bool has_system = Resolve(volume, folder + u"\\System32", &system,
                            &system_spelled) == kErrorSuccess &&
                    system.is_folder;
  if (!has_system && selection.windows_folder.empty()) return false;
  info->windows_folder = windows_spelled;
  info->system_folder =
      has_system ? system_spelled : windows_spelled + u"\\system32";
  info->file_system = FileSystemName(volume->file_system->ftype);
  return true;
}

void CloseFileSystem(ImageVolume* volume) {
  for (OpenFile& file : volume->files)
    if (file.file != nullptr) tsk_fs_file_close(file.file);
  volume->files.clear();
  volume->folders.clear();
  volume->checker.reset();
  if (volume->file_system != nullptr) tsk_fs_close(volume->file_system);
  volume->file_system = nullptr;
}

// Finds the volume to examine in an opened image, which `volume` then owns.
uint32_t FindVolume(ImageVolume* volume, const ImageSelection& selection,
                    ImageVolumeInfo* info, ImageProblem* problem) {
  std::vector<uint64_t> offsets;
  if (selection.has_volume_offset)
    offsets.push_back(selection.volume_offset);
  else
    offsets = VolumeOffsets(volume->image);

  bool any_file_system = false, any_encrypted = false;
  for (uint64_t offset : offsets) {
    if (offset >= static_cast<uint64_t>(volume->image->size)) continue;
    uint8_t boot[512];
    size_t boot_size = ReadBootSector(volume->image, offset, boot);
    if (IsBitLocker(boot, boot_size)) {
      any_encrypted = true;
      continue;
    }
    if (!PlausibleVolume(boot, boot_size)) continue;
    volume->file_system = tsk_fs_open_img(
        volume->image, static_cast<TSK_OFF_T>(offset), TSK_FS_TYPE_DETECT);
    if (volume->file_system == nullptr) {
      tsk_error_reset();
      continue;
    }
    any_file_system = true;
    volume->ntfs = TSK_FS_TYPE_ISNTFS(volume->file_system->ftype);
    ReadUpcaseTable(volume);
    OpenRecordChecker(volume, offset);
    if (FindWindowsFolder(volume, selection, info)) {
      info->offset = offset;
      *problem = ImageProblem::kNone;
      return kErrorSuccess;
    }
    CloseFileSystem(volume);
  }
  if (any_encrypted) {
    *problem = ImageProblem::kEncrypted;
    return kErrorVolumeLocked;
  }
  if (any_file_system) {
    *problem = ImageProblem::kNoWindowsFolder;
    return kErrorPathNotFound;
  }
  *problem = ImageProblem::kNoReadableVolume;
  return kErrorUnrecognizedVolume;
}

uint32_t OpenOnImage(TSK_IMG_INFO* image, const ImageSelection& selection,
                     ImageVolumePtr* volume, ImageVolumeInfo* info,
                     ImageProblem* problem) {
  ImageVolumePtr opened(new ImageVolume);
  opened->image = image;
  uint32_t error = FindVolume(opened.get(), selection, info, problem);
  if (error != kErrorSuccess) return error;
  *volume = std::move(opened);
  return kErrorSuccess;
}

// An image that the caller reads, through the library's callbacks. The
// library's image record comes first, as the library expects.
struct ReaderImage {
  TSK_IMG_INFO info;
  ImageReader reader;
};

ssize_t ReadThroughReader(TSK_IMG_INFO* image, TSK_OFF_T offset, char* buffer,
                          size_t length) {
  const ImageReader& reader = reinterpret_cast<ReaderImage*>(image)->reader;
  if (offset < 0 || static_cast<uint64_t>(offset) > reader.size) return -1;
  length = static_cast<size_t>(
      std::min<uint64_t>(length, reader.size - static_cast<uint64_t>(offset)));
  int64_t got = reader.read(reader.context, static_cast<uint64_t>(offset),
                            buffer, length);
  if (got < 0 || static_cast<uint64_t>(got) > length) {
    tsk_error_reset();
    tsk_error_set_errno(TSK_ERR_IMG_READ);
    return -1;
  }
  return static_cast<ssize_t>(got);
}

void CloseReaderImage(TSK_IMG_INFO* image) { free(image); }

void ShowNothing(TSK_IMG_INFO*, FILE*) {}

}  // namespace

bool CanReadImages() { return true; }

void ImageVolumeCloser::operator()(ImageVolume* volume) const {
  CloseFileSystem(volume);
  if (volume->image != nullptr) tsk_img_close(volume->image);
  delete volume;
}

uint32_t OpenImageVolume(const std::string& path,
                         const ImageSelection& selection,
                         ImageVolumePtr* volume, ImageVolumeInfo* info,
                         ImageProblem* problem) {
  TSK_IMG_INFO* image =
      tsk_img_open_utf8_sing(path.c_str(), TSK_IMG_TYPE_DETECT, 0);
  if (image == nullptr) {
    tsk_error_reset();
    *problem = ImageProblem::kCannotOpen;
    return kErrorIoDevice;
  }
  return OpenOnImage(image, selection, volume, info, problem);
}

uint32_t OpenImageVolumeThrough(const ImageReader& reader,
                                const ImageSelection& selection,
                                ImageVolumePtr* volume, ImageVolumeInfo* info,
                                ImageProblem* problem) {
  // Zeroed, as the library expects of an image record it has not filled.
  ReaderImage* opened =
      static_cast<ReaderImage*>(calloc(1, sizeof(ReaderImage)));
  if (opened == nullptr) {
    *problem = ImageProblem::kCannotOpen;
    return kErrorNotEnoughMemory;
  }
  opened->reader = reader;
  TSK_IMG_INFO* image =
      tsk_img_open_external(opened, static_cast<TSK_OFF_T>(reader.size), 512,
                            ReadThroughReader, CloseReaderImage, ShowNothing);
  if (image == nullptr) {
    tsk_error_reset();
    free(opened);
    *problem = ImageProblem::kCannotOpen;
    return kErrorIoDevice;
  }
  return OpenOnImage(image, selection, volume, info, problem);
}

uint32_t ListImageFolder(ImageVolume* volume, const WideString& search_pattern,
                         std::vector<WideString>* names) {
  size_t split = search_pattern.rfind(u'\\');
  WideString folder_path, pattern = search_pattern;
  if (split != WideString::npos) {
    folder_path = search_pattern.substr(0, split);
    pattern = search_pattern.substr(split + 1);
  }
  FolderEntry folder;
  uint32_t error = Resolve(volume, folder_path, &folder);
  if (error == kErrorFileNotFound ||
      (error == kErrorSuccess && !folder.is_folder))
    return kErrorPathNotFound;
  if (error != kErrorSuccess) return error;
  const std::vector<FolderEntry>* entries =
      FolderAt(volume, folder.address, &error);
  if (entries == nullptr) return error;

  auto upper = [volume](char16_t unit) { return volume->Upper(unit); };
  names->clear();
  for (const FolderEntry& entry : *entries) {
    if (WildcardMatch(pattern, entry.name, upper) ||
        (!entry.short_name.empty() &&
         WildcardMatch(pattern, entry.short_name, upper)))
      names->push_back(entry.name);
  }
  return names->empty() ? kErrorFileNotFound : kErrorSuccess;
}

bool ImageEntryExists(ImageVolume* volume, const WideString& path) {
  FolderEntry entry;
  return Resolve(volume, path, &entry) == kErrorSuccess;
}

uint32_t OpenImageFile(ImageVolume* volume, const WideString& path,
                       size_t* file) {
  FolderEntry entry;
  uint32_t error = Resolve(volume, path, &entry);
  if (error != kErrorSuccess) return error;
  if (entry.is_folder) return kErrorAccessDenied;
  if (volume->checker) {
    NtfsFileInfo checked;
    error = GetNtfsFileInfo(volume->checker.get(), entry.address, &checked);
    if (error == kErrorFileCorrupt || error == kErrorIoDevice) return error;
  }

  OpenFile opened;
  opened.file =
      tsk_fs_file_open_meta(volume->file_system, nullptr, entry.address);
  if (opened.file == nullptr) return TakeLibraryError();
  if (opened.file->meta == nullptr ||
      opened.file->meta->type != TSK_FS_META_TYPE_REG) {
    tsk_fs_file_close(opened.file);
    return kErrorAccessDenied;
  }
  opened.data = UnnamedData(opened.file, volume->ntfs);
  if (opened.data != nullptr && opened.data->size > 0)
    opened.size = static_cast<uint64_t>(opened.data->size);

  size_t slot = 0;
  while (slot < volume->files.size() && volume->files[slot].file != nullptr)
    ++slot;
  if (slot == volume->files.size()) volume->files.emplace_back();
  volume->files[slot] = opened;
  *file = slot;
  return kErrorSuccess;
}

uint32_t ReadImageFile(ImageVolume* volume, size_t handle, void* buffer,
                       uint32_t size, uint32_t* bytes_read) {
  *bytes_read = 0;
  OpenFile* file = FileOf(volume, handle);
  if (file == nullptr) return kErrorInvalidParameter;
  if (file->position >= file->size || size == 0) return kErrorSuccess;
  size_t wanted = static_cast<size_t>(
      std::min<uint64_t>(size, file->size - file->position));
  ssize_t got = tsk_fs_attr_read(
      file->data, static_cast<TSK_OFF_T>(file->position),
      static_cast<char*>(buffer), wanted, TSK_FS_FILE_READ_FLAG_NONE);
  if (got < 0) return TakeLibraryError();
  if (static_cast<size_t>(got) != wanted) {
    // Short of the file's end: the image ended before the file's data did.
    tsk_error_reset();
    return kErrorIoDevice;
  }
  file->position += wanted;
  *bytes_read = static_cast<uint32_t>(wanted);
  return kErrorSuccess;
}

uint32_t StepBackImageFile(ImageVolume* volume, size_t handle,
                           uint32_t distance) {
  OpenFile* file = FileOf(volume, handle);
  if (file == nullptr) return kErrorInvalidParameter;
  if (distance > file->position) return kErrorNegativeSeek;
  file->position -= distance;
  return kErrorSuccess;
}

uint32_t ImageFileSize(ImageVolume* volume, size_t handle, uint64_t* size) {
  OpenFile* file = FileOf(volume, handle);
  if (file == nullptr) return kErrorInvalidParameter;
  *size = file->size;
  return kErrorSuccess;
}

void CloseImageFile(ImageVolume* volume, size_t handle) {
  OpenFile* file = FileOf(volume, handle);
  if (file == nullptr) return;
  tsk_fs_file_close(file->file);
  *file = OpenFile();
}

#include "volume/image_volume.h"

#include <tsk/libtsk.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <unordered_map>
#include <utility>

#include "volume/ntfs_volume.h"
#include "volume/shadow_copies.h"
#include "volume/wildcard.h"
#include "volume/wof.h"

namespace {

// A backslash separates the components of the kit's paths, but a volume
// written by another system may hold one within a name. Listings hand it on
// as this lone unit, the way the POSIX platform does.
constexpr char16_t kEscapedBackslash = 0xDC5C;

// The first bytes of a BitLocker volume: a jump, then this OEM name.
constexpr char kBitLockerSignature[] = "-FVE-FS-";
constexpr size_t kBitLockerSignatureOffset = 3;

// The OEM name of an NTFS boot sector.
constexpr char kNtfsSignature[] = "NTFS    ";
constexpr size_t kNtfsSignatureOffset = 3;

// The bytes of a file compared at a time with its copy in a shadow copy.
constexpr size_t kShadowCompareChunk = 64 * 1024;

// Listings kept for path lookups; past this many, the cache starts over, so
// that a walk through many folders holds no more than a few at a time.
constexpr size_t kMostCachedFolders = 16;

struct FolderEntry {
  WideString name;        // the long name, backslashes escaped
  WideString short_name;  // the 8.3 name, empty when there is none
  uint64_t address = 0;   // the MFT record on NTFS, the library's elsewhere
  uint16_t sequence = 0;  // of the MFT record, on NTFS
  bool is_folder = false;
};

// Where the compressed chunks of a file that WOF keeps compressed are read.
struct WofSource {
  NtfsVolume* ntfs = nullptr;
  uint64_t record = 0;
  WideString stream = kWofStreamName;
};

struct OpenFile {
  bool open = false;
  NtfsVolume* ntfs = nullptr;         // on NTFS: the volume or a shadow copy
  uint64_t record = 0;                // on NTFS
  TSK_FS_FILE* file = nullptr;        // elsewhere
  const TSK_FS_ATTR* data = nullptr;  // elsewhere; null for no data
  uint64_t size = 0;
  uint64_t position = 0;
  // On NTFS, a file that WOF keeps compressed: read from its chunks.
  std::unique_ptr<WofSource> wof_source;
  WofFilePtr wof;
  // What every read of a file fails with that opens but cannot be read.
  uint32_t read_error = kErrorSuccess;
};

}  // namespace

// The volume examined: NTFS read by the kit's own reader over the image as
// the library reads it, any other file system by the library.
struct ImageVolume {
  TSK_IMG_INFO* image = nullptr;
  // An image that the caller reads is read through its reader straight, past
  // the library's cache, which would copy every byte once more.
  ImageReader image_reader;
  uint64_t offset = 0;  // of the volume in the image
  VolumeReader reader;
  NtfsVolumePtr ntfs;
  TSK_FS_INFO* file_system = nullptr;
  uint64_t root = 0;
  // Each unit's upper case by the volume's rule, indexed by the unit.
  std::vector<char16_t> upcase;
  std::map<uint64_t, std::vector<FolderEntry>> folders;
  std::vector<OpenFile> files;  // by number; a closed one is not open

  // The volume's shadow copies. While one of them is examined, `ntfs` reads
  // the copy through `copy_view` and `own_ntfs` the volume itself;
  // `from_stores` are the copy's blocks that the stores hold, which
  // `copy_reader` reads.
  ShadowCopiesPtr shadows;
  size_t shadow_copy = 0;
  VolumeReader copy_reader;
  VolumeReader copy_view;
  NtfsVolumePtr own_ntfs;
  std::vector<uint64_t> from_stores;
  // What each search of the copy in use found new, kept for the walk that
  // follows the check whether the copy holds anything new.
  std::map<WideString, std::vector<WideString>> copy_listings;

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
  const ImageReader& image = volume->image_reader;
  if (image.read != nullptr) {
    // Nothing past the image's end is asked of the reader.
    if (volume->offset > image.size || offset > image.size - volume->offset ||
        length > image.size - volume->offset - offset)
      return false;
    int64_t got =
        image.read(image.context, volume->offset + offset, buffer, length);
    return got >= 0 && static_cast<uint64_t>(got) == length;
  }
  ssize_t got = tsk_img_read(volume->image,
                             static_cast<TSK_OFF_T>(volume->offset + offset),
                             static_cast<char*>(buffer), length);
  tsk_error_reset();
  return got == static_cast<ssize_t>(length);
}

// Reads the shadow copy in use: the blocks that it takes from the stores
// through the stores' reader, every other block straight from the volume,
// which is what the stores' reader would read there too, only slower.
bool ReadShadowCopy(void* context, uint64_t offset, void* buffer,
                    size_t length) {
  ImageVolume* volume = static_cast<ImageVolume*>(context);
  const std::vector<uint64_t>& stored = volume->from_stores;
  uint8_t* out = static_cast<uint8_t*>(buffer);
  while (length > 0) {
    uint64_t block = offset / kShadowBlockBytes * kShadowBlockBytes;
    auto next = std::lower_bound(stored.begin(), stored.end(), block);
    bool in_store = next != stored.end() && *next == block;
    // Up to the next block of the other kind.
    uint64_t end = in_store               ? block + kShadowBlockBytes
                   : next == stored.end() ? offset + length
                                          : *next;
    while (in_store && ++next != stored.end() && *next == end)
      end += kShadowBlockBytes;
    size_t count =
        static_cast<size_t>(std::min<uint64_t>(length, end - offset));
    bool read = in_store ? volume->copy_reader.read(volume->copy_reader.context,
                                                    offset, out, count)
                         : ReadVolumeOfImage(volume, offset, out, count);
    if (!read) return false;
    out += count;
    offset += count;
    length -= count;
  }
  return true;
}

// The unnamed data stream of a file that the library opened: the file's one
// data attribute. Null when the file has none.
const TSK_FS_ATTR* LibraryData(TSK_FS_FILE* file) {
  const TSK_FS_ATTR* data = tsk_fs_file_attr_get(file);
  tsk_error_reset();
  return data;
}

WideString Escaped(WideString name) {
  std::replace(name.begin(), name.end(), u'\\', kEscapedBackslash);
  return name;
}

// The entries of an NTFS folder as its index holds them, in its order.
uint32_t NtfsFolder(ImageVolume* volume, uint64_t record,
                    std::vector<FolderEntry>* entries) {
  std::vector<NtfsEntry> listed;
  uint32_t error = ListNtfsFolderAt(volume->ntfs.get(), record, &listed);
  if (error != kErrorSuccess) return error;
  entries->reserve(listed.size());
  for (NtfsEntry& found : listed) {
    FolderEntry entry;
    entry.name = Escaped(std::move(found.name));
    entry.short_name = Escaped(std::move(found.short_name));
    entry.address = found.record;
    entry.sequence = found.sequence;
    entry.is_folder = found.is_folder;
    if (!entry.name.empty()) entries->push_back(std::move(entry));
  }
  return kErrorSuccess;
}

// The allocated entries of a folder that the library reads, in the order of
// the folder's own entries.
uint32_t LibraryFolder(ImageVolume* volume, uint64_t address,
                       std::vector<FolderEntry>* entries) {
  TSK_FS_DIR* folder = tsk_fs_dir_open_meta(volume->file_system,
                                            static_cast<TSK_INUM_T>(address));
  if (folder == nullptr) return TakeLibraryError();
  size_t count = tsk_fs_dir_getsize(folder);
  entries->reserve(count);
  for (size_t i = 0; i < count; ++i) {
    const TSK_FS_NAME* name = tsk_fs_dir_get_name(folder, i);
    if (name == nullptr || name->name == nullptr ||
        (name->flags & TSK_FS_NAME_FLAG_UNALLOC) != 0 ||
        name->type == TSK_FS_NAME_TYPE_VIRT ||
        name->type == TSK_FS_NAME_TYPE_VIRT_DIR ||
        strcmp(name->name, ".") == 0 || strcmp(name->name, "..") == 0)
      continue;
    FolderEntry entry;
    entry.name = Escaped(WideFromUtf8(name->name));
    if (name->shrt_name != nullptr)
      entry.short_name = Escaped(WideFromUtf8(name->shrt_name));
    entry.address = name->meta_addr;
    entry.is_folder = name->type == TSK_FS_NAME_TYPE_DIR;
    if (!entry.name.empty()) entries->push_back(std::move(entry));
  }
  tsk_fs_dir_close(folder);
  tsk_error_reset();
  return kErrorSuccess;
}

// The entries of the folder at `address`, in the order Windows lists them:
// on NTFS the index's order, elsewhere the order of the folder's entries.
// Deleted entries that linger in the folder are left out.
const std::vector<FolderEntry>* FolderAt(ImageVolume* volume, uint64_t address,
                                         uint32_t* error) {
  auto cached = volume->folders.find(address);
  if (cached != volume->folders.end()) return &cached->second;
  std::vector<FolderEntry> entries;
  *error = volume->ntfs ? NtfsFolder(volume, address, &entries)
                        : LibraryFolder(volume, address, &entries);
  if (*error != kErrorSuccess) return nullptr;
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
  current.address = volume->root;
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

OpenFile* FileOf(ImageVolume* volume, size_t number) {
  if (volume == nullptr || number >= volume->files.size() ||
      !volume->files[number].open)
    return nullptr;
  return &volume->files[number];
}

// The stream of a WOF file's chunks, read by the kit's NTFS reader.
uint32_t ReadWofStream(void* context, uint64_t offset, void* buffer,
                       size_t length) {
  const WofSource* source = static_cast<const WofSource*>(context);
  size_t got = 0;
  uint32_t error = ReadNtfsStream(source->ntfs, source->record, source->stream,
                                  offset, buffer, length, &got);
  if (error != kErrorSuccess) return error;
  return got == length ? kErrorSuccess : kErrorFileCorrupt;
}

// A file behind a reparse point of WOF (CompactOS) reads as Windows reads
// it: decompressed from the chunks of its WofCompressedData stream, its size
// that of its unnamed stream. Windows opens such a file whatever its state
// and fails its reads where it cannot decompress it, and so does the kit:
// the reason (a damaged reparse point or stream, a WIMBoot file, a build
// without wimlib) is every read's error. Other reparse points leave the
// file's unnamed stream as what is read.
void OpenThroughWof(NtfsVolume* ntfs, uint64_t record, OpenFile* opened) {
  std::vector<uint8_t> reparse_point;
  uint32_t error = ReadNtfsReparsePoint(ntfs, record, &reparse_point);
  if (error == kErrorFileNotFound ||
      (error == kErrorSuccess && !IsWofReparsePoint(reparse_point)))
    return;
  opened->wof_source.reset(new WofSource);
  opened->wof_source->ntfs = ntfs;
  opened->wof_source->record = record;
  WofStream stream;
  stream.context = opened->wof_source.get();
  stream.read = ReadWofStream;
  // Without the stream there are no chunks, which the file's first read
  // finds; a WIMBoot file has none, and says so first.
  if (error == kErrorSuccess) {
    error = GetNtfsStreamSize(ntfs, record, kWofStreamName, &stream.size);
    if (error == kErrorFileNotFound) error = kErrorSuccess;
  }
  if (error == kErrorSuccess)
    error = OpenWofFile(reparse_point, opened->size, stream, &opened->wof);
  opened->read_error = error;
}

// Opens the file of MFT record `record` through the kit's reader of an NTFS
// volume, or of a shadow copy of it.
uint32_t OpenNtfsFile(NtfsVolume* ntfs, uint64_t record, OpenFile* opened) {
  NtfsFileInfo info;
  uint32_t error = GetNtfsFileInfo(ntfs, record, &info);
  if (error == kErrorFileNotFound) return kErrorFileCorrupt;
  if (error != kErrorSuccess) return error;
  if (info.is_folder) return kErrorAccessDenied;
  opened->ntfs = ntfs;
  opened->record = record;
  opened->size = info.size;
  if (info.has_reparse_point) OpenThroughWof(ntfs, record, opened);
  return kErrorSuccess;
}

// Opens the file at `entry` of a volume that the library reads.
uint32_t OpenLibraryFile(ImageVolume* volume, const FolderEntry& entry,
                         OpenFile* opened) {
  opened->file = tsk_fs_file_open_meta(volume->file_system, nullptr,
                                       static_cast<TSK_INUM_T>(entry.address));
  if (opened->file == nullptr) return TakeLibraryError();
  if (opened->file->meta == nullptr ||
      opened->file->meta->type != TSK_FS_META_TYPE_REG) {
    tsk_fs_file_close(opened->file);
    opened->file = nullptr;
    return kErrorAccessDenied;
  }
  opened->data = LibraryData(opened->file);
  if (opened->data != nullptr && opened->data->size > 0)
    opened->size = static_cast<uint64_t>(opened->data->size);
  return kErrorSuccess;
}

// Reads [file->position, + length) of an open file into `buffer`; the
// caller keeps it within the file's size.
uint32_t ReadOpenFile(const OpenFile& file, void* buffer, size_t length) {
  if (file.read_error != kErrorSuccess) return file.read_error;
  if (file.wof)
    return ReadWofFile(file.wof.get(), file.position, buffer, length);
  if (file.ntfs != nullptr) {
    size_t got = 0;
    uint32_t error = ReadNtfsFile(file.ntfs, file.record, file.position, buffer,
                                  length, &got);
    if (error != kErrorSuccess) return error;
    // Short of the file's end: its record changed under the open file.
    return got == length ? kErrorSuccess : kErrorFileCorrupt;
  }
  ssize_t got = tsk_fs_attr_read(
      file.data, static_cast<TSK_OFF_T>(file.position),
      static_cast<char*>(buffer), length, TSK_FS_FILE_READ_FLAG_NONE);
  if (got < 0) return TakeLibraryError();
  if (static_cast<size_t>(got) != length) {
    // Short of the file's end: the image ended before the file's data did.
    tsk_error_reset();
    return kErrorIoDevice;
  }
  return kErrorSuccess;
}

// Reads the first sector of the volume at `offset`, or as much of it as
// the image holds; the count read.
size_t ReadBootSector(TSK_IMG_INFO* image, uint64_t offset, uint8_t boot[512]) {
  ssize_t got = tsk_img_read(image, static_cast<TSK_OFF_T>(offset),
                             reinterpret_cast<char*>(boot), 512);
  tsk_error_reset();
  return got > 0 ? static_cast<size_t>(got) : 0;
}

bool HasSignature(const uint8_t* boot, size_t size, const char* signature,
                  size_t at) {
  size_t length = strlen(signature);
  return size >= at + length && memcmp(boot + at, signature, length) == 0;
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

WideString FileSystemName(const ImageVolume& volume) {
  if (volume.ntfs) return u"NTFS";
  WideString name = WidenAscii(tsk_fs_type_toname(volume.file_system->ftype));
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
  info->file_system = FileSystemName(*volume);
  return true;
}

void CloseFileSystem(ImageVolume* volume) {
  for (OpenFile& file : volume->files)
    if (file.file != nullptr) tsk_fs_file_close(file.file);
  volume->files.clear();
  volume->folders.clear();
  volume->ntfs.reset();
  volume->own_ntfs.reset();
  volume->shadows.reset();
  volume->shadow_copy = 0;
  if (volume->file_system != nullptr) tsk_fs_close(volume->file_system);
  volume->file_system = nullptr;
}

// Opens the file system of the volume at `offset`: NTFS by the kit's own
// reader, anything else by the library. False when neither reads it.
bool OpenFileSystem(ImageVolume* volume, uint64_t offset, bool ntfs) {
  volume->offset = offset;
  if (ntfs) {
    volume->reader.context = volume;
    volume->reader.read = ReadVolumeOfImage;
    uint64_t image_size = static_cast<uint64_t>(volume->image->size);
    volume->reader.size = image_size > offset ? image_size - offset : 0;
    if (OpenNtfsVolume(volume->reader, &volume->ntfs) != kErrorSuccess)
      return false;
    volume->root = kNtfsRootRecord;
    volume->upcase = NtfsUpcase(volume->ntfs.get());
    return true;
  }
  volume->file_system = tsk_fs_open_img(
      volume->image, static_cast<TSK_OFF_T>(offset), TSK_FS_TYPE_FAT_DETECT);
  if (volume->file_system == nullptr) {
    tsk_error_reset();
    return false;
  }
  volume->root = volume->file_system->root_inum;
  volume->upcase = DefaultUpcase();
  return true;
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
    if (HasSignature(boot, boot_size, kBitLockerSignature,
                     kBitLockerSignatureOffset)) {
      any_encrypted = true;
      continue;
    }
    bool ntfs =
        HasSignature(boot, boot_size, kNtfsSignature, kNtfsSignatureOffset);
    if (!OpenFileSystem(volume, offset, ntfs)) continue;
    any_file_system = true;
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

uint32_t OpenOnImage(TSK_IMG_INFO* image, const ImageReader& reader,
                     const ImageSelection& selection, ImageVolumePtr* volume,
                     ImageVolumeInfo* info, ImageProblem* problem) {
  ImageVolumePtr opened(new ImageVolume);
  opened->image = image;
  opened->image_reader = reader;
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

// True when every byte of `extents` that the shadow copy in use takes from
// the stores reads there as the volume's own byte at the same place.
bool StoredBytesAlike(ImageVolume* volume,
                      const std::vector<VolumeExtent>& extents) {
  const std::vector<uint64_t>& stored = volume->from_stores;
  std::vector<uint8_t> a(kShadowBlockBytes), b(kShadowBlockBytes);
  for (const VolumeExtent& extent : extents) {
    if (extent.length > UINT64_MAX - extent.offset) return false;
    const uint64_t end = extent.offset + extent.length;
    uint64_t first = extent.offset / kShadowBlockBytes * kShadowBlockBytes;
    for (auto block = std::lower_bound(stored.begin(), stored.end(), first);
         block != stored.end() && *block < end; ++block) {
      uint64_t start = std::max(*block, extent.offset);
      size_t count = static_cast<size_t>(
          std::min(*block + kShadowBlockBytes, end) - start);
      if (!volume->copy_reader.read(volume->copy_reader.context, start,
                                    a.data(), count) ||
          !volume->reader.read(volume->reader.context, start, b.data(),
                               count) ||
          memcmp(a.data(), b.data(), count) != 0)
        return false;
    }
  }
  return true;
}

// True when the file of record `own` on the volume and the file of record
// `copied` in the shadow copy in use read alike, byte for byte.
bool SameBytes(ImageVolume* volume, uint64_t own, uint64_t copied) {
  OpenFile mine, theirs;
  if (OpenNtfsFile(volume->own_ntfs.get(), own, &mine) != kErrorSuccess ||
      OpenNtfsFile(volume->ntfs.get(), copied, &theirs) != kErrorSuccess ||
      mine.size != theirs.size)
    return false;
  std::vector<uint8_t> a(kShadowCompareChunk), b(kShadowCompareChunk);
  while (mine.position < mine.size) {
    size_t count = static_cast<size_t>(
        std::min<uint64_t>(a.size(), mine.size - mine.position));
    if (ReadOpenFile(mine, a.data(), count) != kErrorSuccess ||
        ReadOpenFile(theirs, b.data(), count) != kErrorSuccess ||
        memcmp(a.data(), b.data(), count) != 0)
      return false;
    mine.position += count;
    theirs.position += count;
  }
  return true;
}

// The entries of a folder of the volume itself by their long names,
// escaped as listings hand them on.
using OwnEntries = std::unordered_map<WideString, const NtfsEntry*>;

// True when `entry` of the shadow copy in use is new or changed against the
// volume itself: the volume has no entry of its exact long name in `own`
// (its folder at the same path), or one whose bytes differ. A file is the
// same without reading its data when it is the same record, reused by no
// other file since, with its records and clusters at the same places, where
// a store replaces none of their bytes with others.
bool NewInCopy(ImageVolume* volume, const OwnEntries& own,
               const FolderEntry& entry) {
  auto found = own.find(entry.name);
  if (found == own.end()) return true;
  const NtfsEntry* same_name = found->second;
  if (same_name->is_folder || entry.is_folder)
    return same_name->is_folder != entry.is_folder;
  if (same_name->record == entry.address &&
      same_name->sequence == entry.sequence) {
    std::vector<VolumeExtent> mine, theirs;
    if (GetNtfsFileExtents(volume->own_ntfs.get(), same_name->record, &mine) ==
            kErrorSuccess &&
        GetNtfsFileExtents(volume->ntfs.get(), entry.address, &theirs) ==
            kErrorSuccess &&
        mine.size() == theirs.size() &&
        std::equal(mine.begin(), mine.end(), theirs.begin(),
                   [](const VolumeExtent& a, const VolumeExtent& b) {
                     return a.offset == b.offset && a.length == b.length;
                   }) &&
        StoredBytesAlike(volume, theirs))
      return false;
  }
  return !SameBytes(volume, same_name->record, entry.address);
}

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
  return OpenOnImage(image, ImageReader(), selection, volume, info, problem);
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
  return OpenOnImage(image, reader, selection, volume, info, problem);
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

  // In a shadow copy, only what the volume itself does not hold.
  std::vector<NtfsEntry> own_listed;
  OwnEntries own;
  if (volume->shadow_copy != 0) {
    auto listed = volume->copy_listings.find(search_pattern);
    if (listed != volume->copy_listings.end()) {
      *names = listed->second;
      return names->empty() ? kErrorFileNotFound : kErrorSuccess;
    }
    ListNtfsFolder(volume->own_ntfs.get(), folder_path, &own_listed);
    for (const NtfsEntry& listed : own_listed)
      own[Escaped(listed.name)] = &listed;
  }
  auto upper = [volume](char16_t unit) { return volume->Upper(unit); };
  names->clear();
  for (const FolderEntry& entry : *entries) {
    if ((WildcardMatch(pattern, entry.name, upper) ||
         (!entry.short_name.empty() &&
          WildcardMatch(pattern, entry.short_name, upper))) &&
        (volume->shadow_copy == 0 || NewInCopy(volume, own, entry)))
      names->push_back(entry.name);
  }
  if (volume->shadow_copy != 0) volume->copy_listings[search_pattern] = *names;
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
  OpenFile opened;
  error = volume->ntfs
              ? OpenNtfsFile(volume->ntfs.get(), entry.address, &opened)
              : OpenLibraryFile(volume, entry, &opened);
  if (error != kErrorSuccess) return error;
  opened.open = true;
  size_t number = 0;
  while (number < volume->files.size() && volume->files[number].open) ++number;
  if (number == volume->files.size()) volume->files.emplace_back();
  volume->files[number] = std::move(opened);
  *file = number;
  return kErrorSuccess;
}

uint32_t ReadImageFile(ImageVolume* volume, size_t number, void* buffer,
                       uint32_t size, uint32_t* bytes_read) {
  *bytes_read = 0;
  OpenFile* file = FileOf(volume, number);
  if (file == nullptr) return kErrorInvalidParameter;
  if (file->position >= file->size || size == 0) return kErrorSuccess;
  size_t wanted = static_cast<size_t>(
      std::min<uint64_t>(size, file->size - file->position));
  uint32_t error = ReadOpenFile(*file, buffer, wanted);
  if (error != kErrorSuccess) return error;
  file->position += wanted;
  *bytes_read = static_cast<uint32_t>(wanted);
  return kErrorSuccess;
}

uint32_t StepBackImageFile(ImageVolume* volume, size_t number,
                           uint32_t distance) {
  OpenFile* file = FileOf(volume, number);
  if (file == nullptr) return kErrorInvalidParameter;
  if (distance > file->position) return kErrorNegativeSeek;
  file->position -= distance;
  return kErrorSuccess;
}

uint32_t ImageFileSize(ImageVolume* volume, size_t number, uint64_t* size) {
  OpenFile* file = FileOf(volume, number);
  if (file == nullptr) return kErrorInvalidParameter;
  *size = file->size;
  return kErrorSuccess;
}

void CloseImageFile(ImageVolume* volume, size_t number) {
  OpenFile* file = FileOf(volume, number);
  if (file == nullptr) return;
  if (file->file != nullptr) tsk_fs_file_close(file->file);
  *file = OpenFile();
}

uint32_t OpenImageShadowCopies(ImageVolume* volume,
                               std::vector<uint64_t>* created) {
  created->clear();
  if (!volume->ntfs || volume->shadow_copy != 0) return kErrorSuccess;
  uint32_t error = OpenShadowCopies(volume->reader, &volume->shadows);
  if (error != kErrorSuccess) return error;
  for (size_t number = 1; number <= ShadowCopyCount(volume->shadows.get());
       ++number)
    created->push_back(ShadowCopyCreated(volume->shadows.get(), number));
  return kErrorSuccess;
}

uint32_t UseImageShadowCopy(ImageVolume* volume, size_t number) {
  volume->folders.clear();
  volume->copy_listings.clear();
  if (volume->own_ntfs) volume->ntfs = std::move(volume->own_ntfs);
  volume->shadow_copy = 0;
  volume->from_stores.clear();
  if (number == 0) return kErrorSuccess;
  if (!volume->shadows) return kErrorInvalidParameter;
  uint32_t error = OpenShadowCopy(volume->shadows.get(), number,
                                  &volume->copy_reader, &volume->from_stores);
  volume->copy_view = volume->copy_reader;
  volume->copy_view.context = volume;
  volume->copy_view.read = ReadShadowCopy;
  NtfsVolumePtr copy;
  if (error == kErrorSuccess) error = OpenNtfsVolume(volume->copy_view, &copy);
  if (error != kErrorSuccess) return error;
  volume->own_ntfs = std::move(volume->ntfs);
  volume->ntfs = std::move(copy);
  volume->shadow_copy = number;
  return kErrorSuccess;
}

#include "volume/raw_view.h"

#include <windows.h>
#include <winioctl.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <set>
#include <string>

#include "volume/ntfs_volume.h"
#include "volume/wildcard.h"
#include "volume/wof.h"

namespace {

// How long the system's cache is given to reach the disk before an entry
// that seems hidden, or a file that seems to read otherwise, is looked at
// again: the lazy writer flushes what changed within about a second.
constexpr DWORD kSettleMilliseconds = 1500;

// The most bytes asked of the raw volume by one read.
constexpr size_t kMostBytesPerRead = 1 << 20;

const wchar_t* AsWide(const WideString& text) {
  return reinterpret_cast<const wchar_t*>(text.c_str());
}

// A volume opened raw, and the NTFS reader over it.
struct RawVolume {
  WideString device;  // "\\.\C:"
  HANDLE handle = INVALID_HANDLE_VALUE;
  uint32_t sector_size = 512;
  std::vector<char> sectors;  // the whole sectors of the last read
  VolumeReader reader;
  NtfsVolumePtr ntfs;

  ~RawVolume() {
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
  }
};

// A folder of a walk as the volume holds it.
struct ComparedFolder {
  WideString folder;  // as the walk names it
  RawVolume* volume = nullptr;
  std::vector<NtfsEntry> entries;
  std::set<WideString> hidden;
};

struct VolumeFile {
  RawVolume* volume = nullptr;
  uint64_t record = 0;
  uint64_t size = 0;
  uint64_t position = 0;
  bool open = false;
  // What every read fails with, for a file whose bytes the volume's data
  // stream does not hold.
  uint32_t read_error = kErrorSuccess;
};

// True when the file of `record` is kept compressed by WOF (CompactOS): its
// data stream is zeros, and its bytes lie compressed in a named stream that
// only the system's filter reads here.
bool IsCompressedByWof(RawVolume* volume, uint64_t record) {
  std::vector<uint8_t> reparse_point;
  return ReadNtfsReparsePoint(volume->ntfs.get(), record, &reparse_point) ==
             kErrorSuccess &&
         IsWofReparsePoint(reparse_point);
}

std::vector<std::unique_ptr<RawVolume>> raw_volumes;
std::vector<ComparedFolder> compared_folders;
std::vector<VolumeFile> volume_files;

// Reads from the raw volume in whole sectors, as a volume opened raw
// requires, and hands on the bytes asked for.
bool ReadRawVolume(void* context, uint64_t offset, void* buffer,
                   size_t length) {
  RawVolume* volume = static_cast<RawVolume*>(context);
  const uint64_t sector = volume->sector_size;
  char* out = static_cast<char*>(buffer);
  while (length > 0) {
    uint64_t start = offset / sector * sector;
    size_t skip = static_cast<size_t>(offset - start);
    size_t wanted = std::min(skip + length, kMostBytesPerRead);
    size_t span = static_cast<size_t>((wanted + sector - 1) / sector * sector);
    volume->sectors.resize(span);
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(start);
    DWORD got = 0;
    if (!SetFilePointerEx(volume->handle, at, nullptr, FILE_BEGIN) ||
        !ReadFile(volume->handle, volume->sectors.data(),
                  static_cast<DWORD>(span), &got, nullptr) ||
        got <= skip)
      return false;
    size_t useful = std::min<size_t>(got - skip, length);
    memcpy(out, volume->sectors.data() + skip, useful);
    out += useful;
    offset += useful;
    length -= useful;
  }
  return true;
}

// The raw volume of `device`, opened once for the run.
uint32_t RawVolumeOf(const WideString& device, RawVolume** found) {
  for (const std::unique_ptr<RawVolume>& volume : raw_volumes) {
    if (volume->device == device) {
      *found = volume.get();
      return kErrorSuccess;
    }
  }
  std::unique_ptr<RawVolume> volume(new RawVolume);
  volume->device = device;
  // Opening a volume raw takes an administrator; sharing everything keeps
  // the running system's own use of it as it is. Only ever read.
  volume->handle =
      CreateFileW(AsWide(device), GENERIC_READ,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, 0, nullptr);
  if (volume->handle == INVALID_HANDLE_VALUE) return GetLastError();
  DISK_GEOMETRY geometry;
  DWORD returned = 0;
  if (DeviceIoControl(volume->handle, IOCTL_DISK_GET_DRIVE_GEOMETRY, nullptr, 0,
                      &geometry, sizeof geometry, &returned, nullptr) &&
      geometry.BytesPerSector >= 512 && geometry.BytesPerSector <= 65536 &&
      (geometry.BytesPerSector & (geometry.BytesPerSector - 1)) == 0)
    volume->sector_size = geometry.BytesPerSector;
  GET_LENGTH_INFORMATION length;
  LARGE_INTEGER size;
  if (DeviceIoControl(volume->handle, IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0,
                      &length, sizeof length, &returned, nullptr))
    volume->reader.size = static_cast<uint64_t>(length.Length.QuadPart);
  else if (GetFileSizeEx(volume->handle, &size))
    volume->reader.size = static_cast<uint64_t>(size.QuadPart);
  volume->reader.context = volume.get();
  volume->reader.read = ReadRawVolume;
  uint32_t error = OpenNtfsVolume(volume->reader, &volume->ntfs);
  if (error != kErrorSuccess) return error;
  *found = volume.get();
  raw_volumes.push_back(std::move(volume));
  return kErrorSuccess;
}

char16_t UpperLatin(char16_t unit) {
  if ((unit >= u'a' && unit <= u'z') ||
      (unit >= 0xE0 && unit <= 0xFE && unit != 0xF7))
    return unit - 0x20;
  return unit;
}

// Names compared once each unit is upper-cased by `upcase`.
bool EqualIgnoringCase(const WideString& a, const WideString& b,
                       const std::vector<char16_t>& upcase) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (upcase[a[i]] != upcase[b[i]]) return false;
  return true;
}

// For the system's own paths, such as the system folder's and a volume's
// mount point, which the system spells itself.
bool StartsWithIgnoringCase(const WideString& text, const WideString& prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i)
    if (UpperLatin(text[i]) != UpperLatin(prefix[i])) return false;
  return true;
}

// The folder that the system lists for `folder`: a 32-bit program on 64-bit
// Windows is shown SysWOW64 where it asks for the system folder.
WideString ListedFolder(const WideString& folder, bool under_wow64) {
  if (!under_wow64) return folder;
  // Looked up at run time, as IsWow64Process is: it is no import of XP.
  using GetWow64FolderFunction = UINT(WINAPI*)(LPWSTR, UINT);
  HMODULE kernel32 = GetModuleHandleW(L"kernel32");
  if (!kernel32) return folder;
  auto get_wow64_folder =
      reinterpret_cast<GetWow64FolderFunction>(reinterpret_cast<void (*)()>(
          GetProcAddress(kernel32, "GetSystemWow64DirectoryW")));
  if (!get_wow64_folder) return folder;
  wchar_t system[MAX_PATH + 1], wow64_folder[MAX_PATH + 1];
  UINT system_length = GetSystemDirectoryW(system, MAX_PATH + 1);
  UINT wow64_length = get_wow64_folder(wow64_folder, MAX_PATH + 1);
  if (system_length == 0 || system_length > MAX_PATH || wow64_length == 0 ||
      wow64_length > MAX_PATH)
    return folder;
  WideString system_path = reinterpret_cast<const char16_t*>(system);
  if (!StartsWithIgnoringCase(folder, system_path) ||
      (folder.size() > system_path.size() &&
       folder[system_path.size()] != u'\\'))
    return folder;
  return reinterpret_cast<const char16_t*>(wow64_folder) +
         folder.substr(system_path.size());
}

// The raw volume under the request's folder, and the folder's path inside
// it.
uint32_t VolumeUnder(const RawViewRequest& request, WideString* device,
                     WideString* inside) {
  WideString full;
  uint32_t error = request.full_path(request.folder, &full);
  if (error != kErrorSuccess) return error;
  if (full.compare(0, 4, u"\\\\?\\") == 0 && full.size() > 5 && full[5] == u':')
    full.erase(0, 4);
  full = ListedFolder(full, request.under_wow64);
  wchar_t volume_path[MAX_PATH + 1];
  if (!GetVolumePathNameW(AsWide(full), volume_path, MAX_PATH + 1))
    return GetLastError();
  WideString volume = reinterpret_cast<const char16_t*>(volume_path);
  if (volume.empty() || volume.back() != u'\\') volume += u'\\';
  wchar_t file_system[MAX_PATH + 1];
  if (!GetVolumeInformationW(volume_path, nullptr, 0, nullptr, nullptr, nullptr,
                             file_system, MAX_PATH + 1))
    return GetLastError();
  if (wcscmp(file_system, L"NTFS") != 0) return kErrorUnrecognizedVolume;
  if (volume.size() == 3 && volume[1] == u':') {
    *device = u"\\\\.\\" + volume.substr(0, 2);
  } else {
    wchar_t name[MAX_PATH + 1];
    if (!GetVolumeNameForVolumeMountPointW(volume_path, name, MAX_PATH + 1))
      return GetLastError();
    *device = reinterpret_cast<const char16_t*>(name);
    if (!device->empty() && device->back() == u'\\') device->pop_back();
  }
  if (!StartsWithIgnoringCase(full, volume)) return kErrorPathNotFound;
  *inside = u"\\" + full.substr(volume.size());
  return kErrorSuccess;
}

uint32_t ListOnVolume(const RawViewRequest& request, WideString* device,
                      ComparedFolder* compared) {
  WideString inside;
  uint32_t error = VolumeUnder(request, device, &inside);
  if (error != kErrorSuccess) return error;
  RawVolume* volume = nullptr;
  error = RawVolumeOf(*device, &volume);
  if (error != kErrorSuccess) return error;
  compared->folder = request.folder;
  compared->volume = volume;
  return ListNtfsFolder(volume->ntfs.get(), inside, &compared->entries);
}

// The entries that match the walk's pattern, case ignored by the volume's
// own rule, as the system's search matches them.
std::vector<VolumeEntry> Matching(const ComparedFolder& compared,
                                  const WideString& pattern) {
  const std::vector<char16_t>& upcase = NtfsUpcase(compared.volume->ntfs.get());
  auto upper = [&upcase](char16_t unit) { return upcase[unit]; };
  std::vector<VolumeEntry> matching;
  for (const NtfsEntry& entry : compared.entries) {
    if (WildcardMatch(pattern, entry.name, upper) ||
        (!entry.short_name.empty() &&
         WildcardMatch(pattern, entry.short_name, upper))) {
      VolumeEntry found;
      found.name = entry.name;
      found.short_name = entry.short_name;
      found.record = entry.record;
      found.is_folder = entry.is_folder;
      matching.push_back(found);
    }
  }
  return matching;
}

std::vector<WalkEntry> ListedOnly(const std::vector<ListedEntry>& listed) {
  std::vector<WalkEntry> walk;
  for (const ListedEntry& entry : listed) {
    WalkEntry step;
    step.name = entry.name;
    walk.push_back(step);
  }
  return walk;
}

bool FindOnVolume(const WideString& path, ComparedFolder** folder,
                  const NtfsEntry** entry) {
  size_t split = path.rfind(u'\\');
  if (split == WideString::npos) return false;
  WideString folder_part = path.substr(0, split);
  WideString name = path.substr(split + 1);
  for (ComparedFolder& compared : compared_folders) {
    if (compared.folder != folder_part) continue;
    for (const NtfsEntry& candidate : compared.entries) {
      if (candidate.name == name) {
        *folder = &compared;
        *entry = &candidate;
        return true;
      }
    }
    const std::vector<char16_t>& upcase =
        NtfsUpcase(compared.volume->ntfs.get());
    for (const NtfsEntry& candidate : compared.entries) {
      if (EqualIgnoringCase(candidate.name, name, upcase) ||
          (!candidate.short_name.empty() &&
           EqualIgnoringCase(candidate.short_name, name, upcase))) {
        *folder = &compared;
        *entry = &candidate;
        return true;
      }
    }
    return false;
  }
  return false;
}

VolumeFile* FileOf(size_t slot) {
  if (slot >= volume_files.size() || !volume_files[slot].open) return nullptr;
  return &volume_files[slot];
}

}  // namespace

std::vector<WalkEntry> CompareWithVolume(
    const RawViewRequest& request,
    uint32_t (*list)(const WideString& search_pattern,
                     std::vector<ListedEntry>* listed),
    bool (*exists)(const WideString& path), FolderComparison* comparison,
    uint32_t* list_error) {
  const WideString& folder = request.folder;
  const WideString& pattern = request.pattern;
  const WideString search_pattern = folder + u"\\" + pattern;
  std::vector<ListedEntry> listed;
  *list_error = list(search_pattern, &listed);
  RawMode mode = request.mode;
  if (mode == RawMode::kOff) return ListedOnly(listed);

  ComparedFolder compared;
  WideString device;
  uint32_t error = ListOnVolume(request, &device, &compared);
  if (error != kErrorSuccess) {
    if (mode == RawMode::kRequired) {
      comparison->state = FolderComparison::State::kFailed;
      comparison->volume = device.empty() ? folder : device;
      comparison->error = error;
    }
    return ListedOnly(listed);
  }
  comparison->state = FolderComparison::State::kRan;
  comparison->volume = device;

  // An entry the listing lacks may only just have been created or deleted:
  // it is hidden when the system does not find it by name either, and still
  // so after a moment, in a fresh listing and a fresh read of the volume.
  std::vector<WalkEntry> walk =
      MergeListings(listed, Matching(compared, pattern));
  std::set<WideString> suspects;
  for (const WalkEntry& step : walk)
    if (step.hidden && !exists(folder + u"\\" + step.name))
      suspects.insert(step.name);
  if (!suspects.empty()) {
    RefreshRawVolumes();
    *list_error = list(search_pattern, &listed);
    ComparedFolder again;
    if (ListOnVolume(request, &device, &again) == kErrorSuccess) {
      compared = again;
      walk = MergeListings(listed, Matching(compared, pattern));
    } else {
      walk = ListedOnly(listed);
    }
  }
  std::vector<WalkEntry> confirmed;
  for (const WalkEntry& step : walk) {
    if (step.hidden) {
      if (suspects.count(step.name) == 0 || exists(folder + u"\\" + step.name))
        continue;
      compared.hidden.insert(step.name);
    }
    confirmed.push_back(step);
  }
  compared_folders.erase(
      std::remove_if(
          compared_folders.begin(), compared_folders.end(),
          [&](const ComparedFolder& known) { return known.folder == folder; }),
      compared_folders.end());
  compared_folders.push_back(compared);
  return confirmed;
}

bool IsHiddenOnVolume(const WideString& path) {
  ComparedFolder* folder = nullptr;
  const NtfsEntry* entry = nullptr;
  return FindOnVolume(path, &folder, &entry) &&
         folder->hidden.count(entry->name) > 0;
}

bool ExistsOnVolume(const WideString& path) {
  ComparedFolder* folder = nullptr;
  const NtfsEntry* entry = nullptr;
  return FindOnVolume(path, &folder, &entry);
}

uint32_t OpenFromVolume(const WideString& path, bool for_comparison,
                        size_t* file) {
  ComparedFolder* folder = nullptr;
  const NtfsEntry* entry = nullptr;
  if (!FindOnVolume(path, &folder, &entry))
    return for_comparison ? kErrorNotSupported : kErrorFileNotFound;
  NtfsFileInfo info;
  uint32_t error =
      GetNtfsFileInfo(folder->volume->ntfs.get(), entry->record, &info);
  if (error != kErrorSuccess) return error;
  if (info.is_folder || entry->is_folder) return kErrorAccessDenied;
  // Windows decompresses a file behind a reparse point (WOF) and decrypts an
  // encrypted one: the volume's data stream is not what it reads.
  if (for_comparison && (info.has_reparse_point || info.encrypted))
    return kErrorNotSupported;
  size_t slot = 0;
  while (slot < volume_files.size() && volume_files[slot].open) ++slot;
  if (slot == volume_files.size()) volume_files.emplace_back();
  VolumeFile& opened = volume_files[slot];
  opened.volume = folder->volume;
  opened.record = entry->record;
  opened.size = info.size;
  opened.position = 0;
  opened.open = true;
  // A hidden file that WOF compresses is opened, and said to be unreadable
  // rather than read as the zeros of its data stream.
  opened.read_error =
      info.has_reparse_point && IsCompressedByWof(folder->volume, entry->record)
          ? kErrorNotSupported
          : kErrorSuccess;
  *file = slot;
  return kErrorSuccess;
}

uint32_t ReadVolumeFile(size_t handle, void* buffer, uint32_t size,
                        uint32_t* bytes_read) {
  *bytes_read = 0;
  VolumeFile* file = FileOf(handle);
  if (file == nullptr) return kErrorInvalidParameter;
  if (file->read_error != kErrorSuccess && file->position < file->size &&
      size > 0)
    return file->read_error;
  size_t got = 0;
  uint32_t error = ReadNtfsFile(file->volume->ntfs.get(), file->record,
                                file->position, buffer, size, &got);
  if (error != kErrorSuccess) return error;
  file->position += got;
  *bytes_read = static_cast<uint32_t>(got);
  return kErrorSuccess;
}

uint32_t StepBackVolumeFile(size_t handle, uint32_t distance) {
  VolumeFile* file = FileOf(handle);
  if (file == nullptr) return kErrorInvalidParameter;
  if (distance > file->position) return kErrorNegativeSeek;
  file->position -= distance;
  return kErrorSuccess;
}

uint32_t VolumeFileSize(size_t handle, uint64_t* size) {
  VolumeFile* file = FileOf(handle);
  if (file == nullptr) return kErrorInvalidParameter;
  *size = file->size;
  return kErrorSuccess;
}

void CloseVolumeFile(size_t handle) {
  VolumeFile* file = FileOf(handle);
  if (file != nullptr) *file = VolumeFile();
}

void RefreshRawVolumes() {
  Sleep(kSettleMilliseconds);
  for (std::unique_ptr<RawVolume>& volume : raw_volumes) {
    NtfsVolumePtr fresh;
    if (OpenNtfsVolume(volume->reader, &fresh) == kErrorSuccess)
      volume->ntfs = std::move(fresh);
  }
}

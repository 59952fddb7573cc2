// The kit's NTFS reader over a volume that the fuzzer makes: the input is
// the volume, opened, its root listed and the folders below it down to three
// levels, and each file's unnamed data read. No input may crash, hang or
// exhaust the process, and every read keeps its contract: no more bytes
// than asked for, fewer only at the end of the data, none on failure.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "volume/ntfs_volume.h"

namespace {

// A forged size can make a sparse file of exabytes: each file is read this
// far at most, and only so many entries of a folder are followed.
constexpr uint64_t kMostBytesReadPerFile = 1 << 20;
constexpr size_t kMostEntriesPerFolder = 32;
constexpr size_t kMostDepth = 3;
constexpr size_t kChunk = 65536;

void Check(bool ok, const char* what) {
  if (ok) return;
  fprintf(stderr, "ntfs reader: %s\n", what);
  abort();
}

struct Input {
  const uint8_t* bytes;
  size_t size;
};

bool ReadInput(void* context, uint64_t offset, void* buffer, size_t length) {
  const Input* input = static_cast<const Input*>(context);
  Check(offset <= input->size && length <= input->size - offset,
        "a read past the volume's size");
  memcpy(buffer, input->bytes + offset, length);
  return true;
}

void ReadFile(NtfsVolume* volume, uint64_t record) {
  NtfsFileInfo info;
  if (GetNtfsFileInfo(volume, record, &info) != kErrorSuccess) return;
  static std::vector<uint8_t> buffer(kChunk);
  uint64_t offset = 0;
  // Odd sizes, so that reads start and end within clusters and units.
  size_t want = 777;
  while (offset < kMostBytesReadPerFile) {
    size_t got = 12345;
    uint32_t error =
        ReadNtfsFile(volume, record, offset, buffer.data(), want, &got);
    if (error != kErrorSuccess) {
      Check(got == 0, "a failed read returned bytes");
      return;
    }
    Check(got <= want, "a read returned more than asked for");
    Check(got == want || offset + got == info.size,
          "a short read before the end of the data");
    if (got < want) return;
    offset += got;
    want = std::min(kChunk, want * 3);
  }
}

void WalkFolder(NtfsVolume* volume, const WideString& path, size_t depth) {
  std::vector<NtfsEntry> entries;
  if (ListNtfsFolder(volume, path, &entries) != kErrorSuccess) return;
  for (size_t i = 0; i < entries.size() && i < kMostEntriesPerFolder; ++i) {
    const NtfsEntry& entry = entries[i];
    Check(!entry.name.empty(), "an entry without a name");
    if (entry.is_folder) {
      if (depth < kMostDepth)
        WalkFolder(volume, path + u"\\" + entry.name, depth + 1);
    } else {
      ReadFile(volume, entry.record);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;  // a size of 0 stands for one not known
  Input input{data, size};
  VolumeReader reader;
  reader.context = &input;
  reader.read = ReadInput;
  reader.size = size;
  NtfsVolumePtr volume;
  if (OpenNtfsVolume(reader, &volume) != kErrorSuccess) return 0;
  WalkFolder(volume.get(), WideString(), 0);
  // The system files too, which no listing shows.
  for (uint64_t record = 0; record < 12; ++record)
    ReadFile(volume.get(), record);
  return 0;
}

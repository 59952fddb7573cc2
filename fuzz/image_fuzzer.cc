// The walks of the kit over an evidence image that the fuzzer makes: the
// input is the image, opened through the library's read callbacks, and the
// volume in it is searched for the Windows folder, listed and read as the
// three tools list and read it. No input may crash, hang or exhaust the
// process, and every read keeps the contract the walks rely on: no more
// bytes than asked for, fewer only at the file's end, and a step back that
// moves exactly as far as it says. The volume's shadow copies are walked
// after it, as the tools walk them.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "volume/image_volume.h"

namespace {

// Each file is read this far at most: a forged size can make a sparse file
// of exabytes, which the walks read as Windows would, but not here.
constexpr uint64_t kMostBytesReadPerFile = 1 << 20;
constexpr size_t kMostFilesPerFolder = 64;
constexpr uint32_t kChunk = 65536;
constexpr size_t kMostShadowCopies = 4;

void Check(bool ok, const char* what) {
  if (ok) return;
  fprintf(stderr, "image walk: %s\n", what);
  abort();
}

void ReadFile(ImageVolume* volume, const WideString& path) {
  size_t file = 0;
  if (OpenImageFile(volume, path, &file) != kErrorSuccess) return;
  uint64_t size = 0;
  Check(ImageFileSize(volume, file, &size) == kErrorSuccess,
        "the size of an open file is unknown");
  static std::vector<uint8_t> buffer(kChunk);
  uint64_t position = 0;
  while (position < kMostBytesReadPerFile) {
    uint32_t bytes_read = 0;
    uint32_t error =
        ReadImageFile(volume, file, buffer.data(), kChunk, &bytes_read);
    if (error != kErrorSuccess) {
      Check(bytes_read == 0, "a failed read returned bytes");
      break;
    }
    Check(bytes_read <= kChunk, "a read returned more than asked for");
    Check(bytes_read == kChunk || position + bytes_read == size,
          "a short read before the end of the file");
    position += bytes_read;
    if (bytes_read < kChunk) break;
  }
  uint32_t error = StepBackImageFile(volume, file, 128);
  Check((error == kErrorSuccess) == (position >= 128),
        "a step back that does not match the position");
  CloseImageFile(volume, file);
}

void WalkFolder(ImageVolume* volume, const WideString& folder,
                const char16_t* pattern) {
  std::vector<WideString> names;
  if (ListImageFolder(volume, folder + pattern, &names) != kErrorSuccess)
    return;
  Check(!names.empty(), "a listing that succeeds with no entry");
  for (size_t i = 0; i < names.size() && i < kMostFilesPerFolder; ++i) {
    WideString path = folder + u"\\" + names[i];
    ReadFile(volume, path);
    ImageEntryExists(volume, path.substr(0, path.find(u'.')) + u".inf");
  }
}

struct Input {
  const uint8_t* bytes;
  size_t size;
};

int64_t ReadInput(void* context, uint64_t offset, void* buffer, size_t length) {
  const Input* input = static_cast<const Input*>(context);
  if (offset > input->size) return -1;
  size_t count = std::min<uint64_t>(length, input->size - offset);
  memcpy(buffer, input->bytes + offset, count);
  return static_cast<int64_t>(count);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input input{data, size};
  ImageReader reader;
  reader.context = &input;
  reader.read = ReadInput;
  reader.size = size;
  ImageVolumePtr volume;
  ImageVolumeInfo info;
  ImageProblem problem = ImageProblem::kNone;
  if (OpenImageVolumeThrough(reader, ImageSelection(), &volume, &info,
                             &problem) != kErrorSuccess) {
    Check(problem != ImageProblem::kNone, "a failure without a reason");
    return 0;
  }
  WalkFolder(volume.get(), info.system_folder + u"\\drivers", u"\\*.sys");
  WalkFolder(volume.get(), info.windows_folder + u"\\inf", u"\\*.pnf");

  // Then the same folders in the volume's shadow copies, newest first, as
  // far as they can be read.
  std::vector<uint64_t> created;
  if (OpenImageShadowCopies(volume.get(), &created) != kErrorSuccess) return 0;
  for (size_t number = created.size(); number > 0; --number) {
    if (created.size() - number >= kMostShadowCopies) break;
    if (UseImageShadowCopy(volume.get(), number) != kErrorSuccess) continue;
    WalkFolder(volume.get(), info.system_folder + u"\\drivers", u"\\*.sys");
    WalkFolder(volume.get(), info.windows_folder + u"\\inf", u"\\*.pnf");
  }
  Check(UseImageShadowCopy(volume.get(), 0) == kErrorSuccess,
        "the volume itself cannot be used again");
  return 0;
}

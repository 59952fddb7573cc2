#include "volume/shadow_copies.h"

#include <libbfio.h>
#include <libvshadow.h>

#include <algorithm>
#include <cstdio>
#include <deque>

#include "volume/loaded_library.h"

namespace {

// libvshadow, loaded when the first volume asks for its shadow copies (see
// volume/loaded_library.h for why it is not linked).
struct Vshadow {
  bool loaded = false;
  decltype(&libbfio_handle_initialize) handle_initialize = nullptr;
  decltype(&libbfio_handle_free) handle_free = nullptr;
  decltype(&libbfio_error_free) bfio_error_free = nullptr;
  decltype(&libvshadow_error_free) error_free = nullptr;
  decltype(&libvshadow_check_volume_signature_file_io_handle)
      check_volume_signature = nullptr;
  decltype(&libvshadow_volume_initialize) volume_initialize = nullptr;
  decltype(&libvshadow_volume_open_file_io_handle) volume_open = nullptr;
  decltype(&libvshadow_volume_close) volume_close = nullptr;
  decltype(&libvshadow_volume_free) volume_free = nullptr;
  decltype(&libvshadow_volume_get_number_of_stores) number_of_stores = nullptr;
  decltype(&libvshadow_volume_get_store) get_store = nullptr;
  decltype(&libvshadow_store_free) store_free = nullptr;
  decltype(&libvshadow_store_get_creation_time) creation_time = nullptr;
  decltype(&libvshadow_store_has_in_volume_data) has_in_volume_data = nullptr;
  decltype(&libvshadow_store_get_volume_size) store_volume_size = nullptr;
  decltype(&libvshadow_store_get_number_of_blocks) number_of_blocks = nullptr;
  decltype(&libvshadow_store_get_block_by_index) get_block = nullptr;
  decltype(&libvshadow_block_get_original_offset) original_offset = nullptr;
  decltype(&libvshadow_block_free) block_free = nullptr;
  decltype(&libvshadow_store_read_buffer_at_offset) read_at = nullptr;
};

Vshadow vshadow;

bool LoadVshadow() {
  static bool tried = false;
  if (tried) return vshadow.loaded;
  tried = true;
  void* library = LoadLibraryOnItsOwn("libvshadow.so.1");
  if (library == nullptr) return false;
  Vshadow& v = vshadow;
  v.loaded =
      FindSharedFunction(library, "libbfio_handle_initialize",
                         &v.handle_initialize) &&
      FindSharedFunction(library, "libbfio_handle_free", &v.handle_free) &&
      FindSharedFunction(library, "libbfio_error_free", &v.bfio_error_free) &&
      FindFunction(library, "libvshadow_error_free", &v.error_free) &&
      FindFunction(library, "libvshadow_check_volume_signature_file_io_handle",
                   &v.check_volume_signature) &&
      FindFunction(library, "libvshadow_volume_initialize",
                   &v.volume_initialize) &&
      FindFunction(library, "libvshadow_volume_open_file_io_handle",
                   &v.volume_open) &&
      FindFunction(library, "libvshadow_volume_close", &v.volume_close) &&
      FindFunction(library, "libvshadow_volume_free", &v.volume_free) &&
      FindFunction(library, "libvshadow_volume_get_number_of_stores",
                   &v.number_of_stores) &&
      FindFunction(library, "libvshadow_volume_get_store", &v.get_store) &&
      FindFunction(library, "libvshadow_store_free", &v.store_free) &&
      FindFunction(library, "libvshadow_store_get_creation_time",
                   &v.creation_time) &&
      FindFunction(library, "libvshadow_store_has_in_volume_data",
                   &v.has_in_volume_data) &&
      FindFunction(library, "libvshadow_store_get_volume_size",
                   &v.store_volume_size) &&
      FindFunction(library, "libvshadow_store_get_number_of_blocks",
                   &v.number_of_blocks) &&
      FindFunction(library, "libvshadow_store_get_block_by_index",
                   &v.get_block) &&
      FindFunction(library, "libvshadow_block_get_original_offset",
                   &v.original_offset) &&
      FindFunction(library, "libvshadow_block_free", &v.block_free) &&
      FindFunction(library, "libvshadow_store_read_buffer_at_offset",
                   &v.read_at);
  return v.loaded;
}

void Forget(libvshadow_error_t** error) {
  if (*error != nullptr) vshadow.error_free(error);
}

// Windows keeps at most 64 shadow copies of a volume, 512 on a server.
constexpr int kMostShadowCopies = 512;

// A store holds at most one saved block for each block of the volume, and
// an overlay or two more for some.
constexpr uint64_t kBlockDescriptorsPerBlock = 4;

// The volume as libbfio reads it for libvshadow: a file of the volume's
// size, read at a position of its own.
struct VolumeFile {
  VolumeReader volume;
  uint64_t position = 0;
  bool open = false;
};

VolumeFile* FileOf(intptr_t* io_handle) {
  return reinterpret_cast<VolumeFile*>(io_handle);
}

int KeepVolumeFile(intptr_t**, libbfio_error_t**) { return 1; }

int CloneNothing(intptr_t**, intptr_t*, libbfio_error_t**) { return -1; }

int OpenVolumeFile(intptr_t* io_handle, int access_flags, libbfio_error_t**) {
  if ((access_flags & LIBBFIO_ACCESS_FLAG_WRITE) != 0) return -1;
  FileOf(io_handle)->open = true;
  FileOf(io_handle)->position = 0;
  return 1;
}

int CloseVolumeFile(intptr_t* io_handle, libbfio_error_t**) {
  FileOf(io_handle)->open = false;
  return 0;
}

ssize_t ReadVolumeFile(intptr_t* io_handle, uint8_t* buffer, size_t size,
                       libbfio_error_t**) {
  VolumeFile* file = FileOf(io_handle);
  if (file->position >= file->volume.size) return 0;
  size_t count = static_cast<size_t>(
      std::min<uint64_t>(size, file->volume.size - file->position));
  if (!file->volume.read(file->volume.context, file->position, buffer, count))
    return -1;
  file->position += count;
  return static_cast<ssize_t>(count);
}

ssize_t WriteNothing(intptr_t*, const uint8_t*, size_t, libbfio_error_t**) {
  return -1;
}

off64_t SeekVolumeFile(intptr_t* io_handle, off64_t offset, int whence,
                       libbfio_error_t**) {
  VolumeFile* file = FileOf(io_handle);
  int64_t base = whence == SEEK_CUR   ? static_cast<int64_t>(file->position)
                 : whence == SEEK_END ? static_cast<int64_t>(file->volume.size)
                                      : 0;
  if (whence != SEEK_SET && whence != SEEK_CUR && whence != SEEK_END) return -1;
  if (offset < -base || offset > INT64_MAX - base) return -1;
  file->position = static_cast<uint64_t>(base + offset);
  return static_cast<off64_t>(file->position);
}

int VolumeFileExists(intptr_t*, libbfio_error_t**) { return 1; }

int VolumeFileIsOpen(intptr_t* io_handle, libbfio_error_t**) {
  return FileOf(io_handle)->open ? 1 : 0;
}

int VolumeFileSize(intptr_t* io_handle, size64_t* size, libbfio_error_t**) {
  *size = FileOf(io_handle)->volume.size;
  return 1;
}

// One shadow copy: the store it reads first, its place among libvshadow's
// stores, and what reads it as a volume.
struct Copy {
  libvshadow_store_t* store = nullptr;
  int store_index = 0;
  uint64_t created = 0;
  uint64_t volume_size = 0;
};

bool ReadCopy(void* context, uint64_t offset, void* buffer, size_t length) {
  const Copy* copy = static_cast<const Copy*>(context);
  uint8_t* out = static_cast<uint8_t*>(buffer);
  while (length > 0) {
    libvshadow_error_t* error = nullptr;
    ssize_t got = vshadow.read_at(copy->store, out, length,
                                  static_cast<off64_t>(offset), &error);
    Forget(&error);
    if (got <= 0) return false;
    out += got;
    offset += static_cast<uint64_t>(got);
    length -= static_cast<size_t>(got);
  }
  return true;
}

// The volume offsets of the blocks that `store` holds, in `*blocks`.
bool ReadStoreBlocks(libvshadow_store_t* store, uint64_t volume_size,
                     std::vector<uint64_t>* blocks) {
  libvshadow_error_t* error = nullptr;
  int count = 0;
  bool read = vshadow.number_of_blocks(store, &count, &error) == 1;
  uint64_t most =
      (volume_size / kShadowBlockBytes + 1) * kBlockDescriptorsPerBlock;
  if (!read || count < 0 || static_cast<uint64_t>(count) > most) {
    Forget(&error);
    return false;
  }
  for (int i = 0; i < count; ++i) {
    libvshadow_block_t* block = nullptr;
    off64_t original = 0;
    read = vshadow.get_block(store, i, &block, &error) == 1 &&
           vshadow.original_offset(block, &original, &error) == 1;
    if (block != nullptr) vshadow.block_free(&block, nullptr);
    if (!read || original < 0) {
      Forget(&error);
      return false;
    }
    blocks->push_back(static_cast<uint64_t>(original) / kShadowBlockBytes *
                      kShadowBlockBytes);
  }
  return true;
}

}  // namespace

struct ShadowCopies {
  VolumeFile file;
  libbfio_handle_t* handle = nullptr;
  libvshadow_volume_t* volume = nullptr;
  std::deque<Copy> copies;  // oldest first; each reader points into it
  // Every store, in libvshadow's order, which is that of their creation
  // times; each copy reads a block that its store lacks as the stores after
  // it read it. The blocks each holds, read once when first needed.
  std::vector<libvshadow_store_t*> stores;
  std::vector<std::vector<uint64_t>> store_blocks;
  std::vector<bool> store_blocks_read;
};

void ShadowCopiesCloser::operator()(ShadowCopies* copies) const {
  for (libvshadow_store_t*& store : copies->stores)
    vshadow.store_free(&store, nullptr);
  if (copies->volume != nullptr) {
    vshadow.volume_close(copies->volume, nullptr);
    vshadow.volume_free(&copies->volume, nullptr);
  }
  if (copies->handle != nullptr) vshadow.handle_free(&copies->handle, nullptr);
  delete copies;
}

bool CanReadShadowCopies() { return true; }

uint32_t OpenShadowCopies(const VolumeReader& volume, ShadowCopiesPtr* copies) {
  if (!LoadVshadow()) return kErrorModuleNotFound;
  ShadowCopiesPtr opened(new ShadowCopies);
  opened->file.volume = volume;
  libbfio_error_t* bfio_error = nullptr;
  if (vshadow.handle_initialize(
          &opened->handle, reinterpret_cast<intptr_t*>(&opened->file),
          KeepVolumeFile, CloneNothing, OpenVolumeFile, CloseVolumeFile,
          ReadVolumeFile, WriteNothing, SeekVolumeFile, VolumeFileExists,
          VolumeFileIsOpen, VolumeFileSize, LIBBFIO_FLAG_IO_HANDLE_NON_MANAGED,
          &bfio_error) != 1) {
    if (bfio_error != nullptr) vshadow.bfio_error_free(&bfio_error);
    return kErrorNotEnoughMemory;
  }

  // Without the header of the shadow copy service the volume keeps none.
  libvshadow_error_t* error = nullptr;
  int signature = vshadow.check_volume_signature(opened->handle, &error);
  Forget(&error);
  if (signature != 1) {
    *copies = std::move(opened);
    return signature == 0 ? kErrorSuccess : kErrorIoDevice;
  }

  int count = 0;
  if (vshadow.volume_initialize(&opened->volume, &error) != 1 ||
      vshadow.volume_open(opened->volume, opened->handle, LIBVSHADOW_OPEN_READ,
                          &error) != 1 ||
      vshadow.number_of_stores(opened->volume, &count, &error) != 1 ||
      count < 0 || count > kMostShadowCopies) {
    Forget(&error);
    return kErrorFileCorrupt;
  }
  for (int i = 0; i < count; ++i) {
    Copy copy;
    copy.store_index = i;
    if (vshadow.get_store(opened->volume, i, &copy.store, &error) != 1 ||
        vshadow.creation_time(copy.store, &copy.created, &error) != 1) {
      Forget(&error);
      if (copy.store != nullptr) vshadow.store_free(&copy.store, nullptr);
      return kErrorFileCorrupt;
    }
    opened->stores.push_back(copy.store);
    opened->copies.push_back(copy);
  }
  std::stable_sort(
      opened->copies.begin(), opened->copies.end(),
      [](const Copy& a, const Copy& b) { return a.created < b.created; });
  *copies = std::move(opened);
  return kErrorSuccess;
}

size_t ShadowCopyCount(const ShadowCopies* copies) {
  return copies->copies.size();
}

uint64_t ShadowCopyCreated(const ShadowCopies* copies, size_t number) {
  return copies->copies[number - 1].created;
}

uint32_t OpenShadowCopy(ShadowCopies* copies, size_t number,
                        VolumeReader* reader,
                        std::vector<uint64_t>* from_stores) {
  if (number == 0 || number > copies->copies.size())
    return kErrorInvalidParameter;
  Copy& copy = copies->copies[number - 1];
  libvshadow_error_t* error = nullptr;
  // A store kept on another volume is not in the image.
  int in_volume = vshadow.has_in_volume_data(copy.store, &error);
  size64_t size = 0;
  bool read = in_volume == 1 &&
              vshadow.store_volume_size(copy.store, &size, &error) == 1;
  Forget(&error);
  if (in_volume == 0) return kErrorNotSupported;
  const uint64_t volume_size = copies->file.volume.size;
  if (!read || size == 0 || size > volume_size) return kErrorFileCorrupt;
  copy.volume_size = size;

  // A block that the copy's own store lacks is read as the stores after it
  // read it, and from the volume when none holds it.
  from_stores->clear();
  copies->store_blocks.resize(copies->stores.size());
  copies->store_blocks_read.resize(copies->stores.size());
  for (size_t i = static_cast<size_t>(copy.store_index);
       i < copies->stores.size(); ++i) {
    std::vector<uint64_t>& blocks = copies->store_blocks[i];
    if (!copies->store_blocks_read[i]) {
      blocks.clear();
      if (!ReadStoreBlocks(copies->stores[i], volume_size, &blocks))
        return kErrorFileCorrupt;
      copies->store_blocks_read[i] = true;
    }
    from_stores->insert(from_stores->end(), blocks.begin(), blocks.end());
  }
  std::sort(from_stores->begin(), from_stores->end());
  from_stores->erase(std::unique(from_stores->begin(), from_stores->end()),
                     from_stores->end());

  reader->context = &copy;
  reader->read = ReadCopy;
  reader->size = size;
  return kErrorSuccess;
}

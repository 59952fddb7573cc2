#include "volume/qcow_image.h"

#include <errno.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

// Debian builds libqcow with its own copy of libbfio, so its header leaves
// out the functions that take a libbfio handle, which the library has.
#define LIBQCOW_HAVE_BFIO 1
#include <libbfio.h>
#include <libqcow.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "common/posix_errors.h"
#include "volume/loaded_library.h"
#include "volume/qcow_format.h"
#include "volume/raw_image.h"

namespace {

// libqcow, loaded when the first QCOW image is opened (see
// volume/loaded_library.h for why it is not linked).
struct Qcow {
  bool loaded = false;
  decltype(&libbfio_handle_initialize) handle_initialize = nullptr;
  decltype(&libbfio_handle_free) handle_free = nullptr;
  decltype(&libqcow_file_initialize) file_initialize = nullptr;
  decltype(&libqcow_file_open_file_io_handle) file_open = nullptr;
  decltype(&libqcow_file_close) file_close = nullptr;
  decltype(&libqcow_file_free) file_free = nullptr;
  decltype(&libqcow_file_read_buffer_at_offset) read_at = nullptr;
};

Qcow qcow;

bool LoadQcow() {
  static bool tried = false;
  if (tried) return qcow.loaded;
  tried = true;
  void* library = LoadLibraryOnItsOwn("libqcow.so.1");
  if (library == nullptr) return false;
  Qcow& q = qcow;
  q.loaded =
      FindSharedFunction(library, "libbfio_handle_initialize",
                         &q.handle_initialize) &&
      FindSharedFunction(library, "libbfio_handle_free", &q.handle_free) &&
      FindFunction(library, "libqcow_file_initialize", &q.file_initialize) &&
      FindFunction(library, "libqcow_file_open_file_io_handle", &q.file_open) &&
      FindFunction(library, "libqcow_file_close", &q.file_close) &&
      FindFunction(library, "libqcow_file_free", &q.file_free) &&
      FindFunction(library, "libqcow_file_read_buffer_at_offset", &q.read_at);
  return q.loaded;
}

// The deepest chain of backing files followed below an image.
constexpr size_t kMostBackingFiles = 64;

// The first bytes of an image that its header and the extensions after it
// are read from.
constexpr size_t kHeadBytes = 64 * 1024;

// Where the header of every version names the backing file: its offset and
// its size. libqcow is shown zeros there, an image without a backing file:
// it would read the backing file's clusters for those the image lacks, and
// it is only ever asked for the image's own (the chain is the kit's).
constexpr uint64_t kBackingFieldsStart = 8;
constexpr uint64_t kBackingFieldsEnd = 20;

// One file of a chain: the image named first, or a backing file below it,
// QCOW or raw. libbfio reads it for libqcow at a position of its own.
struct Layer {
  std::string path;
  int fd = -1;
  dev_t device = 0;
  ino_t inode = 0;
  uint64_t file_size = 0;
  uint64_t disk_size = 0;  // of the disk it holds; past it, zeros
  bool is_qcow = false;
  QcowHeader header;
  uint64_t position = 0;
  bool open = false;
  bool read_failed = false;  // a read of the file failed: no damage
  libbfio_handle_t* handle = nullptr;
  libqcow_file_t* file = nullptr;
  // The L2 table of the L1 entry read last, which the next clusters read
  // most often share.
  uint64_t cached_l1_index = UINT64_MAX;
  uint64_t cached_l2_table = 0;

  Layer() = default;
  Layer(const Layer&) = delete;
  Layer& operator=(const Layer&) = delete;
  ~Layer() {
    if (file != nullptr) {
      qcow.file_close(file, nullptr);
      qcow.file_free(&file, nullptr);
    }
    if (handle != nullptr) qcow.handle_free(&handle, nullptr);
    if (fd >= 0) close(fd);
  }
};

// The chain of the run, the image named first at the front.
struct Chain {
  std::vector<std::unique_ptr<Layer>> layers;
};

Chain qcow_chain;

// The file as libbfio reads it for libqcow.

Layer* LayerOf(intptr_t* io_handle) {
  return reinterpret_cast<Layer*>(io_handle);
}

int KeepLayer(intptr_t**, libbfio_error_t**) { return 1; }

int CloneNothing(intptr_t**, intptr_t*, libbfio_error_t**) { return -1; }

int OpenLayerFile(intptr_t* io_handle, int access_flags, libbfio_error_t**) {
  if ((access_flags & LIBBFIO_ACCESS_FLAG_WRITE) != 0) return -1;
  LayerOf(io_handle)->open = true;
  LayerOf(io_handle)->position = 0;
  return 1;
}

int CloseLayerFile(intptr_t* io_handle, libbfio_error_t**) {
  LayerOf(io_handle)->open = false;
  return 0;
}

ssize_t ReadLayerFile(intptr_t* io_handle, uint8_t* buffer, size_t size,
                      libbfio_error_t**) {
  Layer* layer = LayerOf(io_handle);
  if (layer->position >= layer->file_size) return 0;
  size_t count = static_cast<size_t>(
      std::min<uint64_t>(size, layer->file_size - layer->position));
  count = std::min<size_t>(count, SSIZE_MAX);
  if (!ReadImageFileAt(layer->fd, layer->position, buffer, count)) {
    layer->read_failed = true;
    return -1;
  }
  uint64_t end = layer->position + count;
  for (uint64_t at = std::max(layer->position, kBackingFieldsStart);
       at < std::min(end, kBackingFieldsEnd); ++at)
    buffer[at - layer->position] = 0;
  layer->position = end;
  return static_cast<ssize_t>(count);
}

ssize_t WriteNothing(intptr_t*, const uint8_t*, size_t, libbfio_error_t**) {
  return -1;
}

off64_t SeekLayerFile(intptr_t* io_handle, off64_t offset, int whence,
                      libbfio_error_t**) {
  Layer* layer = LayerOf(io_handle);
  if (whence != SEEK_SET && whence != SEEK_CUR && whence != SEEK_END) return -1;
  int64_t base = whence == SEEK_CUR   ? static_cast<int64_t>(layer->position)
                 : whence == SEEK_END ? static_cast<int64_t>(layer->file_size)
                                      : 0;
  if (offset < -base || offset > INT64_MAX - base) return -1;
  layer->position = static_cast<uint64_t>(base + offset);
  return static_cast<off64_t>(layer->position);
}

int LayerFileExists(intptr_t*, libbfio_error_t**) { return 1; }

int LayerFileIsOpen(intptr_t* io_handle, libbfio_error_t**) {
  return LayerOf(io_handle)->open ? 1 : 0;
}

int LayerFileSize(intptr_t* io_handle, size64_t* size, libbfio_error_t**) {
  *size = LayerOf(io_handle)->file_size;
  return 1;
}

// Opens the file at `path` for `layer`: a file or a block device, and none
// that is in the chain already.
uint32_t OpenLayerAt(const std::string& path, const Chain& chain,
                     Layer* layer) {
  layer->path = path;
  // Looked at before it is opened, since opening a FIFO would wait.
  struct stat status;
  if (stat(path.c_str(), &status) != 0)
    return WindowsErrorFromErrno(errno, path);
  if (!S_ISREG(status.st_mode) && !S_ISBLK(status.st_mode))
    return kErrorAccessDenied;
  layer->fd = OpenForImageReading(path);
  if (layer->fd < 0) return WindowsErrorFromErrno(errno, path);
  if (fstat(layer->fd, &status) != 0 ||
      (!S_ISREG(status.st_mode) && !S_ISBLK(status.st_mode)))
    return kErrorAccessDenied;
  layer->device = status.st_dev;
  layer->inode = status.st_ino;
  for (const std::unique_ptr<Layer>& above : chain.layers)
    if (above->device == layer->device && above->inode == layer->inode)
      return kErrorCantResolveFilename;
  // A block device tells its size only through its end.
  off_t end = lseek(layer->fd, 0, SEEK_END);
  if (end < 0) return WindowsErrorFromErrno(errno, path);
  layer->file_size = static_cast<uint64_t>(end);
  layer->disk_size = layer->file_size;
  return kErrorSuccess;
}

// Reads the header of the QCOW image in `layer` and opens it in libqcow.
uint32_t OpenQcowLayer(Layer* layer) {
  std::vector<uint8_t> head(
      static_cast<size_t>(std::min<uint64_t>(layer->file_size, kHeadBytes)));
  if (!ReadImageFileAt(layer->fd, 0, head.data(), head.size()))
    return kErrorIoDevice;
  uint32_t error = ParseQcowHeader(head.data(), head.size(), &layer->header);
  if (error != kErrorSuccess) return error;
  if (layer->header.encrypted) return kErrorFileEncrypted;
  const QcowHeader& header = layer->header;
  if (header.l1_offset > layer->file_size ||
      header.l1_entries > (layer->file_size - header.l1_offset) / 8)
    return kErrorFileCorrupt;
  if (qcow.handle_initialize(
          &layer->handle, reinterpret_cast<intptr_t*>(layer), KeepLayer,
          CloneNothing, OpenLayerFile, CloseLayerFile, ReadLayerFile,
          WriteNothing, SeekLayerFile, LayerFileExists, LayerFileIsOpen,
          LayerFileSize, LIBBFIO_FLAG_IO_HANDLE_NON_MANAGED, nullptr) != 1 ||
      qcow.file_initialize(&layer->file, nullptr) != 1)
    return kErrorNotEnoughMemory;
  if (qcow.file_open(layer->file, layer->handle, LIBQCOW_OPEN_READ, nullptr) !=
      1) {
    qcow.file_free(&layer->file, nullptr);
    return layer->read_failed ? kErrorIoDevice : kErrorFileCorrupt;
  }
  layer->is_qcow = true;
  layer->disk_size = layer->header.disk_size;
  return kErrorSuccess;
}

// Whether the backing file in `layer` is a QCOW image or a raw one: as the
// image above names its format, or else as the file's first bytes tell.
uint32_t BackingIsQcow(const std::string& format, const Layer& layer,
                       bool* is_qcow) {
  if (format == "qcow2" || format == "qcow" || format == "raw") {
    *is_qcow = format != "raw";
    return kErrorSuccess;
  }
  if (!format.empty()) return kErrorNotSupported;
  char magic[4] = {};
  *is_qcow = layer.file_size >= sizeof magic &&
             ReadImageFileAt(layer.fd, 0, magic, sizeof magic) &&
             memcmp(magic, kQcowMagic, sizeof magic) == 0;
  if (!*is_qcow && IsContainerImage(layer.path)) return kErrorNotSupported;
  return kErrorSuccess;
}

uint32_t ReadBackingName(const Layer& layer, std::string* name) {
  const QcowHeader& header = layer.header;
  if (header.backing_name_offset > layer.file_size ||
      header.backing_name_size > layer.file_size - header.backing_name_offset)
    return kErrorFileCorrupt;
  name->assign(header.backing_name_size, '\0');
  return ReadImageFileAt(layer.fd, header.backing_name_offset, &(*name)[0],
                         name->size())
             ? kErrorSuccess
             : kErrorIoDevice;
}

// Entry `index` of the table at `table` in the layer's file.
bool ReadTableEntry(const Layer& layer, uint64_t table, uint64_t index,
                    uint64_t* entry) {
  if (table >= layer.file_size || index >= (layer.file_size - table) / 8)
    return false;
  uint8_t bytes[8];
  if (!ReadImageFileAt(layer.fd, table + index * 8, bytes, sizeof bytes))
    return false;
  *entry = 0;
  for (uint8_t byte : bytes) *entry = *entry << 8 | byte;
  return true;
}

// Which image of the chain holds cluster `cluster` of the layer's disk.
bool HolderOfCluster(Layer* layer, uint64_t cluster, QcowCluster* holder) {
  const QcowHeader& header = layer->header;
  uint64_t l1_index = cluster >> header.l2_bits;
  *holder = QcowCluster::kBelow;
  if (l1_index >= header.l1_entries) return true;
  if (l1_index != layer->cached_l1_index) {
    uint64_t entry = 0;
    if (!ReadTableEntry(*layer, header.l1_offset, l1_index, &entry))
      return false;
    layer->cached_l1_index = l1_index;
    layer->cached_l2_table = QcowL2TableOffset(header, entry);
  }
  if (layer->cached_l2_table == 0) return true;
  uint64_t entry = 0;
  uint64_t l2_index = cluster & ((uint64_t{1} << header.l2_bits) - 1);
  if (!ReadTableEntry(*layer, layer->cached_l2_table, l2_index, &entry))
    return false;
  *holder = QcowClusterOfEntry(header, entry);
  if (*holder != QcowCluster::kInImage) return true;
  // libqcow is not asked for a cluster whose bytes run past the file's end,
  // which it would copy from past the end of its own buffer, nor for one of
  // no bytes, which it would read through a null buffer.
  uint64_t offset = 0, size = 0;
  QcowClusterBytes(header, entry, &offset, &size);
  return size > 0 && offset <= layer->file_size &&
         size <= layer->file_size - offset;
}

// Which image holds the cluster at `offset` of the layer's disk, and how
// many bytes from there, up to `most`, lie in clusters held alike.
bool HeldAlike(Layer* layer, uint64_t offset, size_t most, QcowCluster* holder,
               size_t* run) {
  const uint32_t bits = layer->header.cluster_bits;
  const uint64_t cluster_size = uint64_t{1} << bits;
  if (!HolderOfCluster(layer, offset >> bits, holder)) return false;
  uint64_t alike = cluster_size - (offset & (cluster_size - 1));
  while (alike < most) {
    QcowCluster next = QcowCluster::kBelow;
    if (!HolderOfCluster(layer, (offset + alike) >> bits, &next)) return false;
    if (next != *holder) break;
    alike += cluster_size;
  }
  *run = static_cast<size_t>(std::min<uint64_t>(alike, most));
  return true;
}

bool ReadFromImage(const Layer& layer, uint64_t offset, uint8_t* buffer,
                   size_t length) {
  if (!layer.is_qcow) return ReadImageFileAt(layer.fd, offset, buffer, length);
  ssize_t got = qcow.read_at(layer.file, buffer, length,
                             static_cast<off64_t>(offset), nullptr);
  return got >= 0 && static_cast<size_t>(got) == length;
}

// Reads [offset, offset + length) of the disk as layer `level` of the chain
// holds it: its own clusters from it, the others from the layers below,
// and zeros past its end and where no layer holds them.
bool ReadDisk(Chain* chain, size_t level, uint64_t offset, uint8_t* buffer,
              size_t length) {
  if (level >= chain->layers.size()) {
    memset(buffer, 0, length);
    return true;
  }
  Layer* layer = chain->layers[level].get();
  while (length > 0) {
    if (offset >= layer->disk_size) {
      memset(buffer, 0, length);
      return true;
    }
    size_t run = static_cast<size_t>(
        std::min<uint64_t>(length, layer->disk_size - offset));
    QcowCluster holder = QcowCluster::kInImage;
    if (layer->is_qcow && !HeldAlike(layer, offset, run, &holder, &run))
      return false;
    bool read = true;
    if (holder == QcowCluster::kInImage)
      read = ReadFromImage(*layer, offset, buffer, run);
    else if (holder == QcowCluster::kBelow)
      read = ReadDisk(chain, level + 1, offset, buffer, run);
    else
      memset(buffer, 0, run);
    if (!read) return false;
    offset += run;
    buffer += run;
    length -= run;
  }
  return true;
}

int64_t ReadQcowChain(void* context, uint64_t offset, void* buffer,
                      size_t length) {
  Chain* chain = static_cast<Chain*>(context);
  length = static_cast<size_t>(std::min<uint64_t>(length, INT64_MAX));
  return ReadDisk(chain, 0, offset, static_cast<uint8_t*>(buffer), length)
             ? static_cast<int64_t>(length)
             : -1;
}

}  // namespace

uint32_t OpenQcowImage(const std::string& path, ImageReader* reader,
                       ImageProblem* problem) {
  *problem = ImageProblem::kCannotOpen;
  if (!LoadQcow()) return kErrorModuleNotFound;
  Chain chain;
  std::string next = path, format;
  for (;;) {
    const bool top = chain.layers.empty();
    if (!top) *problem = ImageProblem::kBadBackingFile;
    if (chain.layers.size() > kMostBackingFiles)
      return kErrorCantResolveFilename;
    std::unique_ptr<Layer> layer(new Layer);
    uint32_t error = OpenLayerAt(next, chain, layer.get());
    bool is_qcow = top;
    if (error == kErrorSuccess && !top)
      error = BackingIsQcow(format, *layer, &is_qcow);
    if (error == kErrorSuccess && is_qcow) error = OpenQcowLayer(layer.get());
    if (error != kErrorSuccess) return error;
    chain.layers.push_back(std::move(layer));

    const Layer& opened = *chain.layers.back();
    if (!opened.is_qcow || opened.header.backing_name_size == 0) break;
    std::string name;
    error = ReadBackingName(opened, &name);
    if (error != kErrorSuccess) return error;
    *problem = ImageProblem::kBadBackingFile;
    if (!QcowBackingPath(opened.path, name, &next)) return kErrorNotSupported;
    format = opened.header.backing_format;
  }
  qcow_chain = std::move(chain);
  reader->context = &qcow_chain;
  reader->read = ReadQcowChain;
  reader->size = qcow_chain.layers.front()->disk_size;
  *problem = ImageProblem::kNone;
  return kErrorSuccess;
}

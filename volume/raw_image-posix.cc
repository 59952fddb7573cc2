#include "volume/raw_image.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "common/posix_errors.h"
#include "volume/qcow_format.h"

namespace {

// The segments of the raw image of the run, end to end.
struct RawImage {
  std::vector<int> descriptors;
  std::vector<uint64_t> starts;  // where each segment begins in the image
  uint64_t size = 0;
};

RawImage raw_image;

int64_t ReadRawImage(void* context, uint64_t offset, void* buffer,
                     size_t length) {
  const RawImage* image = static_cast<const RawImage*>(context);
  char* bytes = static_cast<char*>(buffer);
  size_t done = 0;
  while (done < length && offset + done < image->size) {
    uint64_t at = offset + done;
    size_t segment =
        std::upper_bound(image->starts.begin(), image->starts.end(), at) -
        image->starts.begin() - 1;
    uint64_t end = segment + 1 < image->starts.size()
                       ? image->starts[segment + 1]
                       : image->size;
    size_t count =
        static_cast<size_t>(std::min<uint64_t>(length - done, end - at));
    if (!ReadImageFileAt(image->descriptors[segment],
                         at - image->starts[segment], bytes + done, count))
      return -1;
    done += count;
  }
  return static_cast<int64_t>(done);
}

// The names of the segments of a split image named by its first segment,
// "name.001"; just `path` for any other name.
std::vector<std::string> SegmentNames(const std::string& path) {
  std::vector<std::string> names{path};
  const std::string first = ".001";
  if (path.size() <= first.size() ||
      path.compare(path.size() - first.size(), first.size(), first) != 0)
    return names;
  std::string stem = path.substr(0, path.size() - 3);
  for (int number = 2; number <= 999; ++number) {
    char digits[4];
    snprintf(digits, sizeof digits, "%03d", number);
    struct stat status;
    if (stat((stem + digits).c_str(), &status) != 0) break;
    names.push_back(stem + digits);
  }
  return names;
}

bool StartsWith(const char* bytes, size_t size, const char* prefix,
                size_t length) {
  return size >= length && memcmp(bytes, prefix, length) == 0;
}

}  // namespace

int OpenForImageReading(const std::string& path) {
  int flags = O_RDONLY | O_CLOEXEC;
#ifdef O_NOATIME
  int fd = open(path.c_str(), flags | O_NOATIME);
  if (fd >= 0 || errno != EPERM) return fd;
#endif
  return open(path.c_str(), flags);
}

bool IsContainerImage(const std::string& path) {
  int fd = OpenForImageReading(path);
  if (fd < 0) return false;
  char head[512] = {}, tail[512] = {};
  ssize_t got = pread(fd, head, sizeof head, 0);
  off_t end = lseek(fd, 0, SEEK_END);
  if (end >= static_cast<off_t>(sizeof tail) &&
      pread(fd, tail, sizeof tail, end - static_cast<off_t>(sizeof tail)) !=
          static_cast<ssize_t>(sizeof tail))
    memset(tail, 0, sizeof tail);
  close(fd);
  size_t size = got > 0 ? static_cast<size_t>(got) : 0;
  const char kDescriptor[] = "# Disk DescriptorFile";
  return StartsWith(head, size, "EVF\x09\x0d\x0a\xff\x00", 8) ||  // E01
         StartsWith(head, size, "LVF\x09\x0d\x0a\xff\x00", 8) ||  // L01
         StartsWith(head, size, "EVF2\x0d\x0a\x81\x00", 8) ||     // Ex01
         StartsWith(head, size, "KDMV", 4) ||                     // VMDK
         StartsWith(head, size, "COWD", 4) ||
         StartsWith(head, size, kDescriptor, sizeof kDescriptor - 1) ||
         StartsWith(head, size, "conectix", 8) ||  // dynamic VHD
         memcmp(tail, "conectix", 8) == 0 ||       // fixed VHD
         StartsWith(head, size, "vhdxfile", 8) ||
         StartsWith(head, size, "AFF10\x0d\x0a", 7);
}

bool IsQcowImage(const std::string& path) {
  int fd = OpenForImageReading(path);
  if (fd < 0) return false;
  char magic[4] = {};
  bool is_qcow = pread(fd, magic, sizeof magic, 0) == sizeof magic &&
                 memcmp(magic, kQcowMagic, sizeof magic) == 0;
  close(fd);
  return is_qcow;
}

bool ReadImageFileAt(int fd, uint64_t offset, void* buffer, size_t length) {
  char* bytes = static_cast<char*>(buffer);
  while (length > 0) {
    ssize_t got = pread(fd, bytes, length, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    bytes += got;
    offset += static_cast<uint64_t>(got);
    length -= static_cast<size_t>(got);
  }
  return true;
}

uint32_t OpenRawImage(const std::string& path, ImageReader* reader) {
  RawImage image;
  for (const std::string& name : SegmentNames(path)) {
    int fd = OpenForImageReading(name);
    if (fd < 0) {
      uint32_t error = WindowsErrorFromErrno(errno, name);
      for (int open_fd : image.descriptors) close(open_fd);
      return error;
    }
    // A block device tells its size only through its end.
    off_t end = lseek(fd, 0, SEEK_END);
    image.descriptors.push_back(fd);
    image.starts.push_back(image.size);
    if (end > 0) image.size += static_cast<uint64_t>(end);
  }
  for (int fd : raw_image.descriptors) close(fd);
  raw_image = std::move(image);
  reader->context = &raw_image;
  reader->read = ReadRawImage;
  reader->size = raw_image.size;
  return kErrorSuccess;
}

#include "tests/e2e/wof_files.h"

#include <fcntl.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <wimlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

void Put(std::string* to, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i)
    to->push_back(static_cast<char>(value >> (8 * i)));
}

std::string Failure(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + strerror(errno);
}

}  // namespace

uint32_t WofChunkSize(int algorithm) {
  switch (algorithm) {
    case kWofLzx:
      return 32768;
    case kWofXpress8k:
      return 8192;
    case kWofXpress16k:
      return 16384;
  }
  return 4096;
}

std::string WofCompressedStream(const std::string& bytes, int algorithm) {
  const uint32_t chunk_size = WofChunkSize(algorithm);
  wimlib_compressor* compressor = nullptr;
  if (wimlib_create_compressor(algorithm == kWofLzx
                                   ? WIMLIB_COMPRESSION_TYPE_LZX
                                   : WIMLIB_COMPRESSION_TYPE_XPRESS,
                               chunk_size, 0, &compressor) != 0)
    return "";
  const int entry_size = bytes.size() > 0xFFFFFFFFu ? 8 : 4;
  std::string table, chunks, out(chunk_size, '\0');
  for (size_t at = 0; at < bytes.size(); at += chunk_size) {
    if (at > 0) Put(&table, chunks.size(), entry_size);
    size_t size = std::min<size_t>(chunk_size, bytes.size() - at);
    // Only what comes out smaller than it went in is kept compressed.
    size_t compressed =
        wimlib_compress(bytes.data() + at, size, &out[0], size - 1, compressor);
    if (compressed == 0)
      chunks.append(bytes, at, size);
    else
      chunks.append(out, 0, compressed);
  }
  wimlib_free_compressor(compressor);
  return table + chunks;
}

std::string WofReparseValue(int algorithm, uint32_t provider,
                            uint32_t wof_version) {
  std::string data;
  Put(&data, wof_version, 4);
  Put(&data, provider, 4);
  if (provider == 2) {
    Put(&data, 1, 4);
    Put(&data, static_cast<uint32_t>(algorithm), 4);
  } else {
    // WIMBoot's own fields: its version, flags, the WIM's data source and
    // the file's hash in it.
    Put(&data, 1, 4);
    Put(&data, 0, 4);
    Put(&data, 1, 8);
    data.append(20, '\x5a');
  }
  std::string value;
  Put(&value, 0x80000017, 4);
  Put(&value, data.size(), 2);
  Put(&value, 0, 2);
  return value + data;
}

std::string MakeWofFile(const std::string& path, uint64_t size,
                        const std::string& stream, const std::string& reparse) {
  if (truncate(path.c_str(), 0) != 0 ||
      truncate(path.c_str(), static_cast<off_t>(size)) != 0)
    return Failure("cannot make a hole of", path);
  if (!stream.empty()) {
    const std::string named = path + ":WofCompressedData";
    int fd = open(named.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) return Failure("cannot create", named);
    for (size_t at = 0; at < stream.size();) {
      ssize_t n = write(fd, stream.data() + at, stream.size() - at);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        close(fd);
        return Failure("cannot write", named);
      }
      at += static_cast<size_t>(n);
    }
    if (close(fd) != 0) return Failure("cannot close", named);
  }
  if (setxattr(path.c_str(), "system.ntfs_reparse_data", reparse.data(),
               reparse.size(), 0) != 0)
    return Failure("cannot set the reparse point of", path);
  return "";
}

// The parts of the QCOW format (QEMU's copy-on-write disk images, versions
// 1 to 3) that the kit reads itself: the header, the entries of the cluster
// tables that say which image of a chain holds a cluster, and where a
// backing file is found. The data of the clusters is read through libqcow
// (volume/qcow_image.h).
//
// Everything here comes from the image: each field is checked before it is
// used.
#ifndef VOLUME_QCOW_FORMAT_H_
#define VOLUME_QCOW_FORMAT_H_

#include <cstddef>
#include <cstdint>
#include <string>

// The first four bytes of every QCOW image.
constexpr char kQcowMagic[] = "QFI\xfb";

// The longest backing file name that QEMU writes into an image.
constexpr uint32_t kMostQcowBackingNameBytes = 1023;

struct QcowHeader {
  uint32_t version = 0;
  uint64_t disk_size = 0;     // of the disk that the image holds, in bytes
  uint32_t cluster_bits = 0;  // a cluster is 2^cluster_bits bytes
  uint32_t l2_bits = 0;       // an L2 table has 2^l2_bits entries
  uint64_t l1_offset = 0;     // of the L1 table in the image file
  uint64_t l1_entries = 0;
  bool encrypted = false;
  // The backing file's name in the image file; none when its size is 0.
  uint64_t backing_name_offset = 0;
  uint32_t backing_name_size = 0;
  // The backing file's format as the header names it ("qcow2", "raw"), or
  // empty when it names none and the file itself tells.
  std::string backing_format;
};

// Reads the header from the first bytes of an image file, as many of its
// first cluster as the file holds. Fails with kErrorNotSupported for a
// version or an incompatible feature that the kit does not read (an
// external data file, a compression other than zlib, extended L2 entries)
// and with kErrorFileCorrupt for a header that is damaged or that QEMU
// marked corrupt.
uint32_t ParseQcowHeader(const uint8_t* bytes, size_t size, QcowHeader* header);

// Where the L2 table of an L1 entry lies in the image file; 0 when the
// clusters it would map are not in the image.
uint64_t QcowL2TableOffset(const QcowHeader& header, uint64_t l1_entry);

// Which image of a chain holds the cluster of an L2 entry.
enum class QcowCluster {
  kInImage,  // this image, stored or compressed
  kZeros,    // none: the cluster reads as zeros
  kBelow,    // the backing file, or zeros where there is none
};
QcowCluster QcowClusterOfEntry(const QcowHeader& header, uint64_t l2_entry);

// Where the bytes of a cluster that the image holds lie in its file, from
// its L2 entry: a whole cluster where it is stored, and where it is
// compressed, as many as the entry says.
void QcowClusterBytes(const QcowHeader& header, uint64_t l2_entry,
                      uint64_t* offset, uint64_t* size);

// The file that an image at `image_path` names as its backing file, as
// QEMU finds it: an absolute name as it is, a relative one in the folder of
// the image that names it. False for a name that names no file here: empty,
// holding a NUL, or that of a protocol (nbd:, json:...).
bool QcowBackingPath(const std::string& image_path,
                     const std::string& backing_name, std::string* path);

#endif  // VOLUME_QCOW_FORMAT_H_

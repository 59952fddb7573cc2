// Evidence images for the end-to-end tests, made from fixture trees with the
// same Debian tools that make real ones: NTFS volumes by mkntfs and
// an ntfs-3g mount, FAT volumes by mkfs.fat and mtools, MBR and GPT disks by
// sfdisk, and the containers by split, ewfacquire and qemu-img. Each image is
// made once per test run, in a folder that holds its files and nothing else;
// all of them are removed when the run ends, unless KIT_KEEP_IMAGES is set
// for a look at them.
#ifndef TESTS_E2E_IMAGES_H_
#define TESTS_E2E_IMAGES_H_

#include <sys/types.h>

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tests/e2e/harness.h"

// One file of a fixture tree. The extras after `bytes` are for NTFS only,
// except `deleted`.
struct TreeFile {
  std::string path;        // below the volume's root, '/' between the names
  std::string bytes;       // the unnamed data stream
  std::string short_name;  // an 8.3 name beside the long one ("X~1.SYS")
  std::vector<std::pair<std::string, std::string>> streams;  // name, bytes
  std::vector<std::string> links;  // further names of the file, as paths
  uint64_t hole = 0;        // sparse: `bytes` follow a hole of this length
  bool compressed = false;  // NTFS-compressed
  int fragments = 1;        // its data in this many runs apart on the volume
  bool deleted = false;     // written, then deleted once the tree is laid
  // Kept compressed as CompactOS keeps it, by this WOF algorithm
  // (tests/e2e/wof_files.h); -1 for none. Its WofCompressedData stream (none
  // when empty) and its reparse point's value are made from `bytes` and the
  // algorithm, or laid exactly as given here.
  int wof_algorithm = -1;
  std::optional<std::string> wof_stream = std::nullopt;
  std::optional<std::string> wof_reparse = std::nullopt;
};

// A file of `bytes` at `path`, with no NTFS extras.
TreeFile File(const std::string& path, const std::string& bytes);

// Folders are made in order before the files; the folders on a file's path
// are made as needed.
struct Tree {
  std::vector<std::string> folders;
  std::vector<TreeFile> files;  // written in order
  // NTFS only: files and folders, with everything below them, removed
  // before the folders are made, as a later state of a volume removes them.
  std::vector<std::string> removed = {};
};

// Volume shadow copies, which tests/e2e/shadow_copies.h writes.

// An older state of an NTFS volume that a shadow copy keeps.
struct ShadowState {
  Tree changes;         // made on the state before, or on a fresh volume
  std::string created;  // when the copy was made: "2019-06-04 23:43:32", UTC
};

// A shadow copy as written into a volume. Offsets are from the volume's
// start.
struct ShadowCopy {
  std::string created;            // as in its ShadowState
  uint64_t filetime = 0;          // the same as the catalog holds it
  int catalog_index = 0;          // its place in the catalog, from 0
  std::string state;              // the raw volume file of the state it keeps
  uint64_t store_header = 0;      // its store's header block
  uint64_t first_block_list = 0;  // and first block list block
  size_t saved_blocks = 0;        // the blocks of 16 KiB its store holds
};

struct VolumeShadows {
  std::vector<ShadowCopy> copies;        // oldest first
  std::vector<uint64_t> catalog_blocks;  // in the order of their chain
  // The 16 KiB blocks of the catalog and the stores, which no copy reads as
  // its state: start and size.
  std::vector<std::pair<uint64_t, uint64_t>> store_space;
};

enum class FileSystem { kNtfs, kFat16, kFat32 };

struct VolumeRecipe {
  std::string name;  // unique within a test run: an image is made once
  FileSystem file_system;
  int size_mib;
  Tree tree;
  // NTFS only: older states kept in shadow copies, oldest first; `tree` then
  // makes the current volume from the newest of them.
  std::vector<ShadowState> shadows = {};
  // The copies in the catalog's order, as indexes into `shadows`; empty for
  // oldest first.
  std::vector<int> shadow_catalog_order = {};
  // NTFS only: the bytes of a cluster and of a sector, as mkntfs -c and -s
  // take them. Windows formats clusters of up to 2 MiB; NTFS compresses only
  // with clusters of 4 KiB or less.
  int cluster_size = 4096;
  int sector_size = 512;
};

enum class PartitionTable { kNone, kMbr, kGpt };
// kQcow is QCOW version 1, kQcow2 version 3 (QEMU's default) and kQcow2V2
// version 2; the compressed ones hold every cluster that compresses
// compressed.
enum class ImageFormat {
  kRaw,
  kSplit,
  kE01,
  kVhd,
  kVmdk,
  kVhdx,
  kQcow,
  kQcow2,
  kQcow2Compressed,
  kQcow2V2,
  kQcow2V2Compressed,
};

// Volumes one after the other behind a partition table, each starting at a
// whole MiB, the first at 1 MiB; without a table, one bare volume.
struct DiskRecipe {
  PartitionTable table;
  std::vector<VolumeRecipe> volumes;
  ImageFormat format = ImageFormat::kRaw;
};

struct BuiltImage {
  bool built = false;
  // Unless built, why; `missing_tool` when a tool, a device or the right to
  // mount is missing rather than a tool having failed.
  std::string why;
  bool missing_tool = false;
  std::string path;    // what VORLKIT_IMAGE names (a split image: its .001)
  std::string folder;  // the image's files and nothing else
  std::string raw;     // the same disk as one raw file
  std::vector<uint64_t> offsets;          // of each volume, in bytes
  std::vector<std::string> volume_files;  // each volume alone, raw
  std::vector<VolumeShadows> shadows;     // of each volume, as `offsets`
};

const BuiltImage& BuildVolume(const VolumeRecipe& recipe);
const BuiltImage& BuildImage(const DiskRecipe& recipe);

// A raw copy of `from`'s disk, named `file_name`, changed by `change`, which
// returns an empty text or what went wrong. Made once per `file_name`.
const BuiltImage& ChangedImage(
    const BuiltImage& from, const std::string& file_name,
    const std::function<std::string(std::string* bytes)>& change);

// QCOW2 images made by qemu-img and qemu-io, each once per `label`.
enum class QcowChange {
  kOverlay,          // a new image whose backing file `from` is, by its path
  kRelativeOverlay,  // the same, named relative to the new image's folder
  kInPlace,          // a copy of `from`, changed where it is
};
// The disk of `changed` as a QCOW2 image made from the image `from` (QCOW2,
// or raw as a backing file): the clusters of 64 KiB where the two disks
// differ are written through qemu-io, those that `changed` holds as zeros
// as zero clusters. In place, a zero cluster keeps its room in the file and
// the bytes there.
const BuiltImage& QcowChanged(const std::string& label, const BuiltImage& from,
                              const BuiltImage& changed, QcowChange how);
// `disk` converted to QCOW2 with the qemu-img options `options` (-o).
const BuiltImage& QcowConverted(const std::string& label,
                                const BuiltImage& disk,
                                const std::string& options);
// A QCOW2 image of 64 MiB that names `backing_name` as its backing file,
// made without looking for it.
const BuiltImage& QcowNaming(const std::string& label,
                             const std::string& backing_name);

// A folder of the cache for a test's own files, made once per name.
std::string ImageScratch(const std::string& name);

// A run of a native program on an evidence image that VORLKIT_IMAGE names:
// its console and exit code, and its log after the start line. SystemRoot
// then names a Windows folder on the workstation holding a driver and a
// pnf file of its own, which no run on an image may examine.
struct ImageRun {
  RunResult run;
  std::string log;
};
ImageRun RunOnImage(const std::string& tool, const std::string& image,
                    const std::map<std::string, std::string>& env = {});

// The volume file mounted read-only through ntfs-3g while the object lives.
class NtfsMount {
 public:
  explicit NtfsMount(const std::string& volume_file);
  ~NtfsMount();
  NtfsMount(const NtfsMount&) = delete;
  NtfsMount& operator=(const NtfsMount&) = delete;
  bool mounted() const { return pid_ > 0; }
  const std::string& why() const { return why_; }
  const std::string& path() const { return path_; }

 private:
  pid_t pid_ = -1;
  std::string path_;
  std::string why_;
};

// A read-only loop device over a disk's raw file while the object lives: the
// disk as a block device, as behind a write blocker. `image()` names the
// device, with the disk's folder, or says why there is none.
class LoopDevice {
 public:
  explicit LoopDevice(const BuiltImage& disk);
  ~LoopDevice();
  LoopDevice(const LoopDevice&) = delete;
  LoopDevice& operator=(const LoopDevice&) = delete;
  const BuiltImage& image() const { return image_; }

 private:
  BuiltImage image_;
};

// Size, times and a hash of the bytes of every file in the image's folder,
// one line each, read without touching their access times.
std::string ImageState(const BuiltImage& image);

// Reading NTFS structures in a raw volume, for changes to make in it.
// The first offset at a 4 KiB boundary where `head` begins; npos if none.
size_t FindCluster(const std::string& volume, const std::string& head);
// The MFT record (1 KiB, signed "FILE") that names `utf8_name`; npos if none.
size_t FindFileRecord(const std::string& volume, const std::string& utf8_name);
// The unnamed attribute of `type` in the record at `record`; npos if none.
size_t FindAttribute(const std::string& volume, size_t record, uint32_t type);

// For writers that change a volume in steps (tests/e2e/shadow_copies.cc).
// Starts the FUSE program `argv` (its first word a program name) in the
// foreground and waits until the folder `mount` shows its file system; its
// process, or -1 with why.
pid_t StartFuseMount(std::vector<std::string> argv, const std::string& mount,
                     std::string* why);
// Unmounts `mount` and waits until the program `pid` has written everything
// and ended; "" when it ended well.
std::string StopFuseMount(const std::string& mount, pid_t pid);
// Lays `tree` below the root of a writable ntfs-3g mount: removes its
// `removed` paths, then makes its folders and writes its files.
std::string LayNtfsTree(const Tree& tree, const std::string& root);

// The test skips when an image could not be made for want of a tool or a
// right, but fails under CI, and whenever a tool failed.
#define SKIP_OR_FAIL_UNLESS_BUILT(image)                             \
  do {                                                               \
    const BuiltImage& built_ = (image);                              \
    if (!built_.built) {                                             \
      const char* ci = getenv("CI");                                 \
      if (built_.missing_tool && !(ci && std::string(ci) == "true")) \
        GTEST_SKIP() << built_.why;                                  \
      FAIL() << built_.why;                                          \
    }                                                                \
  } while (0)

#endif  // TESTS_E2E_IMAGES_H_

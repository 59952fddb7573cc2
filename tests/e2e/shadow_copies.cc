#include "tests/e2e/shadow_copies.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <set>

#include "tests/e2e/harness.h"

namespace {

constexpr uint64_t kBlock = 0x4000;  // every store block and saved block
constexpr uint64_t kVolumeHeader = 0x1E00;
constexpr size_t kBlockHeader = 128;
constexpr size_t kCatalogEntry = 128;
constexpr size_t kEntriesPerCatalogBlock = (kBlock - kBlockHeader) / 128;
constexpr size_t kDescriptorsPerBlock = (kBlock - kBlockHeader) / 32;
constexpr size_t kRangesPerBlock = (kBlock - kBlockHeader) / 24;
constexpr uint64_t kBitsPerBitmapBlock = (kBlock - kBlockHeader) * 8;

enum RecordType : uint32_t {
  kVolumeHeaderRecord = 1,
  kCatalogRecord = 2,
  kBlockListRecord = 3,
  kStoreHeaderRecord = 4,
  kRangeListRecord = 5,
  kBitmapRecord = 6,
};

const char kStoreSuffix[] = "{3808876b-c176-4e48-b7ae-04046e6cc752}";
const char kFolder[] = "System Volume Information";
// Begins every cluster of the catalog and store files as ntfs-3g writes
// them, followed by the file's number and the cluster's, so that the raw
// volume shows where each cluster went.
const char kMarker[] = "VORLKIT VSS SPACE ";
constexpr size_t kMarkerSize = sizeof kMarker - 1;

void Put(std::string* bytes, size_t at, uint64_t value, int size) {
  for (int i = 0; i < size; ++i)
    (*bytes)[at + i] = static_cast<char>(value >> (8 * i));
}

uint64_t Get(const std::string& bytes, size_t at, int size) {
  uint64_t value = 0;
  if (at + size > bytes.size()) return 0;
  for (int i = size - 1; i >= 0; --i)
    value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
  return value;
}

// A GUID as its text and as stored: the first three fields little-endian.
struct Guid {
  unsigned char bytes[16];  // in text order

  std::string Text() const {
    char text[40];
    snprintf(text, sizeof text,
             "{%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-"
             "%02x%02x%02x%02x%02x%02x}",
             bytes[0], bytes[1], bytes[2], bytes[3], bytes[4], bytes[5],
             bytes[6], bytes[7], bytes[8], bytes[9], bytes[10], bytes[11],
             bytes[12], bytes[13], bytes[14], bytes[15]);
    return text;
  }
  std::string Stored() const {
    static const int kOrder[16] = {3, 2, 1,  0,  5,  4,  7,  6,
                                   8, 9, 10, 11, 12, 13, 14, 15};
    std::string out;
    for (int i : kOrder) out.push_back(static_cast<char>(bytes[i]));
    return out;
  }
};

const Guid kVssIdentifier = {{0x38, 0x08, 0x87, 0x6b, 0xc1, 0x76, 0x4e, 0x48,
                              0xb7, 0xae, 0x04, 0x04, 0x6e, 0x6c, 0xc7, 0x52}};

// A random-looking version 4 GUID that is the same in every run for `seed`.
Guid GuidOf(const std::string& seed) {
  Guid guid;
  uint64_t hash = 14695981039346656037ull;  // FNV-1a
  for (int i = 0; i < 16; ++i) {
    for (char c : seed + static_cast<char>(i))
      hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
    guid.bytes[i] = static_cast<unsigned char>(hash >> 56);
  }
  guid.bytes[6] = (guid.bytes[6] & 0x0f) | 0x40;
  guid.bytes[8] = (guid.bytes[8] & 0x3f) | 0x80;
  return guid;
}

std::string SystemError(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + strerror(errno);
}

BuiltImage Failed(const std::string& why, bool missing_tool = false) {
  BuiltImage image;
  image.why = why;
  image.missing_tool = missing_tool;
  return image;
}

// The path of a program of the system, or "" when it is not installed.
std::string ToolPath(const std::string& name) {
  for (const char* folder : {"/usr/sbin", "/usr/bin", "/sbin", "/bin"}) {
    std::string path = std::string(folder) + "/" + name;
    if (access(path.c_str(), X_OK) == 0) return path;
  }
  return "";
}

// "" when every program is installed, else which is not.
std::string MissingTool(const std::vector<std::string>& names) {
  for (const std::string& name : names)
    if (ToolPath(name).empty()) return name + " is not installed";
  return "";
}

// Writes `bytes` to a new file at `path`, leaving runs of zeros as holes.
std::string WriteSparse(const std::string& path, const std::string& bytes) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return SystemError("cannot create", path);
  std::string why;
  if (ftruncate(fd, static_cast<off_t>(bytes.size())) != 0)
    why = SystemError("cannot size", path);
  const size_t kChunk = 1 << 16;
  for (size_t at = 0; why.empty() && at < bytes.size(); at += kChunk) {
    size_t size = std::min(kChunk, bytes.size() - at);
    if (bytes.find_first_not_of('\0', at) >= at + size) continue;
    if (pwrite(fd, bytes.data() + at, size, static_cast<off_t>(at)) !=
        static_cast<ssize_t>(size))
      why = SystemError("cannot write", path);
  }
  if (close(fd) != 0 && why.empty()) why = SystemError("cannot close", path);
  return why;
}

// A new empty folder below the cache folder `parent`, for a mount.
std::string NewMountFolder(const std::string& parent) {
  std::string pattern = parent + "/mount.XXXXXX";
  return mkdtemp(&pattern[0]) != nullptr ? pattern : "";
}

// A FUSE file system while the object lives: unmounted and waited for when it
// goes, also when a check fails half-way.
class FuseMount {
 public:
  explicit FuseMount(std::vector<std::string> argv_without_mount) {
    path_ = NewMountFolder(ImageScratch("vss-mounts"));
    if (path_.empty()) {
      why_ =
          SystemError("cannot make a mount folder for", argv_without_mount[0]);
      return;
    }
    argv_without_mount.push_back(path_);
    pid_ = StartFuseMount(argv_without_mount, path_, &why_);
  }
  ~FuseMount() { Unmount(); }
  FuseMount(const FuseMount&) = delete;
  FuseMount& operator=(const FuseMount&) = delete;

  bool mounted() const { return pid_ > 0; }
  const std::string& why() const { return why_; }
  const std::string& path() const { return path_; }
  // "" when the program ended well after the unmount.
  std::string Unmount() {
    std::string why;
    if (pid_ > 0) why = StopFuseMount(path_, pid_);
    pid_ = -1;
    if (!path_.empty()) rmdir(path_.c_str());
    path_.clear();
    return why;
  }

 private:
  pid_t pid_ = -1;
  std::string path_;
  std::string why_;
};

// Copies the volume file `from` to `to` and makes `changes` on it through a
// writable ntfs-3g mount.
std::string MakeState(const std::string& from, const std::string& to,
                      const Tree& changes) {
  std::string why = WriteSparse(to, ReadFileBytes(from));
  if (!why.empty()) return why;
  FuseMount mount({"ntfs-3g", "-o", "compression,no_detach", to});
  if (!mount.mounted()) return mount.why();
  why = LayNtfsTree(changes, mount.path());
  std::string unmounted = mount.Unmount();
  return why.empty() ? unmounted : why;
}

// The NTFS geometry that finding clusters needs, from the boot sector.
struct Geometry {
  uint64_t cluster = 0;  // bytes
  uint64_t mft = 0;      // byte offset of the MFT
  uint64_t record = 0;   // bytes of an MFT record
};

bool ReadGeometry(const std::string& volume, Geometry* geometry) {
  uint64_t sector = Get(volume, 0x0B, 2);
  uint64_t per_cluster = Get(volume, 0x0D, 1);
  if (per_cluster > 0x80) per_cluster = uint64_t{1} << (256 - per_cluster);
  geometry->cluster = sector * per_cluster;
  if (geometry->cluster < 512 || geometry->cluster > (2u << 20)) return false;
  geometry->mft = Get(volume, 0x30, 8) * geometry->cluster;
  int8_t record = static_cast<int8_t>(Get(volume, 0x40, 1));
  geometry->record = record < 0
                         ? uint64_t{1} << -record
                         : static_cast<uint64_t>(record) * geometry->cluster;
  return geometry->record >= 512 && geometry->mft < volume.size();
}

// The volume's cluster allocation bitmap ($Bitmap, MFT record 6), or "" when
// it cannot be read.
std::string AllocationBitmap(const std::string& volume) {
  Geometry geometry;
  if (!ReadGeometry(volume, &geometry)) return "";
  const size_t start = geometry.mft + 6 * geometry.record;
  if (start + geometry.record > volume.size()) return "";
  std::string record = volume.substr(start, geometry.record);
  // Undo the update sequence: the last two bytes of each sector.
  size_t sequence = Get(record, 4, 2), count = Get(record, 6, 2);
  for (size_t i = 1; i < count && i * 512 <= record.size(); ++i)
    record.replace(i * 512 - 2, 2, record, sequence + 2 * i, 2);
  for (size_t at = Get(record, 0x14, 2); at + 0x40 <= record.size();) {
    uint64_t type = Get(record, at, 4), length = Get(record, at + 4, 4);
    if (type == 0xffffffff || length < 16) break;
    if (type == 0x80 && record[at + 8] == 1 && record[at + 9] == 0) {
      uint64_t size = Get(record, at + 0x30, 8);
      std::string bitmap;
      uint64_t lcn = 0;
      for (size_t run = at + Get(record, at + 0x20, 2);
           run < at + length && record[run] != 0 && bitmap.size() < size;) {
        const unsigned char head = static_cast<unsigned char>(record[run]);
        const int length_size = head & 0xf, offset_size = head >> 4;
        uint64_t clusters = Get(record, run + 1, length_size);
        uint64_t offset = Get(record, run + 1 + length_size, offset_size);
        if (offset_size > 0 && offset_size < 8 &&
            offset >> (8 * offset_size - 1))
          offset |= ~uint64_t{0} << (8 * offset_size);
        lcn += offset;
        if (lcn * geometry.cluster > volume.size()) return "";
        bitmap +=
            volume.substr(lcn * geometry.cluster, clusters * geometry.cluster);
        run += 1 + length_size + offset_size;
      }
      return bitmap.size() >= size ? bitmap.substr(0, size) : "";
    }
    at += length;
  }
  return "";
}

bool Allocated(const std::string& bitmap, uint64_t cluster) {
  return cluster / 8 >= bitmap.size() ||
         (static_cast<unsigned char>(bitmap[cluster / 8]) >> (cluster % 8) & 1);
}

// The offsets of the blocks where `older` and `newer` differ, outside
// `excluded`.
std::vector<uint64_t> ChangedBlocks(const std::string& older,
                                    const std::string& newer,
                                    const std::set<uint64_t>& excluded) {
  std::vector<uint64_t> out;
  const size_t size = std::min(older.size(), newer.size());
  for (uint64_t at = 0; at + kBlock <= size; at += kBlock)
    if (!excluded.count(at) && older.compare(at, kBlock, newer, at, kBlock))
      out.push_back(at);
  return out;
}

std::string BlockHeader(uint32_t type, uint64_t relative, uint64_t offset,
                        uint64_t next, uint64_t info_size = 0) {
  std::string header(kBlockHeader, '\0');
  header.replace(0, 16, kVssIdentifier.Stored());
  Put(&header, 16, 1, 4);
  Put(&header, 20, type, 4);
  Put(&header, 24, relative, 8);
  Put(&header, 32, offset, 8);
  Put(&header, 40, next, 8);
  Put(&header, 48, info_size, 8);
  return header;
}

// Runs of consecutive volume blocks among `blocks`: volume offset, offset
// from the first of `blocks`, size.
struct Range {
  uint64_t start, relative, size;
};

std::vector<Range> RangesOf(const std::vector<uint64_t>& blocks) {
  std::vector<Range> ranges;
  for (size_t i = 0; i < blocks.size(); ++i) {
    if (!ranges.empty() &&
        ranges.back().start + ranges.back().size == blocks[i])
      ranges.back().size += kBlock;
    else
      ranges.push_back({blocks[i], i * kBlock, kBlock});
  }
  return ranges;
}

size_t BlocksFor(size_t items, size_t per_block) {
  return std::max<size_t>(1, (items + per_block - 1) / per_block);
}

// What a store takes besides its saved blocks: its header, block lists,
// range lists and bitmaps.
struct StoreLayout {
  size_t block_lists, range_lists, bitmaps;
  size_t Metadata() const { return 1 + block_lists + range_lists + bitmaps; }
};

StoreLayout LayoutOf(size_t saved, size_t ranges, uint64_t volume_size) {
  return {BlocksFor(saved, kDescriptorsPerBlock),
          BlocksFor(ranges, kRangesPerBlock),
          BlocksFor((volume_size + kBlock - 1) / kBlock, kBitsPerBitmapBlock)};
}

// Writes into `volume` the store of one copy, in `space` (its blocks in
// order), holding the blocks `saved` of `state`.
void WriteStore(std::string* volume, const std::vector<uint64_t>& space,
                const std::vector<uint64_t>& saved, const std::string& state,
                const std::string& seed) {
  const std::vector<Range> ranges = RangesOf(space);
  const StoreLayout layout =
      LayoutOf(saved.size(), ranges.size(), volume->size());
  size_t next_block = 0;
  // Takes the next block of the store for a chain of `count` blocks of
  // `type`, and returns its index.
  auto chain = [&](size_t count, uint32_t type) {
    size_t first = next_block;
    for (size_t i = 0; i < count; ++i, ++next_block) {
      uint64_t next = i + 1 < count ? space[next_block + 1] : 0;
      volume->replace(
          space[next_block], kBlockHeader,
          BlockHeader(type, next_block * kBlock, space[next_block], next));
    }
    return first;
  };
  std::string info;
  info += GuidOf(seed + "/store-id").Stored();
  info += GuidOf(seed + "/copy").Stored();
  info += GuidOf(seed + "/set").Stored();
  info += std::string(
      "\x0d\0\0\0"
      "\0\0\0\0"
      "\x09\0\x42\0"
      "\0\0\0\0",
      16);
  const std::string machine = Utf16Le("KIT-HOST");
  for (int i = 0; i < 2; ++i) {
    info.push_back(static_cast<char>(machine.size()));
    info.push_back('\0');
    info += machine;
  }
  const size_t header = next_block++;
  volume->replace(
      space[header], kBlockHeader,
      BlockHeader(kStoreHeaderRecord, 0, space[header], 0, info.size()));
  volume->replace(space[header] + kBlockHeader, info.size(), info);
  const size_t block_lists = chain(layout.block_lists, kBlockListRecord);
  const size_t range_lists = chain(layout.range_lists, kRangeListRecord);
  const size_t bitmaps = chain(layout.bitmaps, kBitmapRecord);
  for (size_t i = 0; i < layout.bitmaps; ++i)
    volume->replace(space[bitmaps + i] + kBlockHeader, kBlock - kBlockHeader,
                    kBlock - kBlockHeader, '\0');
  for (size_t i = 0; i < layout.range_lists; ++i) {
    std::string entries(kBlock - kBlockHeader, '\0');
    for (size_t j = 0; j < kRangesPerBlock; ++j) {
      size_t r = i * kRangesPerBlock + j;
      if (r >= ranges.size()) break;
      Put(&entries, j * 24, ranges[r].start, 8);
      Put(&entries, j * 24 + 8, ranges[r].relative, 8);
      Put(&entries, j * 24 + 16, ranges[r].size, 8);
    }
    volume->replace(space[range_lists + i] + kBlockHeader, entries.size(),
                    entries);
  }
  for (size_t i = 0; i < layout.block_lists; ++i) {
    std::string descriptors(kBlock - kBlockHeader, '\0');
    for (size_t j = 0; j < kDescriptorsPerBlock; ++j) {
      size_t d = i * kDescriptorsPerBlock + j;
      if (d >= saved.size()) break;
      const size_t copy = next_block + d;
      Put(&descriptors, j * 32, saved[d], 8);
      Put(&descriptors, j * 32 + 8, copy * kBlock, 8);
      Put(&descriptors, j * 32 + 16, space[copy], 8);
      volume->replace(space[copy], kBlock, state, saved[d], kBlock);
    }
    volume->replace(space[block_lists + i] + kBlockHeader, descriptors.size(),
                    descriptors);
  }
}

// "2019-06-04 23:43:32" (UTC) as a FILETIME: 100 ns since 1601.
uint64_t FileTimeOf(const std::string& created, std::string* why) {
  struct tm parts = {};
  char end;
  if (sscanf(created.c_str(), "%d-%d-%d %d:%d:%d%c", &parts.tm_year,
             &parts.tm_mon, &parts.tm_mday, &parts.tm_hour, &parts.tm_min,
             &parts.tm_sec, &end) != 6) {
    *why = "not a time: " + created;
    return 0;
  }
  parts.tm_year -= 1900;
  parts.tm_mon -= 1;
  const int64_t seconds = timegm(&parts) + int64_t{11644473600};
  return static_cast<uint64_t>(seconds) * 10000000;
}

// The store of copy `index` of the volume `volume_name`, which names its file.
Guid StoreGuid(const std::string& volume_name, size_t index) {
  return GuidOf(volume_name + "/" + std::to_string(index) + "/store");
}

// The catalog and store files of the current volume, as ntfs-3g placed them.
struct StoreFiles {
  std::vector<uint64_t> requested;  // blocks asked for, catalog first
  // Each file's blocks that are wholly its own and free in every state, in
  // the file's order.
  std::vector<std::vector<uint64_t>> blocks;
};

// The clusters of a store file asked to hold `blocks` blocks: one block
// more, since where the clusters fall decides how many whole blocks they
// cover.
uint64_t ClustersFor(uint64_t blocks, uint64_t cluster) {
  return ((blocks + 1) * kBlock + cluster - 1) / cluster;
}

// Writes the catalog and store files of `files.requested` into the folder
// `root`, every cluster of them marked.
std::string WriteStoreFiles(const std::string& root, const StoreFiles& files,
                            const std::vector<std::string>& names,
                            uint64_t cluster) {
  const std::string folder = root + "/" + kFolder;
  if (mkdir(folder.c_str(), 0755) != 0)
    return SystemError("cannot make", folder);
  for (size_t f = 0; f < names.size(); ++f) {
    const std::string path = folder + "/" + names[f];
    const uint64_t clusters = ClustersFor(files.requested[f], cluster);
    std::string bytes(clusters * cluster, '\xa5');
    for (uint64_t c = 0; c < clusters; ++c) {
      std::string marker = kMarker;
      marker.resize(kMarkerSize + 12);
      Put(&marker, kMarkerSize, f, 4);
      Put(&marker, kMarkerSize + 4, c, 8);
      bytes.replace(c * cluster, marker.size(), marker);
    }
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) return SystemError("cannot create", path);
    size_t written = 0;
    for (ssize_t n = 1; n > 0 && written < bytes.size();) {
      n = write(fd, bytes.data() + written, bytes.size() - written);
      if (n > 0) written += static_cast<size_t>(n);
    }
    if (close(fd) != 0 || written < bytes.size())
      return SystemError("cannot write", path);
  }
  return "";
}

// Finds the marked clusters of the files in `volume` and the blocks of each
// that may hold stores: wholly in the file and free in every older state.
std::string FindStoreBlocks(const std::string& volume, uint64_t cluster,
                            const std::string& used_before, StoreFiles* files) {
  std::map<uint64_t, size_t> owner;  // cluster offset: file
  std::vector<std::vector<uint64_t>> clusters(files->requested.size());
  for (uint64_t at = 0; at + kMarkerSize + 12 <= volume.size(); at += cluster) {
    if (volume.compare(at, kMarkerSize, kMarker) != 0) continue;
    uint64_t f = Get(volume, at + kMarkerSize, 4);
    uint64_t c = Get(volume, at + kMarkerSize + 4, 8);
    if (f >= clusters.size() || c >= ClustersFor(files->requested[f], cluster))
      return "a stray store marker at byte " + std::to_string(at);
    if (clusters[f].size() <= c) clusters[f].resize(c + 1, 0);
    clusters[f][c] = at;
    owner[at] = f;
  }
  files->blocks.assign(clusters.size(), {});
  for (size_t f = 0; f < clusters.size(); ++f) {
    if (clusters[f].size() != ClustersFor(files->requested[f], cluster) ||
        std::count(clusters[f].begin(), clusters[f].end(), 0u) > 0)
      return "ntfs-3g did not keep every cluster of store file " +
             std::to_string(f) + " on the volume";
    std::set<uint64_t> taken;
    for (uint64_t at : clusters[f]) {
      for (uint64_t block = (at + kBlock - 1) / kBlock * kBlock;
           block < at + cluster && block + kBlock <= volume.size();
           block += kBlock) {
        bool usable = !taken.count(block);
        for (uint64_t c = block / cluster * cluster;
             usable && c < block + kBlock; c += cluster) {
          auto found = owner.find(c);
          usable = found != owner.end() && found->second == f &&
                   !Allocated(used_before, c / cluster);
        }
        if (usable) {
          taken.insert(block);
          files->blocks[f].push_back(block);
        }
      }
    }
  }
  return "";
}

// The creation time "2019-06-04 23:43:32" as vshadowinfo shows it.
std::string ShownTime(const std::string& created) {
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr",
                                        "May", "Jun", "Jul", "Aug",
                                        "Sep", "Oct", "Nov", "Dec"};
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  sscanf(created.c_str(), "%d-%d-%d %d:%d:%d", &year, &month, &day, &hour,
         &minute, &second);
  char text[64];
  snprintf(text, sizeof text, "%s %02d, %04d %02d:%02d:%02d.000000000 UTC",
           kMonths[(month + 11) % 12], day, year, hour, minute, second);
  return text;
}

// What vshadowinfo says of each store, one line each: the number of stores,
// then "Store <n>: <creation time>" in its order.
std::string StoresListed(const std::string& said) {
  std::string out;
  size_t at = 0;
  while (at < said.size()) {
    size_t end = said.find('\n', at);
    if (end == std::string::npos) end = said.size();
    std::string line = said.substr(at, end - at);
    at = end + 1;
    line.erase(std::remove(line.begin(), line.end(), '\t'), line.end());
    if (line.rfind("Number of stores:", 0) == 0 ||
        line.rfind("Store: ", 0) == 0)
      out += (out.empty() ? "" : "\n") + line;
    else if (line.rfind("Creation time: ", 0) == 0)
      out += " " + line;
  }
  return out;
}

// libvshadow numbers the stores by creation time, which increases with age.
std::string StoresWritten(const VolumeShadows& shadows) {
  std::string out = "Number of stores:" + std::to_string(shadows.copies.size());
  for (size_t i = 0; i < shadows.copies.size(); ++i)
    out += "\nStore: " + std::to_string(i + 1) +
           " Creation time: " + ShownTime(shadows.copies[i].created);
  return out;
}

// Checks the copies of the volume at `offset` of the raw disk `source`.
std::string CheckVolume(const std::string& source, uint64_t offset,
                        const VolumeShadows& shadows) {
  RunOptions options;
  options.timeout_seconds = 60;
  options.errors_path = ImageScratch("vss-logs") + "/vshadowinfo.err";
  RunResult info = RunCommand(
      {ToolPath("vshadowinfo"), "-o", std::to_string(offset), source}, options);
  if (info.exit_code != 0)
    return "vshadowinfo ended with " + std::to_string(info.exit_code) + ": " +
           ReadFileBytes(options.errors_path);
  const std::string listed = StoresListed(info.console);
  const std::string written = StoresWritten(shadows);
  if (listed != written)
    return "vshadowinfo lists\n" + listed + "\nwhere was written\n" + written;

  std::set<uint64_t> store_space;
  for (const auto& [start, size] : shadows.store_space)
    for (uint64_t block = start; block < start + size; block += kBlock)
      store_space.insert(block);
  FuseMount mount({"vshadowmount", "-v", "-o", std::to_string(offset), source});
  if (!mount.mounted()) return mount.why();
  std::string why;
  for (size_t i = 0; i < shadows.copies.size(); ++i) {
    const ShadowCopy& copy = shadows.copies[i];
    const std::string file = "vss" + std::to_string(i + 1);
    const std::string name = file + " (made " + copy.created + ")";
    const std::string shown = ReadFileBytes(mount.path() + "/" + file);
    const std::string state = ReadFileBytes(copy.state);
    // The stores' own space must be free in the state, which no copy reads
    // there.
    const std::string bitmap = AllocationBitmap(state);
    Geometry geometry;
    if (!ReadGeometry(state, &geometry)) why = "no NTFS boot sector in " + name;
    for (uint64_t block : store_space)
      for (uint64_t at = block; why.empty() && at < block + kBlock;
           at += geometry.cluster)
        if (bitmap.empty() || Allocated(bitmap, at / geometry.cluster))
          why = "the stores' own space at byte " + std::to_string(at) +
                " is in use in the state of " + name;
    if (!why.empty()) break;
    if (shown.size() != state.size()) {
      why = name + " holds " + std::to_string(shown.size()) +
            " bytes, its state " + std::to_string(state.size());
      break;
    }
    std::vector<uint64_t> differing = ChangedBlocks(state, shown, store_space);
    if (!differing.empty()) {
      why = name + " differs from its state in " +
            std::to_string(differing.size()) + " blocks, the first at byte " +
            std::to_string(differing[0]) + " of the volume";
      break;
    }
  }
  std::string unmounted = mount.Unmount();
  return why.empty() ? unmounted : why;
}

// The copies of `recipe`, oldest first, with their times and places in the
// catalog; "" or what is wrong with the recipe.
std::string PlanCopies(const VolumeRecipe& recipe, VolumeShadows* shadows,
                       std::vector<int>* order) {
  const size_t copies = recipe.shadows.size();
  *order = recipe.shadow_catalog_order;
  if (order->empty())
    for (size_t i = 0; i < copies; ++i) order->push_back(static_cast<int>(i));
  std::vector<int> sorted = *order;
  std::sort(sorted.begin(), sorted.end());
  for (size_t i = 0; i < copies; ++i)
    if (sorted.size() != copies || sorted[i] != static_cast<int>(i))
      return "the catalog order names each copy once";
  std::string why;
  for (size_t i = 0; why.empty() && i < copies; ++i) {
    ShadowCopy copy;
    copy.created = recipe.shadows[i].created;
    copy.filetime = FileTimeOf(copy.created, &why);
    copy.catalog_index = static_cast<int>(
        std::find(order->begin(), order->end(), static_cast<int>(i)) -
        order->begin());
    shadows->copies.push_back(copy);
  }
  // libvshadow orders the copies by creation time and takes no two alike.
  for (size_t i = 1; why.empty() && i < copies; ++i)
    if (shadows->copies[i].filetime <= shadows->copies[i - 1].filetime)
      why = "each copy is made after the one before";
  return why;
}

// Builds the raw file of every state and, from the newest, the current
// volume without its stores at `current`.
std::string BuildStates(const VolumeRecipe& recipe, VolumeShadows* shadows,
                        std::string* current) {
  VolumeRecipe first = recipe;
  first.name = recipe.name + "-state1";
  first.tree = recipe.shadows[0].changes;
  first.shadows.clear();
  first.shadow_catalog_order.clear();
  const BuiltImage& state1 = BuildVolume(first);
  if (!state1.built) return state1.why;
  const std::string folder = ImageScratch(recipe.name + "-states");
  std::vector<ShadowCopy>& copies = shadows->copies;
  copies[0].state = state1.path;
  for (size_t i = 1; i < copies.size(); ++i) {
    copies[i].state = folder + "/state" + std::to_string(i + 1) + ".raw";
    std::string why = MakeState(copies[i - 1].state, copies[i].state,
                                recipe.shadows[i].changes);
    if (!why.empty()) return why;
  }
  *current = folder + "/current-without-stores.raw";
  return MakeState(copies.back().state, *current, recipe.tree);
}

// The header at 0x1E00 that leads to the catalog.
std::string VolumeHeader(uint64_t catalog, const Guid& volume) {
  std::string header(512, '\0');
  header.replace(0, 16, kVssIdentifier.Stored());
  Put(&header, 16, 1, 4);
  Put(&header, 20, kVolumeHeaderRecord, 4);
  Put(&header, 24, kVolumeHeader, 8);
  Put(&header, 32, kVolumeHeader, 8);
  Put(&header, 48, catalog, 8);
  header.replace(64, 16, volume.Stored());
  header.replace(80, 16, volume.Stored());
  return header;
}

// The current volume with its stores placed: the files that hold them, and
// the blocks each store saves.
struct Placement {
  std::string volume;
  StoreFiles files;
  std::set<uint64_t> store_space;
  std::vector<std::vector<uint64_t>> saved;  // of each copy
};

// Makes the catalog and store files on the current volume, written to
// `path`, until they are large enough for what the stores must save: the
// blocks where each state differs from the next, the newest from the current
// volume as the store files and the volume header change it.
std::string PlaceStores(const VolumeRecipe& recipe,
                        const VolumeShadows& shadows,
                        const std::string& current, const std::string& path,
                        Placement* placement) {
  const size_t copies = shadows.copies.size();
  // The clusters any state uses, which no store may take, and the blocks
  // where each older state differs from the next.
  std::string used;
  std::vector<std::vector<uint64_t>> changes;
  std::string older = ReadFileBytes(shadows.copies[0].state);
  for (size_t i = 0; i < copies; ++i) {
    std::string bitmap = AllocationBitmap(older);
    if (bitmap.empty()) return "no allocation bitmap in a state";
    used.resize(std::max(used.size(), bitmap.size()), '\0');
    for (size_t b = 0; b < bitmap.size(); ++b) used[b] |= bitmap[b];
    std::string newer =
        ReadFileBytes(i + 1 < copies ? shadows.copies[i + 1].state : current);
    changes.push_back(ChangedBlocks(older, newer, {}));
    if (i + 1 < copies) older = std::move(newer);
  }
  const std::string& newest_state = older;
  Geometry geometry;
  if (!ReadGeometry(newest_state, &geometry)) return "no NTFS boot sector";
  const std::string unstored = ReadFileBytes(current);

  std::vector<std::string> names = {kStoreSuffix};
  StoreFiles& files = placement->files;
  const size_t catalog_blocks =
      BlocksFor(2 * copies + 1, kEntriesPerCatalogBlock);
  files.requested = {catalog_blocks};
  for (size_t i = 0; i < copies; ++i) {
    names.push_back(StoreGuid(recipe.name, i).Text() + kStoreSuffix);
    // The newest store also saves what making the store files changes.
    files.requested.push_back(
        LayoutOf(changes[i].size(), 1, unstored.size()).Metadata() +
        changes[i].size() + (i + 1 == copies ? 64 : 0));
  }
  std::vector<std::vector<uint64_t>>& saved = placement->saved;
  saved.assign(copies, {});
  for (int attempt = 0; attempt < 6; ++attempt) {
    std::string why = WriteSparse(path, unstored);
    if (why.empty()) {
      FuseMount mount({"ntfs-3g", "-o", "no_detach", path});
      why = mount.mounted()
                ? WriteStoreFiles(mount.path(), files, names, geometry.cluster)
                : mount.why();
      std::string unmounted = mount.Unmount();
      if (why.empty()) why = unmounted;
    }
    std::string& volume = placement->volume;
    if (why.empty()) {
      volume = ReadFileBytes(path);
      why = FindStoreBlocks(volume, geometry.cluster, used, &files);
    }
    if (!why.empty()) return why;
    std::set<uint64_t>& store_space = placement->store_space;
    store_space.clear();
    for (const auto& blocks : files.blocks)
      store_space.insert(blocks.begin(), blocks.end());
    const uint64_t catalog = files.blocks[0].empty() ? 0 : files.blocks[0][0];
    volume.replace(kVolumeHeader, 512,
                   VolumeHeader(catalog, GuidOf(recipe.name + "/volume")));
    bool fits = files.blocks[0].size() >= catalog_blocks;
    if (!fits) files.requested[0] += catalog_blocks + 2;
    for (size_t i = 0; i < copies; ++i) {
      saved[i].clear();
      if (i + 1 < copies) {
        for (uint64_t block : changes[i])
          if (!store_space.count(block)) saved[i].push_back(block);
      } else {
        saved[i] = ChangedBlocks(newest_state, volume, store_space);
      }
      const std::vector<uint64_t>& space = files.blocks[i + 1];
      size_t needed =
          LayoutOf(saved[i].size(), RangesOf(space).size(), volume.size())
              .Metadata() +
          saved[i].size();
      if (space.size() < needed) {
        files.requested[i + 1] += needed - space.size() + 2;
        fits = false;
      }
    }
    if (fits) return "";
  }
  return "the store files never held the stores";
}

// Writes the catalog into its blocks: a pair of entries for each copy, in
// `order`.
void WriteCatalog(const VolumeRecipe& recipe, const std::vector<int>& order,
                  VolumeShadows* shadows, Placement* placement) {
  std::string& volume = placement->volume;
  const std::vector<uint64_t>& blocks = placement->files.blocks[0];
  const size_t copies = shadows->copies.size();
  const size_t catalog_blocks =
      BlocksFor(2 * copies + 1, kEntriesPerCatalogBlock);
  for (size_t b = 0; b < catalog_blocks; ++b) {
    shadows->catalog_blocks.push_back(blocks[b]);
    volume.replace(blocks[b], kBlockHeader,
                   BlockHeader(kCatalogRecord, b * kBlock, blocks[b],
                               b + 1 < catalog_blocks ? blocks[b + 1] : 0));
    volume.replace(blocks[b] + kBlockHeader, kBlock - kBlockHeader,
                   kBlock - kBlockHeader, '\0');
  }
  for (size_t place = 0; place < copies; ++place) {
    const size_t i = static_cast<size_t>(order[place]);
    const Guid store_guid = StoreGuid(recipe.name, i);
    const std::vector<uint64_t>& space = placement->files.blocks[i + 1];
    std::string copy(kCatalogEntry, '\0'), store(kCatalogEntry, '\0');
    Put(&copy, 0, 2, 8);
    Put(&copy, 8, volume.size(), 8);
    copy.replace(16, 16, store_guid.Stored());
    Put(&copy, 32, i + 1, 8);
    Put(&copy, 40, 0x40, 8);
    Put(&copy, 48, shadows->copies[i].filetime, 8);
    const StoreLayout layout = LayoutOf(placement->saved[i].size(),
                                        RangesOf(space).size(), volume.size());
    Put(&store, 0, 3, 8);
    Put(&store, 8, space[1], 8);
    store.replace(16, 16, store_guid.Stored());
    Put(&store, 32, space[0], 8);
    Put(&store, 40, space[1 + layout.block_lists], 8);
    Put(&store, 48, space[1 + layout.block_lists + layout.range_lists], 8);
    Put(&store, 64, space.size() * kBlock, 8);
    for (size_t e = 0; e < 2; ++e) {
      const size_t entry = 2 * place + e;
      volume.replace(blocks[entry / kEntriesPerCatalogBlock] + kBlockHeader +
                         entry % kEntriesPerCatalogBlock * kCatalogEntry,
                     kCatalogEntry, e == 0 ? copy : store);
    }
  }
}

}  // namespace

BuiltImage MakeShadowedVolume(const VolumeRecipe& recipe) {
  if (recipe.file_system != FileSystem::kNtfs || recipe.shadows.empty())
    return Failed(recipe.name + ": shadow copies are made of NTFS states");
  VolumeShadows shadows;
  std::vector<int> order;
  std::string why = PlanCopies(recipe, &shadows, &order);
  if (!why.empty()) return Failed(recipe.name + ": " + why);
  // A volume whose copies cannot be checked is of no use to a test.
  why = MissingTool({"vshadowinfo", "vshadowmount"});
  if (!why.empty()) return Failed(why, true);
  BuiltImage image;
  image.folder = ImageScratch(recipe.name);
  image.path = image.raw = image.folder + "/" + recipe.name + ".raw";
  std::string current;
  Placement placement;
  why = BuildStates(recipe, &shadows, &current);
  if (why.empty())
    why = PlaceStores(recipe, shadows, current, image.path, &placement);
  if (!why.empty()) return Failed(recipe.name + ": " + why);

  for (size_t i = 0; i < shadows.copies.size(); ++i) {
    ShadowCopy& copy = shadows.copies[i];
    const std::vector<uint64_t>& space = placement.files.blocks[i + 1];
    WriteStore(&placement.volume, space, placement.saved[i],
               ReadFileBytes(copy.state),
               recipe.name + "/" + std::to_string(i));
    copy.store_header = space[0];
    copy.first_block_list = space[1];
    copy.saved_blocks = placement.saved[i].size();
  }
  WriteCatalog(recipe, order, &shadows, &placement);
  const std::set<uint64_t>& space = placement.store_space;
  for (const Range& range :
       RangesOf(std::vector<uint64_t>(space.begin(), space.end())))
    shadows.store_space.push_back({range.start, range.size});
  why = WriteSparse(image.path, placement.volume);
  if (!why.empty()) return Failed(recipe.name + ": " + why);
  image.built = true;
  image.offsets = {0};
  image.volume_files = {image.path};
  image.shadows = {shadows};
  return image;
}

std::string CheckShadowCopies(const BuiltImage& image) {
  if (!image.built) return image.why;
  std::string why = MissingTool({"vshadowinfo", "vshadowmount", "ewfmount"});
  if (!why.empty()) return why;
  bool any = false;
  for (const VolumeShadows& shadows : image.shadows)
    any |= !shadows.copies.empty();
  if (!any) return "no volume of " + image.path + " has shadow copies";
  const bool e01 = image.path.size() > 4 &&
                   image.path.compare(image.path.size() - 4, 4, ".E01") == 0;
  std::string source = image.raw;
  std::unique_ptr<FuseMount> ewf;
  if (e01) {
    ewf.reset(new FuseMount({"ewfmount", "-v", image.path}));
    if (!ewf->mounted()) return ewf->why();
    source = ewf->path() + "/ewf1";
  }
  for (size_t v = 0; why.empty() && v < image.shadows.size(); ++v) {
    if (image.shadows[v].copies.empty()) continue;
    why = CheckVolume(source, image.offsets.at(v), image.shadows[v]);
    if (!why.empty())
      why = "the volume at byte " + std::to_string(image.offsets[v]) + " of " +
            image.path + ": " + why;
  }
  if (ewf) {
    std::string unmounted = ewf->Unmount();
    if (why.empty()) why = unmounted;
  }
  return why;
}

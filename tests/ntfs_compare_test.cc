// The kit's NTFS reader against libtsk, libfsntfs and an ntfs-3g mount on
// volumes that mkntfs and ntfs-3g make here, each with the structures that
// one kind of file or folder brings: a B-tree of several levels, data in many
// runs and spread over extension records, holes, compression, attribute
// lists of names, 8.3 names, named streams and deleted entries, on clusters
// of 4 KiB to 2 MiB and sectors of 512 and 4096 bytes.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <ostream>
#include <string>

#include "gtest/gtest.h"
#include "tests/ntfs_compare.h"
#include "volume/ntfs_volume.h"

namespace {

bool InCi() {
  const char* ci = getenv("CI");
  return ci != nullptr && std::string(ci) == "true";
}

// Why images cannot be made here, or empty when they can.
std::string MissingTool() {
  if (geteuid() != 0) return "mounting with ntfs-3g needs root";
  if (access("/dev/fuse", R_OK | W_OK) != 0) return "/dev/fuse is missing";
  if (system("command -v mkntfs >/dev/null && command -v ntfs-3g >/dev/null "
             "&& command -v setfattr >/dev/null") != 0)
    return "mkntfs, ntfs-3g or setfattr is missing";
  return "";
}

std::string Scratch() {
  static std::string folder;
  if (folder.empty()) {
    char name[] = "/tmp/ntfs_compare.XXXXXX";
    if (mkdtemp(name) != nullptr) folder = name;
    // Left behind only when it holds what a failed test kept.
    atexit([] { rmdir(folder.c_str()); });
  }
  return folder;
}

struct Recipe {
  const char* name;
  int size_mib;
  const char* mount_options;
  // Run in the mounted volume's root by sh -e.
  const char* script;
  // The volume's geometry, as mkntfs takes it ("-c 65536"); its default of
  // 4 KiB clusters and 512-byte sectors when empty.
  const char* mkntfs_options = "";
};

// Makes the volume of `recipe`, unmounted again; empty when that failed,
// with the reason in `*why`.
std::string Build(const Recipe& recipe, std::string* why) {
  std::string folder = Scratch() + "/" + recipe.name;
  std::string image = folder + ".img";
  std::string script_path = folder + ".sh";
  {
    std::ofstream script(script_path);
    script << "set -e\n"
           << "mkdir -p '" << folder << "'\n"
           << "truncate -s " << recipe.size_mib << "M '" << image << "'\n"
           << "mkntfs -F -q -f " << recipe.mkntfs_options << " '" << image
           << "'\n"
           << "ntfs-3g -o no_detach," << recipe.mount_options << " '" << image
           << "' '" << folder << "' &\n"
           << "pid=$!\n"
           << "for i in $(seq 100); do mountpoint -q '" << folder
           << "' && break; sleep 0.1; done\n"
           << "mountpoint -q '" << folder << "'\n"
           << "status=0\n"
           << "(cd '" << folder << "' && set -e && " << recipe.script
           << ") || status=$?\n"
           << "umount '" << folder << "'\n"
           << "wait $pid\n"
           << "exit $status\n";
  }
  std::string log = folder + ".log";
  if (system(("sh " + script_path + " >" + log + " 2>&1").c_str()) != 0) {
    std::ifstream in(log);
    *why = "making the image " + image +
           " failed: " + std::string(std::istreambuf_iterator<char>(in), {});
    return "";
  }
  return image;
}

// Removes a built image and its files, unless KIT_KEEP_IMAGES asks to keep
// them for a look.
void Remove(const std::string& image) {
  if (getenv("KIT_KEEP_IMAGES") != nullptr) return;
  std::string base = image.substr(0, image.size() - 4);
  system(("rm -rf '" + base + "' '" + base + ".img' '" + base + ".sh' '" +
          base + ".log'")
             .c_str());
}

struct FileImage {
  int fd = -1;
  ~FileImage() {
    if (fd >= 0) close(fd);
  }
};

bool ReadFileImage(void* context, uint64_t offset, void* buffer,
                   size_t length) {
  int fd = static_cast<FileImage*>(context)->fd;
  return pread(fd, buffer, length, static_cast<off_t>(offset)) ==
         static_cast<ssize_t>(length);
}

// The built image opened through the reader, for the checks that the image
// holds what it is meant to.
struct Opened {
  FileImage file;
  NtfsVolumePtr volume;
};

bool Open(const std::string& image, Opened* opened) {
  opened->file.fd = open(image.c_str(), O_RDONLY);
  struct stat status;
  if (opened->file.fd < 0 || fstat(opened->file.fd, &status) != 0) return false;
  VolumeReader reader;
  reader.context = &opened->file;
  reader.read = ReadFileImage;
  reader.size = static_cast<uint64_t>(status.st_size);
  return OpenNtfsVolume(reader, &opened->volume) == kErrorSuccess;
}

const NtfsEntry* Find(const std::vector<NtfsEntry>& entries,
                      const WideString& name) {
  for (const NtfsEntry& entry : entries)
    if (entry.name == name) return &entry;
  return nullptr;
}

// The image mounted read-only by ntfs-3g, in the folder where it was laid,
// while the object lives.
class ReadOnlyMount {
 public:
  explicit ReadOnlyMount(const std::string& image)
      : path_(image.substr(0, image.size() - 4)) {
    mounted_ =
        system(("ntfs-3g -o ro '" + image + "' '" + path_ + "'").c_str()) == 0;
  }
  ~ReadOnlyMount() {
    if (mounted_) system(("umount '" + path_ + "'").c_str());
  }
  ReadOnlyMount(const ReadOnlyMount&) = delete;
  ReadOnlyMount& operator=(const ReadOnlyMount&) = delete;
  bool mounted() const { return mounted_; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  bool mounted_ = false;
};

// What istat says of a record of the image.
std::string Istat(const std::string& image, uint64_t record,
                  const char* options = "") {
  std::string text;
  FILE* out = popen(("istat " + std::string(options) + " '" + image + "' " +
                     std::to_string(record) + " 2>&1")
                        .c_str(),
                    "r");
  if (out == nullptr) return text;
  char buffer[4096];
  size_t got;
  while ((got = fread(buffer, 1, sizeof buffer, out)) > 0)
    text.append(buffer, got);
  pclose(out);
  return text;
}

// Each image, and what the reader must see in it beyond agreeing with the
// others, so that the comparison is known to cover that structure.
struct Case {
  Recipe recipe;
  std::function<void(NtfsVolume*, const std::string& image)> check;
  // Where a library is not held against the reader, or differs from it
  // where Windows lists what the reader lists; each case says why.
  bool libtsk = true;
  KnownDifferences libtsk_known = {};
  bool libfsntfs = true;
  KnownDifferences libfsntfs_known = {};
};

void PrintTo(const Case& c, std::ostream* out) { *out << c.recipe.name; }

// Long names fill index blocks fast: 2000 of them make a B-tree of three
// levels. Case twins and deleted names in the same folder.
const char kIndexScript[] =
    "mkdir big && cd big && "
    "for i in $(seq 1000 2999); do "
    "  echo $i > long_name_of_entry_number_$i.with.some.more.text; done && "
    "echo a > Twin && echo b > TWIN && echo c > twin && "
    "rm long_name_of_entry_number_1*7.with.some.more.text && "
    "mkdir sub && echo inner > sub/inner.txt";

void CheckIndex(NtfsVolume* volume, const std::string&) {
  std::vector<NtfsEntry> entries;
  ASSERT_EQ(ListNtfsFolder(volume, u"\\big", &entries), kErrorSuccess);
  EXPECT_EQ(entries.size(), 2000u - 100u + 4u);
  EXPECT_NE(Find(entries, u"TWIN"), nullptr);
  EXPECT_EQ(
      Find(entries, u"long_name_of_entry_number_1007.with.some.more.text"),
      nullptr);
  ASSERT_EQ(ListNtfsFolder(volume, u"\\BIG\\Sub", &entries), kErrorSuccess);
  EXPECT_EQ(entries.size(), 1u);
}

// A folder's index node is found at its VCN: in clusters where an index
// block (4 KiB) spans one or more clusters, in 512-byte units where the
// block is smaller than a cluster, as Windows, ntfs-3g and the reader take
// it. libfsntfs 20200921 finds the nodes only where a cluster is as large
// as a block: elsewhere it seeks every node but the one at VCN 0 in the
// wrong place, and leaves their entries out.
const char kLibfsntfsMissesIndexNodes[] = ": only the reader lists ";
// libtsk 4.11 seeks them wrongly too where a block is smaller than a
// cluster, but lists their entries all the same, found through their MFT
// records' parent references, without the type that an index entry gives.
const char kLibtskTypesNoIndexNode[] = ": libtsk does not say whether it is";

const Case kCases[] = {
    {{"index", 24, "rw", kIndexScript}, CheckIndex},
    // The index of the same folder where a block spans eight clusters,
    // where a cluster holds sixteen blocks or 512 of them, and where a block
    // is one sector, or a sixteenth of the cluster of sixteen sectors. The
    // mount holds the reader to ntfs-3g's listing where the libraries
    // differ.
    {{"index_512_clusters", 24, "rw", kIndexScript, "-c 512"},
     CheckIndex,
     true,
     {},
     true,
     {kLibfsntfsMissesIndexNodes}},
    {{"index_64k_clusters", 64, "rw", kIndexScript, "-c 65536"},
     CheckIndex,
     true,
     {kLibtskTypesNoIndexNode},
     true,
     {kLibfsntfsMissesIndexNodes}},
    // libtsk 4.11 refuses clusters above 64 KiB: libfsntfs and the mount
    // alone read this volume beside the reader.
    {{"index_2m_clusters", 512, "rw", kIndexScript, "-c 2097152"},
     CheckIndex,
     false,
     {},
     true,
     {kLibfsntfsMissesIndexNodes}},
    {{"index_4k_sectors", 24, "rw", kIndexScript, "-s 4096"}, CheckIndex},
    // libfsntfs fails outright here, on the first node that it seeks past
    // the end of the index, and lists nothing of the root: libtsk and the
    // mount read this volume beside the reader.
    {{"index_4k_sectors_64k_clusters", 64, "rw", kIndexScript,
      "-s 4096 -c 65536"},
     CheckIndex,
     true,
     {kLibtskTypesNoIndexNode},
     false},
    {{"short_names", 16, "rw",
      // 400 files with 8.3 names of their own: a long name's index entry
      // and its 8.3 name's lie in different nodes of the B-tree.
      "mkdir drivers && cd drivers && for i in $(seq 1000 1399); do "
      "  echo $i > a_long_name_$i.sysx && "
      "  setfattr -n system.ntfs_dos_name -v X$i~1.SYS a_long_name_$i.sysx; "
      "done"},
     [](NtfsVolume* volume, const std::string&) {
       std::vector<NtfsEntry> entries;
       ASSERT_EQ(ListNtfsFolder(volume, u"\\drivers", &entries), kErrorSuccess);
       ASSERT_EQ(entries.size(), 400u);
       for (const NtfsEntry& entry : entries)
         EXPECT_EQ(entry.short_name,
                   u"X" + entry.name.substr(12, 4) + u"~1.SYS")
             << NativeFromWide(entry.name);
     },
     // libtsk gives a long name the 8.3 name only when it meets the two in
     // the same node. Windows, libfsntfs and ntfs-3g give every one its
     // own.
     true,
     {": libtsk gives no 8.3 name"}},
    {{"runs", 12, "rw",
      // A sparse file written in 400 pieces apart: more runs than a record
      // holds, so that its $DATA goes on in extension records. A sparse
      // file with data amid holes. Then the free space filled with files
      // of one cluster, every second one deleted, and a file laid into the
      // holes.
      "truncate -s 52428800 spread.bin && "
      "for i in $(seq 0 399); do head -c 4096 /dev/urandom | "
      "  dd of=spread.bin bs=4096 seek=$((i * 32)) conv=notrunc status=none; "
      "done && "
      "truncate -s 20000000 sparse.bin && "
      "echo middle | dd of=sparse.bin bs=1 seek=9000001 conv=notrunc && "
      "echo tail | dd of=sparse.bin bs=1 seek=19999990 conv=notrunc && "
      "truncate -s 300000 sized.bin && "
      "mkdir fill && i=0 && "
      "while head -c 4096 /dev/urandom > fill/f$i 2>/dev/null; do "
      "  i=$((i+1)); done; "
      "rm -f fill/f$i && for j in $(seq 0 2 $i); do rm -f fill/f$j; done && "
      "head -c $((i * 4096 * 2 / 5)) /dev/urandom > fragmented.bin"},
     [](NtfsVolume* volume, const std::string& image) {
       std::vector<NtfsEntry> entries;
       ASSERT_EQ(ListNtfsFolder(volume, u"", &entries), kErrorSuccess);
       const NtfsEntry* spread = Find(entries, u"spread.bin");
       ASSERT_NE(spread, nullptr);
       EXPECT_NE(Istat(image, spread->record).find("$ATTRIBUTE_LIST"),
                 std::string::npos);
       const NtfsEntry* fragmented = Find(entries, u"fragmented.bin");
       ASSERT_NE(fragmented, nullptr);
       std::string runs = Istat(image, fragmented->record, "-r");
       size_t count = 0;
       for (size_t at = 0;
            (at = runs.find("Starting address", at)) != std::string::npos; ++at)
         ++count;
       EXPECT_GT(count, 20u);
       const NtfsEntry* sparse = Find(entries, u"sparse.bin");
       ASSERT_NE(sparse, nullptr);
       NtfsFileInfo info;
       ASSERT_EQ(GetNtfsFileInfo(volume, sparse->record, &info), kErrorSuccess);
       EXPECT_EQ(info.size, 20000000u);
       EXPECT_TRUE(info.sparse);
       char middle[7] = {};
       size_t got = 0;
       ASSERT_EQ(ReadNtfsFile(volume, sparse->record, 9000001, middle, 6, &got),
                 kErrorSuccess);
       EXPECT_EQ(std::string(middle, got), "middle");
     }},
    {{"compressed", 16, "rw,compression",
      // Units that compress, units that do not, and a hole amid them.
      "mkdir packed && "
      "setfattr -n system.ntfs_attrib_be -v 0x00000800 packed && "
      "seq 1 40000 > packed/numbers.txt && "
      "head -c 100000 /dev/urandom > packed/random.bin && "
      "(seq 1 5000; head -c 70000 /dev/urandom; seq 1 9000) > packed/mixed && "
      "truncate -s 1000000 packed/holey && "
      "seq 1 3000 | dd of=packed/holey bs=1 seek=500000 conv=notrunc && "
      "echo small > packed/small.txt"},
     [](NtfsVolume* volume, const std::string&) {
       std::vector<NtfsEntry> entries;
       ASSERT_EQ(ListNtfsFolder(volume, u"\\packed", &entries), kErrorSuccess);
       const NtfsEntry* numbers = Find(entries, u"numbers.txt");
       ASSERT_NE(numbers, nullptr);
       NtfsFileInfo info;
       ASSERT_EQ(GetNtfsFileInfo(volume, numbers->record, &info),
                 kErrorSuccess);
       EXPECT_TRUE(info.compressed);
       char head[8] = {};
       size_t got = 0;
       ASSERT_EQ(ReadNtfsFile(volume, numbers->record, 0, head, 8, &got),
                 kErrorSuccess);
       EXPECT_EQ(std::string(head, got), "1\n2\n3\n4\n");
     }},
    {{"names", 16, "rw",
      // 200 hard links with long names: the names outgrow the record into
      // an attribute list. 8.3 names, named streams and deleted files.
      "mkdir links drivers && echo linked > links/target && "
      "for i in $(seq 1 200); do "
      "  ln links/target links/a_rather_long_hard_link_name_number_$i; done && "
      "ln links/target drivers/elsewhere && "
      "echo driver > drivers/x.sysx && "
      "setfattr -n system.ntfs_dos_name -v 'X~1.SYS' drivers/x.sysx && "
      "echo long > 'drivers/A long name.txt' && "
      "setfattr -n system.ntfs_dos_name -v 'ALONGN~1.TXT' "
      "'drivers/A long name.txt' && "
      "echo both > drivers/BOTH.SYS && "
      "setfattr -n system.ntfs_dos_name -v BOTH.SYS drivers/BOTH.SYS && "
      "echo unnamed > drivers/streams.sys && "
      "setfattr -n user.hidden -v not_the_file drivers/streams.sys && "
      "setfattr -n user.big -v \"$(seq 1 3000)\" drivers/streams.sys && "
      "echo gone > drivers/gone.sys && echo gone > drivers/gone2.sys && "
      "rm drivers/gone.sys drivers/gone2.sys"},
     [](NtfsVolume* volume, const std::string& image) {
       std::vector<NtfsEntry> entries;
       ASSERT_EQ(ListNtfsFolder(volume, u"\\links", &entries), kErrorSuccess);
       EXPECT_EQ(entries.size(), 201u);
       EXPECT_NE(Istat(image, entries[0].record).find("$ATTRIBUTE_LIST"),
                 std::string::npos);
       ASSERT_EQ(ListNtfsFolder(volume, u"\\drivers", &entries), kErrorSuccess);
       const NtfsEntry* driver = Find(entries, u"x.sysx");
       ASSERT_NE(driver, nullptr);
       EXPECT_EQ(driver->short_name, u"X~1.SYS");
       EXPECT_EQ(Find(entries, u"X~1.SYS"), nullptr);
       // One name in the Win32 and the DOS namespace at once.
       const NtfsEntry* both = Find(entries, u"BOTH.SYS");
       ASSERT_NE(both, nullptr);
       EXPECT_EQ(both->short_name, u"BOTH.SYS");
       EXPECT_EQ(Find(entries, u"gone.sys"), nullptr);
       const NtfsEntry* streams = Find(entries, u"streams.sys");
       ASSERT_NE(streams, nullptr);
       char bytes[16];
       size_t got = 0;
       ASSERT_EQ(ReadNtfsFile(volume, streams->record, 0, bytes, 16, &got),
                 kErrorSuccess);
       EXPECT_EQ(std::string(bytes, got), "unnamed\n");
     },
     // A name in the Win32 and the DOS namespace at once is its own 8.3
     // name: the reader, libfsntfs and ntfs-3g give it as such, libtsk
     // gives none. Windows lists the one name either way.
     true,
     {"\"BOTH.SYS\" (8.3 \"BOTH.SYS\") record "}},
};

class NtfsCompare : public testing::TestWithParam<Case> {};

TEST_P(NtfsCompare, ReaderAgreesWithTheLibrariesAndTheMount) {
  std::string missing = MissingTool();
  if (!missing.empty()) {
    if (InCi()) FAIL() << missing;
    GTEST_SKIP() << missing;
  }
  std::string why;
  std::string image = Build(GetParam().recipe, &why);
  ASSERT_FALSE(image.empty()) << why;
  const Case& c = GetParam();
  std::string differences;
  if (c.libtsk) {
    EXPECT_TRUE(
        CompareNtfsReaderWithLibtsk(image, 0, &differences, c.libtsk_known))
        << differences;
  }
  if (c.libfsntfs) {
    EXPECT_TRUE(CompareNtfsReaderWithLibfsntfs(image, 0, &differences,
                                               c.libfsntfs_known))
        << differences;
  }
  {
    ReadOnlyMount mount(image);
    ASSERT_TRUE(mount.mounted()) << image;
    EXPECT_TRUE(
        CompareNtfsReaderWithMount(image, 0, mount.path(), &differences))
        << differences;
  }
  Opened opened;
  ASSERT_TRUE(Open(image, &opened));
  GetParam().check(opened.volume.get(), image);
  if (!HasFailure()) Remove(image);
}

// A volume that neither side can read is no agreement.
TEST(NtfsCompareFails, OnAVolumeThatIsNotNtfs) {
  std::string path = Scratch() + "/zeros.img";
  {
    std::ofstream zeros(path, std::ios::binary);
    zeros << std::string(1 << 20, '\0');
  }
  const std::function<bool(const std::string&, std::string*)> comparisons[] = {
      [](const std::string& image, std::string* differences) {
        return CompareNtfsReaderWithLibtsk(image, 0, differences);
      },
      [](const std::string& image, std::string* differences) {
        return CompareNtfsReaderWithLibfsntfs(image, 0, differences);
      },
      [](const std::string& image, std::string* differences) {
        return CompareNtfsReaderWithMount(image, 0, Scratch(), differences);
      },
  };
  for (const auto& compare : comparisons) {
    std::string differences;
    EXPECT_FALSE(compare(path, &differences));
    EXPECT_NE(differences.find("cannot open the volume"), std::string::npos)
        << differences;
    EXPECT_FALSE(compare(path + ".missing", &differences));
  }
  unlink(path.c_str());
}

// The mount of another volume, whose files have the same names made in the
// other order: entries that one side lists alone, and those that both list
// told apart by their records.
TEST(NtfsCompareFails, WhereTheMountHoldsAnotherVolume) {
  std::string missing = MissingTool();
  if (!missing.empty()) {
    if (InCi()) FAIL() << missing;
    GTEST_SKIP() << missing;
  }
  std::string why;
  std::string ours = Build({"ours", 8, "rw", "echo a > a && echo b > b"}, &why);
  ASSERT_FALSE(ours.empty()) << why;
  std::string theirs = Build(
      {"theirs", 8, "rw", "echo b > b && echo a > a && echo c > c"}, &why);
  ASSERT_FALSE(theirs.empty()) << why;
  {
    ReadOnlyMount mount(theirs);
    ASSERT_TRUE(mount.mounted());
    std::string differences;
    EXPECT_FALSE(
        CompareNtfsReaderWithMount(ours, 0, mount.path(), &differences));
    EXPECT_EQ(differences,
              "\\: entry 0: the reader \"a\" record 64, the mount \"a\" "
              "record 65\n"
              "\\: entry 1: the reader \"b\" record 65, the mount \"b\" "
              "record 64\n"
              "\\: only the mount lists \"c\" record 66\n");
  }
  for (const std::string& image : {ours, theirs}) Remove(image);
}

INSTANTIATE_TEST_SUITE_P(Images, NtfsCompare, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<Case>& info) {
                           return std::string(info.param.recipe.name);
                         });

}  // namespace

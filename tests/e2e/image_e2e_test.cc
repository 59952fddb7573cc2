// The three programs on evidence images named by VORLKIT_IMAGE: NTFS and FAT
// volumes bare or behind an MBR or a GPT, as raw, split, E01, VHD, VHDX, VMDK
// and QCOW images (QCOW2 on chains of backing files too), and images that are
// damaged, encrypted or no images at all. The volume must read as Windows
// reads it, and the image must stay as it was.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "tests/e2e/harness.h"
#include "tests/e2e/images.h"
#include "tests/e2e/messages.h"
#include "tests/ntfs_compare.h"

namespace {

const char* const kTools[] = {"drvscan", "noisegauge", "pairscan"};

std::string Filler(size_t size) { return std::string(size, '\x90'); }
std::string Zeros(size_t size) { return std::string(size, '\0'); }

uint32_t Read16(const std::string& bytes, size_t at) {
  return static_cast<unsigned char>(bytes[at]) |
         static_cast<unsigned char>(bytes[at + 1]) << 8;
}

std::string Examining(const std::string& folder, const std::string& system,
                      uint64_t offset, const std::string& image) {
  return "INFO: Examining the Windows folder " + folder + " of the " + system +
         " volume at byte " + std::to_string(offset) + " of " + image +
         " (VORLKIT_IMAGE)\r\n";
}

std::string CannotExamine(const std::string& image, const std::string& reason,
                          const std::string& code) {
  return "ERROR: Could not examine the image " + image + ": " + reason +
         ". Error code: 0x" + code + "\r\n";
}

std::string OpenError(const std::string& code) {
  return "ERROR: Could not read the specified file. Error code: 0x" + code +
         "\n";
}

std::string ReadError(const std::string& code) {
  return "ERROR: Could not open file for reading. Error code: 0x" + code +
         "\r\n";
}

std::string PnfOpenError(const std::string& name, const std::string& code) {
  return "ERROR: " + name +
         " - Could not open PNF file for reading. Error code: 0x" + code +
         "\r\n";
}

std::string PnfReadError(const std::string& name, const std::string& code) {
  return "ERROR: " + name +
         " - Could not read the specified file. Error code: 0x" + code + "\r\n";
}

std::string Entropy(const std::string& name, const std::string& digits) {
  return "SUSPICIOUS: The entropy of " + name +
         " is above threshold: " + digits + "\r\n";
}

// drvscan's lines for a file holding signature 1, 5 or 11.
std::string Hit1(const std::string& name) { return Checking(name) + kHit1; }
std::string Hit5(const std::string& name) { return Checking(name) + kHit5; }
std::string Hit11(const std::string& name) { return Checking(name) + kHit11; }
std::string Log1(const std::string& name) {
  return Logged(name, "decrypt magic1");
}
std::string Log5(const std::string& name) { return Logged(name, "C6 2A xor"); }
std::string Log11(const std::string& name) { return Logged(name, "79 F4 8B"); }

// noisegauge's lines for a file of EveryByte(), which is reported.
std::string Measured(const std::string& name) {
  return Checking(name) + AboveThreshold(name);
}

// pairscan's lines for a stem with and without its .inf file.
std::string Paired(const std::string& stem) { return Checking(stem); }
std::string Unpaired(const std::string& stem) {
  return Orphan(stem) + Checking(stem);
}

// What a tool says after its INFO line: on the console and in the log.
struct Said {
  std::string console;
  std::string log;
};

struct Walk {
  Said drvscan, noisegauge, pairscan;
  const Said& Of(const std::string& tool) const {
    return tool == "drvscan"      ? drvscan
           : tool == "noisegauge" ? noisegauge
                                  : pairscan;
  }
};

TreeFile Sparse(const std::string& path, uint64_t hole,
                const std::string& bytes) {
  TreeFile file = File(path, bytes);
  file.hole = hole;
  return file;
}

TreeFile Compressed(const std::string& path, const std::string& bytes) {
  TreeFile file = File(path, bytes);
  file.compressed = true;
  return file;
}

TreeFile Fragmented(const std::string& path, int fragments,
                    const std::string& bytes) {
  TreeFile file = File(path, bytes);
  file.fragments = fragments;
  return file;
}

TreeFile Deleted(const std::string& path, const std::string& bytes) {
  TreeFile file = File(path, bytes);
  file.deleted = true;
  return file;
}

TreeFile ShortNamed(const std::string& path, const std::string& short_name,
                    const std::string& bytes) {
  TreeFile file = File(path, bytes);
  file.short_name = short_name;
  return file;
}

TreeFile WithStream(const std::string& path, const std::string& bytes,
                    const std::string& stream,
                    const std::string& stream_bytes) {
  TreeFile file = File(path, bytes);
  file.streams.push_back({stream, stream_bytes});
  return file;
}

TreeFile Linked(const std::string& path, const std::string& bytes,
                std::vector<std::string> links) {
  TreeFile file = File(path, bytes);
  file.links = std::move(links);
  return file;
}

// A Windows folder on NTFS with three drivers and four pnf files. The last
// two of them are written last, so that their data lies behind the others'
// on the volume, and one driver is the one whose record the damage tests
// break.
VolumeRecipe PlainNtfs() {
  const std::string drivers = "Windows/System32/drivers/";
  const std::string inf = "Windows/inf/";
  return {
      "plain",
      FileSystem::kNtfs,
      8,
      {{},
       {File(drivers + "a.sys", Placed(4096, '\x90', 100, kRow1)),
        File(drivers + "victim.sys", Placed(8192, '\x90', 5000, kRow5)),
        File(inf + "oem1.pnf", EveryByte()), File(inf + "oem1.inf", ""),
        File(inf + "oem2.pnf", EveryByte()),
        File(inf + "zz.pnf", Repeat(EveryByte(), 32)),
        File(drivers + "zz.sys", Placed(65536 + 4096, 'z', 65536, kRow11))}}};
}

Walk PlainWalk(const std::string& windows) {
  const std::string stems = windows + "\\inf\\";
  return {{Hit1("a.sys") + Hit5("victim.sys") + Hit11("zz.sys"),
           Log1("a.sys") + Log5("victim.sys") + Log11("zz.sys")},
          {Measured("oem1.pnf") + Measured("oem2.pnf") + Checking("zz.pnf") +
               Entropy("zz.pnf", "0.998047"),
           AboveThreshold("oem1.pnf") + AboveThreshold("oem2.pnf") +
               Entropy("zz.pnf", "0.998047")},
          {Paired(stems + "oem1") + Unpaired(stems + "oem2") +
               Unpaired(stems + "zz"),
           Orphan(stems + "oem2") + Orphan(stems + "zz")}};
}

// A boot volume in front of the Windows one: a Windows folder without
// System32.
VolumeRecipe BootFat16() {
  return {"boot",
          FileSystem::kFat16,
          8,
          {{"EFI/Boot"}, {File("Windows/Boot/readme.txt", "boot files")}}};
}

// Windows XP installed on FAT32: WINDOWS as a bare 8.3 name, system32 in
// lower case, entries in the order they were made, one deleted, and one
// long name whose 8.3 name ends in .SYS.
VolumeRecipe XpFat32() {
  const std::string drivers = "WINDOWS/system32/drivers/";
  const std::string inf = "WINDOWS/inf/";
  return {"xp",
          FileSystem::kFat32,
          34,
          {{drivers + "dir.sys"},
           {File(drivers + "zz.sys", WithSignature(kRow1)),
            File(drivers + "ACPI.SYS", WithSignature(kRow5)),
            Deleted(drivers + "gone.sys", WithSignature(kRow1)),
            File(drivers + "ndis.sys", Filler(64)),
            File(drivers + "x.sysx", WithSignature(kRow11)),
            File(drivers + "LongDriverName.sys", WithSignature(kRow1)),
            File(inf + "oem2.pnf", EveryByte()),
            File(inf + "oem1.pnf", Zeros(256)), File(inf + "oem1.inf", ""),
            File(inf + "OEM3.PNF", EveryByte()), File(inf + "oem3.inf", "")}}};
}

Walk XpWalk() {
  const std::string stems = "\\WINDOWS\\inf\\";
  return {
      {OpenError("5") + Hit1("zz.sys") + Hit5("ACPI.SYS") +
           Checking("ndis.sys") + Hit11("x.sysx") + Hit1("LongDriverName.sys"),
       Log1("zz.sys") + Log5("ACPI.SYS") + Log11("x.sysx") +
           Log1("LongDriverName.sys")},
      {Measured("oem2.pnf") + Checking("oem1.pnf") + Measured("OEM3.PNF"),
       AboveThreshold("oem2.pnf") + AboveThreshold("OEM3.PNF")},
      {Unpaired(stems + "oem2") + Paired(stems + "oem1") +
           Paired(stems + "OEM3"),
       Orphan(stems + "oem2")}};
}

// One case of the table below: a Windows folder of its own in the features
// volume, named by VORLKIT_WINDOWS, and what each tool named says about it.
struct FolderCase {
  std::string folder;
  std::vector<TreeFile> files;       // paths below the case's folder
  std::vector<std::string> folders;  // likewise
  std::map<std::string, Said> said;  // by tool
};

std::vector<FolderCase> FolderCases() {
  const std::string d = "System32/drivers/", i = "inf/";
  std::vector<FolderCase> cases;
  // NTFS lists names upper-cased by its $UpCase table: é and É are one
  // letter, which comes after every ASCII one; so Éc.pnf pairs with éc.inf.
  cases.push_back(
      {"Order",
       {File(d + "\xc3\xa9"
                 "a.sys",
             WithSignature(kRow1)),
        File(d + "\xc3\x89"
                 "b.sys",
             WithSignature(kRow5)),
        File(d + "a.sys", WithSignature(kRow11)), File(d + "B.sys", ""),
        File(d + "_c.sys", ""), File(d + "z.sys", ""),
        File(i + "\xc3\x89"
                 "b.pnf",
             EveryByte()),
        File(i + "\xc3\xa9"
                 "a.pnf",
             EveryByte()),
        File(i + "\xc3\xa9"
                 "a.inf",
             ""),
        File(i + "\xc3\x89"
                 "c.pnf",
             EveryByte()),
        File(i + "\xc3\xa9"
                 "c.inf",
             "")},
       {},
       {{"drvscan",
         {Hit11("a.sys") + Checking("B.sys") + Checking("z.sys") +
              Checking("_c.sys") +
              Hit1("\xc3\xa9"
                   "a.sys") +
              Hit5("\xc3\x89"
                   "b.sys"),
          Log11("a.sys") +
              Log1("\xc3\xa9"
                   "a.sys") +
              Log5("\xc3\x89"
                   "b.sys")}},
        {"noisegauge",
         {Measured("\xc3\xa9"
                   "a.pnf") +
              Measured("\xc3\x89"
                       "b.pnf") +
              Measured("\xc3\x89"
                       "c.pnf"),
          AboveThreshold("\xc3\xa9"
                         "a.pnf") +
              AboveThreshold("\xc3\x89"
                             "b.pnf") +
              AboveThreshold("\xc3\x89"
                             "c.pnf")}},
        {"pairscan",
         {Paired("\\Order\\inf\\\xc3\xa9"
                 "a") +
              Unpaired("\\Order\\inf\\\xc3\x89"
                       "b") +
              Paired("\\Order\\inf\\\xc3\x89"
                     "c"),
          Orphan("\\Order\\inf\\\xc3\x89"
                 "b")}}}});
  // A long name that does not match, whose 8.3 name does.
  cases.push_back(
      {"Short",
       {ShortNamed(d + "x.sysx", "X~1.SYS", WithSignature(kRow1)),
        File(d + "plain.sysx", WithSignature(kRow5)),
        ShortNamed(i + "y.pnfx", "Y~1.PNF", EveryByte())},
       {},
       {{"drvscan", {Hit1("x.sysx"), Log1("x.sysx")}},
        {"noisegauge", {Measured("y.pnfx"), AboveThreshold("y.pnfx")}},
        {"pairscan",
         {Unpaired("\\Short\\inf\\y"), Orphan("\\Short\\inf\\y")}}}});
  cases.push_back({"Links",
                   {Linked(d + "one.sys", WithSignature(kRow1),
                           {d + "two.sys", "three.sys"})},
                   {},
                   {{"drvscan",
                     {Hit1("one.sys") + Hit1("two.sys"),
                      Log1("one.sys") + Log1("two.sys")}}}});
  // Named streams hold what would be reported, were they the file.
  cases.push_back(
      {"Streams",
       {WithStream(d + "ns.sys", Filler(64), "hidden", WithSignature(kRow1)),
        WithStream(d + "empty.sys", "", "x", WithSignature(kRow5)),
        WithStream(i + "s.pnf", Zeros(256), "hidden", EveryByte())},
       {},
       {{"drvscan", {Checking("empty.sys") + Checking("ns.sys"), ""}},
        {"noisegauge", {Checking("s.pnf"), ""}}}});
  cases.push_back(
      {"Deleted",
       {File(d + "a.sys", WithSignature(kRow1)),
        Deleted(d + "gone.sys", WithSignature(kRow5)),
        File(d + "m.sys", WithSignature(kRow11)),
        Deleted(d + "zz.sys", WithSignature(kRow5)),
        Deleted(i + "gone.pnf", EveryByte()),
        File(i + "kept.pnf", EveryByte())},
       {},
       {{"drvscan",
         {Hit1("a.sys") + Hit11("m.sys"), Log1("a.sys") + Log11("m.sys")}},
        {"noisegauge", {Measured("kept.pnf"), AboveThreshold("kept.pnf")}},
        {"pairscan",
         {Unpaired("\\Deleted\\inf\\kept"), Orphan("\\Deleted\\inf\\kept")}}}});
  // Holes read as zeros: a pnf of a hole and one run of every byte averages
  // far below the threshold.
  cases.push_back(
      {"Sparse",
       {Sparse(d + "hole.sys", 128 << 10, ""),
        Sparse(d + "sp.sys", 1 << 20, WithSignature(kRow11)),
        Sparse(i + "sp.pnf", 64 << 10, EveryByte())},
       {},
       {{"drvscan", {Checking("hole.sys") + Hit11("sp.sys"), Log11("sp.sys")}},
        {"noisegauge", {Checking("sp.pnf"), ""}}}});
  // Signatures across compression units (64 KiB), in data that compresses
  // and in data that does not.
  cases.push_back(
      {"Compressed",
       {Compressed(d + "cz.sys", Placed(200 << 10, 'c', (64 << 10) - 2, kRow1) +
                                     WithSignature(kRow11)),
        Compressed(d + "raw.sys", Incompressible(96 << 10) +
                                      WithSignature(kRow5) +
                                      Incompressible(8 << 10)),
        Compressed(i + "cz.pnf", Repeat(EveryByte(), 64))},
       {},
       {{"drvscan",
         {Hit1("cz.sys") + kHit11 + Hit5("raw.sys"),
          Log1("cz.sys") + Log11("cz.sys") + Log5("raw.sys")}},
        {"noisegauge",
         {Checking("cz.pnf") + Entropy("cz.pnf", "0.999023"),
          Entropy("cz.pnf", "0.999023")}}}});
  // Signatures across the seams of runs that lie apart on the volume.
  cases.push_back(
      {"Fragmented",
       {Fragmented(d + "fr.sys", 4,
                   Placed(32 << 10, '\x01', (8 << 10) - 4, kRow5)
                       .replace((16 << 10) - 8, kRow11.size(), kRow11)),
        Fragmented(i + "fr.pnf", 3, Repeat(EveryByte(), 48))},
       {},
       {{"drvscan",
         {Hit5("fr.sys") + kHit11, Log5("fr.sys") + Log11("fr.sys")}},
        {"noisegauge",
         {Checking("fr.pnf") + Entropy("fr.pnf", "0.998698"),
          Entropy("fr.pnf", "0.998698")}}}});
  // Names equal but for case: both are files of their own, in code-unit
  // order, and one .inf pairs them both.
  cases.push_back(
      {"Twins",
       {File(d + "Dup.sys", WithSignature(kRow1)),
        File(d + "DUP.SYS", WithSignature(kRow5)),
        File(i + "Dup.pnf", EveryByte()), File(i + "DUP.PNF", Zeros(256)),
        File(i + "dup.inf", "")},
       {},
       {{"drvscan",
         {Hit5("DUP.SYS") + Hit1("Dup.sys"),
          Log5("DUP.SYS") + Log1("Dup.sys")}},
        {"noisegauge",
         {Checking("DUP.PNF") + Measured("Dup.pnf"),
          AboveThreshold("Dup.pnf")}},
        {"pairscan",
         {Paired("\\Twins\\inf\\DUP") + Paired("\\Twins\\inf\\Dup"), ""}}}});
  // Folders where files are looked for: opened, they fail as Windows fails;
  // as a companion, a folder is there.
  cases.push_back(
      {"Folders",
       {File(d + "f.sys", WithSignature(kRow1)),
        File(i + "fold.pnf", EveryByte())},
       {d + "dir.sys", i + "dir.pnf", i + "fold.inf"},
       {{"drvscan", {OpenError("5") + Hit1("f.sys"), Log1("f.sys")}},
        {"noisegauge",
         {Checking("dir.pnf") + PnfOpenError("dir.pnf", "5") +
              Measured("fold.pnf"),
          PnfOpenError("dir.pnf", "5") + AboveThreshold("fold.pnf")}},
        {"pairscan",
         {Unpaired("\\Folders\\inf\\dir") + Paired("\\Folders\\inf\\fold"),
          Orphan("\\Folders\\inf\\dir")}}}});
  return cases;
}

// The Windows folder of the features volume, for the walks on the image and
// on its mount to be compared: every kind of entry of the cases, with ASCII
// names only and without 8.3 names, where the mount shows the volume as
// Windows does.
std::vector<TreeFile> MountedAlikeFiles() {
  const std::string d = "Windows/System32/drivers/", i = "Windows/inf/";
  return {
      File(d + "A.sys", WithSignature(kRow1) + WithSignature(kRow5)),
      File(d + "b.sys", Filler(100)),
      File(d + "_c.sys", WithSignature(kRow11)),
      File(d + "[d.sys", WithSignature(kRow1)),
      File(d + "empty.sys", ""),
      File(d + "big.sys", Placed(65537, '\x01', 65536 - 4, kRow5)),
      File(d + "notes.txt", WithSignature(kRow1)),
      Linked(d + "link1.sys", WithSignature(kRow5), {d + "link2.sys"}),
      WithStream(d + "stream.sys", Filler(64), "evil", WithSignature(kRow1)),
      Deleted(d + "del.sys", WithSignature(kRow1)),
      Sparse(d + "sparse.sys", 256 << 10, WithSignature(kRow11)),
      Compressed(d + "comp.sys", Placed(100 << 10, 'A', (64 << 10) - 2, kRow1)),
      Fragmented(d + "frag.sys", 4, Placed(16 << 10, '\x01', 4093, kRow5)),
      File(d + "Dup.sys", WithSignature(kRow1)),
      File(d + "DUP.SYS", WithSignature(kRow11)),
      File(i + "all256.pnf", EveryByte()),
      File(i + "zeros.pnf", Zeros(4096)),
      File(i + "short.pnf", EveryByte().substr(0, 100)),
      File(i + "oem1.pnf", EveryByte()),
      File(i + "oem1.inf", ""),
      File(i + "orphan.pnf", EveryByte()),
      File(i + "Dup.pnf", EveryByte()),
      File(i + "DUP.PNF", Zeros(512)),
      File(i + "dup.inf", ""),
      File(i + "fold.pnf", EveryByte()),
      Sparse(i + "sparse.pnf", 64 << 10, Repeat(EveryByte(), 768)),
      Compressed(i + "comp.pnf", Repeat(EveryByte(), 64)),
      Fragmented(i + "frag.pnf", 3, Repeat(EveryByte(), 48) + Zeros(1000)),
      WithStream(i + "stream.pnf", Zeros(300), "evil", EveryByte()),
      Deleted(i + "del.pnf", EveryByte()),
      File(i + "setup.api.pnf", EveryByte()),
      File(i + "setup.inf", ""),
  };
}

// True when an NTFS volume of `cluster_size` holds every file of the case:
// NTFS compresses only with clusters of 4 KiB or less.
bool Holds(int cluster_size, const FolderCase& c) {
  for (const TreeFile& file : c.files)
    if (file.compressed && cluster_size > 4096) return false;
  return true;
}

// Lays each folder case that an NTFS volume of `cluster_size` holds into
// `tree`, in a Windows folder of its own.
void AddFolderCases(int cluster_size, Tree* tree) {
  for (const FolderCase& c : FolderCases()) {
    if (!Holds(cluster_size, c)) continue;
    tree->folders.push_back(c.folder + "/System32/drivers");
    tree->folders.push_back(c.folder + "/inf");
    for (const std::string& folder : c.folders)
      tree->folders.push_back(c.folder + "/" + folder);
    for (TreeFile file : c.files) {
      file.path = c.folder + "/" + file.path;
      for (std::string& link : file.links) link = c.folder + "/" + link;
      tree->files.push_back(file);
    }
  }
}

// One NTFS volume for the comparison with the mount, the table of cases and
// a Windows folder spelled WinNT.
VolumeRecipe FeaturesNtfs() {
  VolumeRecipe recipe = {"features", FileSystem::kNtfs, 16, {}};
  recipe.tree.files = MountedAlikeFiles();
  recipe.tree.folders = {"Windows/System32/drivers/dir.sys",
                         "Windows/inf/dir.pnf", "Windows/inf/fold.inf"};
  AddFolderCases(recipe.cluster_size, &recipe.tree);
  recipe.tree.files.push_back(
      File("WinNT/System32/drivers/nt.sys", WithSignature(kRow1)));
  recipe.tree.files.push_back(File("WinNT/inf/oem1.pnf", EveryByte()));
  recipe.tree.files.push_back(File("WinNT/inf/oem1.inf", ""));
  return recipe;
}

// The plain Windows folder, among many more names, and the folder cases on
// volumes of the clusters above 4 KiB that Windows formats, up to 2 MiB,
// and of 4096-byte sectors; mkntfs takes 512 MiB for clusters of 1 MiB and
// more.
std::vector<VolumeRecipe> GeometryNtfs() {
  const struct {
    int cluster_size, sector_size, size_mib;
  } geometries[] = {{64 << 10, 512, 64},
                    {128 << 10, 512, 128},
                    {1 << 20, 512, 512},
                    {2 << 20, 512, 512},
                    {4096, 4096, 16}};
  std::vector<VolumeRecipe> recipes;
  for (const auto& geometry : geometries) {
    VolumeRecipe recipe = PlainNtfs();
    recipe.name = "geometry-" + std::to_string(geometry.cluster_size) + "-" +
                  std::to_string(geometry.sector_size);
    recipe.size_mib = geometry.size_mib;
    recipe.cluster_size = geometry.cluster_size;
    recipe.sector_size = geometry.sector_size;
    // Enough names beside the drivers and the pnf files that the index of
    // each folder grows nodes below its root, several in a cluster.
    for (int i = 1000; i < 1300; ++i) {
      const std::string name = "more_" + std::to_string(i) + "_names.txt";
      recipe.tree.files.push_back(File("Windows/System32/drivers/" + name, ""));
      recipe.tree.files.push_back(File("Windows/inf/" + name, ""));
    }
    AddFolderCases(recipe.cluster_size, &recipe.tree);
    recipes.push_back(recipe);
  }
  return recipes;
}

// Sixty drivers that each hold a signature, made and deleted beside three
// that stay: the folder's index B-tree grows nodes and closes up again, and
// libtsk still lists some of the sixty from the bytes that linger in its
// nodes. And a driver in a folder of its own.
VolumeRecipe DeletedDriversNtfs() {
  const std::string drivers = "Windows/System32/drivers/";
  VolumeRecipe recipe = {"deleted-drivers", FileSystem::kNtfs, 8, {}};
  recipe.tree.files = {File(drivers + "a.sys", WithSignature(kRow1)),
                       File(drivers + "m.sys", WithSignature(kRow5))};
  for (int i = 1; i <= 60; ++i)
    recipe.tree.files.push_back(
        Deleted(drivers + "gone" + std::to_string(i) + ".sys",
                WithSignature(i % 2 == 0 ? kRow5 : kRow1)));
  recipe.tree.files.push_back(File(drivers + "zz.sys", WithSignature(kRow11)));
  recipe.tree.files.push_back(
      File("Windows/aside/aside.sys", WithSignature(kRow1)));
  return recipe;
}

const BuiltImage& Bare(const VolumeRecipe& volume,
                       ImageFormat format = ImageFormat::kRaw) {
  return BuildImage({PartitionTable::kNone, {volume}, format});
}

// The volume of the deleted drivers where aside.sys's $FILE_NAME names the
// drivers folder as its parent, whose index does not hold it: libtsk lists
// it there, found through that parent.
const BuiltImage& MisparentedDriver() {
  return ChangedImage(
      Bare(DeletedDriversNtfs()), "misparented.raw", [](std::string* bytes) {
        size_t drivers = FindFileRecord(*bytes, "drivers");
        size_t aside = FindFileRecord(*bytes, "aside.sys");
        size_t name = aside == std::string::npos
                          ? aside
                          : FindAttribute(*bytes, aside, 0x30);
        if (drivers == std::string::npos || name == std::string::npos)
          return std::string("no record of drivers or of aside.sys");
        // The reference: the record's number (at 0x2C of its header) and
        // sequence number, clear of the record's fixup at its 510th byte.
        size_t parent = name + Read16(*bytes, name + 0x14);
        if (parent + 8 > aside + 510) return std::string("a reference too far");
        bytes->replace(parent, 4, *bytes, drivers + 0x2C, 4);
        bytes->replace(parent + 4, 2, 2, '\0');
        bytes->replace(parent + 6, 2, *bytes, drivers + 0x10, 2);
        return std::string();
      });
}

// A boot volume in front of the Windows one, behind an MBR.
const BuiltImage& MbrDisk(ImageFormat format = ImageFormat::kRaw) {
  return BuildImage({PartitionTable::kMbr, {BootFat16(), PlainNtfs()}, format});
}

// Windows XP on FAT32 in front of a later Windows on NTFS, behind a GPT.
const BuiltImage& GptDisk(ImageFormat format = ImageFormat::kRaw) {
  return BuildImage({PartitionTable::kGpt, {XpFat32(), PlainNtfs()}, format});
}

// True when `image` is built. Otherwise its case is left out, with a failure
// when a tool failed or under CI; when a tool or a right is missing, the
// reason goes to `skipped`, for the test to skip with after its other cases.
bool Usable(const BuiltImage& image, std::string* skipped) {
  if (image.built) return true;
  const char* ci = getenv("CI");
  if (image.missing_tool && !(ci && std::string(ci) == "true")) {
    if (skipped->find(image.why) == std::string::npos)
      *skipped += image.why + "\n";
  } else {
    ADD_FAILURE() << image.why;
  }
  return false;
}

// On NTFS, where the mount shows what Windows shows, the walk on the image
// is the walk on the mounted volume: the same findings, errors and order,
// only the folder named as inside the volume. The programs sort what
// readdir gives them (ntfs-3g gives an index root's keys before the entries
// of its subnodes) by ASCII case alone, which is the index's collation for
// these ASCII names; TheKitsNtfsReaderReadsEveryVolumeAsTheOthers holds the
// reader's order of every name to the mount's, sorted by $UpCase.
TEST(NativeImage, WalksAsTheMountedVolume) {
  const BuiltImage& image = Bare(FeaturesNtfs());
  SKIP_OR_FAIL_UNLESS_BUILT(image);
  NtfsMount mount(image.raw);
  ASSERT_TRUE(mount.mounted()) << mount.why();
  const std::string windows = mount.path() + "/Windows";
  const std::string info = Examining("\\Windows", "NTFS", 0, image.path);
  for (const char* tool : kTools) {
    TempFolder temp;
    RunResult native =
        RunNative(tool, OptionsIn(temp.path(), {"case.log"}, windows));
    const std::string native_log =
        LogTextAfterStart(temp.path() + "/case.log", NativeProgram(tool));
    ASSERT_NE(native.console.find("SUSPICIOUS"), std::string::npos)
        << tool << " found nothing on the mount:\n"
        << native.console;
    ImageRun on_image = RunOnImage(tool, image.path);
    EXPECT_EQ(on_image.run.exit_code, 0) << tool;
    const std::string stems = windows + "\\inf\\";
    EXPECT_EQ(on_image.run.console,
              info + Replaced(native.console, stems, "\\Windows\\inf\\"))
        << tool;
    EXPECT_EQ(on_image.log,
              info + Replaced(native_log, stems, "\\Windows\\inf\\"))
        << tool;
  }
}

// Runs the tools on each folder case that the NTFS volume `image` of
// `cluster_size` holds.
void ExpectFolderCases(const BuiltImage& image, int cluster_size,
                       const std::string& what) {
  for (const FolderCase& c : FolderCases()) {
    if (!Holds(cluster_size, c)) continue;
    const std::string info = Examining("\\" + c.folder, "NTFS", 0, image.path);
    for (const auto& [tool, said] : c.said) {
      ImageRun run =
          RunOnImage(tool, image.path, {{"VORLKIT_WINDOWS", "\\" + c.folder}});
      EXPECT_EQ(run.run.exit_code, 0) << what << c.folder << " " << tool;
      EXPECT_EQ(run.run.console, info + said.console)
          << what << c.folder << " " << tool;
      EXPECT_EQ(run.log, info + said.log) << what << c.folder << " " << tool;
    }
  }
}

// Each case is a Windows folder of its own in one volume.
TEST(NativeImage, ReadsTheVolumeAsWindowsDoes) {
  const BuiltImage& image = Bare(FeaturesNtfs());
  SKIP_OR_FAIL_UNLESS_BUILT(image);
  const std::string before = ImageState(image);
  ExpectFolderCases(image, 4096, "");
  EXPECT_EQ(ImageState(image), before);
}

// Clusters of 64 KiB to 2 MiB, where a folder's index blocks of 4 KiB are
// smaller than a cluster, and sectors of 4096 bytes, where an MFT record is
// one sector of 4 KiB: the findings of the volume of 4 KiB clusters.
TEST(NativeImage, ReadsVolumesOfEveryClusterAndSectorSize) {
  std::string skipped;
  for (const VolumeRecipe& recipe : GeometryNtfs()) {
    const BuiltImage& image = Bare(recipe);
    if (!Usable(image, &skipped)) continue;
    const std::string info = Examining("\\Windows", "NTFS", 0, image.path);
    const Walk walk = PlainWalk("\\Windows");
    for (const char* tool : kTools) {
      ImageRun run = RunOnImage(tool, image.path);
      EXPECT_EQ(run.run.exit_code, 0) << recipe.name << " " << tool;
      EXPECT_EQ(run.run.console, info + walk.Of(tool).console)
          << recipe.name << " " << tool;
      EXPECT_EQ(run.log, info + walk.Of(tool).log)
          << recipe.name << " " << tool;
    }
    ExpectFolderCases(image, recipe.cluster_size, recipe.name + " ");
  }
  if (!skipped.empty()) GTEST_SKIP() << skipped;
}

// Windows lists a folder's entries from its index B-tree alone. A deleted
// driver is in no node of it, whatever of its entry lingers in a node's
// bytes after the node closes up, and its MFT record is not in use; a file
// whose $FILE_NAME names the folder as its parent is not in the folder
// unless the folder's index holds it.
TEST(NativeImage, ListsOnlyWhatTheFoldersIndexHolds) {
  const BuiltImage& image = Bare(DeletedDriversNtfs());
  SKIP_OR_FAIL_UNLESS_BUILT(image);
  const BuiltImage& misparented = MisparentedDriver();
  SKIP_OR_FAIL_UNLESS_BUILT(misparented);
  for (const BuiltImage* built : {&image, &misparented}) {
    const std::string info = Examining("\\Windows", "NTFS", 0, built->path);
    ImageRun run = RunOnImage("drvscan", built->path);
    EXPECT_EQ(run.run.exit_code, 0) << built->path;
    EXPECT_EQ(run.run.console,
              info + Hit1("a.sys") + Hit5("m.sys") + Hit11("zz.sys"))
        << built->path;
    EXPECT_EQ(run.log, info + Log1("a.sys") + Log5("m.sys") + Log11("zz.sys"))
        << built->path;
  }
}

// VORLKIT_WINDOWS names the folder in any case, with or without its leading
// backslash; the volume's spelling is shown.
TEST(NativeImage, TakesTheWindowsFolderInsideTheVolume) {
  const BuiltImage& image = Bare(FeaturesNtfs());
  SKIP_OR_FAIL_UNLESS_BUILT(image);
  const std::string info = Examining("\\WinNT", "NTFS", 0, image.path);
  const Walk walk = {{Hit1("nt.sys"), Log1("nt.sys")},
                     {Measured("oem1.pnf"), AboveThreshold("oem1.pnf")},
                     {Paired("\\WinNT\\inf\\oem1"), ""}};
  for (const char* folder : {"\\WINNT", "winnt"}) {
    for (const char* tool : kTools) {
      ImageRun run =
          RunOnImage(tool, image.path, {{"VORLKIT_WINDOWS", folder}});
      EXPECT_EQ(run.run.exit_code, 0) << folder << " " << tool;
      EXPECT_EQ(run.run.console, info + walk.Of(tool).console)
          << folder << " " << tool;
      EXPECT_EQ(run.log, info + walk.Of(tool).log) << folder << " " << tool;
    }
  }
}

// Every container and both partition tables: the first volume that holds
// \Windows\System32, or the one VORLKIT_VOLUME names.
TEST(NativeImage, ReadsEveryFormatAndPartitionTable) {
  struct Case {
    const char* what;
    const BuiltImage& image;
    std::map<std::string, std::string> env;
    const char* system;
    uint64_t offset;
    bool xp;  // the FAT32 Windows volume; otherwise the plain NTFS one
  } cases[] = {
      {"bare NTFS, raw", Bare(PlainNtfs()), {}, "NTFS", 0, false},
      {"bare FAT32, raw", Bare(XpFat32()), {}, "FAT32", 0, true},
      {"MBR, raw", MbrDisk(), {}, "NTFS", 9 << 20, false},
      {"MBR, split raw",
       MbrDisk(ImageFormat::kSplit),
       {},
       "NTFS",
       9 << 20,
       false},
      {"MBR, VHD", MbrDisk(ImageFormat::kVhd), {}, "NTFS", 9 << 20, false},
      {"GPT, raw", GptDisk(), {}, "FAT32", 1 << 20, true},
      {"GPT, E01 in segments",
       GptDisk(ImageFormat::kE01),
       {},
       "FAT32",
       1 << 20,
       true},
      {"GPT, VMDK", GptDisk(ImageFormat::kVmdk), {}, "FAT32", 1 << 20, true},
      {"GPT, VHDX", GptDisk(ImageFormat::kVhdx), {}, "FAT32", 1 << 20, true},
      {"MBR, QCOW2", MbrDisk(ImageFormat::kQcow2), {}, "NTFS", 9 << 20, false},
      {"GPT, QCOW2 compressed",
       GptDisk(ImageFormat::kQcow2Compressed),
       {},
       "FAT32",
       1 << 20,
       true},
      {"MBR, QCOW2 version 2",
       MbrDisk(ImageFormat::kQcow2V2),
       {},
       "NTFS",
       9 << 20,
       false},
      {"MBR, QCOW2 version 2 compressed",
       MbrDisk(ImageFormat::kQcow2V2Compressed),
       {},
       "NTFS",
       9 << 20,
       false},
      {"MBR, QCOW version 1",
       MbrDisk(ImageFormat::kQcow),
       {},
       "NTFS",
       9 << 20,
       false},
      {"GPT, second volume",
       GptDisk(),
       {{"VORLKIT_VOLUME", std::to_string(35 << 20)}},
       "NTFS",
       35 << 20,
       false},
  };
  std::string skipped;
  for (const Case& c : cases) {
    if (!Usable(c.image, &skipped)) continue;
    const std::string before = ImageState(c.image);
    const std::string windows = c.xp ? "\\WINDOWS" : "\\Windows";
    const std::string info =
        Examining(windows, c.system, c.offset, c.image.path);
    const Walk walk = c.xp ? XpWalk() : PlainWalk(windows);
    for (const char* tool : kTools) {
      ImageRun run = RunOnImage(tool, c.image.path, c.env);
      EXPECT_EQ(run.run.exit_code, 0) << c.what << " " << tool;
      EXPECT_EQ(run.run.console, info + walk.Of(tool).console)
          << c.what << " " << tool;
      EXPECT_EQ(run.log, info + walk.Of(tool).log) << c.what << " " << tool;
    }
    EXPECT_EQ(ImageState(c.image), before) << c.what;
  }
  if (!skipped.empty()) GTEST_SKIP() << skipped;
}

// A disk behind a write blocker: a block device that takes no writes.
TEST(NativeImage, ReadsABlockDevice) {
  const BuiltImage& disk = MbrDisk();
  SKIP_OR_FAIL_UNLESS_BUILT(disk);
  LoopDevice device(disk);
  SKIP_OR_FAIL_UNLESS_BUILT(device.image());
  const std::string before = ImageState(disk);
  const std::string info =
      Examining("\\Windows", "NTFS", 9 << 20, device.image().path);
  const Walk walk = PlainWalk("\\Windows");
  for (const char* tool : kTools) {
    ImageRun run = RunOnImage(tool, device.image().path);
    EXPECT_EQ(run.run.exit_code, 0) << tool;
    EXPECT_EQ(run.run.console, info + walk.Of(tool).console) << tool;
    EXPECT_EQ(run.log, info + walk.Of(tool).log) << tool;
  }
  EXPECT_EQ(ImageState(disk), before);
}

// MbrDisk() with the driver file `name`'s data, `before` (8 KiB or less),
// changed to `after`.
const BuiltImage& ChangedDriver(const BuiltImage& disk,
                                const std::string& file_name,
                                const std::string& before,
                                const std::string& after) {
  return ChangedImage(disk, file_name, [before, after](std::string* bytes) {
    size_t at = FindCluster(*bytes, before);
    if (at == std::string::npos) return std::string("no such driver data");
    bytes->replace(at, after.size(), after);
    return std::string();
  });
}

// MbrDisk() with victim.sys signed with signature 11 in place of 5.
const BuiltImage& Victim11Disk() {
  return ChangedDriver(MbrDisk(), "victim11.raw",
                       Placed(8192, '\x90', 5000, kRow5),
                       Placed(8192, '\x90', 5000, kRow11));
}

// That disk with a.sys signed with signature 5 in place of 1 as well.
const BuiltImage& A5Victim11Disk() {
  return ChangedDriver(Victim11Disk(), "a5-victim11.raw",
                       Placed(4096, '\x90', 100, kRow1),
                       Placed(4096, '\x90', 100, kRow5));
}

// MbrDisk() without its partition table: its first 64 KiB are zeros.
const BuiltImage& UnpartitionedDisk() {
  return ChangedImage(MbrDisk(), "unpartitioned.raw", [](std::string* bytes) {
    bytes->replace(0, 64 << 10, Zeros(64 << 10));
    return std::string();
  });
}

// QCOW2 images of MbrDisk() changed on a backing file: the overlay holds
// victim.sys's changed cluster, its backing file the rest.
const BuiltImage& QcowOverlay() {
  return QcowChanged("overlay", MbrDisk(ImageFormat::kQcow2), Victim11Disk(),
                     QcowChange::kOverlay);
}

// The top of a chain of three: a.sys's cluster in it, victim.sys's in
// QcowOverlay(), the rest in the image below that.
const BuiltImage& QcowChainTop() {
  return QcowChanged("chain-top", QcowOverlay(), A5Victim11Disk(),
                     QcowChange::kOverlay);
}

// The partition table zeroed by zero clusters: in an overlay, over the
// backing file's table, and in place, over the table's old bytes.
const BuiltImage& QcowZeroedTable(QcowChange how) {
  return QcowChanged(
      how == QcowChange::kInPlace ? "zeroed-in-place" : "zeroed-overlay",
      MbrDisk(ImageFormat::kQcow2), UnpartitionedDisk(), how);
}

// Each file of a QCOW2 chain is read for the clusters it holds and for no
// others: the findings change with each driver that an overlay changed,
// and a zero cluster reads as zeros, not as what the file below it or its
// own old bytes hold there. Every file of the chain stays as it was.
TEST(NativeImage, ReadsQcowImagesOnBackingFiles) {
  const Said base = PlainWalk("\\Windows").drvscan;
  const Said victim11 = {Hit1("a.sys") + Hit11("victim.sys") + Hit11("zz.sys"),
                         Log1("a.sys") + Log11("victim.sys") + Log11("zz.sys")};
  const std::map<std::string, std::string> volume = {
      {"VORLKIT_VOLUME", std::to_string(9 << 20)}};
  const BuiltImage& v2_compressed = MbrDisk(ImageFormat::kQcow2V2Compressed);
  struct Case {
    const char* what;
    const BuiltImage& image;
    std::vector<const BuiltImage*> below;  // its backing files, in order
    std::map<std::string, std::string> env;
    Said drvscan;
  } cases[] = {
      {"an overlay naming its backing file by its path",
       QcowOverlay(),
       {&MbrDisk(ImageFormat::kQcow2)},
       {},
       victim11},
      {"an overlay naming it relative to its own folder, on version 2 "
       "compressed",
       QcowChanged("relative", v2_compressed, Victim11Disk(),
                   QcowChange::kRelativeOverlay),
       {&v2_compressed},
       {},
       victim11},
      {"an overlay on a raw disk",
       QcowChanged("on-raw", MbrDisk(), Victim11Disk(), QcowChange::kOverlay),
       {&MbrDisk()},
       {},
       victim11},
      {"a chain of three",
       QcowChainTop(),
       {&QcowOverlay(), &MbrDisk(ImageFormat::kQcow2)},
       {},
       {Hit5("a.sys") + Hit11("victim.sys") + Hit11("zz.sys"),
        Log5("a.sys") + Log11("victim.sys") + Log11("zz.sys")}},
      {"zero clusters in an overlay, the volume named",
       QcowZeroedTable(QcowChange::kOverlay),
       {&MbrDisk(ImageFormat::kQcow2)},
       volume,
       base},
      {"zero clusters in place, the volume named",
       QcowZeroedTable(QcowChange::kInPlace),
       {},
       volume,
       base},
  };
  std::string skipped;
  for (const Case& c : cases) {
    if (!Usable(c.image, &skipped)) continue;
    std::vector<std::string> before = {ImageState(c.image)};
    for (const BuiltImage* below : c.below)
      before.push_back(ImageState(*below));
    const std::string info =
        Examining("\\Windows", "NTFS", 9 << 20, c.image.path);
    Walk walk = PlainWalk("\\Windows");
    walk.drvscan = c.drvscan;
    for (const char* tool : kTools) {
      ImageRun run = RunOnImage(tool, c.image.path, c.env);
      EXPECT_FALSE(run.run.timed_out) << c.what << " " << tool;
      EXPECT_EQ(run.run.exit_code, 0) << c.what << " " << tool;
      EXPECT_EQ(run.run.console, info + walk.Of(tool).console)
          << c.what << " " << tool;
      EXPECT_EQ(run.log, info + walk.Of(tool).log) << c.what << " " << tool;
    }
    std::vector<std::string> after = {ImageState(c.image)};
    for (const BuiltImage* below : c.below) after.push_back(ImageState(*below));
    EXPECT_EQ(after, before) << c.what;
  }
  if (!skipped.empty()) GTEST_SKIP() << skipped;
}

// The names of the files in `folder`, sorted.
std::vector<std::string> FilesIn(const std::string& folder) {
  std::vector<std::string> names;
  if (DIR* dir = opendir(folder.c_str())) {
    while (dirent* entry = readdir(dir))
      if (entry->d_type == DT_REG) names.push_back(entry->d_name);
    closedir(dir);
  }
  std::sort(names.begin(), names.end());
  return names;
}

// Sets the access time of every file in `folder` to 2001, before its
// modification time: a read that does not ask to leave it then moves it,
// even on a file system mounted with relatime.
void AgeAccessTimes(const std::string& folder) {
  const timespec kTimes[2] = {{978307200, 0}, {0, UTIME_OMIT}};
  for (const std::string& name : FilesIn(folder))
    ASSERT_EQ(utimensat(AT_FDCWD, (folder + "/" + name).c_str(), kTimes, 0), 0)
        << folder << "/" << name;
}

std::string AccessTimes(const std::string& folder) {
  std::string out;
  for (const std::string& name : FilesIn(folder)) {
    struct stat info;
    if (stat((folder + "/" + name).c_str(), &info) != 0) continue;
    out += name + " " + std::to_string(info.st_atim.tv_sec) + "." +
           std::to_string(info.st_atim.tv_nsec) + "\n";
  }
  return out;
}

// The images that the kit reads itself, raw, split and QCOW with the files
// of its chain, keep the access time of every file, as their owner or root
// reads them.
TEST(NativeImage, LeavesTheAccessTimesOfTheFilesItReads) {
  const struct {
    const char* what;
    const BuiltImage& image;
    std::vector<const BuiltImage*> below;
  } cases[] = {
      {"raw", MbrDisk(), {}},
      {"split raw", MbrDisk(ImageFormat::kSplit), {}},
      {"a QCOW2 chain of three",
       QcowChainTop(),
       {&QcowOverlay(), &MbrDisk(ImageFormat::kQcow2)}},
  };
  std::string skipped;
  for (const auto& c : cases) {
    if (!Usable(c.image, &skipped)) continue;
    std::vector<std::string> folders = {c.image.folder};
    for (const BuiltImage* below : c.below) folders.push_back(below->folder);
    std::vector<std::string> before;
    for (const std::string& folder : folders) {
      AgeAccessTimes(folder);
      before.push_back(AccessTimes(folder));
    }
    for (const char* tool : kTools) {
      ImageRun run = RunOnImage(tool, c.image.path);
      EXPECT_NE(run.run.console.find("SUSPICIOUS"), std::string::npos)
          << c.what << " " << tool << ":\n"
          << run.run.console;
    }
    std::vector<std::string> after;
    for (const std::string& folder : folders)
      after.push_back(AccessTimes(folder));
    EXPECT_EQ(after, before) << c.what;
  }
  if (!skipped.empty()) GTEST_SKIP() << skipped;
}

// The image before the data of the last two files written: the volume still
// opens, reading those two files fails, the others are scanned.
TEST(NativeImage, ReportsReadsPastTheEndOfATruncatedImage) {
  const BuiltImage& image =
      ChangedImage(Bare(PlainNtfs()), "truncated.raw", [](std::string* bytes) {
        size_t pnf = FindCluster(*bytes, Repeat(EveryByte(), 16));
        size_t sys = FindCluster(*bytes, std::string(4096, 'z'));
        size_t kept =
            std::max(FindCluster(*bytes, Placed(4096, '\x90', 100, kRow1)),
                     FindCluster(*bytes, Filler(4096)));
        if (pnf == std::string::npos || sys == std::string::npos ||
            kept == std::string::npos || kept > std::min(pnf, sys))
          return std::string("the last files' data is not behind the others'");
        bytes->resize(std::min(pnf, sys));
        return std::string();
      });
  SKIP_OR_FAIL_UNLESS_BUILT(image);
  const std::string before = ImageState(image);
  const std::string info = Examining("\\Windows", "NTFS", 0, image.path);
  Walk walk = PlainWalk("\\Windows");
  walk.drvscan = {Hit1("a.sys") + Hit5("victim.sys") + Checking("zz.sys") +
                      ReadError("45d"),
                  Log1("a.sys") + Log5("victim.sys") + ReadError("45d")};
  walk.noisegauge = {Measured("oem1.pnf") + Measured("oem2.pnf") +
                         Checking("zz.pnf") + PnfReadError("zz.pnf", "45d"),
                     AboveThreshold("oem1.pnf") + AboveThreshold("oem2.pnf") +
                         PnfReadError("zz.pnf", "45d")};
  for (const char* tool : kTools) {
    ImageRun run = RunOnImage(tool, image.path);
    EXPECT_FALSE(run.run.timed_out) << tool;
    EXPECT_EQ(run.run.exit_code, 0) << tool;
    EXPECT_EQ(run.run.console, info + walk.Of(tool).console) << tool;
    EXPECT_EQ(run.log, info + walk.Of(tool).log) << tool;
  }
  EXPECT_EQ(ImageState(image), before);
}

// A driver's MFT record broken in the ways an attacker would break it: the
// kit's own NTFS reader finds the record damaged before the library reads
// it, so the file cannot be opened (0x570, as Windows says of a corrupt
// file), and the walk scans the files around it.
TEST(NativeImage, GoesOnPastDamagedFileRecords) {
  struct Damage {
    const char* what;
    // Changes the record at `record` whose $DATA attribute is at `data`.
    std::function<void(std::string*, size_t record, size_t data)> change;
  } damages[] = {
      {"a run far past the end of the volume",
       [](std::string* bytes, size_t, size_t data) {
         size_t runs = data + (Read16(*bytes, data + 0x20));
         bytes->replace(runs, 7,
                        std::string("\x41\x02\x00\x00\x00\x70\x00", 7));
       }},
      {"a run list of garbage",
       [](std::string* bytes, size_t, size_t data) {
         bytes->replace(data + Read16(*bytes, data + 0x20), 8,
                        std::string(8, '\xff'));
       }},
      {"an attribute longer than its record",
       [](std::string* bytes, size_t, size_t data) {
         bytes->replace(data + 4, 4, std::string("\xf0\xff\xff\x00", 4));
       }},
      {"attributes that begin at the end of the record",
       [](std::string* bytes, size_t record, size_t) {
         bytes->replace(record + 0x14, 2, std::string("\xf8\x03", 2));
       }},
  };
  int made = 0;
  for (const Damage& damage : damages) {
    const BuiltImage& image = ChangedImage(
        Bare(PlainNtfs()), "damaged" + std::to_string(++made) + ".raw",
        [&damage](std::string* bytes) {
          size_t record = FindFileRecord(*bytes, "victim.sys");
          size_t data = record == std::string::npos
                            ? record
                            : FindAttribute(*bytes, record, 0x80);
          if (data == std::string::npos || (*bytes)[data + 8] != 1)
            return std::string("no record with a non-resident $DATA");
          damage.change(bytes, record, data);
          return std::string();
        });
    SKIP_OR_FAIL_UNLESS_BUILT(image);
    const std::string before = ImageState(image);
    const std::string info = Examining("\\Windows", "NTFS", 0, image.path);
    ImageRun run = RunOnImage("drvscan", image.path);
    EXPECT_FALSE(run.run.timed_out) << damage.what;
    EXPECT_EQ(run.run.exit_code, 0) << damage.what;
    EXPECT_EQ(run.run.console,
              info + Hit1("a.sys") +
                  "ERROR: Could not read the specified file. Error code: "
                  "0x570\n" +
                  Hit11("zz.sys"))
        << damage.what;
    EXPECT_EQ(run.log, info + Log1("a.sys") + Log11("zz.sys")) << damage.what;
    EXPECT_EQ(ImageState(image), before) << damage.what;
  }
}

// Images whose walk cannot start: one line, logged and echoed, and nothing
// examined, neither in the image nor on the workstation.
TEST(NativeImage, RefusesImagesItCannotExamine) {
  const std::string bad = ImageScratch("bad");
  WriteFileBytes(bad + "/zeros.raw", Zeros(4 << 20));
  WriteFileBytes(bad + "/notes.txt", "not an image at all\n");
  BuiltImage scratch;
  scratch.built = true;
  scratch.folder = bad;
  const BuiltImage& plain = Bare(PlainNtfs());
  const BuiltImage& bitlocker =
      ChangedImage(plain, "bitlocker.raw", [](std::string* bytes) {
        bytes->replace(3, 8, "-FVE-FS-");
        return std::string();
      });
  const BuiltImage& mbr = MbrDisk();
  const BuiltImage& boot = Bare(BootFat16());
  // A QCOW2 image of MbrDisk() changed as a file: its header cut short, its
  // L1 table past its end, its L2 table so, and the file cut short in the
  // first cluster after its L2 table, the disk's first, which holds the
  // partition table.
  BuiltImage qcow = MbrDisk(ImageFormat::kQcow2);
  qcow.raw = qcow.path;
  auto read64 = [](const std::string& bytes, size_t at) {
    uint64_t value = 0;
    for (size_t i = at; i < at + 8 && i < bytes.size(); ++i)
      value = value << 8 | static_cast<unsigned char>(bytes[i]);
    return value;
  };
  const BuiltImage& cut_in_a_cluster = ChangedImage(
      qcow, "cut-in-a-cluster.qcow2", [read64](std::string* bytes) {
        uint64_t l2 = read64(*bytes, read64(*bytes, 40)) & 0xfffffffffe00;
        if (l2 == 0 || l2 + (96 << 10) > bytes->size())
          return std::string("no L2 table");
        bytes->resize(l2 + (96 << 10));
        return std::string();
      });
  const BuiltImage& cut = ChangedImage(qcow, "cut.qcow2", [](std::string* b) {
    b->resize(60);
    return std::string();
  });
  const BuiltImage& l1_past_end =
      ChangedImage(qcow, "l1-past-end.qcow2", [](std::string* bytes) {
        bytes->replace(40, 8, std::string("\0\0\0\1\0\0\0\0", 8));
        return std::string();
      });
  const BuiltImage& l2_past_end =
      ChangedImage(qcow, "l2-past-end.qcow2", [](std::string* bytes) {
        size_t l1 = 0;
        for (size_t i = 40; i < 48; ++i)
          l1 = l1 << 8 | static_cast<unsigned char>((*bytes)[i]);
        if (l1 + 8 > bytes->size()) return std::string("no L1 table");
        bytes->replace(l1, 8, std::string("\0\xff\xff\xff\xff\xff\0\0", 8));
        return std::string();
      });
  const BuiltImage& lost = QcowNaming("lost-backing", "base.qcow2");
  const BuiltImage& loop = QcowNaming("loop", "loop.qcow2");
  const BuiltImage& network = QcowNaming("network", "nbd://127.0.0.1/disk");
  const BuiltImage& damaged_below = QcowNaming("damaged-below", cut.path);
  // Encrypted with LUKS, as its header says (crypt_method 2). qemu-img
  // would time its key derivation to make one, which fails on a busy
  // machine; the kit reads no further than the header.
  const BuiltImage& luks =
      ChangedImage(qcow, "luks.qcow2", [](std::string* bytes) {
        bytes->replace(32, 4, std::string("\0\0\0\2", 4));
        return std::string();
      });
  const BuiltImage& extended_l2 =
      QcowConverted("extended-l2", mbr, "extended_l2=on");
  const BuiltImage& zeroed_overlay = QcowZeroedTable(QcowChange::kOverlay);
  const BuiltImage& zeroed_in_place = QcowZeroedTable(QcowChange::kInPlace);
  const char* const kBadBacking = "its backing file cannot be opened";
  struct Case {
    const char* what;
    const BuiltImage& image;
    std::string path;
    std::map<std::string, std::string> env;
    const char* reason;
    const char* code;
  } cases[] = {
      {"missing",
       scratch,
       bad + "/missing.E01",
       {},
       "it cannot be opened",
       "2"},
      {"missing with its folder",
       scratch,
       bad + "/gone/missing.E01",
       {},
       "it cannot be opened",
       "3"},
      {"a folder", scratch, bad, {}, "it is a folder", "5"},
      {"all zeros",
       scratch,
       bad + "/zeros.raw",
       {},
       "no volume in it can be read",
       "3ed"},
      {"text",
       scratch,
       bad + "/notes.txt",
       {},
       "no volume in it can be read",
       "3ed"},
      {"no Windows folder",
       boot,
       boot.path,
       {},
       "no volume in it holds the Windows folder",
       "3"},
      {"no such VORLKIT_WINDOWS",
       plain,
       plain.path,
       {{"VORLKIT_WINDOWS", "\\Missing"}},
       "no volume in it holds the Windows folder",
       "3"},
      {"BitLocker",
       bitlocker,
       bitlocker.path,
       {},
       "its volume is encrypted with BitLocker",
       "80310000"},
      {"VORLKIT_VOLUME in words",
       mbr,
       mbr.path,
       {{"VORLKIT_VOLUME", "first"}},
       "VORLKIT_VOLUME is not a byte offset",
       "57"},
      {"VORLKIT_VOLUME in hexadecimal",
       mbr,
       mbr.path,
       {{"VORLKIT_VOLUME", "0x900000"}},
       "VORLKIT_VOLUME is not a byte offset",
       "57"},
      {"VORLKIT_VOLUME where no volume begins",
       mbr,
       mbr.path,
       {{"VORLKIT_VOLUME", "12345"}},
       "no volume in it can be read",
       "3ed"},
      {"VORLKIT_VOLUME on the boot volume",
       mbr,
       mbr.path,
       {{"VORLKIT_VOLUME", "1048576"}},
       "no volume in it holds the Windows folder",
       "3"},
      {"QCOW2, its header cut short",
       cut,
       cut.path,
       {},
       "it cannot be opened",
       "570"},
      {"QCOW2, its L1 table past its end",
       l1_past_end,
       l1_past_end.path,
       {},
       "it cannot be opened",
       "570"},
      {"QCOW2 cut short in a cluster",
       cut_in_a_cluster,
       cut_in_a_cluster.path,
       {},
       "no volume in it can be read",
       "3ed"},
      {"QCOW2, its L2 table past its end",
       l2_past_end,
       l2_past_end.path,
       {},
       "no volume in it can be read",
       "3ed"},
      {"QCOW2 encrypted with LUKS",
       luks,
       luks.path,
       {},
       "it cannot be opened",
       "1772"},
      {"QCOW2 with extended L2 entries",
       extended_l2,
       extended_l2.path,
       {},
       "it cannot be opened",
       "32"},
      {"QCOW2, its backing file missing",
       lost,
       lost.path,
       {},
       kBadBacking,
       "2"},
      {"QCOW2, its own backing file", loop, loop.path, {}, kBadBacking, "781"},
      {"QCOW2, its backing file over the network",
       network,
       network.path,
       {},
       kBadBacking,
       "32"},
      {"QCOW2, its backing file damaged",
       damaged_below,
       damaged_below.path,
       {},
       kBadBacking,
       "570"},
      {"QCOW2, its partition table zeroed in an overlay",
       zeroed_overlay,
       zeroed_overlay.path,
       {},
       "no volume in it can be read",
       "3ed"},
      {"QCOW2, its partition table zeroed in place",
       zeroed_in_place,
       zeroed_in_place.path,
       {},
       "no volume in it can be read",
       "3ed"},
  };
  std::string skipped;
  for (const Case& c : cases) {
    if (!Usable(c.image, &skipped)) continue;
    const std::string before = ImageState(c.image);
    const std::string line = CannotExamine(c.path, c.reason, c.code);
    for (const char* tool : kTools) {
      ImageRun run = RunOnImage(tool, c.path, c.env);
      EXPECT_FALSE(run.run.timed_out) << c.what << " " << tool;
      EXPECT_EQ(run.run.exit_code, 0) << c.what << " " << tool;
      EXPECT_EQ(run.run.console, line) << c.what << " " << tool;
      EXPECT_EQ(run.log, line) << c.what << " " << tool;
    }
    EXPECT_EQ(ImageState(c.image), before) << c.what;
  }
  if (!skipped.empty()) GTEST_SKIP() << skipped;
}

// What libtsk lists of the drivers folder of DeletedDriversNtfs() that
// Windows does not: deleted drivers whose index entries linger in a node's
// bytes past its last entry once the node has closed up, and, in
// MisparentedDriver(), aside.sys, found through the parent that its record
// names. Windows, libfsntfs and ntfs-3g list neither.
const char kLibtskListsInDrivers[] =
    "\\Windows\\System32\\drivers: only libtsk lists \"";
const KnownDifferences kLibtskListsGone = {std::string(kLibtskListsInDrivers) +
                                           "gone"};
const KnownDifferences kLibtskListsGoneAndAside = {
    std::string(kLibtskListsInDrivers) + "gone",
    std::string(kLibtskListsInDrivers) + "aside.sys\""};

// The drivers that the programs once read through libtsk, and reported
// from, on these two volumes: libtsk still lists them.
TEST(NativeImage, LibtskListsWhatTheFoldersIndexDoesNotHold) {
  const BuiltImage& image = Bare(DeletedDriversNtfs());
  SKIP_OR_FAIL_UNLESS_BUILT(image);
  const BuiltImage& misparented = MisparentedDriver();
  SKIP_OR_FAIL_UNLESS_BUILT(misparented);
  std::string differences;
  EXPECT_FALSE(CompareNtfsReaderWithLibtsk(image.raw, 0, &differences));
  EXPECT_NE(differences.find(std::string(kLibtskListsInDrivers) + "gone"),
            std::string::npos)
      << differences;
  EXPECT_FALSE(CompareNtfsReaderWithLibtsk(misparented.raw, 0, &differences));
  EXPECT_NE(
      differences.find(std::string(kLibtskListsInDrivers) + "aside.sys\""),
      std::string::npos)
      << differences;
}

// The kit's own NTFS reader, with which the Windows programs read a live
// volume raw and the programs read the NTFS volumes of images, reads every
// NTFS volume of these tests as libtsk, libfsntfs and an ntfs-3g mount do:
// the same entries of each folder in the same order, the same 8.3 names,
// the same bytes. Where a library differs, Windows lists what the reader
// lists, for the reason given.
TEST(NativeImage, TheKitsNtfsReaderReadsEveryVolumeAsTheOthers) {
  struct Case {
    std::string what;
    const BuiltImage& image;
    size_t volume;
    bool libtsk = true;
    KnownDifferences libtsk_known = {};
    KnownDifferences libfsntfs_known = {};
  };
  std::vector<Case> cases = {
      {"the plain volume", Bare(PlainNtfs()), 0},
      {"the volume of every feature", Bare(FeaturesNtfs()), 0},
      {"behind an MBR", MbrDisk(), 1},
      {"behind a GPT", GptDisk(), 1},
      {"the deleted drivers", Bare(DeletedDriversNtfs()), 0, true,
       kLibtskListsGone},
      {"a driver misparented", MisparentedDriver(), 0, true,
       kLibtskListsGoneAndAside},
  };
  for (const VolumeRecipe& recipe : GeometryNtfs()) {
    Case c = {recipe.name, Bare(recipe), 0};
    if (recipe.cluster_size > 4096) {
      // libtsk 4.11 refuses clusters above 64 KiB; there libfsntfs and the
      // mount alone are held against the reader.
      c.libtsk = recipe.cluster_size <= (64 << 10);
      // Index blocks of 4 KiB in a larger cluster, where a node's VCN counts
      // 512-byte units: both libraries seek every node of a folder's index
      // but the one at VCN 0 in the wrong place. libfsntfs leaves their
      // entries out (the drivers among them); libtsk lists them through
      // their records' parent references, without a type.
      c.libtsk_known = {": libtsk does not say whether it is"};
      c.libfsntfs_known = {": only the reader lists "};
    }
    cases.push_back(c);
  }
  std::string skipped;
  for (const Case& c : cases) {
    if (!Usable(c.image, &skipped)) continue;
    const uint64_t offset = c.image.offsets[c.volume];
    std::string differences;
    if (c.libtsk) {
      EXPECT_TRUE(CompareNtfsReaderWithLibtsk(c.image.raw, offset, &differences,
                                              c.libtsk_known))
          << c.what << ":\n"
          << differences;
    }
    EXPECT_TRUE(CompareNtfsReaderWithLibfsntfs(c.image.raw, offset,
                                               &differences, c.libfsntfs_known))
        << c.what << ":\n"
        << differences;
    // A volume behind a partition table is mounted from its own file.
    NtfsMount mount(offset == 0 ? c.image.raw : c.image.volume_files[c.volume]);
    if (!mount.mounted()) {
      ADD_FAILURE() << c.what << ": " << mount.why();
      continue;
    }
    EXPECT_TRUE(CompareNtfsReaderWithMount(c.image.raw, offset, mount.path(),
                                           &differences))
        << c.what << ":\n"
        << differences;
  }
  if (!skipped.empty()) GTEST_SKIP() << skipped;
}

}  // namespace

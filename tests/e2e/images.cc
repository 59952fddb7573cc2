#include "tests/e2e/images.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <set>

#include "tests/e2e/harness.h"
#include "tests/e2e/messages.h"
#include "tests/e2e/shadow_copies.h"
#include "tests/e2e/wof_files.h"

namespace {

constexpr uint64_t kMiB = 1 << 20;

// The folder of every image of this test run, made on first use and removed
// at exit, and a counter that keeps the names of its subfolders apart.
std::string cache_root;
int folders_made = 0;

void RemoveCache() {
  if (!cache_root.empty() && getenv("KIT_KEEP_IMAGES") == nullptr)
    RemoveTree(cache_root);
}

const std::string& CacheRoot() {
  if (cache_root.empty()) {
    char pattern[] = "/tmp/kit-images.XXXXXX";
    if (mkdtemp(pattern) == nullptr) abort();
    cache_root = pattern;
    mkdir((cache_root + "/logs").c_str(), 0755);
    atexit(RemoveCache);
  }
  return cache_root;
}

// A new, empty folder of the cache.
std::string NewFolder(const std::string& label) {
  std::string path =
      CacheRoot() + "/" + std::to_string(++folders_made) + "-" + label;
  mkdir(path.c_str(), 0755);
  return path;
}

std::string LogFile(const std::string& label) {
  return CacheRoot() + "/logs/" + std::to_string(++folders_made) + "-" + label;
}

std::string SystemError(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + strerror(errno);
}

// The path of a program of the system, or "" when it is not installed.
std::string Tool(const std::string& name) {
  for (const char* folder : {"/usr/sbin", "/usr/bin", "/sbin", "/bin",
                             "/usr/local/sbin", "/usr/local/bin"}) {
    std::string path = std::string(folder) + "/" + name;
    if (access(path.c_str(), X_OK) == 0) return path;
  }
  return "";
}

bool ToolsInstalled(const std::vector<std::string>& names, std::string* why) {
  for (const std::string& name : names) {
    if (Tool(name).empty()) {
      *why = name + " is not installed";
      return false;
    }
  }
  return true;
}

// Runs `argv`, its first word a program name, to its end; "" when it ended
// with code 0, otherwise what it said.
std::string RunTool(std::vector<std::string> argv,
                    const std::string& input_path = "",
                    std::map<std::string, std::string> env = {},
                    std::string* output = nullptr) {
  const std::string name = argv[0];
  argv[0] = Tool(name);
  RunOptions options;
  options.env = std::move(env);
  options.timeout_seconds = 120;
  options.input_path = input_path;
  options.errors_path = LogFile(name + ".err");
  RunResult run = RunCommand(argv, options);
  if (output != nullptr) *output = run.console;
  if (run.exit_code == 0) return "";
  std::string line;
  for (const std::string& word : argv) line += word + " ";
  return line +
         (run.timed_out ? "timed out"
                        : "ended with code " + std::to_string(run.exit_code)) +
         ": " + ReadFileBytes(options.errors_path) + run.console;
}

BuiltImage Failed(const std::string& why, bool missing_tool = false) {
  BuiltImage image;
  image.why = why;
  image.missing_tool = missing_tool;
  return image;
}

std::string MakeSparseFile(const std::string& path, uint64_t size) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return SystemError("cannot create", path);
  int result = ftruncate(fd, static_cast<off_t>(size));
  close(fd);
  return result == 0 ? "" : SystemError("cannot size", path);
}

std::string WriteAll(int fd, const char* data, size_t size,
                     const std::string& path) {
  while (size > 0) {
    ssize_t n = write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return SystemError("cannot write", path);
    data += n;
    size -= static_cast<size_t>(n);
  }
  return "";
}

std::string Folder(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? "" : path.substr(0, slash);
}

std::string BaseName(const std::string& path) {
  return path.substr(path.rfind('/') + 1);
}

// Every folder on the way to `path` below the volume's root, outermost
// first, `path` included.
std::vector<std::string> FoldersTo(const std::string& path) {
  std::vector<std::string> out;
  for (size_t slash = path.find('/'); slash != std::string::npos;
       slash = path.find('/', slash + 1))
    out.push_back(path.substr(0, slash));
  if (!path.empty()) out.push_back(path);
  return out;
}

// Makes through `make` each folder of the tree and on its files' paths that
// is not made yet, in the order they come.
std::string MakeTreeFolders(
    const Tree& tree,
    const std::function<std::string(const std::string&)>& make) {
  std::set<std::string> made;
  std::vector<std::string> wanted;
  for (const std::string& folder : tree.folders)
    for (const std::string& step : FoldersTo(folder)) wanted.push_back(step);
  for (const TreeFile& file : tree.files) {
    for (const std::string& step : FoldersTo(Folder(file.path)))
      wanted.push_back(step);
    for (const std::string& link : file.links)
      for (const std::string& step : FoldersTo(Folder(link)))
        wanted.push_back(step);
  }
  for (const std::string& folder : wanted) {
    if (!made.insert(folder).second) continue;
    std::string why = make(folder);
    if (!why.empty()) return why;
  }
  return "";
}

// An ntfs-3g mount of `file` on the empty folder `mount`, the program kept
// in the foreground so that its end shows that everything is written.
pid_t MountNtfs(const std::string& file, const std::string& mount,
                const std::string& options, std::string* why) {
  return StartFuseMount({"ntfs-3g", "-o", options, file, mount}, mount, why);
}

bool NtfsAvailable(std::string* why) {
  if (geteuid() != 0) {
    *why =
        "NTFS images are laid through an ntfs-3g FUSE mount, which takes "
        "root";
    return false;
  }
  int fuse = open("/dev/fuse", O_RDWR);
  if (fuse < 0) {
    *why = SystemError("NTFS images need FUSE:", "/dev/fuse");
    return false;
  }
  close(fuse);
  return ToolsInstalled({"mkntfs", "ntfs-3g"}, why);
}

// Lays `file` below the mount `root`. Compressed files are written in a
// folder marked compressed, which is how ntfs-3g compresses, and moved into
// place; fragments alternate with appends to `spacer`.
std::string LayNtfsFile(const TreeFile& file, const std::string& root,
                        const std::string& compressing, int spacer) {
  const std::string target = root + "/" + file.path;
  const std::string written =
      file.compressed ? compressing + "/" + BaseName(file.path) : target;
  int fd = open(written.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return SystemError("cannot create", written);
  std::string why;
  if (file.hole > 0) {
    off_t hole = static_cast<off_t>(file.hole);
    if ((file.bytes.empty()
             ? ftruncate(fd, hole)
             : (lseek(fd, hole, SEEK_SET) == hole ? 0 : -1)) != 0)
      why = SystemError("cannot make the hole of", written);
  }
  const size_t pieces = static_cast<size_t>(std::max(1, file.fragments));
  size_t piece = (file.bytes.size() + pieces - 1) / pieces;
  piece = (piece + 4095) / 4096 * 4096;
  const std::string spacing(4096, '\xaa');
  for (size_t at = 0; why.empty() && at < file.bytes.size(); at += piece) {
    size_t size = std::min(piece, file.bytes.size() - at);
    why = WriteAll(fd, file.bytes.data() + at, size, written);
    if (why.empty() && pieces > 1) {
      if (fsync(fd) != 0) why = SystemError("cannot sync", written);
      if (why.empty())
        why = WriteAll(spacer, spacing.data(), spacing.size(), "the spacer");
      if (why.empty() && fsync(spacer) != 0)
        why = SystemError("cannot sync", "the spacer");
    }
  }
  if (close(fd) != 0 && why.empty()) why = SystemError("cannot close", written);
  if (!why.empty()) return why;
  if (file.compressed && rename(written.c_str(), target.c_str()) != 0)
    return SystemError("cannot move into place", target);
  if (!file.short_name.empty() &&
      setxattr(target.c_str(), "system.ntfs_dos_name", file.short_name.data(),
               file.short_name.size(), 0) != 0)
    return SystemError("cannot give a short name to", target);
  for (const auto& [name, bytes] : file.streams)
    if (setxattr(target.c_str(), ("user." + name).c_str(), bytes.data(),
                 bytes.size(), 0) != 0)
      return SystemError("cannot add the stream " + name + " to", target);
  for (const std::string& link : file.links)
    if (::link(target.c_str(), (root + "/" + link).c_str()) != 0)
      return SystemError("cannot link", root + "/" + link);
  return "";
}

// Makes the tree's WOF files what CompactOS makes of a file, once the tree
// is laid, through a mount of its own that shows named streams as Windows
// names them ("a.sys:WofCompressedData").
std::string LayWofFiles(const Tree& tree, const std::string& volume_file,
                        const std::string& mount) {
  bool any = false;
  for (const TreeFile& file : tree.files) any |= file.wof_algorithm >= 0;
  if (!any) return "";
  std::string why;
  pid_t pid = MountNtfs(volume_file, mount,
                        "streams_interface=windows,no_detach", &why);
  if (pid < 0) return why;
  for (const TreeFile& file : tree.files) {
    if (file.wof_algorithm < 0 || !why.empty()) continue;
    why = MakeWofFile(
        mount + "/" + file.path, file.bytes.size(),
        file.wof_stream.value_or(
            WofCompressedStream(file.bytes, file.wof_algorithm)),
        file.wof_reparse.value_or(WofReparseValue(file.wof_algorithm)));
  }
  std::string unmounted = StopFuseMount(mount, pid);
  return why.empty() ? unmounted : why;
}

BuiltImage MakeNtfsVolume(const VolumeRecipe& recipe) {
  std::string why;
  if (!NtfsAvailable(&why)) return Failed(why, true);
  BuiltImage image;
  image.folder = NewFolder(recipe.name);
  image.path = image.raw = image.folder + "/" + recipe.name + ".raw";
  why = MakeSparseFile(image.path, recipe.size_mib * kMiB);
  if (why.empty())
    why = RunTool(
        {"mkntfs", "-F", "-q", "-f", "-s", std::to_string(recipe.sector_size),
         "-c", std::to_string(recipe.cluster_size), "-L", "KIT", image.path});
  if (!why.empty()) return Failed(why);
  const std::string mount = NewFolder(recipe.name + "-mount");
  pid_t pid = MountNtfs(image.path, mount, "compression,no_detach", &why);
  if (pid < 0) return Failed(why);
  why = LayNtfsTree(recipe.tree, mount);
  std::string unmounted = StopFuseMount(mount, pid);
  if (why.empty()) why = unmounted;
  if (why.empty()) why = LayWofFiles(recipe.tree, image.path, mount);
  rmdir(mount.c_str());
  if (!why.empty()) return Failed(why);
  image.built = true;
  image.offsets = {0};
  image.volume_files = {image.path};
  return image;
}

BuiltImage MakeFatVolume(const VolumeRecipe& recipe) {
  std::string why;
  if (!ToolsInstalled({"mkfs.fat", "mmd", "mcopy", "mdel"}, &why))
    return Failed(why, true);
  if (!recipe.tree.removed.empty())
    return Failed(recipe.name + ": FAT volumes are laid once, nothing removed");
  for (const TreeFile& file : recipe.tree.files)
    if (!file.short_name.empty() || !file.streams.empty() ||
        !file.links.empty() || file.hole || file.compressed ||
        file.fragments > 1 || file.wof_algorithm >= 0)
      return Failed(file.path + ": FAT volumes take no NTFS extras");
  BuiltImage image;
  image.folder = NewFolder(recipe.name);
  image.path = image.raw = image.folder + "/" + recipe.name + ".raw";
  const bool fat32 = recipe.file_system == FileSystem::kFat32;
  why = MakeSparseFile(image.path, recipe.size_mib * kMiB);
  if (why.empty())
    why =
        RunTool({"mkfs.fat", "-F", fat32 ? "32" : "16", "-s", fat32 ? "1" : "2",
                 "-S", "512", "-i", "4b495400", "-n", "KIT", image.path});
  if (!why.empty()) return Failed(why);
  const std::map<std::string, std::string> env = {{"MTOOLS_SKIP_CHECK", "1"},
                                                  {"MTOOLSRC", "/dev/null"}};
  why = MakeTreeFolders(recipe.tree, [&](const std::string& folder) {
    return RunTool({"mmd", "-i", image.path, "::/" + folder}, "", env);
  });
  const std::string staged = LogFile("staged");
  for (const TreeFile& file : recipe.tree.files) {
    if (!why.empty()) break;
    WriteFileBytes(staged, file.bytes);
    why = RunTool({"mcopy", "-i", image.path, staged, "::/" + file.path}, "",
                  env);
  }
  for (const TreeFile& file : recipe.tree.files)
    if (why.empty() && file.deleted)
      why = RunTool({"mdel", "-i", image.path, "::/" + file.path}, "", env);
  if (!why.empty()) return Failed(why);
  image.built = true;
  image.offsets = {0};
  image.volume_files = {image.path};
  return image;
}

// Copies the volume file into the disk file at `offset`, leaving runs of
// zeros unwritten, so that the disk stays as sparse as the volume.
std::string CopyInto(const std::string& volume, const std::string& disk,
                     uint64_t offset) {
  int in = open(volume.c_str(), O_RDONLY);
  int out = open(disk.c_str(), O_WRONLY);
  std::string why;
  if (in < 0 || out < 0)
    why = SystemError("cannot open", volume + " or " + disk);
  std::string block(kMiB, '\0');
  const std::string zeros(kMiB, '\0');
  for (uint64_t at = 0; why.empty();) {
    ssize_t n = pread(in, &block[0], block.size(), static_cast<off_t>(at));
    if (n < 0) why = SystemError("cannot read", volume);
    if (n <= 0) break;
    if (block.compare(0, n, zeros, 0, n) != 0 &&
        pwrite(out, block.data(), n, static_cast<off_t>(offset + at)) != n)
      why = SystemError("cannot write", disk);
    at += static_cast<uint64_t>(n);
  }
  if (in >= 0) close(in);
  if (out >= 0) close(out);
  return why;
}

const char* TypeOf(PartitionTable table, FileSystem file_system) {
  if (table == PartitionTable::kGpt)
    return "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7";
  switch (file_system) {
    case FileSystem::kNtfs:
      return "7";
    case FileSystem::kFat32:
      return "c";
    case FileSystem::kFat16:
      return "6";
  }
  return "7";
}

BuiltImage MakeDisk(const DiskRecipe& recipe) {
  BuiltImage image;
  std::string label = recipe.table == PartitionTable::kMbr ? "mbr" : "gpt";
  for (const VolumeRecipe& volume : recipe.volumes) {
    const BuiltImage& built = BuildVolume(volume);
    if (!built.built) return built;
    image.volume_files.push_back(built.path);
    image.shadows.push_back(built.shadows.empty() ? VolumeShadows()
                                                  : built.shadows[0]);
    label += "-" + volume.name;
  }
  std::string why;
  if (!ToolsInstalled({"sfdisk"}, &why)) return Failed(why, true);
  std::string script = std::string("label: ") +
                       (recipe.table == PartitionTable::kMbr ? "dos" : "gpt") +
                       "\nunit: sectors\n";
  uint64_t at = kMiB;
  for (const VolumeRecipe& volume : recipe.volumes) {
    image.offsets.push_back(at);
    uint64_t size = volume.size_mib * kMiB;
    script += "start=" + std::to_string(at / 512) +
              ", size=" + std::to_string(size / 512) +
              ", type=" + TypeOf(recipe.table, volume.file_system) + "\n";
    at += size;
  }
  image.folder = NewFolder(label);
  image.path = image.raw = image.folder + "/disk.raw";
  const std::string script_path = LogFile("sfdisk-script");
  WriteFileBytes(script_path, script);
  why = MakeSparseFile(image.path, at + kMiB);
  if (why.empty()) why = RunTool({"sfdisk", "-q", image.path}, script_path);
  for (size_t i = 0; why.empty() && i < recipe.volumes.size(); ++i)
    why = CopyInto(image.volume_files[i], image.path, image.offsets[i]);
  if (!why.empty()) return Failed(why);
  image.built = true;
  return image;
}

BuiltImage Convert(const BuiltImage& raw, ImageFormat format) {
  static const char* const kLabels[] = {
      "raw",  "split", "e01",        "vhd",     "vmdk",        "vhdx",
      "qcow", "qcow2", "qcow2-comp", "qcow2v2", "qcow2v2-comp"};
  BuiltImage image = raw;
  std::string why;
  const char* tool = format == ImageFormat::kSplit ? "split"
                     : format == ImageFormat::kE01 ? "ewfacquire"
                                                   : "qemu-img";
  if (!ToolsInstalled({tool}, &why)) return Failed(why, true);
  image.folder = NewFolder(kLabels[static_cast<int>(format)]);
  switch (format) {
    case ImageFormat::kSplit:
      image.path = image.folder + "/disk.001";
      why = RunTool({"split", "-a", "3", "--numeric-suffixes=1", "-b", "4M",
                     raw.raw, image.folder + "/disk."});
      break;
    case ImageFormat::kE01:
      // Segments of 8 MiB without compression: most disks take several.
      image.path = image.folder + "/disk.E01";
      why = RunTool({"ewfacquire", "-u", "-q", "-c", "none", "-S", "8MiB", "-t",
                     image.folder + "/disk", raw.raw});
      break;
    case ImageFormat::kVhd:
      image.path = image.folder + "/disk.vhd";
      why = RunTool({"qemu-img", "convert", "-f", "raw", "-O", "vpc", "-o",
                     "subformat=dynamic,force_size=on", raw.raw, image.path});
      break;
    case ImageFormat::kVmdk:
      image.path = image.folder + "/disk.vmdk";
      why = RunTool({"qemu-img", "convert", "-f", "raw", "-O", "vmdk", raw.raw,
                     image.path});
      break;
    case ImageFormat::kVhdx:
      image.path = image.folder + "/disk.vhdx";
      why = RunTool({"qemu-img", "convert", "-f", "raw", "-O", "vhdx", raw.raw,
                     image.path});
      break;
    case ImageFormat::kQcow:
      image.path = image.folder + "/disk.qcow";
      why = RunTool({"qemu-img", "convert", "-f", "raw", "-O", "qcow", raw.raw,
                     image.path});
      break;
    case ImageFormat::kQcow2:
    case ImageFormat::kQcow2Compressed:
    case ImageFormat::kQcow2V2:
    case ImageFormat::kQcow2V2Compressed: {
      image.path = image.folder + "/disk.qcow2";
      std::vector<std::string> argv = {"qemu-img", "convert", "-f",
                                       "raw",      "-O",      "qcow2"};
      if (format == ImageFormat::kQcow2Compressed ||
          format == ImageFormat::kQcow2V2Compressed)
        argv.push_back("-c");
      if (format == ImageFormat::kQcow2V2 ||
          format == ImageFormat::kQcow2V2Compressed)
        argv.insert(argv.end(), {"-o", "compat=0.10"});
      argv.insert(argv.end(), {raw.raw, image.path});
      why = RunTool(argv);
      break;
    }
    case ImageFormat::kRaw:
      break;
  }
  if (!why.empty()) return Failed(why);
  return image;
}

// The qemu-io commands that write into a QCOW2 image holding the disk
// `from` what differs in the disk `to`, cluster by cluster: each run of
// changed clusters from a file of its own, named after `label`, and each
// run that `to` holds as zeros as zero clusters.
std::vector<std::string> WritesOfChanges(const std::string& label,
                                         const std::string& from,
                                         const std::string& to) {
  const size_t kCluster = 64 << 10;
  const std::string before = ReadFileBytes(from), after = ReadFileBytes(to);
  const std::string zeros(kCluster, '\0');
  std::vector<std::string> commands;
  size_t run_start = 0, run_size = 0;
  bool run_zeros = false;
  auto end_run = [&]() {
    if (run_size == 0) return;
    const std::string where =
        std::to_string(run_start) + " " + std::to_string(run_size);
    if (run_zeros) {
      commands.push_back("write -q -z " + where);
    } else {
      const std::string bytes = LogFile(label + "-write");
      WriteFileBytes(bytes, after.substr(run_start, run_size));
      commands.push_back("write -q -s " + bytes + " " + where);
    }
    run_size = 0;
  };
  for (size_t at = 0; at < after.size(); at += kCluster) {
    size_t size = std::min(kCluster, after.size() - at);
    bool differs =
        at >= before.size() || before.compare(at, size, after, at, size) != 0;
    bool is_zeros = after.compare(at, size, zeros, 0, size) == 0;
    if (!differs || is_zeros != run_zeros) end_run();
    if (!differs) continue;
    if (run_size == 0) {
      run_start = at;
      run_zeros = is_zeros;
    }
    run_size += size;
  }
  end_run();
  return commands;
}

std::map<std::string, BuiltImage>& Cache() {
  static std::map<std::string, BuiltImage> images;
  return images;
}

uint32_t Read32(const std::string& bytes, size_t at) {
  uint32_t value = 0;
  for (int i = 3; i >= 0; --i)
    value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
  return value;
}

// The offsets of the attributes of the MFT record at `record`.
std::vector<size_t> Attributes(const std::string& volume, size_t record) {
  std::vector<size_t> out;
  size_t at = record + (Read32(volume, record + 0x14) & 0xffff);
  while (at + 16 <= record + 1024) {
    uint32_t type = Read32(volume, at), length = Read32(volume, at + 4);
    if (type == 0xffffffff || length < 16 || at + length > record + 1024) break;
    out.push_back(at);
    at += length;
  }
  return out;
}

}  // namespace

pid_t StartFuseMount(std::vector<std::string> argv, const std::string& mount,
                     std::string* why) {
  const std::string name = argv[0];
  argv[0] = Tool(name);
  const std::string log = LogFile(name + ".log");
  struct stat outside;
  if (stat(Folder(mount).c_str(), &outside) != 0) {
    *why = SystemError("cannot stat", Folder(mount));
    return -1;
  }
  std::vector<char*> args;
  for (std::string& word : argv) args.push_back(&word[0]);
  args.push_back(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int in = open("/dev/null", O_RDONLY);
    dup2(in, 0);
    dup2(out, 1);
    dup2(out, 2);
    execv(args[0], args.data());
    _exit(127);
  }
  if (pid < 0) {
    *why = SystemError("cannot fork for", name);
    return -1;
  }
  for (int wait = 0; wait < 1000; ++wait) {
    struct stat inside;
    if (stat(mount.c_str(), &inside) == 0 && inside.st_dev != outside.st_dev)
      return pid;
    int status;
    if (waitpid(pid, &status, WNOHANG) == pid) {
      *why = name + " did not mount " + mount + ": " + ReadFileBytes(log);
      return -1;
    }
    usleep(10000);
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  *why =
      name + " did not mount " + mount + " within 10 s: " + ReadFileBytes(log);
  return -1;
}

std::string StopFuseMount(const std::string& mount, pid_t pid) {
  std::string why;
  for (int attempt = 0; umount(mount.c_str()) != 0; ++attempt) {
    if (errno != EBUSY || attempt == 100) {
      why = SystemError("cannot unmount", mount);
      kill(pid, SIGTERM);
      break;
    }
    usleep(20000);
  }
  int status = 0;
  for (int wait = 0; waitpid(pid, &status, WNOHANG) != pid; ++wait) {
    if (wait == 3000) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return "the file system of " + mount + " did not end after its unmount";
    }
    usleep(10000);
  }
  if (why.empty() && !(WIFEXITED(status) && WEXITSTATUS(status) == 0))
    why = "the file system of " + mount + " ended badly after its unmount";
  return why;
}

std::string LayNtfsTree(const Tree& tree, const std::string& root) {
  for (const std::string& removed : tree.removed) {
    const std::string path = root + "/" + removed;
    struct stat info;
    if (lstat(path.c_str(), &info) != 0) return SystemError("no", path);
    RemoveTree(path);
    if (lstat(path.c_str(), &info) == 0) return "cannot remove " + path;
  }
  // A later state finds the folders of the states before.
  std::string why = MakeTreeFolders(tree, [&root](const std::string& folder) {
    std::string path = root + "/" + folder;
    return mkdir(path.c_str(), 0755) == 0 || errno == EEXIST
               ? ""
               : SystemError("cannot make", path);
  });
  if (!why.empty()) return why;
  const std::string compressing = root + "/compressing.tmp";
  const std::string spacer_path = root + "/spacer.tmp";
  bool compresses = false, fragments = false;
  for (const TreeFile& file : tree.files) {
    compresses |= file.compressed;
    fragments |= file.fragments > 1;
  }
  if (compresses) {
    const char kCompressed[4] = {0, 0, 0x08, 0};  // big-endian 0x800
    if (mkdir(compressing.c_str(), 0755) != 0 ||
        setxattr(compressing.c_str(), "system.ntfs_attrib_be", kCompressed,
                 sizeof kCompressed, 0) != 0)
      return SystemError("cannot make the compressed folder", compressing);
  }
  int spacer = -1;
  if (fragments) {
    spacer = open(spacer_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (spacer < 0) return SystemError("cannot create", spacer_path);
  }
  for (const TreeFile& file : tree.files) {
    why = LayNtfsFile(file, root, compressing, spacer);
    if (!why.empty()) break;
  }
  if (spacer >= 0) {
    close(spacer);
    unlink(spacer_path.c_str());
  }
  if (compresses) rmdir(compressing.c_str());
  if (!why.empty()) return why;
  for (const TreeFile& file : tree.files)
    if (file.deleted && unlink((root + "/" + file.path).c_str()) != 0)
      return SystemError("cannot delete", root + "/" + file.path);
  sync();
  return "";
}

ImageRun RunOnImage(const std::string& tool, const std::string& image,
                    const std::map<std::string, std::string>& env) {
  TempFolder temp;
  const std::string decoy = temp.path() + "/Windows";
  WriteFileBytes(decoy + "/System32/drivers/decoy.sys", WithSignature(kRow1));
  WriteFileBytes(decoy + "/inf/decoy.pnf", EveryByte());
  RunOptions options = OptionsIn(temp.path(), {"case.log"}, decoy);
  options.env["VORLKIT_IMAGE"] = image;
  for (const auto& [name, value] : env) options.env[name] = value;
  options.timeout_seconds = 60;
  ImageRun out;
  out.run = RunNative(tool, options);
  out.log = LogTextAfterStart(temp.path() + "/case.log", NativeProgram(tool));
  return out;
}

TreeFile File(const std::string& path, const std::string& bytes) {
  TreeFile file;
  file.path = path;
  file.bytes = bytes;
  return file;
}

const BuiltImage& BuildVolume(const VolumeRecipe& recipe) {
  auto [entry, added] = Cache().try_emplace("volume:" + recipe.name);
  if (added)
    entry->second = !recipe.shadows.empty() ? MakeShadowedVolume(recipe)
                    : recipe.file_system == FileSystem::kNtfs
                        ? MakeNtfsVolume(recipe)
                        : MakeFatVolume(recipe);
  return entry->second;
}

const BuiltImage& BuildImage(const DiskRecipe& recipe) {
  std::string disk = std::to_string(static_cast<int>(recipe.table));
  for (const VolumeRecipe& volume : recipe.volumes) disk += ":" + volume.name;
  const std::string key =
      "disk:" + disk + ":" + std::to_string(static_cast<int>(recipe.format));
  auto found = Cache().find(key);
  if (found != Cache().end()) return found->second;
  BuiltImage image;
  if (recipe.table == PartitionTable::kNone && recipe.volumes.size() != 1) {
    image = Failed("a bare volume is one volume");
  } else if (recipe.format != ImageFormat::kRaw) {
    DiskRecipe raw = recipe;
    raw.format = ImageFormat::kRaw;
    const BuiltImage& source = BuildImage(raw);
    image = source.built ? Convert(source, recipe.format) : source;
  } else {
    image = recipe.table == PartitionTable::kNone
                ? BuildVolume(recipe.volumes[0])
                : MakeDisk(recipe);
  }
  return Cache()[key] = image;
}

const BuiltImage& ChangedImage(
    const BuiltImage& from, const std::string& file_name,
    const std::function<std::string(std::string* bytes)>& change) {
  auto [entry, added] = Cache().try_emplace("changed:" + file_name);
  if (!added) return entry->second;
  if (!from.built) return entry->second = from;
  std::string bytes = ReadFileBytes(from.raw);
  std::string why = change(&bytes);
  if (!why.empty()) return entry->second = Failed(file_name + ": " + why);
  BuiltImage image = from;
  image.folder = NewFolder("changed");
  image.path = image.raw = image.folder + "/" + file_name;
  WriteFileBytes(image.path, bytes);
  return entry->second = image;
}

const BuiltImage& QcowChanged(const std::string& label, const BuiltImage& from,
                              const BuiltImage& changed, QcowChange how) {
  auto [entry, added] = Cache().try_emplace("qcow:" + label);
  if (!added) return entry->second;
  if (!from.built) return entry->second = from;
  if (!changed.built) return entry->second = changed;
  std::string why;
  if (!ToolsInstalled({"qemu-img", "qemu-io"}, &why))
    return entry->second = Failed(why, true);
  BuiltImage image = changed;
  image.folder = NewFolder(label);
  image.path = image.folder + "/" + label + ".qcow2";
  if (how == QcowChange::kInPlace) {
    WriteFileBytes(image.path, ReadFileBytes(from.path));
  } else {
    const std::string backing =
        how == QcowChange::kOverlay
            ? from.path
            : "../" + BaseName(from.folder) + "/" + BaseName(from.path);
    why = RunTool({"qemu-img", "create", "-q", "-f", "qcow2", "-b", backing,
                   "-F", from.path == from.raw ? "raw" : "qcow2", image.path});
  }
  std::vector<std::string> argv = {"qemu-io", "-f", "qcow2"};
  for (const std::string& command :
       WritesOfChanges(label, from.raw, changed.raw))
    argv.insert(argv.end(), {"-c", command});
  argv.push_back(image.path);
  if (why.empty() && argv.size() == 4)
    why = "the two disks are the same: nothing to write";
  if (why.empty()) why = RunTool(argv);
  return entry->second = why.empty() ? image : Failed(label + ": " + why);
}

const BuiltImage& QcowConverted(const std::string& label,
                                const BuiltImage& disk,
                                const std::string& options) {
  auto [entry, added] = Cache().try_emplace("qcow:" + label);
  if (!added) return entry->second;
  if (!disk.built) return entry->second = disk;
  std::string why;
  if (!ToolsInstalled({"qemu-img"}, &why))
    return entry->second = Failed(why, true);
  BuiltImage image = disk;
  image.folder = NewFolder(label);
  image.path = image.folder + "/" + label + ".qcow2";
  why = RunTool({"qemu-img", "convert", "-f", "raw", "-O", "qcow2", "-o",
                 options, disk.raw, image.path});
  return entry->second = why.empty() ? image : Failed(label + ": " + why);
}

const BuiltImage& QcowNaming(const std::string& label,
                             const std::string& backing_name) {
  auto [entry, added] = Cache().try_emplace("qcow:" + label);
  if (!added) return entry->second;
  std::string why;
  if (!ToolsInstalled({"qemu-img"}, &why))
    return entry->second = Failed(why, true);
  BuiltImage image;
  image.folder = NewFolder(label);
  image.path = image.raw = image.folder + "/" + label + ".qcow2";
  why = RunTool({"qemu-img", "create", "-q", "-u", "-f", "qcow2", "-b",
                 backing_name, "-F", "qcow2", image.path, "64M"});
  image.built = why.empty();
  return entry->second = why.empty() ? image : Failed(label + ": " + why);
}

std::string ImageScratch(const std::string& name) {
  auto [entry, added] = Cache().try_emplace("scratch:" + name);
  if (added) entry->second.folder = NewFolder(name);
  return entry->second.folder;
}

NtfsMount::NtfsMount(const std::string& volume_file) {
  if (!NtfsAvailable(&why_)) return;
  path_ = NewFolder("mount");
  pid_ = MountNtfs(volume_file, path_, "ro,no_detach", &why_);
}

NtfsMount::~NtfsMount() {
  if (pid_ > 0) StopFuseMount(path_, pid_);
  if (!path_.empty()) rmdir(path_.c_str());
}

LoopDevice::LoopDevice(const BuiltImage& disk) {
  image_ = disk;
  image_.built = false;
  if (!disk.built) return;
  if (geteuid() != 0) {
    image_.why = "a loop device takes root";
    image_.missing_tool = true;
    return;
  }
  if (!ToolsInstalled({"losetup"}, &image_.why)) {
    image_.missing_tool = true;
    return;
  }
  std::string device;
  image_.why =
      RunTool({"losetup", "-r", "-f", "--show", disk.raw}, "", {}, &device);
  while (!device.empty() && device.back() == '\n') device.pop_back();
  if (!image_.why.empty()) {
    // No free loop device in a container is a missing right, not a fault.
    image_.missing_tool = true;
    return;
  }
  image_.path = device;
  image_.built = true;
}

LoopDevice::~LoopDevice() {
  if (image_.built) RunTool({"losetup", "-d", image_.path});
}

std::string ImageState(const BuiltImage& image) {
  std::vector<std::string> names;
  if (DIR* dir = opendir(image.folder.c_str())) {
    while (dirent* entry = readdir(dir))
      if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0)
        names.push_back(entry->d_name);
    closedir(dir);
  }
  std::sort(names.begin(), names.end());
  std::string out;
  for (const std::string& name : names) {
    const std::string path = image.folder + "/" + name;
    struct stat info;
    if (lstat(path.c_str(), &info) != 0) {
      out += name + " gone\n";
      continue;
    }
    // FNV-1a over the bytes.
    uint64_t hash = 14695981039346656037ull;
    int fd = open(path.c_str(), O_RDONLY | O_NOATIME);
    char buffer[65536];
    ssize_t n;
    while (fd >= 0 && (n = read(fd, buffer, sizeof buffer)) > 0)
      for (ssize_t i = 0; i < n; ++i)
        hash =
            (hash ^ static_cast<unsigned char>(buffer[i])) * 1099511628211ull;
    if (fd >= 0) close(fd);
    out += name + " size=" + std::to_string(info.st_size) +
           " mtime=" + std::to_string(info.st_mtim.tv_sec) + "." +
           std::to_string(info.st_mtim.tv_nsec) +
           " ctime=" + std::to_string(info.st_ctim.tv_sec) + "." +
           std::to_string(info.st_ctim.tv_nsec) +
           " hash=" + std::to_string(hash) + "\n";
  }
  return out;
}

size_t FindCluster(const std::string& volume, const std::string& head) {
  for (size_t at = 0; at + head.size() <= volume.size(); at += 4096)
    if (volume.compare(at, head.size(), head) == 0) return at;
  return std::string::npos;
}

size_t FindFileRecord(const std::string& volume, const std::string& utf8_name) {
  const std::string name = Utf16Le(utf8_name);
  for (size_t record = 0; record + 1024 <= volume.size(); record += 1024) {
    if (volume.compare(record, 4, "FILE") != 0) continue;
    // A folder's record holds its entries' names too, in its index: only
    // the names of the record's own $FILE_NAME attributes count.
    for (size_t at : Attributes(volume, record)) {
      if (Read32(volume, at) != 0x30 || volume[at + 8] != 0) continue;
      size_t value = at + (Read32(volume, at + 0x14) & 0xffff);
      if (value + 0x42 > record + 1024) continue;
      size_t length = static_cast<unsigned char>(volume[value + 0x40]);
      if (value + 0x42 + 2 * length <= record + 1024 &&
          volume.compare(value + 0x42, 2 * length, name) == 0)
        return record;
    }
  }
  return std::string::npos;
}

size_t FindAttribute(const std::string& volume, size_t record, uint32_t type) {
  for (size_t at : Attributes(volume, record))
    if (Read32(volume, at) == type && volume[at + 9] == 0) return at;
  return std::string::npos;
}

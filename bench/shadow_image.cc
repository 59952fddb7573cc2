// Writes the benchmark's NTFS image with shadow copies: the drivers as the
// current volume's \Windows\System32\drivers, and three older states of it
// that shadow copies keep, written by the end-to-end tests' writer of
// shadow copies (tests/e2e/shadow_copies.h) and checked with libvshadow's
// tools. Each state differs from the next in 5 % of the drivers: most
// changed in place, some replaced by a new file, a few deleted; the older
// version of a driver is an older build of it. OLD_DRIVER lives only in the
// oldest state.
//
//   shadow_image DRIVERS OLD_DRIVER OUT
//
// OUT gets shadowed.img, the volume with its copies, and current.img, the
// same current volume without them.
#include <stdio.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "bench/plain_folder.h"
#include "tests/e2e/harness.h"
#include "tests/e2e/images.h"
#include "tests/e2e/shadow_copies.h"

namespace {

const char kDrivers[] = "Windows/System32/drivers/";
const int kStates = 3;
// Per change of state, of about 700 drivers: 35, or 5 %.
const int kChangedInPlace = 27;
const int kReplaced = 5;
const int kDeleted = 3;
const char* const kCreated[kStates] = {
    "2023-03-14 09:12:40", "2023-04-11 10:03:17", "2023-05-09 08:47:55"};

// A driver as an older build of it was: another link time in its PE header
// and 64 other bytes in the middle of its code. It is as large, so that
// only its bytes tell it apart.
std::string OlderVersion(std::string bytes) {
  auto change = [&bytes](size_t at, size_t count) {
    for (size_t i = at; i < at + count && i < bytes.size(); ++i)
      bytes[i] = static_cast<char>(bytes[i] ^ 0x5a);
  };
  // The link time follows the "PE\0\0" signature, the machine and the
  // number of sections; e_lfanew at 0x3c says where the signature is.
  size_t header = 0;
  for (int i = 3; i >= 0 && bytes.size() >= 0x40; --i)
    header = header << 8 | static_cast<unsigned char>(bytes[0x3c + i]);
  change(header < bytes.size() ? header + 8 : 0, 4);
  change(bytes.size() / 2, 64);
  return bytes;
}

TreeFile Driver(const std::string& name, std::string bytes) {
  TreeFile file;
  file.path = kDrivers + name;
  file.bytes = std::move(bytes);
  return file;
}

std::string BaseName(const std::string& path) {
  return path.substr(path.rfind('/') + 1);
}

// Moves the file `from` to `to`, by a copy across file systems: the tests'
// writer works in /tmp, which may be one of its own.
bool Move(const std::string& from, const std::string& to) {
  if (rename(from.c_str(), to.c_str()) == 0) return true;
  if (errno != EXDEV) return false;
  const std::string bytes = ReadFileBytes(from);
  WriteFileBytes(to, bytes);
  struct stat info;
  return stat(to.c_str(), &info) == 0 &&
         static_cast<uint64_t>(info.st_size) == bytes.size();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: shadow_image DRIVERS OLD_DRIVER OUT\n");
    return 2;
  }
  const std::string folder = argv[1], old_driver = argv[2], out = argv[3];
  std::vector<std::string> names;
  if (!NamesEndingIn(folder.c_str(), ".sys", &names)) return 1;
  std::vector<std::string> bytes;
  uint64_t total = 0;
  for (const std::string& name : names) {
    bytes.push_back(ReadFileBytes(folder + "/" + name));
    total += bytes.back().size();
  }

  // The drivers that change, spread over the folder as updates spread
  // them, each once; the planted ones stay as they are.
  std::vector<size_t> changing;
  std::set<size_t> taken;
  uint64_t seed = 20230314;
  const size_t wanted = kStates * (kChangedInPlace + kReplaced);
  while (changing.size() < wanted && taken.size() < names.size()) {
    seed = seed * 6364136223846793005ull + 1442695040888963407ull;
    size_t i = static_cast<size_t>(seed >> 33) % names.size();
    if (!taken.insert(i).second || names[i].rfind("planted_", 0) == 0) continue;
    changing.push_back(i);
  }
  if (changing.size() < wanted) {
    fprintf(stderr, "shadow_image: too few drivers in %s\n", folder.c_str());
    return 1;
  }

  // The oldest state holds every driver, the changing ones as their older
  // versions, and the drivers that later states delete: OLD_DRIVER, then
  // older versions of drivers under names of their own.
  Tree oldest;
  std::set<size_t> older(changing.begin(), changing.end());
  for (size_t i = 0; i < names.size(); ++i)
    oldest.files.push_back(
        Driver(names[i], older.count(i) ? OlderVersion(bytes[i]) : bytes[i]));
  oldest.files.push_back(
      Driver(BaseName(old_driver), ReadFileBytes(old_driver)));
  for (int d = 1; d < kStates * kDeleted; ++d) {
    size_t i = changing[d];
    oldest.files.push_back(
        Driver("retired_" + names[i], OlderVersion(bytes[i])));
    total += bytes[i].size();
  }

  // Each newer state: its share of the changing drivers written anew, in
  // place or after a delete, and its share of the deleted ones gone.
  std::vector<Tree> changes(kStates);
  for (int s = 0; s < kStates; ++s) {
    for (int c = 0; c < kChangedInPlace + kReplaced; ++c) {
      size_t i = changing[s * (kChangedInPlace + kReplaced) + c];
      changes[s].files.push_back(Driver(names[i], bytes[i]));
      if (c >= kChangedInPlace)
        changes[s].removed.push_back(kDrivers + names[i]);
    }
    for (int d = 0; d < kDeleted; ++d)
      changes[s].removed.push_back(
          oldest.files[names.size() + s * kDeleted + d].path);
  }

  VolumeRecipe recipe{"bench-shadows", FileSystem::kNtfs,
                      static_cast<int>(total * 3 / 2 / (1 << 20)) + 64,
                      changes[kStates - 1]};
  recipe.shadows.push_back({oldest, kCreated[0]});
  for (int s = 1; s < kStates; ++s)
    recipe.shadows.push_back({changes[s - 1], kCreated[s]});
  const BuiltImage& image = BuildVolume(recipe);
  std::string why = image.built ? CheckShadowCopies(image) : image.why;
  if (!why.empty()) {
    fprintf(stderr, "shadow_image: %s\n", why.c_str());
    return 1;
  }
  const std::string current =
      ImageScratch(recipe.name + "-states") + "/current-without-stores.raw";
  MakeFolders(out);
  for (const auto& [from, to] :
       {std::make_pair(image.path, out + "/shadowed.img"),
        std::make_pair(current, out + "/current.img")}) {
    if (!Move(from, to)) {
      perror(to.c_str());
      return 1;
    }
  }
  return 0;
}

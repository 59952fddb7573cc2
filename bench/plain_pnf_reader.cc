// The plain reader that noisegauge races in the benchmark: every *.pnf file
// of the folder given is read 256 bytes at a time, stepping back 128 bytes
// after each read while a read fills the window, each read and each step
// back a system call of its own; each window's entropy is computed straight
// from its definition. Prints the lines noisegauge prints for the files whose
// average is above 0.6.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

double Entropy(const uint8_t* bytes, uint32_t n) {
  if (n == 0) return 0.0;
  uint32_t counts[256] = {};
  for (uint32_t i = 0; i < n; ++i) ++counts[bytes[i]];
  double sum = 0.0;
  for (int value = 0; value < 256; ++value) {
    if (counts[value] == 0) continue;
    double p = static_cast<double>(counts[value]) / n;
    sum += p * (std::log10(p) / std::log10(256.0));
  }
  return sum != 0.0 ? -sum : 0.0;
}

bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() &&
         text.compare(text.size() - end.size(), end.size(), end) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
    return 2;
  }
  std::vector<std::string> names;
  DIR* folder = opendir(argv[1]);
  if (!folder) {
    perror(argv[1]);
    return 1;
  }
  while (dirent* entry = readdir(folder)) {
    if (EndsWith(entry->d_name, ".pnf")) names.push_back(entry->d_name);
  }
  closedir(folder);
  std::sort(names.begin(), names.end());

  for (const std::string& name : names) {
    int fd = open((std::string(argv[1]) + "/" + name).c_str(), O_RDONLY);
    if (fd < 0) continue;
    double sum = 0.0;
    int windows = 0;
    uint8_t window[256];
    ssize_t count;
    do {
      count = read(fd, window, sizeof(window));
      if (count < 0) break;
      sum += Entropy(window, static_cast<uint32_t>(count));
      ++windows;
      lseek(fd, -128, SEEK_CUR);
    } while (count == 256);
    close(fd);
    if (windows > 0 && sum / windows > 0.6)
      printf("SUSPICIOUS: The entropy of %s is above threshold: %f\n",
             name.c_str(), sum / windows);
  }
  return 0;
}

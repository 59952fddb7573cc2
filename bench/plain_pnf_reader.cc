// The plain reader that noisegauge races in the benchmark: every *.pnf file
// of the folder given is read 256 bytes at a time, stepping back 128 bytes
// after each read while a read fills the window, each read and each step
// back a system call of its own; each window's entropy is computed straight
// from its definition. Prints the lines noisegauge prints for the files whose
// average is above 0.6.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "bench/plain_folder.h"
#include "noisegauge/defined_entropy.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
    return 2;
  }
  std::vector<std::string> names;
  if (!NamesEndingIn(argv[1], ".pnf", &names)) return 1;

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
      sum += DefinedEntropy(window, static_cast<uint32_t>(count));
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

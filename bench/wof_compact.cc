// Writes files into a folder of an ntfs-3g mount (streams_interface=windows)
// as CompactOS keeps them: each compressed by WOF with the algorithm named,
// for the benchmark's images.
//
//   wof_compact xpress4k|lzx|xpress8k|xpress16k FOLDER FILE...
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "tests/e2e/wof_files.h"

namespace {

bool AlgorithmNamed(const char* name, int* algorithm) {
  const char* const names[] = {"xpress4k", "lzx", "xpress8k", "xpress16k"};
  for (int i = 0; i < 4; ++i) {
    if (strcmp(name, names[i]) == 0) {
      *algorithm = i;
      return true;
    }
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  int algorithm = 0;
  if (argc < 3 || !AlgorithmNamed(argv[1], &algorithm)) {
    fprintf(stderr,
            "usage: wof_compact xpress4k|lzx|xpress8k|xpress16k FOLDER "
            "FILE...\n");
    return 2;
  }
  const std::string folder = argv[2];
  for (int i = 3; i < argc; ++i) {
    std::ifstream in(argv[i], std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    const std::string data = bytes.str();
    std::string name = argv[i];
    name = name.substr(name.rfind('/') + 1);
    const std::string target = folder + "/" + name;
    std::ofstream out(target, std::ios::binary | std::ios::trunc);
    out << data;
    out.close();
    if (!in || !out) {
      fprintf(stderr, "wof_compact: cannot copy %s to %s\n", argv[i],
              target.c_str());
      return 1;
    }
    std::string why =
        MakeWofFile(target, data.size(), WofCompressedStream(data, algorithm),
                    WofReparseValue(algorithm));
    if (!why.empty()) {
      fprintf(stderr, "wof_compact: %s\n", why.c_str());
      return 1;
    }
  }
  return 0;
}

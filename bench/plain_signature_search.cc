// The plain search that drvscan races in the benchmark: every *.sys file of
// the folder given is read whole, then each signature in table order is
// compared at every offset in turn, eleven passes over the data. Prints
// "FILE: SIGNATURE" for each signature found in a file.
//
// With --yara-rule instead of a folder, prints the signatures as one YARA
// rule that matches a file holding any of them.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench/plain_folder.h"
#include "drvscan/signatures.h"

namespace {

// The names in the table are ASCII.
std::string Narrow(const char16_t* text) {
  std::string narrow;
  for (; *text; ++text) narrow += static_cast<char>(*text);
  return narrow;
}

void PrintYaraRule() {
  printf("rule vorl_driver {\n  strings:\n");
  for (size_t i = 0; i < kSignatureCount; ++i) {
    const SignatureRecord& record = SignatureTable()[i];
    printf("    $s%zu = {", i + 1);
    for (uint32_t j = 0; j < record.length; ++j)
      printf(" %02x", record.pattern[j]);
    printf(" }  // %s\n", Narrow(record.name).c_str());
  }
  printf("  condition:\n    any of them\n}\n");
}

bool ReadWhole(const std::string& path, std::vector<uint8_t>* data) {
  int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return false;
  data->clear();
  uint8_t chunk[65536];
  ssize_t count;
  while ((count = read(fd, chunk, sizeof(chunk))) > 0)
    data->insert(data->end(), chunk, chunk + count);
  close(fd);
  return count == 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && strcmp(argv[1], "--yara-rule") == 0) {
    PrintYaraRule();
    return 0;
  }
  if (argc != 2) {
    fprintf(stderr, "usage: %s FOLDER | --yara-rule\n", argv[0]);
    return 2;
  }

  std::vector<std::string> names;
  if (!NamesEndingIn(argv[1], ".sys", &names)) return 1;

  std::vector<uint8_t> data;
  for (const std::string& name : names) {
    if (!ReadWhole(std::string(argv[1]) + "/" + name, &data)) {
      fprintf(stderr, "%s: cannot be read\n", name.c_str());
      continue;
    }
    for (const SignatureRecord& record : SignatureTable()) {
      for (size_t offset = 0; offset + record.length <= data.size(); ++offset) {
        if (memcmp(data.data() + offset, record.pattern, record.length) == 0) {
          printf("%s: %s\n", name.c_str(), Narrow(record.name).c_str());
          break;
        }
      }
    }
  }
  return 0;
}

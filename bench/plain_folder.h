// The folder listing of the benchmark's plain programs: the names in a
// folder that end in an extension, in byte order.
#ifndef BENCH_PLAIN_FOLDER_H_
#define BENCH_PLAIN_FOLDER_H_

#include <dirent.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

// False, with the reason on standard error, when the folder cannot be read.
inline bool NamesEndingIn(const char* folder, const std::string& end,
                          std::vector<std::string>* names) {
  DIR* stream = opendir(folder);
  if (!stream) {
    perror(folder);
    return false;
  }
  while (dirent* entry = readdir(stream)) {
    std::string name = entry->d_name;
    if (name.size() >= end.size() &&
        name.compare(name.size() - end.size(), end.size(), end) == 0)
      names->push_back(name);
  }
  closedir(stream);
  std::sort(names->begin(), names->end());
  return true;
}

#endif  // BENCH_PLAIN_FOLDER_H_

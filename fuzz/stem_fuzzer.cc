// PnfStem for any Windows folder and entry name: the stem is the entry's
// full path, folder\inf\name, cut before the first dot of the name, and only
// there. Dots, percent signs, surrogates and lengths far past the kit's path
// buffers in either part change nothing about that.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "pairscan/pnf_pairs.h"

namespace {

// UTF-16 units from the fuzzer's bytes. Paths hold no terminator.
WideString Units(FuzzedDataProvider* input) {
  std::string bytes = input->ConsumeRandomLengthString();
  WideString units;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    char16_t unit = static_cast<unsigned char>(bytes[i]) |
                    static_cast<unsigned char>(bytes[i + 1]) << 8;
    if (unit != 0) units.push_back(unit);
  }
  return units;
}

void Check(bool ok, const char* what) {
  if (ok) return;
  fprintf(stderr, "PnfStem: %s\n", what);
  abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  WideString folder = Units(&input);
  WideString name = Units(&input);

  WideString full_path = folder + u"\\inf\\" + name;
  WideString stem = PnfStem(folder, name);
  size_t name_start = folder.size() + 5;

  Check(full_path.compare(0, stem.size(), stem) == 0,
        "the stem is not the start of the full path");
  Check(stem.size() >= name_start, "the stem ends inside the folder part");
  Check(stem.find(u'.', name_start) == WideString::npos,
        "the stem keeps a dot of the name");
  Check(stem.size() == full_path.size() || full_path[stem.size()] == u'.',
        "the stem is not cut at a dot");
  return 0;
}

#include "volume/wof.h"

#include <vector>

#include "gtest/gtest.h"

namespace {

// A build without wimlib refuses a WOF file as it refuses images without
// libtsk, without reading its stream.
TEST(WofWithoutWimlib, RefusesEveryWofFile) {
  EXPECT_FALSE(CanReadWofFiles());
  std::vector<uint8_t> reparse = {0x17, 0, 0, 0x80, 16, 0, 0, 0, 1, 0, 0, 0,
                                  2,    0, 0, 0,    1,  0, 0, 0, 0, 0, 0, 0};
  WofStream stream;
  stream.read = [](void*, uint64_t, void*, size_t) -> uint32_t {
    ADD_FAILURE() << "the stream was read";
    return kErrorIoDevice;
  };
  stream.size = 100;
  WofFilePtr file;
  EXPECT_EQ(OpenWofFile(reparse, 5000, stream, &file), kErrorNotSupported);
  EXPECT_FALSE(file);
}

}  // namespace

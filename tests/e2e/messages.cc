#include "tests/e2e/messages.h"

const std::string kRow1 = "\xb8\x5c\x17\xe9\x42";
const std::string kRow5 = "\x57\xb9\x2a\xc6\x2a\xc6\xeb\x0d";
const std::string kRow11 =
    "\x79\xf4\x8b\xc7\x5f\x5e\x5d\x5b\x83\xc4\x4c\xc3\xcc\xcc\xcc\xcc";
const char kHit1[] =
    "SUSPICIOUS: Pattern decrypt magic1 is matching: \n"
    "b8 5c 17 e9 42 \n";
const char kHit5[] =
    "SUSPICIOUS: Pattern C6 2A xor is matching: \n"
    "57 b9 2a c6 2a c6 eb 0d \n";
const char kHit11[] =
    "SUSPICIOUS: Pattern 79 F4 8B is matching: \n"
    "79 f4 8b c7 5f 5e 5d 5b \n83 c4 4c c3 cc cc cc cc \n";

std::string WithSignature(const std::string& row) {
  return std::string(8, '\x90') + row + std::string(8, '\x90');
}

std::string EveryByte() {
  std::string bytes;
  for (int value = 0; value < 256; ++value) bytes.push_back(value);
  return bytes;
}

std::string Incompressible(size_t size, uint32_t seed) {
  std::string bytes;
  uint32_t state = seed;
  for (size_t i = 0; i < size; ++i) {
    state = state * 1664525u + 1013904223u;
    bytes.push_back(static_cast<char>(state >> 24));
  }
  return bytes;
}

std::string Repeat(const std::string& bytes, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += bytes;
  return out;
}

std::string Placed(size_t size, char fill, size_t at, const std::string& row) {
  std::string bytes(size, fill);
  bytes.replace(at, row.size(), row);
  return bytes;
}

std::string Checking(const std::string& name) {
  return "INFO: Checking file " + name + "\n";
}

std::string Logged(const std::string& file, const char* pattern) {
  return "SUSPICIOUS: File " + file + " matches pattern called " + pattern +
         "\r\n";
}

std::string AboveThreshold(const std::string& name) {
  return "SUSPICIOUS: The entropy of " + name +
         " is above threshold: 0.937500\r\n";
}

std::string Orphan(const std::string& stem) {
  return "SUSPICIOUS: There is no corresponding inf file for " + stem + "\r\n";
}

std::string Hidden(const std::string& name) {
  return "SUSPICIOUS: The folder listing hides " + name + "\r\n";
}

std::string Masked(const std::string& name) {
  return "SUSPICIOUS: The system reads " + name + " otherwise than on disk\r\n";
}

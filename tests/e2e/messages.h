// The texts the kit's programs print and log, written out again for the
// end-to-end tests so that they do not take them from the code they test,
// and the fixture bytes that make the programs say them.
#ifndef TESTS_E2E_MESSAGES_H_
#define TESTS_E2E_MESSAGES_H_

#include <cstddef>
#include <cstdint>
#include <string>

// Signatures 1, 5 and 11 and their console reports.
extern const std::string kRow1;
extern const std::string kRow5;
extern const std::string kRow11;
extern const char kHit1[];
extern const char kHit5[];
extern const char kHit11[];

// A driver file that holds `row` with filler around it, long enough for every
// signature to be searched.
std::string WithSignature(const std::string& row);

// 256 bytes holding every value once: windows of entropy 1.0 and 0.875,
// average 0.937500.
std::string EveryByte();

// `size` bytes that no compression shrinks, the same in every run for the
// same `seed`.
std::string Incompressible(size_t size, uint32_t seed = 7);

// `bytes` `times` over.
std::string Repeat(const std::string& bytes, int times);

// `size` bytes of `fill` with `row` placed at `at`.
std::string Placed(size_t size, char fill, size_t at, const std::string& row);

// "INFO: Checking file <name>\n".
std::string Checking(const std::string& name);

// drvscan's log line for `pattern` found in `file`.
std::string Logged(const std::string& file, const char* pattern);

// noisegauge's finding for a file of average 0.937500 (EveryByte()).
std::string AboveThreshold(const std::string& name);

// pairscan's finding for a stem without an .inf file.
std::string Orphan(const std::string& stem);

// The findings of a folder compared with the raw volume: a file that the
// listing hides, and one that the system reads otherwise than on disk.
std::string Hidden(const std::string& name);
std::string Masked(const std::string& name);

#endif  // TESTS_E2E_MESSAGES_H_

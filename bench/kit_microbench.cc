// The two inner loops of the kit in isolation, on real machine code: the
// signature search of drvscan and the window entropy of noisegauge, each
// beside the plain way of computing the same result.
//
// The data is a Windows library that Wine installs (KIT_BENCH_SAMPLE names
// another file); without one, pseudo-random bytes stand in.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

#include <benchmark/benchmark.h>

#include "drvscan/signatures.h"
#include "noisegauge/defined_entropy.h"
#include "noisegauge/entropy.h"

namespace {

using Bytes = std::vector<uint8_t>;

const Bytes& Sample() {
  static const Bytes sample = [] {
    const char* path = getenv("KIT_BENCH_SAMPLE");
    if (!path)
      path = "/usr/lib/x86_64-linux-gnu/wine/x86_64-windows/shell32.dll";
    std::ifstream in(path, std::ios::binary);
    Bytes bytes((std::istreambuf_iterator<char>(in)),
                std::istreambuf_iterator<char>());
    if (bytes.size() < 1024 * 1024) {
      bytes.resize(16 * 1024 * 1024);
      uint32_t state = 1;
      for (uint8_t& byte : bytes) {
        state = state * 1103515245u + 12345u;
        byte = static_cast<uint8_t>(state >> 16);
      }
    }
    return bytes;
  }();
  return sample;
}

void FindSignaturesInOnePass(benchmark::State& state) {
  const Bytes& data = Sample();
  size_t first[kSignatureCount];
  for (auto _ : state) {
    FindSignatures(data.data(), data.size(), first);
    benchmark::DoNotOptimize(first);
  }
  state.SetBytesProcessed(state.iterations() * data.size());
}
BENCHMARK(FindSignaturesInOnePass)->Unit(benchmark::kMillisecond);

// Each signature in turn at every offset, as the rules describe the search.
void SearchEveryOffsetPerSignature(benchmark::State& state) {
  const Bytes& data = Sample();
  size_t first[kSignatureCount];
  for (auto _ : state) {
    for (size_t i = 0; i < kSignatureCount; ++i) {
      const SignatureRecord& record = SignatureTable()[i];
      first[i] = kNotFound;
      for (size_t offset = 0; offset + record.length <= data.size(); ++offset) {
        if (memcmp(data.data() + offset, record.pattern, record.length) == 0) {
          first[i] = offset;
          break;
        }
      }
    }
    benchmark::DoNotOptimize(first);
  }
  state.SetBytesProcessed(state.iterations() * data.size());
}
BENCHMARK(SearchEveryOffsetPerSignature)->Unit(benchmark::kMillisecond);

constexpr size_t kStep = 128;

size_t WindowCount(const Bytes& data) { return data.size() / kStep - 1; }

void SlideTheWindow(benchmark::State& state) {
  const Bytes& data = Sample();
  std::vector<double> entropies(WindowCount(data));
  for (auto _ : state) {
    SlidingWindowEntropies(data.data(), entropies.size(), entropies.data());
    benchmark::DoNotOptimize(entropies.data());
  }
  state.SetBytesProcessed(state.iterations() * data.size());
}
BENCHMARK(SlideTheWindow)->Unit(benchmark::kMillisecond);

void CountEachWindowAfresh(benchmark::State& state) {
  const Bytes& data = Sample();
  const size_t windows = WindowCount(data);
  for (auto _ : state) {
    double sum = 0.0;
    for (size_t i = 0; i < windows; ++i)
      sum += WindowEntropy(data.data() + i * kStep, 256);
    benchmark::DoNotOptimize(sum);
  }
  state.SetBytesProcessed(state.iterations() * data.size());
}
BENCHMARK(CountEachWindowAfresh)->Unit(benchmark::kMillisecond);

// Every window counted afresh and every term's logarithm computed.
void ComputeEachTerm(benchmark::State& state) {
  const Bytes& data = Sample();
  const size_t windows = WindowCount(data);
  for (auto _ : state) {
    double total = 0.0;
    for (size_t i = 0; i < windows; ++i)
      total += DefinedEntropy(data.data() + i * kStep, 256);
    benchmark::DoNotOptimize(total);
  }
  state.SetBytesProcessed(state.iterations() * data.size());
}
BENCHMARK(ComputeEachTerm)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();

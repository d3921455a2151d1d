// Keystream throughput over one copy chunk (MB/s of entry data), kesto's
// keystream beside the byte-at-a-time reference.
#include <benchmark/benchmark.h>

#include <vector>

#include "ar/keystream.h"
#include "bytewise_keystream.h"
#include "common/chunk_copy.h"
#include "sample_data.h"

namespace {

constexpr std::uint16_t bench_key = 0x3A7D;

template <class Keystream, bool Scramble>
void run_keystream(benchmark::State& state) {
  std::string sample = kesto_test::binary_like(kesto::copy_chunk_size, 1);
  std::vector<unsigned char> chunk(sample.begin(), sample.end());
  // One keystream for the whole run: the registers run on across chunks, as
  // they do across the chunks of one long entry.
  Keystream ks(bench_key);
  for (auto _ : state) {
    if constexpr (Scramble) {
      ks.scramble(chunk.data(), chunk.size());
    } else {
      ks.unscramble(chunk.data(), chunk.size());
    }
    benchmark::DoNotOptimize(chunk.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(chunk.size()));
}

void keystream_scramble(benchmark::State& state) { run_keystream<kesto::keystream, true>(state); }
void keystream_unscramble(benchmark::State& state) {
  run_keystream<kesto::keystream, false>(state);
}
void bytewise_keystream_scramble(benchmark::State& state) {
  run_keystream<kesto_test::bytewise_keystream, true>(state);
}
void bytewise_keystream_unscramble(benchmark::State& state) {
  run_keystream<kesto_test::bytewise_keystream, false>(state);
}

// A new keystream per entry: what 10,000 small entries pay.
void keystream_new_entry_4k(benchmark::State& state) {
  std::vector<unsigned char> data(4096, 0x55);
  for (auto _ : state) {
    kesto::keystream ks(bench_key);
    ks.scramble(data.data(), data.size());
    benchmark::DoNotOptimize(data.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 4096);
}

}  // namespace

BENCHMARK(keystream_scramble);
BENCHMARK(keystream_unscramble);
BENCHMARK(bytewise_keystream_scramble);
BENCHMARK(bytewise_keystream_unscramble);
BENCHMARK(keystream_new_entry_4k);

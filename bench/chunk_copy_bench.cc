// Chunked copy between two temporary files (MB/s): plain, and through the
// keystream as the AR reader and writer use it. Both files stay in the page
// cache, so this measures the copy loop and the stream layer, not the disk.
#include <benchmark/benchmark.h>

#include <cstdio>

#include "ar/keystream.h"
#include "common/chunk_copy.h"
#include "common/file_handle.h"
#include "sample_data.h"

namespace {

constexpr std::uint32_t copy_size = 16u << 20;

kesto::file_handle make_source() {
  kesto::file_handle f(std::tmpfile());
  const std::string data = kesto_test::binary_like(copy_size, 2);
  std::fwrite(data.data(), 1, data.size(), f.get());
  std::fflush(f.get());
  return f;
}

template <class MakeFilter>
void run_copy_exact(benchmark::State& state, MakeFilter make_filter) {
  kesto::file_handle in = make_source();
  kesto::file_handle out(std::tmpfile());
  for (auto _ : state) {
    std::rewind(in.get());
    std::rewind(out.get());
    auto filter = make_filter();
    if (kesto::copy_exact(in.get(), out.get(), copy_size, filter) != kesto::copy_result::ok) {
      state.SkipWithError("copy failed");
      break;
    }
    std::fflush(out.get());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * copy_size);
}

void chunk_copy_exact_plain(benchmark::State& state) {
  run_copy_exact(state, [] { return kesto::no_filter{}; });
}

void chunk_copy_exact_unscramble(benchmark::State& state) {
  run_copy_exact(state, [] {
    return [ks = kesto::keystream(0x3A7D)](unsigned char* p, std::size_t n) mutable {
      ks.unscramble(p, n);
    };
  });
}

void chunk_copy_to_end_scramble(benchmark::State& state) {
  kesto::file_handle in = make_source();
  kesto::file_handle out(std::tmpfile());
  for (auto _ : state) {
    std::rewind(in.get());
    std::rewind(out.get());
    kesto::keystream ks(0x3A7D);
    std::uint32_t copied = 0;
    auto filter = [&ks](unsigned char* p, std::size_t n) { ks.scramble(p, n); };
    if (kesto::copy_to_end(in.get(), out.get(), copy_size, &copied, filter) !=
        kesto::copy_result::ok) {
      state.SkipWithError("copy failed");
      break;
    }
    std::fflush(out.get());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * copy_size);
}

}  // namespace

BENCHMARK(chunk_copy_exact_plain)->Unit(benchmark::kMillisecond);
BENCHMARK(chunk_copy_exact_unscramble)->Unit(benchmark::kMillisecond);
BENCHMARK(chunk_copy_to_end_scramble)->Unit(benchmark::kMillisecond);

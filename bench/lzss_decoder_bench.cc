// LZ entry decoding (MB/s of output) on text-like and binary-like entries,
// kesto's decoder beside the byte-wise reference. Input and output are
// temporary files that stay in the page cache.
#include <benchmark/benchmark.h>

#include <cstdio>

#include "bytewise_lzss_decoder.h"
#include "common/file_handle.h"
#include "lzss/lzss_decoder.h"
#include "lzss_encoder.h"
#include "sample_data.h"

namespace {

constexpr std::size_t unpacked_size = 8u << 20;

struct sample_entry {
  kesto::file_handle file;
  std::uint32_t size = 0;
};

sample_entry make_entry(const std::string& data) {
  const std::string entry = kesto_test::lz_entry(data);
  sample_entry e{kesto::file_handle(std::tmpfile()), static_cast<std::uint32_t>(entry.size())};
  std::fwrite(entry.data(), 1, entry.size(), e.file.get());
  std::fflush(e.file.get());
  return e;
}

const sample_entry& text_entry() {
  static const sample_entry e = make_entry(kesto_test::text_like(unpacked_size, 3));
  return e;
}

const sample_entry& binary_entry() {
  static const sample_entry e = make_entry(kesto_test::binary_like(unpacked_size, 4));
  return e;
}

template <class Decode>
void run_decoder(benchmark::State& state, const sample_entry& entry, Decode decode) {
  kesto::file_handle out(std::tmpfile());
  for (auto _ : state) {
    std::rewind(entry.file.get());
    std::rewind(out.get());
    if (decode(entry.file.get(), out.get(), entry.size) != kesto::lzss_result::ok) {
      state.SkipWithError("decoding failed");
      break;
    }
    std::fflush(out.get());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(unpacked_size));
  state.counters["ratio"] = static_cast<double>(unpacked_size) / entry.size;
}

void lzss_decode_text(benchmark::State& state) {
  run_decoder(state, text_entry(), kesto::lzss_decode_entry);
}
void lzss_decode_binary(benchmark::State& state) {
  run_decoder(state, binary_entry(), kesto::lzss_decode_entry);
}
void bytewise_lzss_decode_text(benchmark::State& state) {
  run_decoder(state, text_entry(), kesto_test::bytewise_lzss_decode_entry);
}
void bytewise_lzss_decode_binary(benchmark::State& state) {
  run_decoder(state, binary_entry(), kesto_test::bytewise_lzss_decode_entry);
}

}  // namespace

BENCHMARK(lzss_decode_text)->Unit(benchmark::kMillisecond);
BENCHMARK(lzss_decode_binary)->Unit(benchmark::kMillisecond);
BENCHMARK(bytewise_lzss_decode_text)->Unit(benchmark::kMillisecond);
BENCHMARK(bytewise_lzss_decode_binary)->Unit(benchmark::kMillisecond);

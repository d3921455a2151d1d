// The byte-wise LZ entry decoder that kesto shipped before its decoder read
// and wrote through private buffers: one getc per stream byte, one putc per
// output byte. Kept here, unchanged, as the reference the buffered decoder
// is compared with (bench/equivalence_test.cc) and measured against
// (bench/lzss_decoder_bench.cc). Same contract as kesto::lzss_decode_entry.
#ifndef KESTO_BENCH_BYTEWISE_LZSS_DECODER_H
#define KESTO_BENCH_BYTEWISE_LZSS_DECODER_H

#include <cstdint>
#include <cstdio>

namespace kesto_bench {

int bytewise_lzss_decode_entry(std::FILE* input, std::FILE* output, std::uint32_t entry_size);

}  // namespace kesto_bench

#endif

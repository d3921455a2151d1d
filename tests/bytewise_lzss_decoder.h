// The byte-wise LZ entry decoder that kesto shipped before its decoder read
// and wrote through private buffers: one getc per stream byte, one putc per
// output byte. Kept as the reference the buffered decoder is
// compared with (equivalence_test.cc, fuzz/fuzz_lzss_decoder.cc and the
// DL model of the fuzzers) and measured against
// (bench/lzss_decoder_bench.cc). Same contract as kesto::lzss_decode_entry.
#ifndef KESTO_TESTS_BYTEWISE_LZSS_DECODER_H
#define KESTO_TESTS_BYTEWISE_LZSS_DECODER_H

#include <cstdint>
#include <cstdio>

namespace kesto_test {

int bytewise_lzss_decode_entry(std::FILE* input, std::FILE* output, std::uint32_t entry_size);

// The same with every window position filled with fill before the stream
// (0 above): a stream that never reads what it has not written decodes
// alike whatever fill is.
int bytewise_lzss_decode_entry_filled(std::FILE* input, std::FILE* output,
                                      std::uint32_t entry_size, unsigned char fill);

}  // namespace kesto_test

#endif

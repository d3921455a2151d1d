// A small greedy LZSS encoder for tests and benchmarks, independent of
// kesto's own (src/lzss/lzss_encoder.h). It emits streams for kesto's
// decoder: 4096-byte window, references of 3 to 18 bytes, window write
// position starting at 4078.
#ifndef KESTO_TESTS_LZSS_ENCODER_H
#define KESTO_TESTS_LZSS_ENCODER_H

#include <string>

namespace kesto_test {

// The compressed stream for data (greedy matching, hash of 3 bytes).
std::string lzss_encode(const std::string& data);

// A whole LZ entry: "LZ", packed size, unpacked size, then the stream.
std::string lz_entry(const std::string& data);

}  // namespace kesto_test

#endif

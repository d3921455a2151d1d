// Encoder of LZ entries, the format lzss_decoder.h describes: the header
// ("LZ", packed size, unpacked size) and an LZSS stream that any decoder of
// the format reads back, whatever its window holds before the stream writes
// it: every reference copies bytes the stream itself produced (up to 4096
// back; a reference may overlap the bytes it produces), never the window's
// initial contents. The items are chosen by an optimal parse: the fewest
// bits, a literal costing 9 and a reference 17, which is also the fewest
// bytes. The same input gives the same bytes on every platform. Memory is
// fixed (about 1 MiB), whatever the size of the input.
#ifndef KESTO_LZSS_LZSS_ENCODER_H
#define KESTO_LZSS_LZSS_ENCODER_H

#include <cstdint>
#include <cstdio>

#include "lzss/lzss_format.h"

namespace kesto {

namespace lzss_encode_result {
inline constexpr int ok = 0;
inline constexpr int read_failed = 1;   // the input could not be read
inline constexpr int write_failed = 2;  // writing, seeking or locating the output failed
inline constexpr int too_large = 3;     // the entry would pass room, or the input holds 2^32
                                        // bytes or more
}  // namespace lzss_encode_result

// Reads input from its position to its end and writes one whole LZ entry at
// output's position, never more than room bytes. output must be seekable
// when the entry is larger than 32 KiB: the header's sizes are written
// after the stream. Afterwards output is positioned at the entry's end and
// *entry_size is 10 + packed size. On a failure output holds a partial
// entry (at most room bytes) and the input may not have been read to its
// end; after read_failed or too_large, output is positioned after the last
// byte written.
int lzss_encode_entry(std::FILE* input, std::FILE* output, std::uint64_t room,
                      std::uint32_t* entry_size);

// What the encoder read and wrote, for callers that choose between the LZ
// entry and the input itself.
struct lzss_encoded_entry {
  std::uint32_t packed = 0;           // stream bytes after the 10-byte header
  std::uint32_t unpacked = 0;         // input bytes encoded
  std::uint64_t input_read = 0;       // input bytes read, whatever the result
  bool input_begins_with_lz = false;  // the input's first two bytes are "LZ"
};

// As above, reporting the sizes instead of the entry size; input_read and
// whether the input begins with "LZ" are reported whatever the result.
int lzss_encode_entry(std::FILE* input, std::FILE* output, std::uint64_t room,
                      lzss_encoded_entry* entry);

}  // namespace kesto

#endif

// Decoder of LZ entries: a 10-byte header ("LZ", packed size u32, unpacked
// size u32) followed by an LZSS stream over a 4096-byte ring window that
// starts zero-filled with the write position at 4078. A flag byte governs
// the next eight items, bit 0 first: a set bit is a literal byte, a clear bit
// a reference b1 b2 to window position b1 | (b2 >> 4) << 8 of length
// (b2 & 15) + 3.
#ifndef KESTO_LZSS_LZSS_DECODER_H
#define KESTO_LZSS_LZSS_DECODER_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>

#include "lzss/lzss_format.h"

namespace kesto {

namespace lzss_result {
inline constexpr int ok = 0;            // decoded, both header sizes agree
inline constexpr int not_lz = 1;        // the entry does not start with "LZ"
inline constexpr int read_failed = 2;   // input ended, or the entry is under 10 bytes
inline constexpr int write_failed = 3;  // an output byte could not be written
inline constexpr int size_mismatch = 4; // decoded, but a header size disagrees
}  // namespace lzss_result

struct lz_header {
  std::uint32_t packed;    // stream bytes after the header
  std::uint32_t unpacked;  // bytes the stream decodes to
};
// True when the lz_header_size (10) bytes at head start with "LZ"; then fills
// *header.
bool parse_lz_header(const unsigned char* head, lz_header* header);

// Decodes the entry at input's position to output. entry_size is the entry's
// size in the archive, header included; decoding runs until the stream bytes
// consumed reach entry_size - 10, tested before each item, so the last item
// may read up to two bytes past it (and past the entry). Output bytes stay
// written whatever the result. Never reads the window out of bounds.
int lzss_decode_entry(std::FILE* input, std::FILE* output, std::uint32_t entry_size);

// Receives the decoded bytes in order, a block at a time; false stops the
// decoding, which then reports write_failed.
using lzss_sink = std::function<bool(const unsigned char* data, std::size_t n)>;

// As lzss_decode_entry, with the output handed to sink instead of a file:
// a test that only counts, or a comparison that stops at the first byte
// that differs.
int lzss_decode_entry_to(std::FILE* input, const lzss_sink& sink, std::uint32_t entry_size);

// True when file, from its start to its end, is one whole LZ entry: "LZ", a
// header whose packed size is the file's size less 10, and a stream that
// decodes to exactly the header's unpacked size (result ok). Two bytes "LZ"
// alone say nothing: a text may begin so. Only such a file may be stored as
// an LZ entry as it is; any other is compressed. Leaves the file's position
// anywhere.
bool is_whole_lz_entry(std::FILE* file);

}  // namespace kesto

#endif

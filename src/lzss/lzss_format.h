// Layout of LZ entries, shared by the encoder and the decoder: a 10-byte
// header ("LZ", packed size u32, unpacked size u32), then an LZSS stream
// over a 4096-byte ring window whose write position starts at 4078. A flag
// byte governs the next eight items, bit 0 first: a set bit is a literal, a
// clear bit a reference b1 b2 to window position b1 | (b2 >> 4) << 8 of
// length (b2 & 15) + 3.
#ifndef KESTO_LZSS_LZSS_FORMAT_H
#define KESTO_LZSS_LZSS_FORMAT_H

#include <cstdint>

namespace kesto::lzss_format {

inline constexpr std::uint16_t signature = 0x5A4C;  // "LZ" read little-endian
inline constexpr std::uint32_t window_size = 4096;
inline constexpr std::uint32_t window_mask = window_size - 1;
inline constexpr std::uint32_t min_match = 3;
inline constexpr std::uint32_t max_match = 18;
// The window position of the first output byte.
inline constexpr std::uint32_t first_position = window_size - max_match;

static_assert(max_match - min_match == 15, "a length fits the low nibble");

}  // namespace kesto::lzss_format

namespace kesto {

// The header of an LZ entry: "LZ", packed size, unpacked size.
inline constexpr std::uint32_t lz_header_size = 10;

}  // namespace kesto

#endif

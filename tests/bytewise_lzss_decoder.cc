#include "bytewise_lzss_decoder.h"

#include <array>

#include "common/byte_order.h"
#include "common/stream_io.h"
#include "lzss/lzss_decoder.h"

namespace kesto_test {

namespace {

namespace lzss_result = kesto::lzss_result;

constexpr std::uint32_t header_size = 10;
constexpr std::uint16_t signature = 0x5A4C;  // "LZ" read little-endian
constexpr std::uint32_t window_size = 4096;
constexpr std::uint32_t window_mask = window_size - 1;
constexpr std::uint32_t max_match = 18;
constexpr std::uint32_t threshold = 2;

}  // namespace

int bytewise_lzss_decode_entry(std::FILE* input, std::FILE* output, std::uint32_t entry_size) {
  return bytewise_lzss_decode_entry_filled(input, output, entry_size, 0);
}

int bytewise_lzss_decode_entry_filled(std::FILE* input, std::FILE* output,
                                      std::uint32_t entry_size, unsigned char fill) {
  unsigned char head[header_size];
  if (!kesto::read_exact(input, head, 2)) return lzss_result::read_failed;
  if (kesto::load_u16le(head) != signature) return lzss_result::not_lz;
  if (!kesto::read_exact(input, head + 2, 8)) return lzss_result::read_failed;
  const std::uint32_t packed = kesto::load_u32le(head + 2);
  const std::uint32_t unpacked = kesto::load_u32le(head + 6);
  if (entry_size < header_size) return lzss_result::read_failed;
  const std::uint32_t budget = entry_size - header_size;

  std::array<unsigned char, window_size> window;
  window.fill(fill);
  std::uint32_t r = window_size - max_match;
  std::uint32_t flags = 0;
  std::uint32_t consumed = 0;
  std::uint64_t produced = 0;
  auto put = [&](unsigned char c) {
    if (std::putc(c, output) == EOF) return false;
    ++produced;
    window[r] = c;
    r = (r + 1) & window_mask;
    return true;
  };
  while (consumed < budget) {
    flags >>= 1;
    if ((flags & 0x100) == 0) {
      int c = std::getc(input);
      if (c == EOF) return lzss_result::read_failed;
      ++consumed;
      flags = static_cast<std::uint32_t>(c) | 0xFF00;
    }
    if (flags & 1) {
      int c = std::getc(input);
      if (c == EOF) return lzss_result::read_failed;
      ++consumed;
      if (!put(static_cast<unsigned char>(c))) return lzss_result::write_failed;
    } else {
      int b1 = std::getc(input);
      if (b1 == EOF) return lzss_result::read_failed;
      int b2 = std::getc(input);
      if (b2 == EOF) return lzss_result::read_failed;
      consumed += 2;
      const std::uint32_t position = static_cast<std::uint32_t>(b1) |
                                     ((static_cast<std::uint32_t>(b2) & 0xF0) << 4);
      const std::uint32_t length = (static_cast<std::uint32_t>(b2) & 0x0F) + threshold + 1;
      for (std::uint32_t k = 0; k < length; ++k) {
        if (!put(window[(position + k) & window_mask])) return lzss_result::write_failed;
      }
    }
  }
  return (consumed == packed && produced == unpacked) ? lzss_result::ok
                                                      : lzss_result::size_mismatch;
}

}  // namespace kesto_test

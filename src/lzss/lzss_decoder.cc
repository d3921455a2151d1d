#include "lzss/lzss_decoder.h"

#include <array>
#include <bit>
#include <cstring>

#include "common/byte_order.h"
#include "common/chunk_copy.h"
#include "common/stream_io.h"

namespace kesto {

namespace {

constexpr std::uint32_t header_size = lz_header_size;
using lzss_format::max_match;
using lzss_format::signature;
using lzss_format::window_mask;
using lzss_format::window_size;
constexpr std::uint32_t threshold = 2;
constexpr std::uint32_t max_item_bytes = 3;  // a flag byte and a two-byte reference
// A flag byte with eight references: its stream bytes and its output.
constexpr std::size_t max_group_input = 1 + 8 * 2;
// What decode_group may read: a literal run's 8-byte copy may start after
// a flag byte and seven references.
constexpr std::size_t max_group_read = 1 + 7 * 2 + 8;
constexpr std::size_t copy_slack = 24 - max_match;  // see copy_reference
constexpr std::size_t max_group_output = 8 * max_match + copy_slack;

// The decoder consumes the stream one byte at a time, but takes the bytes
// from a private block buffer rather than one getc each: getc's locking and
// bookkeeping cost more than the decoding. It never asks the archive for
// more than the decoder may consume (the budget plus the two bytes the last
// item may overshoot), and the decoder meets the end of the stream at the
// very byte where getc would have, so every result is the byte-wise
// decoder's. Where the archive is left afterwards does not matter: the DL
// reader seeks to each entry.
class stream_reader {
 public:
  struct span {
    const unsigned char* next;
    const unsigned char* end;
  };

  stream_reader(std::FILE* file, std::uint64_t limit) : file_(file), limit_(limit) {}

  // The next block; empty at the end of the stream or on a read error.
  span refill() {
    const std::size_t want =
        limit_ < buffer_.size() ? static_cast<std::size_t>(limit_) : buffer_.size();
    const std::size_t got = want == 0 ? 0 : std::fread(buffer_.data(), 1, want, file_);
    limit_ -= got;
    return {buffer_.data(), buffer_.data() + got};
  }

 private:
  std::FILE* file_;
  std::uint64_t limit_;  // bytes the decoder may still consume beyond the buffer
  std::array<unsigned char, copy_chunk_size> buffer_;
};

// The output goes to the sink in blocks of exactly one copy chunk (the last
// one shorter); an entry file's stream passes them straight to the system.
// The block is kept behind the 4096 bytes produced before it, so the ring
// window is simply the last 4096 output bytes: a reference to window
// position p is a copy from d bytes back, d = (r - p - 1) mod 4096 + 1.
// Before the first output those bytes are zero, as the window starts. The
// decoder may run up to one group of items past the block's end before it
// writes the block; the room after it takes that.
class history_writer {
 public:
  explicit history_writer(const lzss_sink& sink) : sink_(sink) {}

  unsigned char* begin() { return buffer_.data() + window_size; }
  unsigned char* block_end() { return begin() + copy_chunk_size; }

  // Writes the full block and moves the 4096 bytes of history before its
  // end, and the bytes produced past it, to the front; returns the new
  // write position, or nullptr when the sink refused the block.
  unsigned char* write_block(unsigned char* next) {
    written_ += copy_chunk_size;
    if (!sink_(begin(), copy_chunk_size)) return nullptr;
    unsigned char* keep = block_end() - window_size;
    std::memmove(buffer_.data(), keep, static_cast<std::size_t>(next - keep));
    return next - copy_chunk_size;
  }
  // Writes what is left; false when the sink refused it.
  bool finish(unsigned char* next) {
    if (next >= block_end() && (next = write_block(next)) == nullptr) return false;
    const auto n = static_cast<std::size_t>(next - begin());
    written_ += n;
    return n == 0 || sink_(begin(), n);
  }
  std::uint64_t produced(const unsigned char* next) {
    return written_ + static_cast<std::uint64_t>(next - begin());
  }

 private:
  const lzss_sink& sink_;
  std::array<unsigned char, window_size + copy_chunk_size + max_group_output> buffer_{};
  std::uint64_t written_ = 0;  // up to 9 output bytes per input byte: 32 bits could wrap
};

// Reads and checks the 10-byte header; lzss_result::ok when it is an LZ
// header.
int read_header(std::FILE* input, lz_header* header) {
  unsigned char head[header_size];
  if (!read_exact(input, head, 2)) return lzss_result::read_failed;
  if (load_u16le(head) != signature) return lzss_result::not_lz;
  if (!read_exact(input, head + 2, 8)) return lzss_result::read_failed;
  parse_lz_header(head, header);
  return lzss_result::ok;
}

// Copies a reference of length bytes from distance back. Each byte is stored
// before the next is fetched, so a reference that overlaps the bytes it
// produces repeats them. Fixed-size copies are faster than a byte loop; they
// may write up to copy_slack bytes past length, scratch that the next items
// overwrite (the caller keeps room for them). Each 8-byte copy reads only
// bytes that are already final.
inline void copy_reference(unsigned char* out, std::uint32_t distance, std::uint32_t length) {
  const unsigned char* from = out - distance;
  if (distance >= 8) {  // each copy reads bytes at least 8 back
    std::memcpy(out, from, 8);
    std::memcpy(out + 8, from + 8, 8);
    std::memcpy(out + 16, from + 16, 8);
  } else if (distance == 1) {  // a run of one byte value
    std::memset(out, *from, max_match);
  } else {
    for (std::uint32_t k = 0; k < length; ++k) out[k] = from[k];
  }
}

struct decode_state {
  std::uint32_t consumed = 0;
  unsigned char* next = nullptr;  // write position in the history_writer
};

// One flag byte and its eight items, all of whose bytes are known to be in
// the buffer (with max_group_read bytes readable), with room for the
// longest output and the budget not reached before the last item (so no
// item needs a test). Advances *ip, *op and *r. A run of literals moves
// with one 8-byte copy; the bytes past the run are scratch, overwritten by
// what follows.
inline void decode_group(const unsigned char** ip, unsigned char** op, std::uint32_t* r) {
  const unsigned char* in = *ip;
  unsigned char* out = *op;
  std::uint32_t w = *r;
  std::uint32_t flag = *in++;
  std::uint32_t left = 8;  // items of this flag byte still to decode
  for (;;) {
    // Set bits are literals; the zero above the last item ends any run.
    const auto literals = static_cast<std::uint32_t>(std::countr_one(flag));
    std::memcpy(out, in, 8);
    in += literals;
    out += literals;
    w = (w + literals) & window_mask;
    left -= literals;
    if (left == 0) break;
    const std::uint32_t position = in[0] | ((in[1] & 0xF0u) << 4);
    const std::uint32_t length = (in[1] & 0x0Fu) + threshold + 1;
    in += 2;
    copy_reference(out, ((w - position - 1) & window_mask) + 1, length);
    out += length;
    w = (w + length) & window_mask;
    flag >>= literals + 1;
    if (--left == 0) break;
  }
  *ip = in;
  *op = out;
  *r = w;
}

// Decodes items until budget stream bytes are consumed (tested before each
// item). Returns ok, read_failed or write_failed. Whole flag groups whose
// bytes are all in the buffer take the fast path; the others go item by
// item and byte by byte, so the end of the stream is met exactly where the
// byte-wise decoder met it.
int decode_stream(stream_reader& in, history_writer& out, std::uint32_t budget,
                  decode_state* state) {
  const unsigned char* ip = nullptr;
  const unsigned char* iend = nullptr;
  unsigned char* op = out.begin();
  unsigned char* const oblock = out.block_end();
  std::uint32_t consumed = 0;
  std::uint32_t flags = 0;
  std::uint32_t r = window_size - max_match;  // window position of the next output byte
  auto get = [&](std::uint32_t* c) {
    if (ip == iend) {
      const stream_reader::span s = in.refill();
      ip = s.next;
      iend = s.end;
      if (ip == iend) return false;
    }
    *c = *ip++;
    return true;
  };
  int result = lzss_result::ok;
  while (consumed < budget) {
    if (op >= oblock && (op = out.write_block(op)) == nullptr) {
      return lzss_result::write_failed;
    }
    flags >>= 1;
    // The high byte of ones counts down the eight items of a flag byte.
    if ((flags & 0x100) == 0 && static_cast<std::size_t>(iend - ip) >= max_group_read &&
        budget - consumed >= max_group_input) {
      const unsigned char* start = ip;
      decode_group(&ip, &op, &r);
      consumed += static_cast<std::uint32_t>(ip - start);
      flags = 0;  // the next item starts with a flag byte again
      continue;
    }
    std::uint32_t c = 0;
    if ((flags & 0x100) == 0) {
      if (!get(&c)) {
        result = lzss_result::read_failed;
        break;
      }
      flags = c | 0xFF00u;
      ++consumed;
    }
    if (flags & 1) {
      if (!get(&c)) {
        result = lzss_result::read_failed;
        break;
      }
      *op++ = static_cast<unsigned char>(c);
      ++consumed;
      r = (r + 1) & window_mask;
      continue;
    }
    std::uint32_t b1 = 0;
    std::uint32_t b2 = 0;
    if (!get(&b1) || !get(&b2)) {
      result = lzss_result::read_failed;
      break;
    }
    consumed += 2;
    const std::uint32_t position = b1 | ((b2 & 0xF0) << 4);
    const std::uint32_t length = (b2 & 0x0F) + threshold + 1;
    copy_reference(op, ((r - position - 1) & window_mask) + 1, length);
    op += length;
    r = (r + length) & window_mask;
  }
  state->consumed = consumed;
  state->next = op;
  return result;
}

}  // namespace

bool parse_lz_header(const unsigned char* head, lz_header* header) {
  if (load_u16le(head) != signature) return false;
  header->packed = load_u32le(head + 2);
  header->unpacked = load_u32le(head + 6);
  return true;
}

int lzss_decode_entry(std::FILE* input, std::FILE* output, std::uint32_t entry_size) {
  return lzss_decode_entry_to(
      input,
      [output](const unsigned char* data, std::size_t n) {
        return std::fwrite(data, 1, n, output) == n;
      },
      entry_size);
}

int lzss_decode_entry_to(std::FILE* input, const lzss_sink& sink, std::uint32_t entry_size) {
  lz_header header{};
  const int head = read_header(input, &header);
  if (head != lzss_result::ok) return head;
  if (entry_size < header_size) return lzss_result::read_failed;
  const std::uint32_t budget = entry_size - header_size;

  stream_reader in(input, std::uint64_t{budget} + max_item_bytes - 1);
  history_writer out(sink);
  decode_state state;
  const int decoded = decode_stream(in, out, budget, &state);
  if (decoded == lzss_result::write_failed) return decoded;
  // The bytes the byte-wise decoder would already have handed to the entry
  // file go there before any result, so a failing file is noticed as before.
  const std::uint64_t produced = out.produced(state.next);
  if (!out.finish(state.next)) return lzss_result::write_failed;
  if (decoded != lzss_result::ok) return decoded;
  return (state.consumed == header.packed && produced == header.unpacked)
             ? lzss_result::ok
             : lzss_result::size_mismatch;
}

bool is_whole_lz_entry(std::FILE* file) {
  const std::uint64_t size = stream_size(file);
  if (size < header_size || size > UINT32_MAX) return false;
  unsigned char head[header_size];
  lz_header header{};
  if (std::fseek(file, 0, SEEK_SET) != 0 || !read_exact(file, head, sizeof head) ||
      !parse_lz_header(head, &header) || header.packed != size - header_size ||
      std::fseek(file, 0, SEEK_SET) != 0) {
    return false;
  }
  const auto count_only = [](const unsigned char*, std::size_t) { return true; };
  return lzss_decode_entry_to(file, count_only, static_cast<std::uint32_t>(size)) ==
         lzss_result::ok;
}

}  // namespace kesto

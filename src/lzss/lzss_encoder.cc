#include "lzss/lzss_encoder.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <memory>

#include "common/byte_order.h"
#include "common/chunk_copy.h"
#include "common/stream_io.h"

namespace kesto {

namespace {

namespace result = lzss_encode_result;

constexpr std::uint32_t header_size = lz_header_size;
using lzss_format::first_position;
using lzss_format::max_match;
using lzss_format::min_match;
using lzss_format::window_mask;
using lzss_format::window_size;
constexpr std::uint64_t max_input = 0xFFFFFFFFu;
constexpr std::uint64_t max_packed = 0xFFFFFFFFu;
constexpr std::uint32_t literal_bits = 9;
constexpr std::uint32_t reference_bits = 17;

// The input passes through one buffer that keeps the 4096 bytes before the
// current position (the bytes references may copy) and the 18 after it.
class input_reader {
 public:
  explicit input_reader(std::FILE* file) : file_(file) {}

  // Makes the bytes from pos - 4096 to pos + 18 available, as far as the
  // input has them. ok, read_failed or too_large.
  int prepare(std::uint64_t pos) {
    if (pos + max_match <= end_ || done_) return result::ok;
    const std::uint64_t keep_from = pos > base_ + window_size ? pos - window_size : base_;
    const auto keep = static_cast<std::size_t>(end_ - keep_from);
    std::memmove(buffer_.data(), buffer_.data() + (keep_from - base_), keep);
    base_ = keep_from;
    const std::size_t want = capacity - keep;
    const std::size_t got = std::fread(buffer_.data() + keep, 1, want, file_);
    // fread returns fewer bytes only at the end of the input or on an error.
    done_ = got < want;
    // Matches are compared eight bytes at a time, up to 7 past the end.
    std::memset(buffer_.data() + keep + got, 0, slack);
    if (end_ == 0 && got >= 2) begins_with_lz_ = buffer_[0] == 'L' && buffer_[1] == 'Z';
    end_ = base_ + keep + got;
    if (std::ferror(file_)) return result::read_failed;
    return end_ > max_input ? result::too_large : result::ok;
  }

  const unsigned char* at(std::uint64_t pos) const { return buffer_.data() + (pos - base_); }
  std::uint64_t end() const { return end_; }
  bool begins_with_lz() const { return begins_with_lz_; }

 private:
  std::FILE* file_;
  std::uint64_t base_ = 0;  // input position of buffer_[0]
  std::uint64_t end_ = 0;   // input position after the last byte read
  bool done_ = false;
  bool begins_with_lz_ = false;
  static constexpr std::size_t capacity = window_size + 65536;
  static constexpr std::size_t slack = 8;
  std::array<unsigned char, capacity + slack> buffer_;
};

// The length of the common prefix of a and b from len on, at most limit.
// Reads up to 7 bytes past limit.
inline std::uint32_t common_length(const unsigned char* a, const unsigned char* b,
                                   std::uint32_t len, std::uint32_t limit) {
  if constexpr (std::endian::native == std::endian::little) {
    for (; len < limit; len += 8) {
      std::uint64_t x = 0;
      std::uint64_t y = 0;
      std::memcpy(&x, a + len, 8);
      std::memcpy(&y, b + len, 8);
      if (x != y) {
        len += static_cast<std::uint32_t>(std::countr_zero(x ^ y)) / 8;  // the first differing byte
        break;
      }
    }
    return std::min(len, limit);
  } else {
    while (len < limit && a[len] == b[len]) ++len;
    return len;
  }
}

struct match {
  std::uint32_t length = 0;  // 0, or min_match to max_match
  std::uint32_t distance = 0;
};

// Longest-match search over binary trees, one per hash of the first three
// bytes, holding the strings that start at the last 4096 positions, ordered
// byte by byte over their first 18 bytes. Each position enters its tree as
// the new root: the walk down from the old root compares the new string
// with older ones (each comparison starts after the bytes the bounds around
// it already share) and splits the tree into the strings below and above
// it. So every node is newer than the nodes under it, and the walk stops at
// the first node too far back. A node equal to the new string over all the
// bytes that may still be matched is replaced by it, being farther away.
class match_finder {
 public:
  void reset() { heads_.fill(0); }

  // Enters the string at cur (input position pos, limit bytes of which may
  // be matched) and returns the longest match among the strings before it
  // that the stream has written (the first one met among equals).
  match insert(const unsigned char* cur, std::uint32_t pos, std::uint32_t limit) {
    const std::uint32_t reach = std::min(pos, window_size);
    std::uint32_t* head = &heads_[hash(cur)];
    std::uint32_t candidate = *head;  // position + 1 of a string; 0 is none
    *head = pos + 1;
    std::uint32_t* below = &tree_[2 * (pos % tree_slots)];  // where smaller strings go
    std::uint32_t* above = below + 1;                        // where larger strings go
    std::uint32_t below_len = 0;
    std::uint32_t above_len = 0;
    match best;
    for (;;) {
      const std::uint32_t distance = pos + 1 - candidate;
      if (distance > reach) {  // none, or too far back: so is everything under it
        *below = *above = 0;
        return best;
      }
      std::uint32_t* node = &tree_[2 * ((pos - distance) % tree_slots)];
      const unsigned char* past = cur - distance;
      const std::uint32_t len = common_length(past, cur, std::min(below_len, above_len), limit);
      if (len > best.length) best = {len, distance};
      if (len == limit) {
        *below = node[0];
        *above = node[1];
        return best;
      }
      if (past[len] < cur[len]) {  // the candidate and its smaller strings go below
        *below = candidate;
        below = node + 1;
        candidate = *below;
        below_len = len;
      } else {
        *above = candidate;
        above = node;
        candidate = *above;
        above_len = len;
      }
    }
  }

 private:
  static constexpr std::uint32_t hash_bits = 14;
  // A node's slot is reused 8192 positions later, long after the node has
  // left the window; a node at distance 4096 keeps its slot.
  static constexpr std::uint32_t tree_slots = 2 * window_size;

  static std::uint32_t hash(const unsigned char* p) {
    const std::uint32_t v = static_cast<std::uint32_t>(p[0]) << 16 |
                            static_cast<std::uint32_t>(p[1]) << 8 | p[2];
    return (v * 2654435761u) >> (32 - hash_bits);
  }

  std::array<std::uint32_t, std::size_t{1} << hash_bits> heads_;
  std::array<std::uint32_t, 2 * tree_slots> tree_;  // two children per slot
};

// The stream being built: flag bytes and items in a buffer that follows the
// 10 header bytes, written out a chunk at a time, never past room. A short
// entry goes out in one write with its header; a longer one has its header
// written last, over the place kept for it.
class entry_writer {
 public:
  // The place kept for the header goes out with the first chunk of a long
  // entry, before the header is known: zeros, not whatever memory held.
  entry_writer(std::FILE* file, std::uint64_t room)
      : file_(file), room_(std::min(room, header_size + max_packed)) {
    std::memset(buffer_.data(), 0, header_size);
  }

  void literal(unsigned char c) {
    begin_item(true);
    buffer_[used_++] = c;
  }
  // A reference of length bytes copied from distance back, at output
  // position pos.
  void reference(std::uint32_t pos, std::uint32_t distance, std::uint32_t length) {
    begin_item(false);
    const std::uint32_t source = (first_position + pos - distance) & window_mask;
    buffer_[used_++] = static_cast<unsigned char>(source);
    buffer_[used_++] = static_cast<unsigned char>((source >> 4 & 0xF0) | (length - min_match));
  }
  int status() const { return status_; }

  // Writes what is left and the header; returns the status.
  int finish(std::uint32_t unpacked, lzss_encoded_entry* entry);

 private:
  void begin_item(bool is_literal) {
    if (items_ == 8) {
      if (used_ >= copy_chunk_size) write_buffer();
      flag_at_ = used_;
      buffer_[used_++] = 0;
      items_ = 0;
    }
    if (is_literal) buffer_[flag_at_] |= static_cast<unsigned char>(1u << items_);
    ++items_;
  }
  void write_buffer();
  bool write_header(std::uint32_t packed, std::uint32_t unpacked);

  std::FILE* file_;
  std::uint64_t room_;
  std::uint64_t written_ = 0;  // entry bytes handed to file_, header included
  std::fpos_t start_{};        // where the entry starts, once written_ > 0
  std::size_t used_ = header_size;
  std::size_t flag_at_ = 0;
  std::uint32_t items_ = 8;  // items under the current flag byte
  int status_ = result::ok;
  std::array<unsigned char, header_size + copy_chunk_size + 1 + 8 * 2> buffer_;
};

// After a failure the bytes are dropped: the caller stops at the status.
void entry_writer::write_buffer() {
  if (status_ == result::ok && written_ + used_ > room_) status_ = result::too_large;
  if (status_ == result::ok && written_ == 0 && std::fgetpos(file_, &start_) != 0) {
    status_ = result::write_failed;
  }
  if (status_ == result::ok && !write_all(file_, buffer_.data(), used_)) {
    status_ = result::write_failed;
  }
  written_ += used_;
  used_ = 0;
}

bool entry_writer::write_header(std::uint32_t packed, std::uint32_t unpacked) {
  unsigned char head[header_size] = {'L', 'Z'};
  store_u32le(head + 2, packed);
  store_u32le(head + 6, unpacked);
  if (written_ == 0) {  // the whole entry is still in the buffer: one write
    std::memcpy(buffer_.data(), head, header_size);
    return write_all(file_, buffer_.data(), used_);
  }
  write_buffer();
  std::fpos_t end{};
  return status_ == result::ok && std::fgetpos(file_, &end) == 0 &&
         std::fsetpos(file_, &start_) == 0 && write_all(file_, head, header_size) &&
         std::fsetpos(file_, &end) == 0;
}

int entry_writer::finish(std::uint32_t unpacked, lzss_encoded_entry* entry) {
  if (status_ != result::ok) return status_;
  const std::uint64_t size = written_ + used_;
  if (size > room_) return result::too_large;
  entry->packed = static_cast<std::uint32_t>(size - header_size);
  entry->unpacked = unpacked;
  if (!write_header(entry->packed, unpacked)) {
    return status_ == result::ok ? result::write_failed : status_;
  }
  return result::ok;
}

// The optimal parse, by shortest paths over input positions: an item from
// position i to j costs its bits, and price(j) is the least cost of any
// items covering the input up to j. Each position, once its price is
// final, offers a literal to the next one and references of 3 to its
// longest match's length (every shorter length matches at the same
// distance). The cheapest path is traced back afterwards: into each
// position by a literal when that costs least, else by the shortest
// reference that does.
//
// Every parse has an item boundary in any 18 consecutive positions. So once
// the paths traced back from the 18 positions before the next one to be
// priced have met at one position, every parse of the whole input that
// costs least runs through that position, and the items before it are
// final: they are written out, and the parse goes on from there in memory
// of a fixed size. Should the paths stay apart for longer than the region
// holds, a boundary is made at the current position (never yet seen on
// real data; it costs at most a few bits).
class optimal_parse {
 public:
  void start() {
    since_check_ = 0;
    settled_ = 0;
    price_[0] = 0;
    open_from(0);
  }

  // Offers the items that start at pos: a literal of byte, and references
  // of m. Positions are offered in order, each once.
  void offer(std::uint32_t pos, unsigned char byte, match m) {
    const std::uint32_t at = pos & region_mask;
    const std::uint32_t base = price_[at];
    literal_[at] = byte;
    length_[at] = static_cast<unsigned char>(m.length);
    distance_[at] = static_cast<std::uint16_t>(m.distance);
    // No path has reached pos + 18 yet: give it a price above any it can get.
    price_[(pos + max_match) & region_mask] = base + unreached;
    lower(pos + 1, base + literal_bits);
    if (m.length < min_match) return;
    if (at + max_match < region_size) {
      lower_after(&price_[at], base + reference_bits, m.length);
    } else {  // across the region's end
      for (std::uint32_t len = min_match; len <= m.length; ++len) {
        lower(pos + len, base + reference_bits);
      }
    }
  }

  // Called before pos is offered: now and then writes out the items that
  // every least-cost parse shares.
  void settle(std::uint32_t pos, entry_writer& out) {
    if (++since_check_ < check_interval || pos - settled_ < max_match) return;
    since_check_ = 0;
    write_items(meeting_point(pos), out);
    if (pos - settled_ > max_open) {
      write_items(pos, out);
      open_from(pos);
    }
  }

  // Writes the items of the least-cost parse of the input up to end.
  void finish(std::uint32_t end, entry_writer& out) { write_items(end, out); }

 private:
  static constexpr std::uint32_t region_size = 1u << 16;
  static constexpr std::uint32_t region_mask = region_size - 1;
  static constexpr std::uint32_t check_interval = 4096;
  // The positions from settled_ to the next check's + 18 must fit the region.
  static constexpr std::uint32_t max_open = region_size - 2 * check_interval;
  // More than 18 literals cost: no position is ever priced at base + this.
  static constexpr std::uint32_t unreached = max_match * literal_bits + 1;

  // Prices are compared by their difference: they grow without bound and
  // wrap around, but those compared are never far apart.
  static bool cheaper(std::uint32_t a, std::uint32_t b) {
    return static_cast<std::int32_t>(a - b) < 0;
  }
  void lower(std::uint32_t pos, std::uint32_t price) {
    std::uint32_t& p = price_[pos & region_mask];
    if (cheaper(price, p)) p = price;
  }
  // lower() of the positions 3 to length after from (a whole range within
  // the region), without a branch per position.
  static void lower_after(std::uint32_t* from, std::uint32_t price, std::uint32_t length) {
    std::uint32_t* p = from + min_match;
    for (std::uint32_t k = 0; k <= max_match - min_match; ++k) {
      p[k] = k + min_match <= length && cheaper(price, p[k]) ? price : p[k];
    }
  }

  // Makes every parse go through pos: it starts afresh there.
  void open_from(std::uint32_t pos) {
    const std::uint32_t base = price_[pos & region_mask];
    for (std::uint32_t k = 1; k < max_match; ++k) price_[(pos + k) & region_mask] = base + unreached;
    settled_ = pos;
  }

  // The length of the item into pos on the cheapest path (1 for a literal),
  // from settled_ on.
  std::uint32_t item_before(std::uint32_t pos) const {
    const std::uint32_t price = price_[pos & region_mask];
    if (price_[(pos - 1) & region_mask] + literal_bits == price) return 1;
    const std::uint32_t longest = std::min(max_match, pos - settled_);
    for (std::uint32_t len = min_match; len <= longest; ++len) {
      const std::uint32_t from = (pos - len) & region_mask;
      if (length_[from] >= len && price_[from] + reference_bits == price) return len;
    }
    return 1;  // not reached: some item leads into every position
  }

  // The last position that the cheapest paths into pos - 17 .. pos all
  // run through (settled_ at the latest).
  std::uint32_t meeting_point(std::uint32_t pos) const {
    std::array<std::uint32_t, max_match> at;
    for (std::uint32_t k = 0; k < max_match; ++k) at[k] = pos - k;
    for (;;) {
      const auto [low, high] = std::minmax_element(at.begin(), at.end());
      if (*low == *high) return *high;
      const std::uint32_t top = *high;
      const std::uint32_t step = item_before(top);
      for (std::uint32_t& a : at) {
        if (a == top) a -= step;
      }
    }
  }

  // Writes the items of the cheapest path from settled_ to end.
  void write_items(std::uint32_t end, entry_writer& out) {
    std::size_t n = 0;
    for (std::uint32_t pos = end; pos > settled_; pos -= path_[n++]) {
      path_[n] = static_cast<unsigned char>(item_before(pos));
    }
    std::uint32_t pos = settled_;
    while (n > 0) {
      const std::uint32_t len = path_[--n];
      const std::uint32_t at = pos & region_mask;
      if (len == 1) {
        out.literal(literal_[at]);
      } else {
        out.reference(pos, distance_[at], len);
      }
      pos += len;
    }
    settled_ = end;
  }

  std::uint32_t settled_ = 0;  // items before this position are written
  std::uint32_t since_check_ = 0;
  // Per position modulo the region: the least cost of reaching it, its byte,
  // and the length and distance of its longest match.
  std::array<std::uint32_t, region_size> price_;
  std::array<unsigned char, region_size> literal_;
  std::array<unsigned char, region_size> length_;
  std::array<std::uint16_t, region_size> distance_;
  std::array<unsigned char, region_size> path_;  // item lengths, last first
};

struct encoder_state {
  explicit encoder_state(std::FILE* input) : in(input) {}
  input_reader in;
  match_finder finder;
  optimal_parse parse;
};

// Reads the input, finds the matches at every position and parses.
int encode(encoder_state& s, entry_writer& out, lzss_encoded_entry* entry) {
  s.finder.reset();
  s.parse.start();
  std::uint32_t pos = 0;
  for (;; ++pos) {
    const int read = s.in.prepare(pos);
    if (read != result::ok) return read;
    if (pos == s.in.end()) break;
    const unsigned char* cur = s.in.at(pos);
    const auto limit =
        static_cast<std::uint32_t>(std::min<std::uint64_t>(max_match, s.in.end() - pos));
    const match m = limit >= min_match ? s.finder.insert(cur, pos, limit) : match{};
    s.parse.settle(pos, out);
    if (out.status() != result::ok) return out.status();
    s.parse.offer(pos, *cur, m);
  }
  s.parse.finish(pos, out);
  return out.finish(pos, entry);
}

}  // namespace

int lzss_encode_entry(std::FILE* input, std::FILE* output, std::uint64_t room,
                      lzss_encoded_entry* entry) {
  *entry = {};
  // About 1 MiB: on the heap, and left uninitialized but for what needs it.
  const std::unique_ptr<encoder_state> state(new encoder_state(input));
  entry_writer out(output, room);
  const int r = encode(*state, out, entry);
  entry->input_read = state->in.end();
  entry->input_begins_with_lz = state->in.begins_with_lz();
  return r;
}

int lzss_encode_entry(std::FILE* input, std::FILE* output, std::uint64_t room,
                      std::uint32_t* entry_size) {
  lzss_encoded_entry entry;
  const int r = lzss_encode_entry(input, output, room, &entry);
  if (r == result::ok) *entry_size = header_size + entry.packed;
  return r;
}

}  // namespace kesto

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
  // file is positioned at input position start.
  explicit input_reader(std::FILE* file, std::uint64_t start = 0)
      : file_(file), base_(start), end_(start) {}

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
  std::uint64_t base_;  // input position of buffer_[0]
  std::uint64_t end_;   // input position after the last byte read
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

// The two bytes of a reference of length bytes copied from distance back,
// at output position pos: the window position it copies from and the
// length.
inline void encode_reference(std::uint32_t pos, std::uint32_t distance, std::uint32_t length,
                             unsigned char* out) {
  const std::uint32_t source = (first_position + pos - distance) & window_mask;
  out[0] = static_cast<unsigned char>(source);
  out[1] = static_cast<unsigned char>((source >> 4 & 0xF0) | (length - min_match));
}

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
    unsigned char bytes[2];
    encode_reference(pos, distance, length, bytes);
    reference_bytes(bytes);
  }
  void reference_bytes(const unsigned char* bytes) {
    begin_item(false);
    buffer_[used_++] = bytes[0];
    buffer_[used_++] = bytes[1];
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
//
// A parse may also start at any multiple of 4096 of a longer input, as if
// every parse went through it: its checks fall on the same positions as
// those of the parse from the start, and once both have met at the same
// position at one check, they write the same items from there on (see
// lzss_encode_part).
class optimal_parse {
 public:
  void start(std::uint32_t at = 0) {
    since_check_ = 0;
    settled_ = at;
    price_[at & region_mask] = 0;
    open_from(at);
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

  // Called before pos is offered: now and then (at the positions 4095
  // modulo 4096) writes out the items that every least-cost parse shares,
  // and then returns true; settled() is where they end.
  template <class Out>
  bool settle(std::uint32_t pos, Out& out) {
    if (++since_check_ < check_interval || pos - settled_ < max_match) return false;
    since_check_ = 0;
    write_items(meeting_point(pos), out);
    if (pos - settled_ > max_open) {
      write_items(pos, out);
      open_from(pos);
    }
    return true;
  }
  std::uint32_t settled() const { return settled_; }

  // Writes the items of the least-cost parse of the input up to end.
  template <class Out>
  void finish(std::uint32_t end, Out& out) {
    write_items(end, out);
  }

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
  template <class Out>
  void write_items(std::uint32_t end, Out& out) {
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

// Everything the encoder holds between two positions, so that it can stop
// after a check and go on later, with another output.
struct encoder_state {
  encoder_state(std::FILE* input, std::uint64_t start) : in(input, start) {}
  input_reader in;
  match_finder finder;
  optimal_parse parse;
  std::uint32_t pos = 0;  // the next position to offer
  bool stopped = false;   // stopped after the check at pos: its match is next
  match next;
};

// Makes the encoder start at begin, as if every parse went through it:
// the 4096 input bytes before begin, where the input is positioned, only
// enter the match finder. Returns ok, or how reading failed.
int start_at(encoder_state& s, std::uint32_t begin) {
  s.finder.reset();
  for (s.pos = begin > window_size ? begin - window_size : 0; s.pos < begin; ++s.pos) {
    const int read = s.in.prepare(s.pos);
    if (read != result::ok) return read;
    if (s.pos == s.in.end()) break;  // the input ends before begin
    const auto limit =
        static_cast<std::uint32_t>(std::min<std::uint64_t>(max_match, s.in.end() - s.pos));
    if (limit >= min_match) s.finder.insert(s.in.at(s.pos), s.pos, limit);
  }
  s.parse.start(s.pos);
  return result::ok;
}

// Reads the input, finds the matches at every position and parses, to the
// input's end (*finished) or until checked(pos), called after each check,
// returns true: then encode may be called again to go on.
template <class Out, class Checked>
int encode(encoder_state& s, Out& out, Checked&& checked, bool* finished) {
  *finished = false;
  for (;; ++s.pos) {
    const unsigned char* cur = nullptr;
    if (s.stopped) {
      s.stopped = false;
      cur = s.in.at(s.pos);
    } else {
      const int read = s.in.prepare(s.pos);
      if (read != result::ok) return read;
      if (s.pos == s.in.end()) break;
      cur = s.in.at(s.pos);
      const auto limit =
          static_cast<std::uint32_t>(std::min<std::uint64_t>(max_match, s.in.end() - s.pos));
      s.next = limit >= min_match ? s.finder.insert(cur, s.pos, limit) : match{};
      const bool check = s.parse.settle(s.pos, out);
      if (out.status() != result::ok) return out.status();
      if (check && checked(s.pos)) {
        s.stopped = true;
        return result::ok;
      }
    }
    s.parse.offer(s.pos, *cur, s.next);
  }
  s.parse.finish(s.pos, out);
  *finished = true;
  return out.status();
}

// A part's items in memory, as a stream holds them: flag bytes, each
// followed by up to eight items.
class item_list {
 public:
  explicit item_list(lzss_part* part) : part_(part) {}

  void literal(unsigned char c) {
    begin_item(true);
    part_->items.push_back(c);
  }
  void reference(std::uint32_t pos, std::uint32_t distance, std::uint32_t length) {
    begin_item(false);
    unsigned char bytes[2];
    encode_reference(pos, distance, length, bytes);
    part_->items.insert(part_->items.end(), bytes, bytes + 2);
  }
  int status() const { return result::ok; }

 private:
  void begin_item(bool is_literal) {
    const std::uint32_t bit = part_->item_count % 8;
    if (bit == 0) {
      flag_at_ = part_->items.size();
      part_->items.push_back(0);
    }
    if (is_literal) part_->items[flag_at_] |= static_cast<unsigned char>(1u << bit);
    ++part_->item_count;
  }

  lzss_part* part_;
  std::size_t flag_at_ = 0;
};

// Hands the items from..to - 1 of a part to out, in order.
void copy_items(const lzss_part& part, std::uint32_t from, std::uint32_t to, entry_writer& out) {
  const unsigned char* at = part.items.data();
  unsigned char flags = 0;
  for (std::uint32_t item = 0; item < to; ++item) {
    if (item % 8 == 0) flags = *at++;
    const bool is_literal = (flags >> (item % 8) & 1) != 0;
    if (item >= from) {
      if (is_literal) {
        out.literal(*at);
      } else {
        out.reference_bytes(at);
      }
    }
    at += is_literal ? 1 : 2;
  }
}

}  // namespace

int lzss_encode_entry(std::FILE* input, std::FILE* output, std::uint64_t room,
                      lzss_encoded_entry* entry) {
  *entry = {};
  // About 1 MiB: on the heap, and left uninitialized but for what needs it.
  const std::unique_ptr<encoder_state> state(new encoder_state(input, 0));
  entry_writer out(output, room);
  bool finished = false;
  int r = start_at(*state, 0);
  if (r == result::ok) r = encode(*state, out, [](std::uint32_t) { return false; }, &finished);
  if (r == result::ok) r = out.finish(static_cast<std::uint32_t>(state->in.end()), entry);
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

struct lzss_part_encoder {
  lzss_part_encoder(std::FILE* input, std::uint64_t start) : state(input, start) {}
  encoder_state state;
};

lzss_part::lzss_part() = default;
lzss_part::~lzss_part() = default;
lzss_part::lzss_part(lzss_part&&) noexcept = default;
lzss_part& lzss_part::operator=(lzss_part&&) noexcept = default;

int lzss_encode_part(file_handle input, std::uint64_t begin, std::uint64_t next,
                     lzss_part* part) {
  *part = lzss_part();
  part->begin = begin;
  part->input = std::move(input);
  if (begin % window_size != 0 || begin >= max_input) return result::too_large;
  const auto first = static_cast<std::uint32_t>(begin);
  part->encoder = std::make_unique<lzss_part_encoder>(
      part->input.get(), first > window_size ? first - window_size : 0);
  encoder_state& s = part->encoder->state;
  item_list out(part);
  // Up to the first check the next part makes: on real data the parses
  // meet there, or (in a run) not for long, where the joiner goes on.
  const auto checked = [&](std::uint32_t pos) {
    part->cuts.push_back({pos, s.parse.settled(), part->item_count});
    return pos > next;
  };
  int r = start_at(s, first);
  if (r == result::ok) r = encode(s, out, checked, &part->finished);
  part->end = s.in.end();
  part->begins_with_lz = s.in.begins_with_lz();
  if (part->finished) {
    part->encoder.reset();
    part->input.close();
  }
  return r;
}

struct lzss_part_joiner::state {
  state(std::FILE* output, std::uint64_t room) : out(output, room) {}
  entry_writer out;
  lzss_part last;               // the part whose items are being written,
  std::uint32_t from = 0;       // from this item on
  bool started = false;
  bool begins_with_lz = false;  // the first part's input begins with "LZ"
  bool complete = false;        // last reached the input's end
};

lzss_part_joiner::lzss_part_joiner(std::FILE* output, std::uint64_t room)
    : state_(std::make_unique<state>(output, room)) {}

lzss_part_joiner::~lzss_part_joiner() = default;

int lzss_part_joiner::add(lzss_part&& part) {
  state& s = *state_;
  if (s.complete) return result::ok;  // the part before reached the end already
  if (!s.started) {
    s.started = true;
    s.begins_with_lz = part.begins_with_lz;
    s.last = std::move(part);
    s.complete = s.last.finished;
    return s.last.begin == 0 ? result::ok : result::cannot_join;
  }
  // The first check past the new part's start where both parses settled
  // at the same position, after the cut the last part's items start from.
  auto other = part.cuts.begin();
  for (const lzss_part::cut& c : s.last.cuts) {
    if (c.check <= part.begin || c.items < s.from) continue;
    while (other != part.cuts.end() && other->check < c.check) ++other;
    if (other == part.cuts.end()) break;
    if (other->check == c.check && other->settled == c.settled) {
      copy_items(s.last, s.from, c.items, s.out);
      if (s.out.status() != result::ok) return s.out.status();
      s.from = other->items;
      s.last = std::move(part);
      s.complete = s.last.finished;
      return result::ok;
    }
  }
  // Not met yet: the last part's encoder goes on here, writing to the
  // entry, until it settles where the new part settled at one check, or
  // passes the new part's last check (which is then of no use), or ends.
  if (!s.last.encoder) return result::cannot_join;
  copy_items(s.last, s.from, s.last.item_count, s.out);
  s.from = s.last.item_count;
  s.last.cuts.clear();
  encoder_state& e = s.last.encoder->state;
  other = part.cuts.begin();
  bool met = false;
  const auto checked = [&](std::uint32_t pos) {
    while (other != part.cuts.end() && other->check < pos) ++other;
    met = other != part.cuts.end() && other->check == pos && other->settled == e.parse.settled();
    return met || other == part.cuts.end();
  };
  const int r = encode(e, s.out, checked, &s.last.finished);
  if (r != result::ok) return r;
  if (s.last.finished) {
    s.last.end = e.in.end();
    s.complete = true;
  } else if (met) {
    s.from = other->items;
    s.last = std::move(part);
    s.complete = s.last.finished;
  }
  return result::ok;
}

int lzss_part_joiner::finish(lzss_encoded_entry* entry) {
  state& s = *state_;
  *entry = {};
  if (!s.complete) return result::cannot_join;
  copy_items(s.last, s.from, s.last.item_count, s.out);
  entry->input_read = s.last.end;
  entry->input_begins_with_lz = s.begins_with_lz;
  return s.out.finish(static_cast<std::uint32_t>(s.last.end), entry);
}

}  // namespace kesto

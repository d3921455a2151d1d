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
#include <memory>
#include <vector>

#include "common/file_handle.h"
#include "lzss/lzss_format.h"

namespace kesto {

namespace lzss_encode_result {
inline constexpr int ok = 0;
inline constexpr int read_failed = 1;   // the input could not be read
inline constexpr int write_failed = 2;  // writing, seeking or locating the output failed
inline constexpr int too_large = 3;     // the entry would pass room, or the input holds 2^32
                                        // bytes or more
inline constexpr int cannot_join = 4;   // lzss_part_joiner: the parts do not make one input
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

// The fewest bytes an LZ entry of size input bytes can take, or the size
// itself when smaller (stored plain): 17 bits for every 18 bytes and the
// header. Sizes known before reading are checked against it.
inline std::uint64_t lzss_least_entry_size(std::uint64_t size) {
  const std::uint64_t best = lz_header_size + size * 17 / (18 * 8);
  return best < size ? best : size;
}

// One entry encoded in parts on several threads, with the very bytes
// lzss_encode_entry writes. Each part starts its parse afresh at a multiple
// of 4096 (its match finder first takes in the 4096 bytes before it, as the
// encoder from the start would hold them) and goes on past the next part's
// start. The parse settles at fixed positions, one in every 4096: where the
// parses of two neighbouring parts settle at the same input position at one
// of these, both write the same items from there on, and the entry takes
// the first part's items up to that position and the next part's after it.
// Where they do not meet so (in a long run of one byte, say), the joiner
// takes the first part's encoder on, on its own thread, until it meets a
// later part or the end.
//
// Parts of at least this many bytes keep the extra work (4096 bytes before
// a part, one check past its end) small.
inline constexpr std::uint64_t lzss_part_size = 256 * 1024;

struct lzss_part_encoder;

struct lzss_part {
  lzss_part();
  ~lzss_part();
  lzss_part(lzss_part&&) noexcept;
  lzss_part& operator=(lzss_part&&) noexcept;

  // Where the parse settled at one check: the check's position, the
  // settled position, and how many items end there.
  struct cut {
    std::uint32_t check = 0;
    std::uint32_t settled = 0;
    std::uint32_t items = 0;
  };
  std::uint64_t begin = 0;
  std::vector<unsigned char> items;  // flag bytes and items, as in a stream
  std::uint32_t item_count = 0;
  std::vector<cut> cuts;
  bool finished = false;        // the parse reached the input's end,
  std::uint64_t end = 0;        // this position
  bool begins_with_lz = false;  // begin is 0 and the input begins with "LZ"
  // Unless finished: the input and the encoder, which the joiner may take
  // on from where the part stopped.
  file_handle input;
  std::unique_ptr<lzss_part_encoder> encoder;
};

// Encodes the part of input that begins at begin (a multiple of 4096) in
// memory, until its parse has settled once past next (the next part's
// start), or to the input's end. input must be positioned at begin - 4096
// (0 when begin is smaller); the part keeps it. Returns ok, read_failed or
// too_large.
int lzss_encode_part(file_handle input, std::uint64_t begin, std::uint64_t next,
                     lzss_part* part);

// Writes one LZ entry made of parts at output's position, never more than
// room bytes, as lzss_encode_entry would.
class lzss_part_joiner {
 public:
  lzss_part_joiner(std::FILE* output, std::uint64_t room);
  ~lzss_part_joiner();
  lzss_part_joiner(const lzss_part_joiner&) = delete;
  lzss_part_joiner& operator=(const lzss_part_joiner&) = delete;

  // Adds the next part, which lzss_encode_part made without a failure.
  // Returns ok; cannot_join when the first part does not begin at 0;
  // write_failed, read_failed or too_large.
  int add(lzss_part&& part);
  // Writes the rest and the header, once the last part is added; reports
  // as lzss_encode_entry does. cannot_join when the last part did not run
  // to the end.
  int finish(lzss_encoded_entry* entry);

 private:
  struct state;
  std::unique_ptr<state> state_;
};

}  // namespace kesto

#endif

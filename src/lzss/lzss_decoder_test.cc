#include "lzss/lzss_decoder.h"

#include <gtest/gtest.h>

// The greedy test encoder of tests/, not lzss/lzss_encoder.h beside this file.
#include <lzss_encoder.h>
#include "test_util.h"

namespace kesto {
namespace {

using kesto_test::bytes;
using kesto_test::u32le;

bytes lz(std::uint32_t packed, std::uint32_t unpacked, const bytes& stream) {
  return "LZ" + u32le(packed) + u32le(unpacked) + stream;
}

// Decodes entry (read from a temporary stream, so the input ends where entry
// ends) with the given directory size; returns the result and the output.
int decode(const bytes& entry, bytes* output, std::uint32_t entry_size) {
  auto in = kesto_test::stream_of(entry);
  std::rewind(in.get());
  auto out = kesto_test::stream_of();
  int r = lzss_decode_entry(in.get(), out.get(), entry_size);
  *output = kesto_test::stream_contents(out.get());
  return r;
}

// Builds a stream item by item, with a flag byte before every eight items.
class stream_builder {
 public:
  void literal(unsigned char c) {
    begin_item(true);
    s_ += static_cast<char>(c);
  }
  void reference(unsigned position, unsigned length) {
    begin_item(false);
    s_ += static_cast<char>(position & 0xFF);
    s_ += static_cast<char>(((position >> 4) & 0xF0) | (length - 3));
  }
  const bytes& stream() const { return s_; }

 private:
  void begin_item(bool literal) {
    if (items_ % 8 == 0) {
      flag_at_ = s_.size();
      s_ += '\0';
    }
    if (literal) s_[flag_at_] = static_cast<char>(s_[flag_at_] | (1 << (items_ % 8)));
    ++items_;
  }
  bytes s_;
  std::size_t flag_at_ = 0;
  std::size_t items_ = 0;
};

const bytes eight = "\xFF" "ABCDEFGH";                       // eight literals, 9 bytes
const bytes eight_then_z = eight + "\x01" "Z";               // a ninth literal, 11 bytes
const bytes eight_then_ref = eight + bytes("\x00\xEE\xF0", 3);  // then ABC from 4078, 12 bytes

// Each case: the entry bytes (nothing follows them), the directory size,
// the result and every byte written, also when the result is not 0.
TEST(lzss_decoder, small_streams_decode_to_their_exact_bytes_and_result) {
  struct {
    const char* label;
    bytes entry;
    std::uint32_t entry_size;
    int result;
    bytes output;
  } const cases[] = {
      {"eight literals", lz(9, 8, eight), 19, 0, "ABCDEFGH"},
      {"reference overlapping its output", lz(4, 6, "\x01" "A\xEE\xF2"), 14, 0, "AAAAAA"},
      {"empty stream", lz(0, 0, ""), 10, 0, ""},
      {"positions never written read zero", lz(3, 18, bytes("\0\0\x0F", 3)), 13, 0, bytes(18, 0)},
      {"reference across the window end", lz(3, 5, bytes("\0\xFF\xF2", 3)), 13, 0, bytes(5, 0)},
      {"packed size one too large", lz(10, 8, eight), 19, 4, "ABCDEFGH"},
      {"packed size one too small", lz(8, 8, eight), 19, 4, "ABCDEFGH"},
      {"unpacked size one too large", lz(9, 9, eight), 19, 4, "ABCDEFGH"},
      {"unpacked size one too small: no stop there", lz(9, 7, eight), 19, 4, "ABCDEFGH"},
      // The budget is tested only before an item; its flag byte and the
      // item are read together, so the count may overshoot by 1 or 2.
      {"overshoot by 1, size 10 + packed", lz(10, 9, eight_then_z), 20, 4, "ABCDEFGHZ"},
      {"overshoot by 1 meets packed", lz(11, 9, eight_then_z), 20, 0, "ABCDEFGHZ"},
      {"overshoot by 2, size 10 + packed", lz(10, 11, eight_then_ref), 20, 4, "ABCDEFGHABC"},
      {"overshoot by 2 meets packed", lz(12, 11, eight_then_ref), 20, 0, "ABCDEFGHABC"},
      {"budget runs into following bytes", lz(9, 8, eight) + "\x01" "Q", 21, 4, "ABCDEFGHQ"},
      {"budget runs past the input", lz(9, 8, eight), 30, 2, "ABCDEFGH"},
      {"input ends in the signature", "L", 10, 2, ""},
      {"input ends in the sizes", bytes("LZ\x01\0\0", 5), 10, 2, ""},
      {"input ends at a flag byte", lz(1, 0, ""), 11, 2, ""},
      {"input ends at a literal", lz(2, 1, "\xFF"), 12, 2, ""},
      {"input ends at a first reference byte", lz(3, 3, bytes(1, '\0')), 13, 2, ""},
      {"input ends at a second reference byte", lz(3, 3, bytes("\0\x01", 2)), 13, 2, ""},
      {"signature in the wrong byte order", "ZL" + bytes(8, '\0'), 10, 1, ""},
  };
  for (const auto& c : cases) {
    bytes out;
    EXPECT_EQ(decode(c.entry, &out, c.entry_size), c.result) << c.label;
    EXPECT_EQ(out, c.output) << c.label;
  }
}

// The entry size is checked only after the header has been read.
TEST(lzss_decoder, entry_smaller_than_the_header_fails_only_when_it_starts_with_lz) {
  for (std::uint32_t size = 0; size < 10; ++size) {
    bytes out;
    EXPECT_EQ(decode(lz(0, 0, ""), &out, size), lzss_result::read_failed) << size;
    EXPECT_EQ(decode("XY" + bytes(8, '\0'), &out, size), lzss_result::not_lz) << size;
    EXPECT_EQ(decode("X", &out, size), lzss_result::read_failed) << size;
    EXPECT_EQ(out, "");
  }
}

// After 5000 literals the write position has wrapped to 886, so window
// position p holds the byte written last there: data[p + 4114] below 886,
// data[p - 4078 + 4096] from 4078 up.
TEST(lzss_decoder, references_read_the_window_after_it_wraps) {
  bytes data;
  stream_builder s;
  for (unsigned i = 0; i < 5000; ++i) {
    data += static_cast<char>((i * 7 + 3) % 251);
    s.literal(static_cast<unsigned char>(data.back()));
  }
  s.reference(10, 18);
  s.reference(4090, 18);  // runs across the end of the window into position 0
  const bytes expected = data + data.substr(4124, 18) + data.substr(4108, 18);
  const auto packed = static_cast<std::uint32_t>(s.stream().size());
  bytes out;
  EXPECT_EQ(decode(lz(packed, 5036, s.stream()), &out, 10 + packed), lzss_result::ok);
  EXPECT_EQ(out, expected);
}

TEST(lzss_decoder, encoder_streams_round_trip) {
  bytes text;
  for (int i = 0; i < 20000; ++i) text += "chunk " + std::to_string(i % 97) + ";";
  const bytes random = kesto_test::random_bytes(100000, 7);
  struct {
    const char* label;
    bytes data;
  } const cases[] = {
      {"empty", ""},
      {"one byte", "x"},
      {"text-like", text},
      {"random", random},
      {"long run", bytes(100000, 'z')},
      {"repeat at 4000 bytes", random.substr(0, 4000) + random.substr(0, 4000) + random.substr(0, 9)},
      {"text then random", text + random},
  };
  for (const auto& c : cases) {
    const bytes entry = kesto_test::lz_entry(c.data);
    bytes out;
    EXPECT_EQ(decode(entry, &out, static_cast<std::uint32_t>(entry.size())), lzss_result::ok)
        << c.label;
    EXPECT_TRUE(out == c.data) << c.label << ": " << out.size() << " bytes, expected "
                               << c.data.size();
  }
}

class lzss_decoder_output : public kesto_test::scratch_dir_test {};

TEST_F(lzss_decoder_output, unwritable_output_gives_result_3) {
  kesto_test::write_file("read-only", "");
  kesto_test::file_ptr out(std::fopen("read-only", "rb"));
  auto in = kesto_test::stream_of(lz(9, 8, eight));
  std::rewind(in.get());
  EXPECT_EQ(lzss_decode_entry(in.get(), out.get(), 19), lzss_result::write_failed);
}

// A file is an LZ entry only when all of it is one: a text that begins
// with "LZ", a header whose sizes lie, or an entry with bytes after its
// stream are not.
TEST(lzss_decoder, a_whole_lz_entry_is_recognised_by_all_of_it) {
  const bytes entry = kesto_test::lz_entry("ABABABABABABABAB, whole");
  const auto packed = static_cast<std::uint32_t>(entry.size() - 10);
  struct {
    const char* label;
    bytes data;
    bool whole;
  } const cases[] = {
      {"whole entry", entry, true},
      {"empty entry", kesto_test::lz_entry(""), true},
      {"text beginning LZ", "LZW notes: the first line of a script", false},
      {"header alone", lz(0, 0, ""), true},
      {"short header", "LZ\x01", false},
      {"unpacked size lies", lz(packed, 3, entry.substr(10)), false},
      {"packed size lies", lz(packed + 1, 24, entry.substr(10)), false},
      {"bytes after the stream", entry + "x", false},
      {"empty file", "", false},
  };
  for (const auto& c : cases) {
    auto in = kesto_test::stream_of(c.data);
    EXPECT_EQ(is_whole_lz_entry(in.get()), c.whole) << c.label;
  }
}

}  // namespace
}  // namespace kesto

// Differential tests: kesto's buffered LZ decoder and table-driven keystream
// against the byte-wise versions they replaced (bytewise_*). Every result
// and every output byte must agree, on well-formed, truncated, over- and
// under-budgeted and random streams. And kesto's LZ encoder against both
// decoders: its entries decode back to their input whatever the byte-wise
// decoder's window holds before the stream.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "ar/keystream.h"
#include "bytewise_keystream.h"
#include "bytewise_lzss_decoder.h"
#include "common/file_handle.h"
#include "lzss/lzss_decoder.h"
#include "lzss/lzss_encoder.h"
#include "lzss_encoder.h"
#include "sample_data.h"
#include "test_util.h"

namespace {

using decoder = int (*)(std::FILE*, std::FILE*, std::uint32_t);

struct decoded {
  int result;
  std::string output;
};

// Runs decode on input (the stream starts at its first byte; bytes after the
// entry play the next entry or the directory) with the given entry size.
decoded run(decoder decode, const std::string& input, std::uint32_t entry_size) {
  auto in = kesto_test::stream_of(input);
  std::rewind(in.get());
  auto out = kesto_test::stream_of();
  const int result = decode(in.get(), out.get(), entry_size);
  return {result, kesto_test::stream_contents(out.get())};
}

// Both decoders on the same bytes; returns the common result.
int expect_same(const std::string& input, std::uint32_t entry_size) {
  const decoded reference = run(kesto_test::bytewise_lzss_decode_entry, input, entry_size);
  const decoded buffered = run(kesto::lzss_decode_entry, input, entry_size);
  EXPECT_EQ(buffered.result, reference.result)
      << "input of " << input.size() << " bytes, entry size " << entry_size;
  EXPECT_TRUE(buffered.output == reference.output)
      << "input of " << input.size() << " bytes, entry size " << entry_size << ": "
      << buffered.output.size() << " bytes out, byte-wise " << reference.output.size();
  return reference.result;
}

std::string sample(std::size_t n, std::uint64_t seed) {
  return seed % 2 ? kesto_test::binary_like(n, seed) : kesto_test::text_like(n, seed);
}

std::uint32_t size_of(const std::string& s) { return static_cast<std::uint32_t>(s.size()); }

TEST(lzss_equivalence, well_formed_entries_of_many_sizes) {
  for (std::size_t n : {0u, 1u, 2u, 3u, 17u, 18u, 19u, 100u, 4077u, 4078u, 4096u, 4097u, 32767u,
                        32768u, 32769u, 70000u, 300000u}) {
    const std::string entry = kesto_test::lz_entry(sample(n, n));
    EXPECT_EQ(expect_same(entry, size_of(entry)), kesto::lzss_result::ok) << n;
  }
}

TEST(lzss_equivalence, every_truncation_of_an_entry) {
  const std::string entry = kesto_test::lz_entry(sample(3000, 5));
  for (std::size_t cut = 0; cut <= entry.size(); ++cut) {
    expect_same(entry.substr(0, cut), size_of(entry));
  }
}

TEST(lzss_equivalence, truncations_across_the_read_buffer) {
  const std::string entry = kesto_test::lz_entry(sample(400000, 6));
  for (std::size_t cut = 32760; cut < entry.size(); cut += 32768 - 7) {
    for (std::size_t d = 0; d < 4; ++d) expect_same(entry.substr(0, cut + d), size_of(entry));
  }
}

TEST(lzss_equivalence, every_budget_near_the_entry_size) {
  // Smaller budgets stop early or overshoot; larger ones read on into the
  // bytes that follow (here a next entry), or run out of them.
  const std::string entry = kesto_test::lz_entry(sample(5000, 7));
  const std::string next = sample(64, 8);
  for (std::uint32_t size = 0; size < 40; ++size) expect_same(entry + next, size);
  for (std::uint32_t size = size_of(entry) - 40; size <= size_of(entry) + 80; ++size) {
    expect_same(entry + next, size);
  }
  expect_same(entry + next, 0xFFFFFFFFu);
}

TEST(lzss_equivalence, short_and_foreign_entries) {
  const std::string lz("LZ\x04\0\0\0\x06\0\0\0\x01" "A\xEE\xF2", 14);
  for (std::size_t cut = 0; cut <= lz.size(); ++cut) {
    for (std::uint32_t size = 0; size <= 16; ++size) expect_same(lz.substr(0, cut), size);
  }
  for (std::uint32_t size = 0; size <= 16; ++size) expect_same("plain text entry", size);
}

TEST(lzss_equivalence, random_streams_and_sizes) {
  kesto_test::sample_random rng(99);
  for (int i = 0; i < 400; ++i) {
    std::string stream(rng.below(6000), '\0');
    for (char& c : stream) c = static_cast<char>(rng.next());
    std::string head("LZ", 2);
    for (int k = 0; k < 8; ++k) head.push_back(static_cast<char>(rng.below(4) ? 0 : rng.next()));
    const std::string input = head + stream;
    const std::uint32_t size = rng.below(4) == 0 ? size_of(input) + rng.below(10)
                                                 : rng.below(size_of(input) + 1);
    expect_same(input, size);
  }
}

// Every distance from 1 to 18 with every length, once in a flag group with
// enough read-ahead after it for decode_group (the literal groups that
// follow) and once as the last item, decoded item by item. The literals
// before each reference are all different, so a copy that reads a byte
// before it is written gives other bytes.
TEST(lzss_equivalence, every_short_distance_and_length_on_both_paths) {
  for (std::uint32_t distance = 1; distance <= 18; ++distance) {
    for (std::uint32_t length = 3; length <= 18; ++length) {
      std::string stream;
      std::uint32_t produced = 0;
      auto literals = [&](int n) {
        for (int i = 0; i < n; ++i) stream.push_back(static_cast<char>(++produced));
      };
      auto reference = [&] {
        const std::uint32_t position = (4078 + produced - distance) & 0xFFF;
        stream.push_back(static_cast<char>(position & 0xFF));
        stream.push_back(static_cast<char>((position >> 4 & 0xF0) | (length - 3)));
        produced += length;
      };
      for (int group = 0; group < 3; ++group) {
        stream += '\xFF';
        literals(8);
      }
      stream += '\xFE';  // the reference, then seven literals
      reference();
      literals(7);
      for (int group = 0; group < 2; ++group) {
        stream += '\xFF';
        literals(8);
      }
      stream += '\0';  // the reference alone
      reference();
      const std::string entry =
          "LZ" + kesto_test::u32le(size_of(stream)) + kesto_test::u32le(produced) + stream;
      EXPECT_EQ(expect_same(entry, size_of(entry)), kesto::lzss_result::ok)
          << "distance " << distance << ", length " << length;
    }
  }
}

TEST(lzss_equivalence, references_to_unwritten_and_overlapping_positions) {
  kesto_test::sample_random rng(123);
  for (int i = 0; i < 200; ++i) {
    // Flag bytes with few literals: mostly references anywhere in the window.
    std::string stream;
    for (int group = 0; group < 300; ++group) {
      const auto flags = static_cast<unsigned char>(rng.below(8) == 0 ? rng.next() : 0);
      stream.push_back(static_cast<char>(flags));
      for (int bit = 0; bit < 8; ++bit) {
        stream.push_back(static_cast<char>(rng.next()));
        if (!(flags >> bit & 1)) stream.push_back(static_cast<char>(rng.next()));
      }
    }
    std::string input("LZ", 2);
    input.append(8, '\0');
    input += stream;
    expect_same(input, size_of(input) - rng.below(3));
  }
}

struct encoded {
  int result;
  std::string entry;  // everything written to the output
  std::uint32_t entry_size = 0;
};

encoded encode(const std::string& data, std::uint64_t room = 0xFFFFFFFFu) {
  auto in = kesto_test::stream_of(data);
  std::rewind(in.get());
  auto out = kesto_test::stream_of();
  encoded e{};
  e.result = kesto::lzss_encode_entry(in.get(), out.get(), room, &e.entry_size);
  e.entry = kesto_test::stream_contents(out.get());
  return e;
}

// The encoder's entry for data: its header sizes, and the same bytes back
// from kesto's decoder and from the byte-wise one whose window starts all
// blanks. Returns the entry.
std::string expect_round_trip(const std::string& data, const std::string& label) {
  const encoded e = encode(data);
  EXPECT_EQ(e.result, kesto::lzss_encode_result::ok) << label;
  EXPECT_EQ(e.entry.substr(0, 2), "LZ") << label;
  EXPECT_EQ(e.entry.substr(2, 4), kesto_test::u32le(size_of(e.entry) - 10)) << label;
  EXPECT_EQ(e.entry.substr(6, 4), kesto_test::u32le(size_of(data))) << label;
  EXPECT_EQ(e.entry_size, size_of(e.entry)) << label;
  const decoded fast = run(kesto::lzss_decode_entry, e.entry, e.entry_size);
  const decoded blanks = run(
      [](std::FILE* in, std::FILE* out, std::uint32_t size) {
        return kesto_test::bytewise_lzss_decode_entry_filled(in, out, size, ' ');
      },
      e.entry, e.entry_size);
  EXPECT_EQ(fast.result, kesto::lzss_result::ok) << label;
  EXPECT_EQ(blanks.result, kesto::lzss_result::ok) << label;
  EXPECT_TRUE(fast.output == data) << label;
  EXPECT_TRUE(blanks.output == data) << label;
  return e.entry;
}

// Runs, random bytes, text and binary-like data at the sizes around the
// window's and the match's edges, the equivalence tests' sample data, and
// repeats from exactly as far back as a reference reaches.
TEST(lzss_encoder, entries_decode_back_whatever_the_window_held_before) {
  const std::size_t sizes[] = {0, 1, 2, 17, 18, 19, 4095, 4096, 4097, 40000};
  for (std::size_t n : sizes) {
    const std::pair<const char*, std::string> cases[] = {
        {"run", std::string(n, 'a')},
        {"zeros", std::string(n, '\0')},
        {"random", kesto_test::random_bytes(n, static_cast<std::uint32_t>(n))},
        {"text", kesto_test::text_like(n, n)},
        {"binary", kesto_test::binary_like(n, n)},
    };
    for (const auto& [kind, data] : cases) {
      expect_round_trip(data, std::string(kind) + " of " + std::to_string(n));
    }
  }
  for (std::size_t n : {100u, 5000u, 70000u, 300000u}) expect_round_trip(sample(n, n), "sample");
  for (std::size_t back : {4095u, 4096u, 4097u}) {
    const std::string block = kesto_test::random_bytes(back, 9);
    const std::string entry = expect_round_trip(block + block.substr(0, 1000), "repeat");
    // Past 4096 bytes back nothing matches: 1000 more literals.
    EXPECT_EQ(entry.size() < back * 9 / 8 + 300, back <= 4096) << back << " back";
  }
}

// The fewest bits of any parse of data whose references copy bytes already
// produced, up to 4096 back: the longest matches by trying every distance.
std::uint64_t fewest_bits(const std::string& data) {
  const std::size_t n = data.size();
  std::vector<std::uint64_t> price(n + 1, ~std::uint64_t{0});
  price[0] = 0;
  for (std::size_t i = 0; i < n; ++i) {
    std::size_t longest = 0;
    for (std::size_t d = 1; d <= std::min<std::size_t>(i, 4096) && longest < 18; ++d) {
      std::size_t len = 0;
      while (len < 18 && i + len < n && data[i + len - d] == data[i + len]) ++len;
      longest = std::max(longest, len);
    }
    price[i + 1] = std::min(price[i + 1], price[i] + 9);
    for (std::size_t len = 3; len <= longest; ++len) {
      price[i + len] = std::min(price[i + len], price[i] + 17);
    }
  }
  return price[n];
}

TEST(lzss_encoder, stream_takes_the_fewest_bits_of_any_parse) {
  kesto_test::sample_random rng(17);
  std::string two_symbols(5000, 'a');
  for (char& c : two_symbols) c = static_cast<char>('a' + rng.below(2));
  const std::string block = kesto_test::random_bytes(4096, 4);
  for (const std::string& data :
       {kesto_test::text_like(5000, 1), kesto_test::binary_like(5000, 2), two_symbols,
        block + block.substr(0, 300)}) {
    const encoded e = encode(data);
    EXPECT_EQ(e.entry_size - 10, (fewest_bits(data) + 7) / 8) << data.size() << " bytes";
  }
}

// An entry is written whole within room or refused, whether it leaves in
// one write or in several with its header last; the refused one writes
// nothing past room.
TEST(lzss_encoder, room_admits_exactly_the_entry_and_nothing_more) {
  for (std::size_t n : {0u, 100u, 30000u, 200000u}) {
    const std::string data = kesto_test::text_like(n, 3);
    const encoded whole = encode(data);
    ASSERT_EQ(whole.result, kesto::lzss_encode_result::ok);
    const encoded exact = encode(data, whole.entry.size());
    EXPECT_EQ(exact.result, kesto::lzss_encode_result::ok) << n;
    EXPECT_TRUE(exact.entry == whole.entry) << n;
    for (std::uint64_t room : {whole.entry.size() - 1, std::size_t{9}, std::size_t{0}}) {
      const encoded refused = encode(data, room);
      EXPECT_EQ(refused.result, kesto::lzss_encode_result::too_large) << n << ", room " << room;
      EXPECT_LE(refused.entry.size(), room) << n;
    }
  }
}

// data encoded in parts of part_size bytes (the last one takes the rest)
// and joined.
encoded encode_in_parts(const std::string& data, std::uint64_t part_size) {
  auto out = kesto_test::stream_of();
  encoded e{};
  kesto::lzss_part_joiner joiner(out.get(), 0xFFFFFFFFu);
  for (std::uint64_t begin = 0; e.result == 0; begin += part_size) {
    const bool last = begin + 2 * part_size > data.size();
    auto in = kesto_test::stream_of(data.substr(begin < 4096 ? 0 : begin - 4096));
    std::rewind(in.get());
    kesto::lzss_part part;
    e.result = kesto::lzss_encode_part(kesto::file_handle(in.release()), begin, last ? UINT64_MAX : begin + part_size,
                                       &part);
    if (e.result == 0) e.result = joiner.add(std::move(part));
    if (last) break;
  }
  kesto::lzss_encoded_entry entry;
  if (e.result == 0) e.result = joiner.finish(&entry);
  e.entry_size = 10 + entry.packed;
  e.entry = kesto_test::stream_contents(out.get());
  return e;
}

// Parts of a few checks or of many meet where the encoder from the start
// settles, and give its very bytes, on every kind of data: runs whose
// parses stay apart, text, random bytes, and changes of kind at a part's
// edge.
TEST(lzss_encoder, parts_join_into_the_entry_of_one_encoder) {
  const std::size_t n = 300000;
  std::string mixed = kesto_test::text_like(65536 - 100, 5) + std::string(20000, 'z') +
                      kesto_test::random_bytes(50000, 6);
  mixed += kesto_test::binary_like(n - mixed.size(), 7);
  std::string two_symbols(n, 'a');
  kesto_test::sample_random rng(8);
  for (char& c : two_symbols) c = static_cast<char>('a' + rng.below(2));
  const std::pair<const char*, std::string> cases[] = {
      {"run", std::string(n, 'a')},         {"text", kesto_test::text_like(n, 1)},
      {"binary", kesto_test::binary_like(n, 2)}, {"random", kesto_test::random_bytes(n, 3)},
      {"sample", sample(n, 4)},             {"mixed", mixed},
      {"two symbols", two_symbols},
  };
  for (const auto& [kind, data] : cases) {
    const encoded whole = encode(data);
    for (std::uint64_t part_size : {4096u, 12288u, 65536u}) {
      const encoded joined = encode_in_parts(data, part_size);
      EXPECT_EQ(joined.result, kesto::lzss_encode_result::ok) << kind << ", " << part_size;
      EXPECT_TRUE(joined.entry == whole.entry) << kind << ", parts of " << part_size;
      EXPECT_EQ(joined.entry_size, whole.entry_size) << kind;
    }
  }
}

TEST(keystream_equivalence, every_key_and_odd_chunkings) {
  const std::vector<std::size_t> pieces = {1, 2, 383, 384, 385, 767, 1000, 5};
  const std::string sample = kesto_test::binary_like(4000, 1);
  const std::vector<unsigned char> plain(sample.begin(), sample.end());
  for (std::uint32_t key = 0; key <= 0xFFFF; ++key) {
    std::vector<unsigned char> a = plain;
    std::vector<unsigned char> b = plain;
    kesto::keystream fast(static_cast<std::uint16_t>(key));
    kesto_test::bytewise_keystream slow(static_cast<std::uint16_t>(key));
    std::size_t at = 0;
    for (std::size_t piece : pieces) {
      fast.scramble(a.data() + at, piece);
      slow.scramble(b.data() + at, piece);
      at += piece;
    }
    ASSERT_EQ(a, b) << "key " << key;
    kesto::keystream back(static_cast<std::uint16_t>(key));
    back.unscramble(a.data(), at);
    ASSERT_TRUE(std::equal(a.begin(), a.begin() + static_cast<std::ptrdiff_t>(at), plain.begin()))
        << "key " << key;
  }
}

TEST(keystream_equivalence, long_entry_in_chunks_matches_one_piece) {
  std::string plain = kesto_test::text_like(200000, 2);
  std::vector<unsigned char> whole(plain.begin(), plain.end());
  std::vector<unsigned char> chunked = whole;
  kesto_test::bytewise_keystream(0xBEEF).scramble(whole.data(), whole.size());
  kesto::keystream ks(0xBEEF);
  for (std::size_t at = 0; at < chunked.size(); at += 32768) {
    ks.scramble(chunked.data() + at, std::min<std::size_t>(32768, chunked.size() - at));
  }
  EXPECT_EQ(chunked, whole);
}

}  // namespace

namespace {

// An entry file that takes no byte (a full disk): stdio buffers the first
// bytes, so both decoders notice only when a buffer goes out. The byte-wise
// decoder fails at the putc that overflows the stream's buffer; the buffered
// one when it hands over its block, at the latest before its result. Either
// way the entry fails with write_failed once more output than the stream
// buffers was produced, and the DL reader reports "Impossibile scrivere"
// (result 3, or a failing close after result 0 or 4).
int run_to_full_disk(decoder decode, const std::string& input, std::uint32_t entry_size) {
  kesto::file_handle in(std::tmpfile());
  std::fwrite(input.data(), 1, input.size(), in.get());
  std::rewind(in.get());
  kesto::file_handle out(std::fopen("/dev/full", "wb"));
  if (!out) return -1;
  const int result = decode(in.get(), out.get(), entry_size);
  const bool closed = out.close();
  return result == kesto::lzss_result::ok || result == kesto::lzss_result::size_mismatch
             ? (closed ? result : kesto::lzss_result::write_failed)
             : result;
}

TEST(lzss_equivalence, full_disk_fails_the_same_way) {
  if (!kesto::file_handle(std::fopen("/dev/full", "wb"))) GTEST_SKIP() << "no /dev/full";
  for (std::size_t n : {0u, 10u, 100u, 5000u, 20000u, 100000u}) {
    const std::string entry = kesto_test::lz_entry(sample(n, n + 1));
    for (std::uint32_t size : {size_of(entry), size_of(entry) - 3, size_of(entry) + 5}) {
      EXPECT_EQ(run_to_full_disk(kesto::lzss_decode_entry, entry, size),
                run_to_full_disk(kesto_test::bytewise_lzss_decode_entry, entry, size))
          << n << " bytes, entry size " << size;
    }
  }
}

}  // namespace

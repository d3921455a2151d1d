// Fuzz target: lzss_encode_entry over arbitrary bytes. The entry must carry
// "LZ", the stream's size and the input's size; kesto's decoder and the
// byte-wise one with its window filled with blanks must both give the input
// back with result 0 (so the stream never reads what it has not written);
// the stream may not pass the 9 bits per byte of all literals; with a room
// one byte short of the entry the encoder must refuse and write no more
// than that room; and it must leave no file open. For one input in eight,
// the input repeated with small changes, past 12 KiB, encoded in parts of
// 4096 bytes and joined, must give the very entry of the encoder from the
// start.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <deque>

#include "bytewise_lzss_decoder.h"
#include "fuzz_support.h"
#include "lzss/lzss_decoder.h"
#include "lzss/lzss_encoder.h"

using namespace kesto_fuzz;

namespace {

// Encodes input within room into memory; *entry receives every byte written.
int encode(const bytes& input, std::uint64_t room, bytes* entry, std::uint32_t* entry_size) {
  std::FILE* in = open_memory(input);
  char* out_buf = nullptr;
  std::size_t out_size = 0;
  std::FILE* out = ::open_memstream(&out_buf, &out_size);
  KESTO_FUZZ_CHECK(in != nullptr && out != nullptr, "cannot open memory streams");
  const int result = kesto::lzss_encode_entry(in, out, room, entry_size);
  std::fclose(in);
  std::fclose(out);
  entry->assign(out_buf, out_size);
  std::free(out_buf);
  return result;
}

// The bytes of input encoded in parts of 4096 bytes, joined in memory.
int encode_in_parts(const bytes& input, bytes* entry) {
  char* out_buf = nullptr;
  std::size_t out_size = 0;
  std::FILE* out = ::open_memstream(&out_buf, &out_size);
  KESTO_FUZZ_CHECK(out != nullptr, "cannot open a memory stream");
  int r = 0;
  // The streams read these (fmemopen copies nothing) as long as the joiner
  // may take a part's encoder on.
  std::deque<bytes> pieces;
  {
    kesto::lzss_part_joiner joiner(out, 0xFFFFFFFFu);
    const std::size_t part = 4096;
    for (std::size_t begin = 0; r == 0; begin += part) {
      const bool last = begin + 2 * part > input.size();
      pieces.push_back(input.substr(begin < part ? 0 : begin - part));
      std::FILE* in = open_memory(pieces.back());
      KESTO_FUZZ_CHECK(in != nullptr, "cannot open a memory stream");
      kesto::lzss_part p;
      r = kesto::lzss_encode_part(kesto::file_handle(in), begin, last ? UINT64_MAX : begin + part,
                                  &p);
      if (r == 0) r = joiner.add(std::move(p));
      if (last) break;
    }
    kesto::lzss_encoded_entry done;
    if (r == 0) r = joiner.finish(&done);
  }
  std::fclose(out);
  entry->assign(out_buf, out_size);
  std::free(out_buf);
  return r;
}

int decode_with_blanks(std::FILE* in, std::FILE* out, std::uint32_t entry_size) {
  return kesto_test::bytewise_lzss_decode_entry_filled(in, out, entry_size, ' ');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  namespace result = kesto::lzss_encode_result;
  const bytes input(reinterpret_cast<const char*>(data), size);
  const int files_before = count_open_files();
  bytes entry;
  std::uint32_t entry_size = 0;
  const int r = encode(input, 0xFFFFFFFFu, &entry, &entry_size);
  KESTO_FUZZ_CHECK(count_open_files() == files_before, "the encoder left a file open");
  KESTO_FUZZ_CHECK(r == result::ok, "result %d for %zu bytes", r, size);
  KESTO_FUZZ_CHECK(entry.size() == entry_size && entry_size >= 10, "entry of %zu bytes, size %u",
                   entry.size(), static_cast<unsigned>(entry_size));
  const auto* head = reinterpret_cast<const std::uint8_t*>(entry.data());
  KESTO_FUZZ_CHECK(head[0] == 'L' && head[1] == 'Z' && le32(head + 2) == entry_size - 10 &&
                       le32(head + 6) == size,
                   "header sizes %u and %u for a stream of %u bytes and %zu input bytes",
                   static_cast<unsigned>(le32(head + 2)), static_cast<unsigned>(le32(head + 6)),
                   static_cast<unsigned>(entry_size - 10), size);
  KESTO_FUZZ_CHECK(entry_size - 10 <= (9 * size + 7) / 8, "stream of %u bytes for %zu bytes",
                   static_cast<unsigned>(entry_size - 10), size);

  bytes decoded;
  int d = run_lz_decoder(kesto::lzss_decode_entry, entry, entry_size, &decoded);
  KESTO_FUZZ_CHECK(d == kesto::lzss_result::ok && decoded == input,
                   "kesto's decoder: result %d, %zu bytes of %zu", d, decoded.size(), size);
  d = run_lz_decoder(decode_with_blanks, entry, entry_size, &decoded);
  KESTO_FUZZ_CHECK(d == kesto::lzss_result::ok && decoded == input,
                   "window of blanks: result %d, %zu bytes of %zu", d, decoded.size(), size);

  // One input in eight (by its size): the parts are slow under the
  // sanitizers, and the checks above need many runs.
  if (size % 8 == 1) {
    bytes repeated;
    for (std::size_t k = 0; repeated.size() < 12288 + size; ++k) {
      const std::size_t at = repeated.size() + k % size;
      repeated += input;
      repeated[at] = static_cast<char>(repeated[at] + 1);
    }
    bytes whole;
    bytes joined;
    std::uint32_t whole_size = 0;
    KESTO_FUZZ_CHECK(encode(repeated, 0xFFFFFFFFu, &whole, &whole_size) == result::ok,
                     "the repeated input");
    const int j = encode_in_parts(repeated, &joined);
    KESTO_FUZZ_CHECK(j == result::ok && joined == whole,
                     "parts of %zu bytes: result %d, %zu bytes against %zu", repeated.size(), j,
                     joined.size(), whole.size());
  }

  bytes cut;
  const int short_room = encode(input, entry_size - 1, &cut, &entry_size);
  KESTO_FUZZ_CHECK(short_room == result::too_large && cut.size() < entry.size(),
                   "room one byte short: result %d, %zu bytes written", short_room, cut.size());
  return 0;
}

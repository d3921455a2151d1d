// Fuzz target: lzss_decode_entry alone, checked against the byte-wise
// decoder it replaced (tests/bytewise_lzss_decoder.cc). The first input
// byte chooses how the entry size relates to the bytes that follow (equal,
// a little smaller or larger, or any 32-bit value), so budgets that end
// inside an item, past the stream, or far beyond the archive are all
// reached. Result and output must match the byte-wise decoder's byte for
// byte, and the decoder must open no file.
#include <cstddef>
#include <cstdint>

#include "bytewise_lzss_decoder.h"
#include "fuzz_support.h"
#include "lzss/lzss_decoder.h"

using namespace kesto_fuzz;

namespace {

// Splits the input into the entry size and the archive bytes from the
// entry's start on.
std::uint32_t take_entry_size(const std::uint8_t** data, std::size_t* size) {
  if (*size == 0) return 0;
  const std::uint8_t mode = (*data)[0] % 3;
  ++*data;
  --*size;
  if (mode == 0) return static_cast<std::uint32_t>(*size);
  if (mode == 1 && *size >= 1) {
    const int delta = static_cast<int>((*data)[0]) - 128;
    ++*data;
    --*size;
    const long long entry = static_cast<long long>(*size) + delta;
    return entry < 0 ? 0 : static_cast<std::uint32_t>(entry);
  }
  if (*size < 4) return 0;
  const std::uint32_t entry = le32(*data);
  *data += 4;
  *size -= 4;
  return entry;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::uint32_t entry_size = take_entry_size(&data, &size);
  const bytes stream(reinterpret_cast<const char*>(data), size);
  bytes expected;
  const int expected_result =
      run_lz_decoder(kesto_test::bytewise_lzss_decode_entry, stream, entry_size, &expected);

  const int files_before = count_open_files();
  bytes produced;
  const int result = run_lz_decoder(kesto::lzss_decode_entry, stream, entry_size, &produced);
  KESTO_FUZZ_CHECK(count_open_files() == files_before, "the decoder left a file open");
  KESTO_FUZZ_CHECK(result == expected_result, "result %d, byte-wise %d (entry size %u)", result,
                   expected_result, static_cast<unsigned>(entry_size));
  KESTO_FUZZ_CHECK(produced == expected, "output of %zu bytes, byte-wise %zu bytes",
                   produced.size(), expected.size());
  return 0;
}

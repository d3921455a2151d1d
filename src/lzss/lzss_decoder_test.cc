#include "lzss/lzss_decoder.h"

#include <gtest/gtest.h>

#include "lzss_encoder.h"
#include "test_util.h"

namespace kesto {
namespace {

using kesto_test::bytes;

// Decodes entry (with entry_size taken as its length plus extra) from a
// temporary stream; returns the result and the output.
int decode(const bytes& entry, bytes* output, std::uint32_t entry_size) {
  std::FILE* in = std::tmpfile();
  std::FILE* out = std::tmpfile();
  std::fwrite(entry.data(), 1, entry.size(), in);
  std::rewind(in);
  int r = lzss_decode_entry(in, out, entry_size);
  std::fflush(out);
  long n = std::ftell(out);
  output->assign(static_cast<std::size_t>(n), '\0');
  std::rewind(out);
  if (n > 0) {
    EXPECT_EQ(std::fread(output->data(), 1, output->size(), out), output->size());
  }
  std::fclose(in);
  std::fclose(out);
  return r;
}

TEST(lzss_decoder, encoder_round_trip_past_the_window) {
  bytes data;
  for (int i = 0; i < 20000; ++i) data += "chunk " + std::to_string(i % 97) + ";";
  data += kesto_test::random_bytes(10000, 7);
  bytes entry = kesto_test::lz_entry(data);
  bytes out;
  ASSERT_EQ(decode(entry, &out, static_cast<std::uint32_t>(entry.size())), lzss_result::ok);
  EXPECT_EQ(out, data);
}

}  // namespace
}  // namespace kesto

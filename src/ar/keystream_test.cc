#include "ar/keystream.h"

#include <gtest/gtest.h>

#include <vector>

#include "test_util.h"

namespace kesto {
namespace {

using kesto_test::bytes;

std::vector<unsigned char> to_vector(const bytes& b) { return {b.begin(), b.end()}; }

// Scrambling zero bytes yields the keystream itself, whose n-th byte is
// F(n+1)*k0 + F(n+2)*k1 mod 256 with the Fibonacci numbers 1, 1, 2, 3, 5, ...
TEST(keystream, first_bytes_are_fibonacci_sums_of_the_key_bytes) {
  const unsigned fib[] = {1, 1, 2, 3, 5, 8, 13, 21, 34, 55, 89, 144, 233, 377};
  for (std::uint16_t key : {0x0000, 0x0001, 0x0100, 0x0201, 0x1234, 0x8A7F, 0xFFFF}) {
    const unsigned k0 = key & 0xFF;
    const unsigned k1 = key >> 8;
    std::vector<unsigned char> data(12, 0);
    keystream(key).scramble(data.data(), data.size());
    for (std::size_t n = 0; n < data.size(); ++n) {
      EXPECT_EQ(data[n], (fib[n] * k0 + fib[n + 1] * k1) & 0xFF) << "key " << key << " byte " << n;
    }
  }
  std::vector<unsigned char> data(6, 0);
  keystream(0x0201).scramble(data.data(), data.size());  // k0 = 1, k1 = 2
  EXPECT_EQ(data, (std::vector<unsigned char>{3, 5, 8, 13, 21, 34}));
}

TEST(keystream, registers_run_on_across_chunks) {
  const auto plain = to_vector(kesto_test::random_bytes(100000, 11));
  for (std::uint16_t key : {0x0001, 0xBEEF}) {
    auto whole = plain;
    keystream(key).scramble(whole.data(), whole.size());
    auto pieces = plain;
    keystream chunked(key);
    std::size_t at = 0;
    for (std::size_t chunk : {1, 7, 32768, 383, 32768}) {
      chunked.scramble(pieces.data() + at, chunk);
      at += chunk;
    }
    chunked.scramble(pieces.data() + at, pieces.size() - at);
    EXPECT_EQ(pieces, whole) << "key " << key;
  }
}

TEST(keystream, unscramble_inverts_scramble_and_key_zero_is_identity) {
  const auto plain = to_vector(kesto_test::random_bytes(5000, 3));
  for (std::uint16_t key : {0x0000, 0x00FF, 0xFF00, 0x1234, 0xFFFF}) {
    auto data = plain;
    keystream(key).scramble(data.data(), data.size());
    if (key == 0) {
      EXPECT_EQ(data, plain);
    } else {
      EXPECT_NE(data, plain) << "key " << key;
    }
    keystream(key).unscramble(data.data(), data.size());
    EXPECT_EQ(data, plain) << "key " << key;
  }
}

}  // namespace
}  // namespace kesto

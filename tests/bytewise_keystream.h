// The byte-at-a-time keystream kesto shipped before the table-driven one:
// the Fibonacci step t = a + b, a = b, b = t (mod 256) once per data byte.
// Kept as the reference the table is tested against (equivalence_test.cc)
// and measured against (bench/keystream_bench.cc).
#ifndef KESTO_TESTS_BYTEWISE_KEYSTREAM_H
#define KESTO_TESTS_BYTEWISE_KEYSTREAM_H

#include <cstddef>
#include <cstdint>

namespace kesto_test {

class bytewise_keystream {
 public:
  explicit bytewise_keystream(std::uint16_t key)
      : a_(static_cast<std::uint8_t>(key)), b_(static_cast<std::uint8_t>(key >> 8)) {}

  void scramble(unsigned char* data, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) data[i] = static_cast<unsigned char>(data[i] + next());
  }
  void unscramble(unsigned char* data, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) data[i] = static_cast<unsigned char>(data[i] - next());
  }

 private:
  std::uint8_t next() {
    std::uint8_t t = static_cast<std::uint8_t>(a_ + b_);
    a_ = b_;
    b_ = t;
    return t;
  }

  std::uint8_t a_;
  std::uint8_t b_;
};

}  // namespace kesto_test

#endif

// Deterministic sample data for tests, benchmarks and seed files: text-like
// bytes (words, spaces, punctuation and line ends, the kind of script files
// LZ entries hold) and binary-like bytes (little-endian tables, runs of
// zeros, noise).
#ifndef KESTO_TESTS_SAMPLE_DATA_H
#define KESTO_TESTS_SAMPLE_DATA_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace kesto_test {

// A small xorshift generator: the same seed gives the same bytes everywhere.
class sample_random {
 public:
  explicit sample_random(std::uint64_t seed) : s_(seed * 0x9E3779B97F4A7C15ull + 1) {}
  std::uint64_t next() {
    s_ ^= s_ << 13;
    s_ ^= s_ >> 7;
    s_ ^= s_ << 17;
    return s_;
  }
  std::uint32_t below(std::uint32_t n) { return static_cast<std::uint32_t>(next() % n); }

 private:
  std::uint64_t s_;
};

std::string text_like(std::size_t n, std::uint64_t seed);
std::string binary_like(std::size_t n, std::uint64_t seed);

}  // namespace kesto_test

#endif

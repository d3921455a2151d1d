// The additive keystream of AR entries. Two 8-bit registers start as the
// key's low and high bytes at every entry; each data byte advances them by a
// Fibonacci step, t = a + b, a = b, b = t (mod 256), and t is added to the
// byte when scrambling and subtracted when unscrambling. The registers run
// on across the chunks of one entry.
#ifndef KESTO_AR_KEYSTREAM_H
#define KESTO_AR_KEYSTREAM_H

#include <cstddef>
#include <cstdint>

namespace kesto {

class keystream {
 public:
  explicit keystream(std::uint16_t key)
      : a_(static_cast<std::uint8_t>(key)), b_(static_cast<std::uint8_t>(key >> 8)) {}

  void scramble(unsigned char* data, std::size_t n);
  void unscramble(unsigned char* data, std::size_t n);

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

}  // namespace kesto

#endif

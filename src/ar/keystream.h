// The additive keystream of AR entries. Two 8-bit registers start as the
// key's low and high bytes at every entry; each data byte advances them by a
// Fibonacci step, t = a + b, a = b, b = t (mod 256), and t is added to the
// byte when scrambling and subtracted when unscrambling. The registers run
// on across the chunks of one entry.
//
// The step is linear modulo 256 and its period (the Pisano period of 256)
// is 384, so the registers are back at (k0, k1) after every 384 bytes
// whatever the key. The keystream therefore keeps the 384 values of t for
// its key in a table and only remembers where in that cycle the next byte
// is: scrambling becomes a plain byte-wise add of two arrays, which the
// compiler vectorises, instead of a chain of dependent register steps.
#ifndef KESTO_AR_KEYSTREAM_H
#define KESTO_AR_KEYSTREAM_H

#include <cstddef>
#include <cstdint>

namespace kesto {

class keystream {
 public:
  explicit keystream(std::uint16_t key);

  void scramble(unsigned char* data, std::size_t n);
  void unscramble(unsigned char* data, std::size_t n);

  // Bytes after which the keystream repeats, for every key.
  static constexpr std::size_t period = 384;

 private:
  unsigned char table_[period];  // t for the 1st, 2nd, ... byte of a cycle
  std::size_t phase_ = 0;        // index in table_ of the next byte's t
};

}  // namespace kesto

#endif

#include "ar/keystream.h"

namespace kesto {

namespace {

// Adds (or subtracts) the keystream bytes of one stretch that does not cross
// the end of the cycle. Separate pointers and a counted loop let the
// compiler turn this into vector adds.
template <bool Subtract>
void apply(unsigned char* data, const unsigned char* stream, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    data[i] = static_cast<unsigned char>(Subtract ? data[i] - stream[i] : data[i] + stream[i]);
  }
}

template <bool Subtract>
void apply_cycle(unsigned char* data, std::size_t n, const unsigned char* table,
                 std::size_t* phase) {
  while (n != 0) {
    const std::size_t left = keystream::period - *phase;
    const std::size_t run = n < left ? n : left;
    apply<Subtract>(data, table + *phase, run);
    data += run;
    n -= run;
    *phase = run == left ? 0 : *phase + run;
  }
}

}  // namespace

keystream::keystream(std::uint16_t key) {
  auto a = static_cast<std::uint8_t>(key);
  auto b = static_cast<std::uint8_t>(key >> 8);
  for (unsigned char& t : table_) {
    const auto next = static_cast<std::uint8_t>(a + b);
    a = b;
    b = next;
    t = next;
  }
}

void keystream::scramble(unsigned char* data, std::size_t n) {
  apply_cycle<false>(data, n, table_, &phase_);
}

void keystream::unscramble(unsigned char* data, std::size_t n) {
  apply_cycle<true>(data, n, table_, &phase_);
}

}  // namespace kesto

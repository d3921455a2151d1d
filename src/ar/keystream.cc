#include "ar/keystream.h"

namespace kesto {

void keystream::scramble(unsigned char* data, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) data[i] = static_cast<unsigned char>(data[i] + next());
}

void keystream::unscramble(unsigned char* data, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) data[i] = static_cast<unsigned char>(data[i] - next());
}

}  // namespace kesto

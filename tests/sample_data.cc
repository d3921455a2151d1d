#include "sample_data.h"

#include <array>

namespace kesto_test {

std::string text_like(std::size_t n, std::uint64_t seed) {
  static constexpr std::array<const char*, 24> words = {
      "il",     "la",      "di",     "che",    "e",        "un",      "per",     "non",
      "porta",  "castello", "spada", "drago",  "Torvane",  "guardia", "notte",   "fiume",
      "parla",  "ritorna", "tesoro", "chiave", "antico",   "oscuro",  "villaggio", "mago"};
  sample_random rng(seed);
  std::string out;
  out.reserve(n + 32);
  while (out.size() < n) {
    const std::uint32_t roll = rng.below(100);
    if (roll < 4) {
      out += ".\r\n";
    } else if (roll < 7) {
      out += ", ";
    } else if (roll < 9) {
      out += "MSG_" + std::to_string(rng.below(5000)) + ": ";
    } else {
      out += words[rng.below(static_cast<std::uint32_t>(words.size()))];
      out += ' ';
    }
  }
  out.resize(n);
  return out;
}

std::string binary_like(std::size_t n, std::uint64_t seed) {
  sample_random rng(seed);
  std::string out;
  out.reserve(n + 4096);
  std::uint32_t counter = rng.below(1000);
  while (out.size() < n) {
    const std::uint32_t kind = rng.below(4);
    const std::uint32_t length = 64 + rng.below(1024);
    for (std::uint32_t i = 0; i < length; ++i) {
      switch (kind) {
        case 0:  // a table of increasing little-endian 32-bit values
          if (i % 4 == 0) counter += rng.below(16);
          out.push_back(static_cast<char>(counter >> (8 * (i % 4))));
          break;
        case 1:  // zero padding
          out.push_back('\0');
          break;
        case 2:  // noise (compressed data, pixels)
          out.push_back(static_cast<char>(rng.next()));
          break;
        default:  // small values with a few high bytes
          out.push_back(static_cast<char>(rng.below(8) == 0 ? rng.next() : rng.below(16)));
          break;
      }
    }
  }
  out.resize(n);
  return out;
}

}  // namespace kesto_test

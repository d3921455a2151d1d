// Writes the LZ entry of its standard input to its standard output, made by
// the test-only encoder; the seed corpus script builds LZ entries with it.
#include <cstdio>
#include <iostream>
#include <iterator>
#include <string>

#include "lzss_encoder.h"

int main() {
  std::ios::sync_with_stdio(false);
  const std::string data((std::istreambuf_iterator<char>(std::cin)), std::istreambuf_iterator<char>());
  const std::string entry = kesto_test::lz_entry(data);
  std::cout.write(entry.data(), static_cast<std::streamsize>(entry.size()));
  return std::cout.good() ? 0 : 1;
}

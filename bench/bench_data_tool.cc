// Makes the data of bench/run.sh, the same bytes on every machine:
//
//   kesto_bench_data files DIR COUNT MIN_SIZE MAX_SIZE SEED
//       COUNT files s00000, s00001, ... of MIN_SIZE to MAX_SIZE bytes each
//       (mixed text-like and binary-like contents) in the directory DIR.
//   kesto_bench_data big DIR COUNT SIZE
//       COUNT files b00 ... of SIZE bytes of noise (nothing to compress).
//   kesto_bench_data lz-archive ARCHIVE COUNT SIZE
//       A DL archive of COUNT LZ entries e00.txt, e01.bin, ... that decode to
//       SIZE bytes each, text-like and binary-like in turn.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "lzss_encoder.h"
#include "sample_data.h"

namespace {

bool write_file(const std::string& path, const std::string& data) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  const bool ok = std::fwrite(data.data(), 1, data.size(), f) == data.size();
  return std::fclose(f) == 0 && ok;
}

std::string numbered(const char* format, unsigned n) {
  char name[32];
  std::snprintf(name, sizeof name, format, n);
  return name;
}

int make_files(const std::string& dir, unsigned count, unsigned min, unsigned max,
               unsigned seed) {
  kesto_test::sample_random rng(seed);
  for (unsigned i = 0; i < count; ++i) {
    const std::size_t size = min + rng.below(max - min + 1);
    const std::string data = i % 2 ? kesto_test::binary_like(size, rng.next())
                                   : kesto_test::text_like(size, rng.next());
    if (!write_file(dir + "/" + numbered("s%05u", i), data)) return 1;
  }
  return 0;
}

int make_big(const std::string& dir, unsigned count, unsigned size) {
  kesto_test::sample_random rng(count);
  std::string data(size, '\0');
  for (unsigned i = 0; i < count; ++i) {
    for (std::size_t k = 0; k + 8 <= data.size(); k += 8) {
      const std::uint64_t v = rng.next();
      std::memcpy(&data[k], &v, 8);
    }
    if (!write_file(dir + "/" + numbered("b%02u", i), data)) return 1;
  }
  return 0;
}

void put_u32(std::string* s, std::uint32_t v) {
  for (int k = 0; k < 4; ++k) s->push_back(static_cast<char>(v >> (8 * k)));
}

int make_lz_archive(const std::string& path, unsigned count, unsigned size) {
  std::string archive("DL1.0\x1a\0\0", 8);
  archive.push_back(static_cast<char>(count));
  archive.push_back(static_cast<char>(count >> 8));
  archive.append(6, '\0');  // directory offset, patched below, and two zero bytes
  std::string directory;
  for (unsigned i = 0; i < count; ++i) {
    const bool text = i % 2 == 0;
    const std::string entry = kesto_test::lz_entry(text ? kesto_test::text_like(size, 10 + i)
                                                        : kesto_test::binary_like(size, 10 + i));
    archive += entry;
    std::string name = numbered(text ? "e%02u.txt" : "e%02u.bin", i);
    name.resize(12, '\0');
    directory += name;
    put_u32(&directory, static_cast<std::uint32_t>(entry.size()));
  }
  std::string offset;
  put_u32(&offset, static_cast<std::uint32_t>(archive.size()));
  archive.replace(10, 4, offset);
  return write_file(path, archive + directory) ? 0 : 1;
}

unsigned number(const char* text) { return static_cast<unsigned>(std::strtoul(text, nullptr, 10)); }

}  // namespace

int main(int argc, char** argv) {
  const std::string what = argc > 1 ? argv[1] : "";
  if (what == "files" && argc == 7) {
    return make_files(argv[2], number(argv[3]), number(argv[4]), number(argv[5]), number(argv[6]));
  }
  if (what == "big" && argc == 5) return make_big(argv[2], number(argv[3]), number(argv[4]));
  if (what == "lz-archive" && argc == 5) {
    return make_lz_archive(argv[2], number(argv[3]), number(argv[4]));
  }
  std::fprintf(stderr,
               "usage: kesto_bench_data files DIR COUNT MIN_SIZE MAX_SIZE SEED\n"
               "       kesto_bench_data big DIR COUNT SIZE\n"
               "       kesto_bench_data lz-archive ARCHIVE COUNT SIZE\n");
  return 2;
}

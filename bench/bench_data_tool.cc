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
//   kesto_bench_data game DIR
//       Game-like files in DIR: script text (g-text*.txt), 8-bit bitmaps
//       with runs of one colour (g-pic*.bmp), 8-bit sound samples
//       (g-snd*.wav) and tables of little-endian records (g-tab*.dat).
//   kesto_bench_data sizes ARCHIVE
//       Prints the name and size of every entry of a DL archive, a line
//       each.
#include <algorithm>
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

// A picture of width x height pixels of one byte: rectangles of one colour
// over a background, rows bottom up, behind a 54-byte header and a palette.
std::string bitmap(unsigned width, unsigned height, std::uint64_t seed) {
  kesto_test::sample_random rng(seed);
  std::string pixels(std::size_t{width} * height, static_cast<char>(rng.below(16)));
  for (unsigned r = 0; r < 40; ++r) {
    const unsigned x = rng.below(width), y = rng.below(height);
    const unsigned w = 1 + rng.below(width / 3), h = 1 + rng.below(height / 3);
    const auto colour = static_cast<char>(rng.below(256));
    for (unsigned j = y; j < std::min(height, y + h); ++j) {
      for (unsigned i = x; i < std::min(width, x + w); ++i) pixels[std::size_t{j} * width + i] = colour;
    }
  }
  std::string out = "BM";
  put_u32(&out, static_cast<std::uint32_t>(54 + 1024 + pixels.size()));
  put_u32(&out, 0);
  put_u32(&out, 54 + 1024);
  put_u32(&out, 40);
  put_u32(&out, width);
  put_u32(&out, height);
  out.append("\x01\x00\x08\x00", 4);
  out.append(24, '\0');
  for (unsigned c = 0; c < 256; ++c) put_u32(&out, (c * 0x010101u) ^ (c << 16 & 0xFF0000));
  return out + pixels;
}

// n bytes of 8-bit unsigned sound: tones that fade, with a little noise,
// and stretches of silence.
std::string sound(std::size_t n, std::uint64_t seed) {
  kesto_test::sample_random rng(seed);
  std::string out = "RIFF";
  put_u32(&out, static_cast<std::uint32_t>(36 + n));
  out += "WAVEfmt ";
  out.append("\x10\0\0\0\x01\0\x01\0\x22\x56\0\0\x22\x56\0\0\x01\0\x08\0", 20);
  out += "data";
  put_u32(&out, static_cast<std::uint32_t>(n));
  while (out.size() < 44 + n) {
    const unsigned length = 2000 + rng.below(6000);
    const unsigned period = 8 + rng.below(60);
    const bool silent = rng.below(4) == 0;
    for (unsigned i = 0; i < length; ++i) {
      const unsigned phase = i % period;
      const int wave = static_cast<int>(phase < period / 2 ? phase : period - phase) * 200 / static_cast<int>(period);
      const int fade = static_cast<int>(length - i) * 100 / static_cast<int>(length);
      const int v = silent ? 128 : 128 + (wave - 50) * fade / 100 + static_cast<int>(rng.below(3)) - 1;
      out.push_back(static_cast<char>(v));
    }
  }
  out.resize(44 + n);
  return out;
}

// count records of 32 bytes: an id, a name padded with zeros, small stats.
std::string table(unsigned count, std::uint64_t seed) {
  static const char* const names[] = {"spada", "scudo", "pozione", "chiave", "anello",
                                      "mappa", "lanterna", "corda", "arco", "freccia"};
  kesto_test::sample_random rng(seed);
  std::string out;
  for (unsigned i = 0; i < count; ++i) {
    put_u32(&out, 1000 + i);
    std::string name = names[rng.below(10)];
    name.resize(16, '\0');
    out += name;
    for (int k = 0; k < 4; ++k) out.push_back(static_cast<char>(rng.below(4) ? rng.below(20) : rng.below(256)));
    put_u32(&out, rng.below(100) * 10);
    put_u32(&out, rng.below(8) ? 0 : rng.below(1000));
  }
  return out;
}

int make_game(const std::string& dir) {
  bool ok = true;
  for (unsigned i = 0; i < 4; ++i) {
    ok = ok && write_file(dir + numbered("/g-text%u.txt", i), kesto_test::text_like(60000 + 50000 * i, 20 + i));
    ok = ok && write_file(dir + numbered("/g-pic%u.bmp", i), bitmap(320 + 160 * i, 200 + 120 * i, 30 + i));
    ok = ok && write_file(dir + numbered("/g-snd%u.wav", i), sound(100000 + 60000 * i, 40 + i));
    ok = ok && write_file(dir + numbered("/g-tab%u.dat", i), table(1000 + 1500 * i, 50 + i));
  }
  return ok ? 0 : 1;
}

// The name and size of each entry of a DL archive.
int print_sizes(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return 1;
  std::string data;
  char buf[65536];
  for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) data.append(buf, n);
  std::fclose(f);
  if (data.size() < 16) return 1;
  auto u32 = [&](std::size_t at) {
    std::uint32_t v = 0;
    for (int k = 3; k >= 0; --k) v = v << 8 | static_cast<unsigned char>(data[at + k]);
    return v;
  };
  const unsigned count = static_cast<unsigned char>(data[8]) | static_cast<unsigned char>(data[9]) << 8;
  const std::size_t directory = u32(10);
  if (directory + 16 * std::size_t{count} > data.size()) return 1;
  for (unsigned i = 0; i < count; ++i) {
    const std::string name = data.substr(directory + 16 * i, 12);
    std::printf("%s %u\n", name.c_str(), static_cast<unsigned>(u32(directory + 16 * i + 12)));
  }
  return 0;
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
  if (what == "game" && argc == 3) return make_game(argv[2]);
  if (what == "sizes" && argc == 3) return print_sizes(argv[2]);
  std::fprintf(stderr,
               "usage: kesto_bench_data files DIR COUNT MIN_SIZE MAX_SIZE SEED\n"
               "       kesto_bench_data big DIR COUNT SIZE\n"
               "       kesto_bench_data lz-archive ARCHIVE COUNT SIZE\n"
               "       kesto_bench_data game DIR\n"
               "       kesto_bench_data sizes ARCHIVE\n");
  return 2;
}

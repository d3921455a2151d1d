#include "lzss_encoder.h"

#include <cstdint>
#include <vector>

namespace kesto_test {

namespace {

constexpr std::size_t window_size = 4096;
constexpr std::size_t max_match = 18;
constexpr std::size_t min_match = 3;
constexpr std::size_t start_r = window_size - max_match;
// Matches stay well inside the window so their bytes are never overwritten.
constexpr std::size_t max_distance = window_size - max_match;

class item_writer {
 public:
  explicit item_writer(std::string* out) : out_(out) {}
  void literal(unsigned char c) {
    begin_item(true);
    out_->push_back(static_cast<char>(c));
  }
  void reference(std::size_t window_pos, std::size_t length) {
    begin_item(false);
    out_->push_back(static_cast<char>(window_pos & 0xFF));
    out_->push_back(static_cast<char>(((window_pos >> 4) & 0xF0) | (length - min_match)));
  }

 private:
  void begin_item(bool is_literal) {
    if (bit_ == 8) {
      flag_at_ = out_->size();
      out_->push_back('\0');
      bit_ = 0;
    }
    if (is_literal) (*out_)[flag_at_] = static_cast<char>((*out_)[flag_at_] | (1 << bit_));
    ++bit_;
  }

  std::string* out_;
  std::size_t flag_at_ = 0;
  int bit_ = 8;
};

std::uint32_t hash3(const unsigned char* p) {
  std::uint32_t v = static_cast<std::uint32_t>(p[0]) << 16 | p[1] << 8 | p[2];
  return (v * 2654435761u) >> 16;
}

}  // namespace

std::string lzss_encode(const std::string& data) {
  const auto* in = reinterpret_cast<const unsigned char*>(data.data());
  const std::size_t n = data.size();
  std::string out;
  item_writer writer(&out);
  std::vector<std::int64_t> last(1 << 16, -1);
  std::size_t i = 0;
  while (i < n) {
    std::size_t best_len = 0;
    std::size_t best_src = 0;
    if (i + min_match <= n) {
      std::uint32_t h = hash3(in + i);
      std::int64_t cand = last[h];
      last[h] = static_cast<std::int64_t>(i);
      if (cand >= 0 && i - static_cast<std::size_t>(cand) <= max_distance) {
        std::size_t src = static_cast<std::size_t>(cand);
        std::size_t len = 0;
        while (len < max_match && i + len < n && in[src + len] == in[i + len]) ++len;
        if (len >= min_match) {
          best_len = len;
          best_src = src;
        }
      }
    }
    if (best_len == 0) {
      writer.literal(in[i]);
      ++i;
      continue;
    }
    writer.reference((best_src + start_r) % window_size, best_len);
    for (std::size_t k = 1; k < best_len && i + k + min_match <= n; ++k) {
      last[hash3(in + i + k)] = static_cast<std::int64_t>(i + k);
    }
    i += best_len;
  }
  return out;
}

std::string lz_entry(const std::string& data) {
  std::string stream = lzss_encode(data);
  auto u32 = [](std::uint32_t v) {
    std::string s(4, '\0');
    for (int k = 0; k < 4; ++k) s[k] = static_cast<char>((v >> (8 * k)) & 0xFF);
    return s;
  };
  return std::string("LZ") + u32(static_cast<std::uint32_t>(stream.size())) +
         u32(static_cast<std::uint32_t>(data.size())) + stream;
}

}  // namespace kesto_test

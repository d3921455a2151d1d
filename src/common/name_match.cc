#include "common/name_match.h"

namespace kesto {

namespace {

unsigned char fold(char c) {
  const auto b = static_cast<unsigned char>(c);
  return b >= 'A' && b <= 'Z' ? static_cast<unsigned char>(b - 'A' + 'a') : b;
}

}  // namespace

bool name_matches(std::string_view pattern, std::string_view name) {
  // Greedy matching with one resume point: on a mismatch the last "*" takes
  // one more byte of name. Earlier stars never need to be revisited, since
  // the last one can take any run the earlier ones would have.
  std::size_t p = 0;
  std::size_t n = 0;
  std::size_t star = std::string_view::npos;
  std::size_t resume = 0;
  while (n < name.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      resume = n;
    } else if (p < pattern.size() && (pattern[p] == '?' || fold(pattern[p]) == fold(name[n]))) {
      ++p;
      ++n;
    } else if (star != std::string_view::npos) {
      p = star + 1;
      n = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

name_selection::name_selection(std::span<const std::string> patterns)
    : patterns_(patterns), matched_(patterns.size(), false) {}

bool name_selection::select(std::string_view name) {
  const std::size_t end = name.find('\0');
  if (end != std::string_view::npos) name = name.substr(0, end);
  bool chosen = everything();
  for (std::size_t i = 0; i < patterns_.size(); ++i) {
    if (name_matches(patterns_[i], name)) {
      matched_[i] = true;
      chosen = true;
    }
  }
  return chosen;
}

const std::string* name_selection::unmatched() const {
  for (std::size_t i = 0; i < patterns_.size(); ++i) {
    if (!matched_[i]) return &patterns_[i];
  }
  return nullptr;
}

}  // namespace kesto

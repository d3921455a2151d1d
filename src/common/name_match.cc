#include "common/name_match.h"

#include "common/platform.h"

namespace kesto {

namespace {

unsigned char fold(char c) {
  const auto b = static_cast<unsigned char>(c);
  return b >= 'A' && b <= 'Z' ? static_cast<unsigned char>(b - 'A' + 'a') : b;
}

// The size of the character text starts with: whole characters of the
// code page chosen with --codepage, else one byte, as names were always
// matched.
std::size_t character_at(std::string_view text) {
  return name_code_page() != 0 ? stored_character_size(text) : 1;
}

// Whether pattern starts with the character c: a single byte with ASCII
// case ignored, a longer one byte for byte, never a trail byte folded.
bool starts_with_character(std::string_view pattern, std::string_view c) {
  if (c.size() == 1) return fold(pattern[0]) == fold(c[0]);
  return pattern.substr(0, c.size()) == c && character_at(pattern) == c.size();
}

}  // namespace

bool name_matches(std::string_view pattern, std::string_view name) {
  // Greedy matching with one resume point: on a mismatch the last "*" takes
  // one more character of name. Earlier stars never need to be revisited,
  // since the last one can take any run the earlier ones would have.
  std::size_t p = 0;
  std::size_t n = 0;
  std::size_t star = std::string_view::npos;
  std::size_t resume = 0;
  while (n < name.size()) {
    const std::size_t size = character_at(name.substr(n));
    if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      resume = n;
    } else if (p < pattern.size() && pattern[p] == '?') {
      ++p;
      n += size;
    } else if (p < pattern.size() &&
               starts_with_character(pattern.substr(p), name.substr(n, size))) {
      p += size;
      n += size;
    } else if (star != std::string_view::npos) {
      p = star + 1;
      resume += character_at(name.substr(resume));
      n = resume;
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

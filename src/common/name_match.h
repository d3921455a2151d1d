// Choosing entries by name: the NAME operands of the operations that work
// on some entries of an archive (-x, -p, -d and those to come).
#ifndef KESTO_COMMON_NAME_MATCH_H
#define KESTO_COMMON_NAME_MATCH_H

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kesto {

// True when pattern matches name: "*" stands for any run of bytes (none
// included), "?" for exactly one byte, every other byte for itself with
// ASCII letter case ignored, as Windows compares names. Bytes 0x80-0xFF
// compare exactly. With a code page chosen (use_name_code_page), both are
// read in whole characters of it: "?" is one character, and the second
// byte of a double-byte character is never folded. Linear in the lengths' product at worst, never recursive.
bool name_matches(std::string_view pattern, std::string_view name);

// The NAME operands of one run and which of them matched an entry. Every
// NAME must match at least one entry: a run walks the directory once with
// select() before it writes anything, then names the first NAME that
// matched nothing (unmatched()) on its failure line.
class name_selection {
 public:
  explicit name_selection(std::span<const std::string> patterns);

  // No NAME given: every entry is chosen.
  bool everything() const { return patterns_.empty(); }
  // Whether the entry called name (up to its first zero byte) is chosen;
  // remembers which NAMEs matched it.
  bool select(std::string_view name);
  // The first NAME that no select() has matched, or nullptr.
  const std::string* unmatched() const;

 private:
  std::span<const std::string> patterns_;
  std::vector<bool> matched_;
};

}  // namespace kesto

#endif

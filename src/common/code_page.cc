#include "common/code_page.h"

namespace kesto {

bool is_accepted_code_page(unsigned code_page) {
  switch (code_page) {
    case 437:
    case 850:
    case 852:
    case 866:
    case 874:
    case 932:
    case 936:
    case 949:
    case 950:
    case utf8_code_page:
      return true;
    default:
      return code_page >= 1250 && code_page <= 1258;
  }
}

bool is_code_page_word(std::string_view word, std::string_view* value) {
  constexpr std::string_view option = "--codepage=";
  if (word.size() < option.size()) return false;
  for (std::size_t i = 0; i < option.size(); ++i) {
    char c = word[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != option[i]) return false;
  }
  if (value != nullptr) *value = word.substr(option.size());
  return true;
}

unsigned parse_code_page(std::string_view value) {
  if (value.empty() || value.size() > 5) return 0;
  unsigned n = 0;
  for (const char c : value) {
    if (c < '0' || c > '9') return 0;
    n = n * 10 + static_cast<unsigned>(c - '0');
  }
  return n;
}

std::size_t multibyte_character_size(std::string_view text, unsigned code_page,
                                     const bool (&lead)[256]) {
  const auto first = static_cast<unsigned char>(text[0]);
  if (code_page == utf8_code_page) {
    const std::size_t size = first >= 0xF0 && first <= 0xF4   ? 4
                             : first >= 0xE0 && first <= 0xEF ? 3
                             : first >= 0xC2 && first <= 0xDF ? 2
                                                              : 1;
    if (size > text.size()) return 1;
    for (std::size_t i = 1; i < size; ++i) {
      if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) return 1;
    }
    return size;
  }
  if (!lead[first] || text.size() < 2 || static_cast<unsigned char>(text[1]) < 0x40) return 1;
  return 2;
}

}  // namespace kesto

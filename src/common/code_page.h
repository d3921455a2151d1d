// The code pages kesto accepts for stored names (--codepage), and how their
// characters are stepped over; both platform files share these rules.
#ifndef KESTO_COMMON_CODE_PAGE_H
#define KESTO_COMMON_CODE_PAGE_H

#include <cstddef>
#include <string_view>

namespace kesto {

inline constexpr unsigned utf8_code_page = 65001;

// The Windows code pages that game archives use and that kesto converts:
// 437, 850, 852, 866, 874, 932, 936, 949, 950, 1250-1258 and 65001 (UTF-8).
bool is_accepted_code_page(unsigned code_page);

// True for a word of the form --codepage=VALUE (the option in any letter
// case); *value gets VALUE.
bool is_code_page_word(std::string_view word, std::string_view* value = nullptr);

// The code page VALUE names: decimal digits only, else 0.
unsigned parse_code_page(std::string_view value);

// The length of the character text (not empty) starts with in code_page,
// where lead[b] marks a byte b that starts a double-byte character: 2 for
// such a byte and a trail byte (0x40 or above) after it, the whole sequence
// for a UTF-8 lead byte with its continuation bytes, else 1, so that a lead
// byte before a separator or a control byte never hides it.
std::size_t multibyte_character_size(std::string_view text, unsigned code_page,
                                     const bool (&lead)[256]);

}  // namespace kesto

#endif

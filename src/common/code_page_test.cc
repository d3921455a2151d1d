#include "common/code_page.h"

#include <gtest/gtest.h>

namespace kesto {
namespace {

// A lead byte takes its trail byte, 0x5C included, but never a separator,
// control or digit after it, nor a byte that is missing; UTF-8 takes a
// whole sequence or one byte.
TEST(code_page, characters_are_stepped_whole) {
  bool lead[256] = {};
  lead[0x95] = lead[0x83] = true;
  EXPECT_EQ(multibyte_character_size("\x95\\.txt", 932, lead), 2u);
  EXPECT_EQ(multibyte_character_size("\x83/x", 932, lead), 1u);
  EXPECT_EQ(multibyte_character_size("\x95", 932, lead), 1u);
  EXPECT_EQ(multibyte_character_size("\\x", 932, lead), 1u);
  EXPECT_EQ(multibyte_character_size("\xE8\xA1\xA8.", utf8_code_page, lead), 3u);
  EXPECT_EQ(multibyte_character_size("\xE8\xA1", utf8_code_page, lead), 1u);
  EXPECT_EQ(multibyte_character_size("\xE8/\xA1", utf8_code_page, lead), 1u);
  EXPECT_EQ(multibyte_character_size("\xF0\x9F\x98\x80", utf8_code_page, lead), 4u);
}

TEST(code_page, option_word_and_number) {
  std::string_view value;
  EXPECT_TRUE(is_code_page_word("--CodePage=932", &value));
  EXPECT_EQ(value, "932");
  EXPECT_FALSE(is_code_page_word("--codepage"));
  EXPECT_FALSE(is_code_page_word("-codepage=932"));
  EXPECT_EQ(parse_code_page("65001"), 65001u);
  for (const char* bad : {"", "+932", "93 2", "0x3A4", "999999"}) {
    EXPECT_EQ(parse_code_page(bad), 0u);
  }
  EXPECT_TRUE(is_accepted_code_page(1258));
  EXPECT_FALSE(is_accepted_code_page(1259));
  EXPECT_FALSE(is_accepted_code_page(0));
}

}  // namespace
}  // namespace kesto

#include "common/name_match.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kesto {
namespace {

TEST(name_match, wildcards_and_ascii_case) {
  EXPECT_TRUE(name_matches("script01.txt", "SCRIPT01.TXT"));
  EXPECT_TRUE(name_matches("*.txt", "a.TXT"));
  EXPECT_TRUE(name_matches("*", ""));
  EXPECT_TRUE(name_matches("s??.bin", "s01.bin"));
  EXPECT_FALSE(name_matches("s??.bin", "s1.bin"));
  EXPECT_TRUE(name_matches("a*b*c", "aXXbYYbZc"));
  EXPECT_FALSE(name_matches("a*b*c", "aXXbYYbZ"));
  EXPECT_FALSE(name_matches("a", "ab"));
  EXPECT_FALSE(name_matches("", "a"));
  // Only ASCII letters fold: 0xE9 and 0xC9 stay different bytes.
  EXPECT_FALSE(name_matches("\xE9.txt", "\xC9.txt"));
  EXPECT_TRUE(name_matches("?.txt", "\xC9.txt"));
}

TEST(name_match, long_runs_of_stars_end_quickly) {
  const std::string pattern(200, '*');
  EXPECT_FALSE(name_matches(pattern + "b", std::string(5000, 'a')));
}

TEST(name_match, every_name_must_match_some_entry) {
  const std::vector<std::string> names = {"*.txt", "logo.bmp"};
  name_selection selection(names);
  EXPECT_FALSE(selection.everything());
  EXPECT_TRUE(selection.select("A.TXT"));
  EXPECT_FALSE(selection.select(std::string_view("b.bin\0.txt", 10)));
  ASSERT_NE(selection.unmatched(), nullptr);
  EXPECT_EQ(*selection.unmatched(), "logo.bmp");
  EXPECT_TRUE(selection.select("LOGO.BMP"));
  EXPECT_EQ(selection.unmatched(), nullptr);

  name_selection all({});
  EXPECT_TRUE(all.everything());
  EXPECT_TRUE(all.select("anything"));
  EXPECT_EQ(all.unmatched(), nullptr);
}

}  // namespace
}  // namespace kesto

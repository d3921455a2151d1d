#include "common/path.h"

#include <gtest/gtest.h>

namespace kesto {
namespace {

TEST(path, base_name_takes_either_separator_and_keeps_drive_prefix) {
  EXPECT_EQ(base_name("dir/sub\\Script01.txt"), "Script01.txt");
  EXPECT_EQ(base_name("dir\\sub/File.dat"), "File.dat");
  EXPECT_EQ(base_name("C:\\x\\LONGNAME.BIN"), "LONGNAME.BIN");
  EXPECT_EQ(base_name("C:name.txt"), "C:name.txt");
  EXPECT_EQ(base_name("plain"), "plain");
  EXPECT_EQ(base_name("dir/"), "");
}

TEST(path, directory_prefix_keeps_the_directory_of_a_path) {
  EXPECT_EQ(directory_prefix("dir/sub\\a.ar"), "dir/sub\\");
  EXPECT_EQ(directory_prefix("C:a.ar"), "C:");
  EXPECT_EQ(directory_prefix("a.ar"), "");
}

TEST(path, unsafe_entry_names_are_refused) {
  for (const char* name : {"", ".", "..", "../x", "..\\x", "/abs", "C:x", "a/b", "a\\b", ":"}) {
    EXPECT_FALSE(is_safe_entry_name(name)) << name;
  }
  for (const char* name : {"a.txt", "...", "..a", "SCRIPT01.TXT", "x y"}) {
    EXPECT_TRUE(is_safe_entry_name(name)) << name;
  }
}

// The C1 controls in UTF-8 (C2 80 to C2 9F: the 8-bit CSI, OSC, ST) act on
// terminals that honour them; alone, 80-9F are Shift-JIS lead bytes and
// code page 1252 letters, and stay.
TEST(path, printed_names_show_every_control_as_a_question_mark) {
  EXPECT_EQ(printable_name("x\x1B[2J\x7F"), "x?[2J?");
  EXPECT_EQ(printable_name("a\xC2\x9B" "2J"), "a?2J");
  EXPECT_EQ(printable_name("\xC2\x9D" "0;title\xC2\x9C"), "?0;title?");
  EXPECT_EQ(printable_name("\xC2\x80\xC2\x9F"), "??");
  const std::string unchanged[] = {"\x93\xFA\x96\x7B", "\x9B\x80", "\xC2\xA0", "\xC3\xA8", "end\xC2"};
  for (const std::string& name : unchanged) EXPECT_EQ(printable_name(name), name);
}

TEST(path, windows_device_names_in_any_case_with_or_without_extension) {
  for (const char* name : {"CON", "con", "Nul.txt", "aux", "PRN.dat", "com1", "LPT9.x", "nul .txt",
                           "CON  .x", "conin$", "CONOUT$.txt", "COM\xB9", "lpt\xB2.txt",
                           "Com\xB3 .x"}) {
    EXPECT_TRUE(is_windows_device_name(name)) << name;
  }
  for (const char* name : {"CONS", "com0", "lpt10", "COM", "nul_", "a.b", "xcon", "a.", "COM\xB4",
                           "LPT\xBC"}) {
    EXPECT_FALSE(is_windows_device_name(name)) << name;
  }
  EXPECT_EQ(without_trailing_dots_and_blanks("Script1."), "Script1");
  EXPECT_EQ(without_trailing_dots_and_blanks("a . ."), "a");
  EXPECT_EQ(without_trailing_dots_and_blanks(". ."), "");
  EXPECT_EQ(without_trailing_dots_and_blanks(".x"), ".x");
}

}  // namespace
}  // namespace kesto

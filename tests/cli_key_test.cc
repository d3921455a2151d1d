// The key report ("-r") and the KEY operand of "-cfk".
#include "cli_runner.h"

namespace kesto_test {
namespace {

using cli_key = cli_test;

const std::string ar_key_line = "La chiave in Hex \x8A: ";
const std::string other_key_line = "Il file non sembra un archivio, comunque la chiave in Hex \x8A: ";

TEST_F(cli_key, report_prints_the_header_key_in_upper_case_hex) {
  struct report_case {
    bytes contents;
    std::string expected;
  };
  const std::vector<report_case> cases = {
      {ar_archive({{"a", "x"}}), ar_key_line + "0\n\n"},
      {bytes("AR\x2B\x1A", 4), ar_key_line + "1A2B\n\n"},
      {bytes("AR\x0F\x00", 4), ar_key_line + "F\n\n"},
      {bytes("AR\x00\x01zzzz", 8), ar_key_line + "100\n\n"},
      {bytes("AR\xFF\xFF", 4), ar_key_line + "FFFF\n\n"},
      {"abcd", other_key_line + "6463\n\n"},
      {bytes("ra\0\0", 4), other_key_line + "0\n\n"},
      {dl_archive({{"a.txt", "abc"}}), other_key_line + "2E31\n\n"},
  };
  for (const report_case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.contents));
    write_file("x.bin", c.contents);
    const run_result r = run({"-r", "x.bin"});
    EXPECT_EQ(r.out, c.expected + success_banner);
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(read_file("x.bin"), c.contents);
  }
}

// On a terminal the "è" is the one it shows (UTF-8 here); redirected
// output keeps the byte 0x8A.
TEST_F(cli_key, report_letter_on_a_terminal_is_utf8) {
  if (under_runner()) GTEST_SKIP() << "a pseudo-terminal is a POSIX device";
  write_file("k.ar", ar_archive({{"a", "x"}}));
  EXPECT_EQ(run({"-r", "k.ar"}, on_terminal()).out,
            "La chiave in Hex \xC3\xA8: 0\r\n\r\n" + success_banner.substr(0, 53) + "\r\n");
  EXPECT_EQ(run({"-r", "k.ar"}).out, ar_key_line + "0\n\n" + success_banner);
}

TEST_F(cli_key, report_fails_on_short_missing_or_directory_operand) {
  write_file("three.bin", "ARx");
  write_file("empty.bin", "");
  std::filesystem::create_directory("dir");
  struct failure_case {
    std::string operand;
    std::string first_half;
  };
  const std::vector<failure_case> cases = {
      {"three.bin", "Impossibile leggere la chiave dal file three.bin"},
      {"empty.bin", "Impossibile leggere la chiave dal file empty.bin"},
      {"missing.ar", "Impossibile aprire il file missing.ar"},
      {"no such.ar", "Impossibile aprire il file no such.ar"},
      {"dir", "Impossibile aprire il file dir"},
  };
  for (const failure_case& c : cases) {
    SCOPED_TRACE(c.operand);
    const run_result r = run({"-r", c.operand});
    EXPECT_EQ(r.out, failure_line(c.first_half));
    EXPECT_EQ(r.code, 1);
  }
}

// The key is stored in the header's bytes 2-3 and scrambles the data with
// the keystream that starts from those two bytes.
TEST_F(cli_key, key_operand_is_read_as_hex_keeping_the_low_16_bits) {
  write_file("f.txt", "abc");
  struct key_case {
    std::string operand;
    std::uint16_t key;
  };
  const std::vector<key_case> cases = {
      {"1234", 0x1234}, {"0x1A2B", 0x1A2B}, {"0X1a2b", 0x1A2B}, {"ffff", 0xFFFF},
      {"-1", 0xFFFF},   {"12345", 0x2345},  {"zz", 0},          {" 7", 7},
      {"+10", 0x10},    {"-0x10", 0xFFF0},  {"12g4", 0x12},     {"0x", 0},
  };
  for (const key_case& c : cases) {
    SCOPED_TRACE(c.operand);
    std::filesystem::remove("k.ar");
    const run_result r = run({"-cfk", c.operand, "k.ar", "f.txt"});
    ASSERT_EQ(r.out, success_banner);
    ASSERT_EQ(r.code, 0);
    const auto k0 = static_cast<unsigned char>(c.key & 0xFF);
    const auto k1 = static_cast<unsigned char>(c.key >> 8);
    bytes data = "abc";
    unsigned char a = k0;
    unsigned char b = k1;
    for (char& ch : data) {
      const auto t = static_cast<unsigned char>(a + b);
      a = b;
      b = t;
      ch = static_cast<char>(static_cast<unsigned char>(ch) + t);
    }
    bytes expected = ar_archive({{"f.txt", data}});
    expected[2] = static_cast<char>(k0);
    expected[3] = static_cast<char>(k1);
    EXPECT_EQ(read_file("k.ar"), expected);
    char hex[8];
    std::snprintf(hex, sizeof hex, "%X", static_cast<unsigned>(c.key));
    EXPECT_EQ(run({"-r", "k.ar"}).out, ar_key_line + hex + "\n\n" + success_banner);
  }
}

}  // namespace
}  // namespace kesto_test

// Command lines that select no operation print the usage text and exit 1;
// option words select their operation whatever their letter case.
#include "cli_runner.h"
#include "lzss_encoder.h"

namespace kesto_test {
namespace {

const std::string usage_text =
    "Torvane Archiver / Torvane Archive Creator - uso:\n"
    " kesto -e nome_archivio [destinazione]  (estrae un archivio di un qualsiasi\n"
    "\t\tformato supportato nella directory destinazione (opzionale))\n"
    " kesto -ed nome_archivio [destinazione]  (estrae da un archivio in formato\n"
    "\t\tVarneth i file compressi con LZSS decomprimendoli nella directory\n"
    "\t\tdestinazione (opzionale))\n"
    " kesto -r nome_archivio  (stampa a video la chiave di codifica di un archivio\n"
    "\t\t\t  in formato Solquin)\n"
    " kesto -cd nome_archivio file1 file2 file3 ...  (crea un archivio in formato\n"
    "\t\t\t\t\t\t Varneth)\n"
    " kesto -cf nome_archivio file1 file2 file3 ...  (crea un archivio in formato\n"
    "\t\t\t\t\t\t Solquin)\n"
    " kesto -cfk KEY nome_archivio file1 file2 file3 ...  (crea un archivio in\n"
    "       formato Solquin utilizzando la chiave (esadecimale) specificata)\n"
    "\n"
    "E-mail: kesto@example.org\n"
    "Sito:   https://example.org/kesto\n";

using cli_usage = cli_test;

TEST_F(cli_usage, bad_command_lines_print_usage_and_touch_nothing) {
  write_file("a.ar", ar_archive({{"x.txt", "abc"}}));
  write_file("f.txt", "data");
  const std::vector<std::vector<std::string>> command_lines = {
      {},
      {"-e"},
      {"-cf"},
      {"-r"},
      {"-x", "a.ar"},
      {"e", "a.ar"},
      {"--e", "a.ar"},
      {"-c", "a.ar", "f.txt"},
      {"-cfkk", "1", "new.ar", "f.txt"},
      {"-r", "a.ar", "f.txt"},
      {"-e", "a.ar", "d1", "d2"},
      {"-ed", "a.ar", "d1", "d2"},
      {"-cf", "new.ar"},
      {"-cd", "new.ar"},
      {"-cfk", "1234", "new.ar"},
      {"-cfk", "1234"},
      {"-l"},
      {"-t"},
      {"-l", "a.ar", "f.txt"},
      {"-t", "a.ar", "f.txt"},
      {"-u", "a.ar"},
      {"-u", "a.ar", "d1", "d2"},
      {"--help", "a.ar"},
      {"--version", "a.ar"},
      {"-help"},
      {"-v"},
  };
  for (const auto& words : command_lines) {
    SCOPED_TRACE(testing::PrintToString(words));
    const run_result r = run(words);
    EXPECT_EQ(r.out, usage_text);
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(listing(), (std::vector<std::string>{"a.ar", "f.txt"}));
  }
}

TEST_F(cli_usage, option_words_ignore_letter_case) {
  write_file("f.txt", "contents");
  for (const std::string option : {"-CF", "-Cf", "-cF"}) {
    SCOPED_TRACE(option);
    ASSERT_EQ(run({option, "up.ar", "f.txt"}).out, success_banner);
    EXPECT_EQ(read_file("up.ar"), ar_archive({{"f.txt", "contents"}}));
  }
  ASSERT_EQ(run({"-CFK", "0102", "key.ar", "f.txt"}).code, 0);
  EXPECT_EQ(read_file("key.ar").substr(0, 4), bytes("AR\x02\x01", 4));
  ASSERT_EQ(run({"-cD", "up.dl", "f.txt"}).code, 0);
  EXPECT_EQ(read_file("up.dl"), dl_archive({{"f.txt", "contents"}}));
  EXPECT_EQ(run({"-R", "key.ar"}).out, "La chiave in Hex \x8A: 102\n\n" + success_banner);
  EXPECT_EQ(run({"-E", "up.ar", "outa"}).out, "f.txt\n" + success_banner);
  EXPECT_EQ(read_file("outa/f.txt"), "contents");
  EXPECT_EQ(run({"-E", "up.dl", "outd"}).out, "f.txt\n" + success_banner);
  EXPECT_EQ(read_file("outd/f.txt"), "contents");
  write_file("lz.dl", dl_archive({{"lz.txt", lz_entry("packed text, packed text")}}));
  for (const std::string option : {"-ED", "-eD", "-Ed"}) {
    SCOPED_TRACE(option);
    EXPECT_EQ(run({option, "lz.dl", "outl"}).out, "lz.txt\n" + success_banner);
    EXPECT_EQ(read_file("outl/lz.txt"), "packed text, packed text");
  }
}

// --help adds a line for every operation the usage text leaves out; the
// usage text itself comes first, unchanged.
TEST_F(cli_usage, help_and_version_succeed) {
  for (const std::string word : {"--help", "-h", "/?", "--HELP", "-H"}) {
    SCOPED_TRACE(word);
    const run_result r = run({word});
    EXPECT_EQ(r.code, 0);
    ASSERT_EQ(r.out.substr(0, usage_text.size()), usage_text);
    std::string options;
    for (std::size_t line = r.out.find("\n kesto ", usage_text.size() - 1);
         line != std::string::npos; line = r.out.find("\n kesto ", line + 1)) {
      options += r.out.substr(line + 8, r.out.find(' ', line + 8) - line - 7);
    }
    EXPECT_EQ(options, "-l -lj -t -u -x -p -cdz -a -az -d --codepage=N --help --version ");
  }
  for (const std::string word : {"--version", "--Version"}) {
    const run_result r = run({word});
    EXPECT_EQ(r.out, "kesto " KESTO_VERSION "\n");
    EXPECT_EQ(r.code, 0);
  }
  EXPECT_EQ(listing(), std::vector<std::string>{});
}

}  // namespace
}  // namespace kesto_test

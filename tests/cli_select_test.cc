// Work on single entries: readable extraction of chosen entries ("-x"), one
// entry to standard output ("-p") and the listing as JSON ("-lj").
#include <cstdlib>

#include "cli_runner.h"
#include "lzss_encoder.h"

namespace kesto_test {
namespace {

namespace fs = std::filesystem;
using names = std::vector<std::string>;

using cli_select = cli_test;

// An LZ entry whose header promises one byte more than its stream gives.
bytes damaged_lz_entry(const std::string& data) {
  bytes entry = lz_entry(data);
  entry.replace(6, 4, u32le(static_cast<std::uint32_t>(data.size() + 1)));
  return entry;
}

// A DL archive with every kind of entry -x and -p tell apart.
bytes mixed_dl() {
  return dl_archive({{"intro.txt", lz_entry("decoded text, decoded text")},
                     {"plain.bin", "plain\r\n\x1A bytes"},
                     {"LZnotes.txt", "LZ is how this note begins"},
                     {"bad.lz", damaged_lz_entry("broken stream")},
                     {"empty", ""}});
}

// Standard error without the CR of a Windows line end.
std::string error_lines(run_result r) {
  std::erase(r.err, '\r');
  return r.err;
}

TEST_F(cli_select, x_writes_every_entry_readable_in_both_formats) {
  write_file("a.txt", "first file\n");
  write_file("b.bin", random_bytes(70000, 5));
  ASSERT_EQ(run({"-cfk", "1A2B", "keyed.ar", "a.txt", "b.bin"}).code, 0);
  EXPECT_EQ(run({"-x", "keyed.ar", "ar"}).out, "a.txt\nb.bin\n" + success_banner);
  EXPECT_EQ(read_file("ar/a.txt"), "first file\n");
  EXPECT_EQ(read_file("ar/b.bin"), random_bytes(70000, 5));

  write_file("x.dl", mixed_dl());
  const run_result r = run({"-x", "x.dl", "dl"});
  const std::string as_stored = " - non decomprimibile con LZSS, estratto come salvato\n";
  EXPECT_EQ(r.out, "intro.txt\nplain.bin\nLZnotes.txt" + as_stored + "bad.lz" + as_stored +
                       "empty\n" + success_banner);
  EXPECT_EQ(read_file("dl/intro.txt"), "decoded text, decoded text");
  EXPECT_EQ(read_file("dl/plain.bin"), "plain\r\n\x1A bytes");
  EXPECT_EQ(read_file("dl/LZnotes.txt"), "LZ is how this note begins");
  EXPECT_EQ(read_file("dl/bad.lz"), damaged_lz_entry("broken stream"));
  EXPECT_EQ(read_file("dl/empty"), "");

  // On a terminal the same lines, a progress line now and then below them,
  // always erased before the next line.
  if (!under_runner()) {
    const run_result t = run({"-x", "x.dl", "dl2"}, on_terminal());
    EXPECT_EQ(without_progress(t.out), r.out) << t.out;
    EXPECT_NE(t.out.find("\r[1/5] "), std::string::npos) << t.out;
  }

  // The round trip: what -x writes is what -u takes back unchanged.
  const run_result u = run({"-u", "x.dl", "dl"});
  EXPECT_EQ(u.code, 0) << u.out;
  EXPECT_EQ(read_file("x.dl"), mixed_dl());
}

TEST_F(cli_select, names_choose_entries_with_wildcards_and_any_letter_case) {
  write_file("x.ar", ar_archive({{"Script01", "one"}, {"script02", "two"}, {"data.bin", "d"}}));
  write_file("x.dl", dl_archive({{"Script01.txt", lz_entry("one")}, {"data.bin", "d"}}));
  write_file("other.bin", "");  // a NAME is never expanded into file names
  EXPECT_EQ(run({"-x", "x.ar", "o1", "SCRIPT0?"}).out, "Script01\nscript02\n" + success_banner);
  EXPECT_EQ(listing("o1"), (names{"Script01", "script02"}));
  EXPECT_EQ(run({"-X", "x.ar", "o2", "*.BIN", "data.bin"}).out, "data.bin\n" + success_banner);
  EXPECT_EQ(listing("o2"), names{"data.bin"});
  EXPECT_EQ(run({"-x", "x.dl", "o3", "s*1.t?t"}).out, "Script01.txt\n" + success_banner);
  EXPECT_EQ(read_file("o3/Script01.txt"), "one");

  // A NAME that matches nothing fails before anything is written, the
  // destination included.
  for (const std::string archive : {"x.ar", "x.dl"}) {
    SCOPED_TRACE(archive);
    const run_result r = run({"-x", archive, "none", "data.bin", "script9*"});
    EXPECT_EQ(r.out, failure_line("Nessun file dell'archivio corrisponde a script9*"));
    EXPECT_EQ(r.code, 1);
    EXPECT_FALSE(file_exists("none"));
  }
}

TEST_F(cli_select, x_never_replaces_a_file_and_reports_taken_names) {
  write_file("x.ar", ar_archive({{"a.txt", "new a"}, {"b.txt", "new b"}, {"a.txt", "second a"}}));
  fs::create_directory("out");
  write_file("out/b.txt", "my translation");
  const run_result r = run({"-x", "x.ar", "out"});
  EXPECT_EQ(r.out,
            "a.txt\nb.txt non estratto: esiste un file con questo nome\n"
            "a.txt non estratto: esiste un file con questo nome\n" +
                success_banner);
  EXPECT_EQ(read_file("out/a.txt"), "new a");
  EXPECT_EQ(read_file("out/b.txt"), "my translation");
  // The refusals of -e stay failures.
  write_file("bad.ar", ar_archive({{"ok", "1"}, {"../up", "2"}}));
  EXPECT_EQ(run({"-x", "bad.ar", "out2"}).out,
            "ok\n" + failure_line("Impossibile creare il file ../up"));
  EXPECT_FALSE(file_exists("up"));
}

TEST_F(cli_select, p_writes_readable_bytes_and_nothing_else) {
  write_file("x.dl", mixed_dl());
  write_file("k.ar", ar_archive({{"k.txt", "ar entry\n"}}));
  struct print_case {
    std::vector<std::string> args;
    bytes expected;
  };
  const std::vector<print_case> cases = {
      {{"-p", "x.dl", "intro.txt"}, "decoded text, decoded text"},
      {{"-p", "k.ar", "K.TXT"}, "ar entry\n"},
      {{"-p", "x.dl", "plain.bin", "intro*"},
       bytes("decoded text, decoded textplain\r\n\x1A bytes")},
      {{"-p", "x.dl", "bad.lz", "LZ*"},
       "LZ is how this note begins" + damaged_lz_entry("broken stream")},
  };
  for (const print_case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    write_file("p.out", "");
    const run_result r = run_kesto(c.args, output_to("p.out"));
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(error_lines(r).find("Operazione"), std::string::npos);
    EXPECT_EQ(read_file("p.out"), c.expected);
  }

  // Failures: the line on standard error, nothing on standard output but
  // the bytes that could be read.
  bytes cut = ar_archive({{"a", "whole"}, {"b", "cut short"}});
  cut.resize(cut.size() - 3);
  write_file("cut.ar", cut);
  const std::vector<print_case> failures = {
      {{"-p", "x.dl", "intro.txt", "missing"},
       failure_line("Nessun file dell'archivio corrisponde a missing")},
      {{"-p", "cut.ar", "*"}, failure_line("Impossibile leggere il file b dall'archivio")},
  };
  for (const print_case& c : failures) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    write_file("p.out", "");
    const run_result r = run_kesto(c.args, output_to("p.out"));
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(error_lines(r).find(c.expected), std::string::npos) << r.err;
    EXPECT_EQ(read_file("p.out"), c.args[1] == "cut.ar" ? "wholecut sh" : "");
  }
  const run_result full = run_kesto({"-p", "k.ar", "k.txt"}, output_to("/dev/full"));
  EXPECT_EQ(full.code, 1);
  EXPECT_NE(error_lines(full).find(failure_line("Impossibile scrivere sullo standard output")),
            std::string::npos);
  EXPECT_EQ(listing(), (names{"cut.ar", "k.ar", "p.out", "x.dl"}));
}

// Like `kesto -p A x | head -c 10`: the reader goes away, and kesto ends
// without a line (by SIGPIPE where signals exist).
TEST_F(cli_select, p_into_a_closed_pipe_ends_quietly) {
  write_file("big.ar", ar_archive({{"big", random_bytes(300000, 9)}}));
  const run_result r = run_kesto({"-p", "big.ar", "big"}, output_to("|closed"));
  EXPECT_EQ(error_lines(r).find("Operazione"), std::string::npos) << r.err;
  if (under_runner()) {
    EXPECT_EQ(r.code, 1);
  } else {
    EXPECT_EQ(r.signal, SIGPIPE);
  }
}

// The JSON document, read back by Python's parser when it is installed.
TEST_F(cli_select, lj_prints_one_json_document) {
  const bytes lz = "LZ" + u32le(9) + u32le(8) + bytes(1, '\xFF') + "ABCDEFGH";  // 19 bytes
  write_file("x.dl", dl_archive({{bytes("caf\xE9 \"q\"\x01\xFF\x81", 11), "plain"}, {"lz", lz}}));
  write_file("x.ar", ar_archive({{"a/b", "12345"}}));
  const run_result dl = run({"-lj", "x.dl"});
  const run_result ar = run({"-LJ", "x.ar"});
  EXPECT_EQ(dl.code + ar.code, 0);
  // Damaged: a count beyond the directory prints the failure line only.
  bytes cut = ar_archive({{"a", "1"}});
  cut.replace(8, 4, u32le(1000));
  write_file("cut.ar", cut);
  EXPECT_EQ(run({"-lj", "cut.ar"}).out, failure_line("Errore di lettura nell'archivio"));

  if (std::system("python3 -c '' 2>/dev/null") != 0) GTEST_SKIP() << "no python3";
  write_file("ar.json", ar.out);
  write_file("dl.json", dl.out);
  ASSERT_EQ(std::system("python3 -c 'import json,sys\nfor f in sys.argv[1:]: print(json.dumps("
                        "json.load(open(f, encoding=\"utf-8\")), sort_keys=True))' ar.json dl.json"
                        " > parsed"),
            0);
  EXPECT_EQ(
      read_file("parsed"),
      "{\"count\": 1, \"entries\": [{\"duplicate\": false, \"lz\": false, \"name\": \"a/b\", "
      "\"offset\": 28, "
      "\"outside\": false, \"raw\": \"612f62\", \"refused\": true, \"size\": 5}], "
      "\"format\": \"AR\", \"key\": 0, \"total\": {\"bytes\": 5, \"entries\": 1, \"unpacked\": "
      "0}}\n"
      "{\"count\": 2, \"entries\": [{\"duplicate\": false, \"lz\": false, \"name\": \"caf\\u00e9 "
      "\\\"q\\\"\\u0001\\u00ff\\u0081\", "
      "\"offset\": 16, \"outside\": false, \"raw\": \"636166e92022712201ff81\", \"refused\": true, "
      "\"size\": 5}, {\"duplicate\": false, \"lz\": true, \"name\": \"lz\", \"offset\": 21, "
      "\"outside\": false, \"raw\": "
      "\"6c7a\", \"refused\": false, \"size\": 19, \"unpacked\": 8}], \"format\": \"DL\", "
      "\"total\": {\"bytes\": 24, \"entries\": 2, \"unpacked\": 8}}\n");
}

}  // namespace
}  // namespace kesto_test

// Behaviour of kesto.exe that only the Windows build has: wildcard expansion,
// names converted to the ANSI code page, "\" and drive-prefixed paths given
// to the system, and entry names Windows would turn into devices. These
// tests run when the program under test goes through a runner (wine
// kesto.exe) and are skipped for the native Linux build. Wine's ANSI code
// page is 1252 unless KESTO_ANSI_CODE_PAGE names the one the runner was
// given (the Windows stage runs the code page 932 tests so).
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "cli_runner.h"

namespace kesto_test {
namespace {

class cli_windows : public cli_test {
 protected:
  void SetUp() override {
    cli_test::SetUp();
    if (!under_runner()) GTEST_SKIP() << "needs the Windows build (set KESTO_RUNNER)";
  }

  // The names an archive holds, as extracted into a fresh directory, sorted.
  std::vector<std::string> entries_of(const std::string& archive) {
    const std::string dest = "x-" + std::to_string(++extractions_);
    const run_result r = run({"-e", archive, dest});
    EXPECT_EQ(r.code, 0) << r.out;
    return listing(dest);
  }

  // The scratch directory as Windows sees it under Wine: drive Z: is the
  // root of the Unix file system.
  std::string windows_dir() const {
    std::string path = "Z:" + dir().string();
    std::replace(path.begin(), path.end(), '/', '\\');
    return path;
  }

 private:
  int extractions_ = 0;
};

using names = std::vector<std::string>;

int ansi_code_page() {
  const char* env = std::getenv("KESTO_ANSI_CODE_PAGE");
  return env != nullptr && *env != '\0' ? std::atoi(env) : 1252;
}

TEST_F(cli_windows, quoted_wildcard_stores_every_matching_file) {
  for (const char* name : {"a.txt", "b.txt", "up.TXT", "c.dat", "txt"}) write_file(name, name);
  ASSERT_EQ(run({"-cf", "out.ar", "*.txt"}).out, success_banner);
  EXPECT_EQ(entries_of("out.ar"), (names{"a.txt", "b.txt", "up.TXT"}));
  ASSERT_EQ(run({"-cd", "out.dl", "?.*"}).out, success_banner);
  EXPECT_EQ(entries_of("out.dl"), (names{"a.txt", "b.txt", "c.dat"}));
  ASSERT_EQ(run({"-cfk", "1f", "key.ar", "c.*", "a*"}).out, success_banner);
  EXPECT_EQ(entries_of("key.ar"), (names{"a.txt", "c.dat"}));
}

TEST_F(cli_windows, wildcard_expands_in_every_word_and_keeps_its_directory) {
  std::filesystem::create_directories("in/deep");
  write_file("in/one.txt", "1");
  write_file("in/two.txt", "22");
  write_file("in/deep/three.txt", "333");
  ASSERT_EQ(run({"-cf", "k.ar", "in\\*.txt"}).out, success_banner);
  EXPECT_EQ(entries_of("k.ar"), (names{"one.txt", "two.txt"}));
  EXPECT_EQ(read_file("x-1/two.txt"), "22");
  // The archive operand is expanded too: the only match is opened.
  EXPECT_EQ(run({"-r", "k.*"}).out, "La chiave in Hex \x8A: 0\n\n" + success_banner);
  EXPECT_EQ(run({"-e", "?.ar", "again"}).out, "one.txt\ntwo.txt\n" + success_banner);
}

TEST_F(cli_windows, wildcard_matching_nothing_stays_a_literal_name) {
  write_file("a.txt", "a");
  EXPECT_EQ(run({"-cf", "out.ar", "a.txt", "none*.zz"}).out,
            failure_line("Impossibile leggere il file none*.zz"));
  EXPECT_FALSE(file_exists("out.ar"));
  EXPECT_EQ(temporaries(), names{});
}

// Best fit would read "..＼" (fullwidth backslash) as "..\" and "ａ" as
// "a": a matched name is taken exactly or not at all, so these fail as the
// names they are, and nothing is written.
TEST_F(cli_windows, fullwidth_names_matched_by_a_wildcard_are_not_guessed) {
  if (ansi_code_page() != 1252) GTEST_SKIP() << "needs the ANSI code page 1252";
  std::filesystem::create_directory("in");
  write_file("secret.txt", "outside");
  write_file("in/a.txt", "a");
  write_file("in/..＼secret.txt", "fullwidth");
  EXPECT_EQ(run({"-cd", "out.dl", "in\\*.txt"}).out,
            failure_line("Impossibile leggere il file in\\..?secret.txt"));
  std::filesystem::remove("in/..＼secret.txt");
  write_file("in/ａ.txt", "fullwidth");
  EXPECT_EQ(run({"-cf", "out.ar", "in\\?.txt"}).out,
            failure_line("Impossibile leggere il file in\\?.txt"));
  EXPECT_EQ(run({"-cf", "out.ar", "ａ.txt"}).out,
            failure_line("Impossibile leggere il file ?.txt"));
  EXPECT_EQ(listing(), (names{"in", "secret.txt"}));
}

// A name with no form in the ANSI code page fails its operand as kesto can
// show it: an input, the archive to read or to create, a destination.
TEST_F(cli_windows, names_outside_the_code_page_fail_their_operand) {
  if (ansi_code_page() != 1252) GTEST_SKIP() << "needs the ANSI code page 1252";
  write_file("a.txt", "a");
  write_file("日本.txt", "j");
  write_file("é日.ar", ar_archive({{"e.txt", "e"}}));
  EXPECT_EQ(run({"-cd", "out.dl", "*.txt"}).out,
            failure_line("Impossibile leggere il file ??.txt"));
  EXPECT_EQ(run({"-cf", "日.ar", "a.txt"}).out, failure_line("Impossibile creare il file ?.ar"));
  EXPECT_EQ(run({"-e", "é日.ar"}).out, failure_line("Impossibile aprire il file \xE9?.ar"));
  write_file("ok.ar", ar_archive({{"e.txt", "e"}}));
  EXPECT_EQ(run({"-e", "ok.ar", "日本"}).out,
            failure_line("Impossibile entrare nella directory destinazione"));
  EXPECT_EQ(listing(), (names{"a.txt", "ok.ar", "é日.ar", "日本.txt"}));
}

// In code page 932, 表 is the bytes 95 5C, 能 94 5C and ソ 83 5C: the second
// byte is no "\". The names are stored whole, read whole as entries and
// extracted under their own names; AR keeps the first 8 bytes, or 7 where
// the eighth would be the first half of a character.
TEST_F(cli_windows, double_byte_names_round_trip_in_code_page_932) {
  if (ansi_code_page() != 932) GTEST_SKIP() << "needs KESTO_ANSI_CODE_PAGE=932";
  const std::string hyo = "\x95\\.txt", no = "\x94\\.txt", soft = "\x83\\\x83t\x83g.txt";
  std::filesystem::create_directory("表");
  write_file("表/表.txt", "hyo");
  write_file("表/能.txt", "no");
  write_file("ソフト.txt", "soft");
  write_file("aソフトソ.txt", "cut");
  ASSERT_EQ(run({"-cd", "j.dl", "表\\表.txt", "ソフト.txt"}).out, success_banner);
  EXPECT_EQ(read_file("j.dl"), dl_archive({{hyo, "hyo"}, {soft, "soft"}}));
  ASSERT_EQ(run({"-cf", "cut.ar", "aソフトソ.txt"}).out, success_banner);
  EXPECT_EQ(read_file("cut.ar"), ar_archive({{"a" + soft.substr(0, 6), "cut"}}));
  EXPECT_EQ(run({"-e", "cut.ar", "cut"}).out, "a" + soft.substr(0, 6) + "\n" + success_banner);
  ASSERT_EQ(run({"-cf", "表\\j.ar", "表\\*.txt", "ソフト.txt"}).out, success_banner);
  EXPECT_EQ(read_file("表/j.ar"),
            ar_archive({{no, "no"}, {hyo, "hyo"}, {soft.substr(0, 8), "soft"}}));
  EXPECT_EQ(run({"-e", "j.dl", "x"}).out, hyo + "\n" + soft + "\n" + success_banner);
  EXPECT_EQ(run({"-e", "表\\j.ar", "x"}).out,
            no + "\n" + hyo + "\n" + soft.substr(0, 8) + "\n" + success_banner);
  EXPECT_EQ(listing("x"), (names{"ソフト.t", "ソフト.txt", "能.txt", "表.txt"}));
  EXPECT_EQ(read_file("x/表.txt"), "hyo");
  EXPECT_EQ(read_file("x/ソフト.txt"), "soft");
  // -lj decodes names from the code page; -p matches them byte for byte.
  const std::string json = run({"-lj", "j.dl"}).out;
  EXPECT_NE(json.find("{\"name\": \"表.txt\", \"raw\": \"955c2e747874\""), std::string::npos) << json;
  EXPECT_EQ(run({"-p", "j.dl", "表*"}).out, "hyo");
}

// One quoted word can name more files than a command line could hold; a DL
// directory counts its records in 16 bits, so 65536 of them fail before
// anything is written.
TEST_F(cli_windows, wildcard_expanding_to_65536_files_fails_dl_creation) {
  std::filesystem::create_directory("many");
  for (int i = 0; i < 65536; ++i) std::ofstream("many/" + std::to_string(i));
  EXPECT_EQ(run({"-cd", "x.dl", "many\\*"}).out, failure_line("Impossibile scrivere il file x.dl"));
  EXPECT_EQ(listing(), names{"many"});
}

TEST_F(cli_windows, backslash_input_paths_store_their_base_names) {
  std::filesystem::create_directories("dir/sub");
  write_file("dir/sub/file.txt", "deep");
  write_file("dir/top.bin", "top");
  ASSERT_EQ(run({"-cf", "dir\\sub\\made.ar", "dir\\sub\\file.txt", "dir/top.bin"}).out,
            success_banner);
  EXPECT_EQ(read_file("dir/sub/made.ar"), ar_archive({{"file.txt", "deep"}, {"top.bin", "top"}}));
  ASSERT_EQ(run({"-cd", "dir\\made.dl", "dir\\sub/file.txt"}).out, success_banner);
  EXPECT_EQ(read_file("dir/made.dl"), dl_archive({{"file.txt", "deep"}}));
  EXPECT_EQ(run({"-e", "dir\\sub\\made.ar"}).out, "file.txt\ntop.bin\n" + success_banner);
  EXPECT_EQ(read_file("file.txt"), "deep");
  EXPECT_EQ(temporaries("dir"), names{});
  EXPECT_EQ(temporaries("dir/sub"), names{});
}

TEST_F(cli_windows, backslash_destination_is_created_one_level_deep) {
  write_file("a.ar", ar_archive({{"e.txt", "entry"}}));
  std::filesystem::create_directory("out");
  ASSERT_EQ(run({"-e", "a.ar", "out\\dest"}).out, "e.txt\n" + success_banner);
  EXPECT_EQ(read_file("out/dest/e.txt"), "entry");
  write_file("lz.dl", dl_archive({{"p.txt", "plain"}}));
  ASSERT_EQ(run({"-e", "lz.dl", "out\\dest\\"}).out, "p.txt\n" + success_banner);
  EXPECT_EQ(read_file("out/dest/p.txt"), "plain");
  // A word with a blank reaches kesto.exe quoted, its final "\" doubled.
  ASSERT_EQ(run({"-e", "lz.dl", "out\\a blank\\"}).out, "p.txt\n" + success_banner);
  EXPECT_EQ(read_file("out/a blank/p.txt"), "plain");
  EXPECT_EQ(run({"-e", "a.ar", "missing\\dest"}).out,
            failure_line("Impossibile entrare nella directory destinazione"));
  EXPECT_FALSE(file_exists("missing"));
}

TEST_F(cli_windows, drive_prefixed_paths_reach_the_files) {
  write_file("f.txt", "on drive z");
  const std::string here = windows_dir();
  ASSERT_EQ(run({"-cf", here + "\\d.ar", here + "\\f.txt"}).out, success_banner);
  EXPECT_EQ(read_file("d.ar"), ar_archive({{"f.txt", "on drive z"}}));
  std::filesystem::create_directory("out");
  EXPECT_EQ(run({"-e", here + "\\d.ar", here + "\\out\\z"}).out, "f.txt\n" + success_banner);
  EXPECT_EQ(read_file("out/z/f.txt"), "on drive z");
  EXPECT_EQ(run({"-r", here + "\\d.ar"}).out, "La chiave in Hex \x8A: 0\n\n" + success_banner);
}

TEST_F(cli_windows, drive_relative_path_keeps_its_prefix_in_the_stored_name) {
  write_file("f.txt", "relative");
  // Z:f.txt is f.txt in the current directory of drive Z; the prefix is no
  // separator, so the stored name is Z:f.txt, which extraction refuses.
  ASSERT_EQ(run({"-cf", "Z:rel.ar", "Z:f.txt"}).out, success_banner);
  EXPECT_EQ(read_file("rel.ar"), ar_archive({{"Z:f.txt", "relative"}}));
  EXPECT_EQ(temporaries(), names{});
  EXPECT_EQ(run({"-e", "Z:rel.ar", "out"}).out, failure_line("Impossibile creare il file Z:f.txt"));
  EXPECT_EQ(listing("out"), names{});
}

// Device names, judged as Windows stores and reads the name: a blank before
// the extension or trailing dots still name the device, CONIN$ is the
// console's input, and COM and LPT take the superscript digits one, two and
// three (bytes B9, B2, B3 in code page 1252) as well. A name of dots and
// blanks only would be stored as no name at all.
TEST_F(cli_windows, device_names_and_empty_stored_names_are_refused_as_entries) {
  for (const std::string name : {"NUL", "nul", "con.txt", "Aux", "PRN.log", "COM1", "lpt9.x",
                                 "nul .txt", "CON .x", "conin$", "nul.", "COM\xB9", "com\xB9.txt",
                                 "LPT\xB2", "lpt\xB2 .x", "LPT\xB3.", "...", ". .", " "}) {
    SCOPED_TRACE("[" + name + "]");
    write_file("d.ar", ar_archive({{"ok.txt", "fine"}, {name, "lost"}}));
    const run_result ar = run({"-e", "d.ar", "ar"});
    EXPECT_EQ(ar.out, "ok.txt\n" + failure_line("Impossibile creare il file " + name));
    EXPECT_EQ(ar.code, 1);
    EXPECT_EQ(listing("ar"), names{"ok.txt"});
    write_file("d.dl", dl_archive({{name, "lost"}}));
    const run_result dl = run({"-e", "d.dl", "dl"});
    EXPECT_EQ(dl.out, failure_line("Impossibile creare il file " + name));
    EXPECT_EQ(dl.code, 1);
    EXPECT_EQ(listing("dl"), names{});
  }
}

// Windows allows none of these characters in a file name: the entry cannot
// be created and leaves neither a file nor a temporary behind.
TEST_F(cli_windows, names_with_characters_windows_forbids_are_refused) {
  for (const std::string name : {"a*b", "q?", "x\"y", "a<b", "c>d", "p|q"}) {
    SCOPED_TRACE("[" + name + "]");
    write_file("d.dl", dl_archive({{"ok.txt", "fine"}, {name, "lost"}}));
    const run_result r = run({"-e", "d.dl", "out"});
    EXPECT_EQ(r.out, "ok.txt\n" + failure_line("Impossibile creare il file " + name));
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(listing("out"), names{"ok.txt"});
    // No file can have the name, so -t flags it and -u keeps the entry.
    EXPECT_EQ(run({"-t", "d.dl"}).out, "ok.txt\nImpossibile creare il file " + name + "\n" +
                                           failure_line("File danneggiati nell'archivio: 1"));
    EXPECT_EQ(run({"-u", "d.dl", "out"}).out,
              "ok.txt mantenuto\n" + name + " mantenuto\n" + success_banner);
  }
}

// AR names keep 8 bytes and DL names 12, so Script1.txt is stored as
// "Script1." and longname123.bin as "longname123.". Windows stores a file
// under such a name without its trailing dots and blanks: kesto.exe
// extracts it so, logging the stored name; the Linux build keeps the name.
TEST_F(cli_windows, names_ending_in_dots_or_blanks_take_the_name_windows_stores) {
  write_file("Script1.txt", "script");
  write_file("longname123.bin", "long");
  ASSERT_EQ(run({"-cf", "s.ar", "Script1.txt"}).out, success_banner);
  ASSERT_EQ(run({"-cd", "l.dl", "longname123.bin"}).out, success_banner);
  write_file("b.dl", dl_archive({{"blank. . ", "b"}}));
  EXPECT_EQ(run({"-e", "s.ar", "w"}).out, "Script1.\n" + success_banner);
  EXPECT_EQ(run({"-e", "l.dl", "w"}).out, "longname123.\n" + success_banner);
  EXPECT_EQ(run({"-e", "b.dl", "w"}).out, "blank. . \n" + success_banner);
  EXPECT_EQ(listing("w"), (names{"Script1", "blank", "longname123"}));
  EXPECT_EQ(read_file("w/Script1"), "script");
  EXPECT_EQ(run({"-e", "s.ar", "n"}, native()).out, "Script1.\n" + success_banner);
  EXPECT_EQ(run({"-e", "l.dl", "n"}, native()).out, "longname123.\n" + success_banner);
  EXPECT_EQ(listing("n"), (names{"Script1.", "longname123."}));
  // The stored name is the one checked against the archive itself.
  write_file("self.dl", dl_archive({{"self.dl.", "x"}}));
  EXPECT_EQ(run({"-e", "self.dl"}).out, failure_line("Impossibile creare il file self.dl."));
}

// Past 260 characters the archive to create is checked and written as at
// any length: in a directory that deep, or under a long name (a read-only
// file there is kept). A destination that deep is entered, or fails with
// its usual line, as the system allows.
TEST_F(cli_windows, paths_past_260_characters) {
  const std::string dir = "d/" + std::string(60, 'a') + "/" + std::string(60, 'b');
  const std::string deep = dir + "/" + std::string(60, 'c') + "/" + std::string(60, 'd');
  const std::string long_name = dir + "/" + std::string(150, 'n') + ".ar";
  std::filesystem::create_directories(deep);
  write_file("a.txt", "a");
  write_file("a.ar", ar_archive({{"e.txt", "entry"}}));
  const run_result extracted = run({"-e", "a.ar", deep + "/out"});
  EXPECT_TRUE(extracted.out == "e.txt\n" + success_banner ||
              extracted.out == failure_line("Impossibile entrare nella directory destinazione"))
      << extracted.out;
  EXPECT_EQ(run({"-cf", deep + "/x.ar", "a.txt"}).out, success_banner);
  EXPECT_EQ(read_file(deep + "/x.ar"), ar_archive({{"a.txt", "a"}}));
  write_file(long_name, "AR kept");
  ::chmod(long_name.c_str(), 0444);
  EXPECT_EQ(run({"-cf", long_name, "a.txt"}).out,
            failure_line("Impossibile creare il file " + long_name));
  EXPECT_EQ(read_file(long_name), "AR kept");
  for (const auto& e : std::filesystem::recursive_directory_iterator(".")) {
    EXPECT_NE(e.path().filename().string().rfind(".kesto-", 0), 0u) << e.path();
  }
}

// Wine shows a Unix link as the file it leads to; an NTFS link is resolved
// the same way, from the opened file.
TEST_F(cli_windows, archive_path_that_is_a_link_replaces_the_file_it_leads_to) {
  write_file("a.txt", "a");
  std::filesystem::create_directory("real");
  write_file("real/x.ar", "AR old");
  std::filesystem::create_symlink("real/x.ar", "link.ar");
  EXPECT_EQ(run({"-cf", "link.ar", "a.txt"}).out, success_banner);
  EXPECT_TRUE(std::filesystem::is_symlink("link.ar"));
  EXPECT_EQ(read_file("real/x.ar"), ar_archive({{"a.txt", "a"}}));
  EXPECT_EQ(listing("real"), names{"x.ar"});
}

// NUL is written through, as /dev/null is on Linux, and a "\\.\" path is a
// local one.
TEST_F(cli_windows, nul_is_written_through_and_device_paths_are_local) {
  write_file("a.txt", "a");
  for (const std::string nul : {"NUL", "nul", "\\\\.\\NUL"}) {
    EXPECT_EQ(run({"-cf", nul, "a.txt"}).out, success_banner) << nul;
  }
  EXPECT_EQ(run({"-cd", "NUL", "a.txt"}).out, success_banner);
  const std::string local = "\\\\.\\" + windows_dir();
  EXPECT_EQ(run({"-cf", local + "\\d.ar", "a.txt"}).out, success_banner);
  EXPECT_EQ(read_file("d.ar"), ar_archive({{"a.txt", "a"}}));
  EXPECT_EQ(run({"-e", local + "\\d.ar", "out"}).out, "a.txt\n" + success_banner);
  EXPECT_EQ(listing(), (names{"a.txt", "d.ar", "out"}));
}

// Ctrl+C (SIGINT under Wine) or a kill at any moment of an extraction
// leaves no temporary file: each one goes with the process from the moment
// it exists until it has its name. Each run stops at another entry; the
// Windows stage repeats this test.
TEST_F(cli_windows, interrupted_extraction_leaves_no_temporary_file) {
  static int runs = 0;
  entry_list entries;
  for (int i = 0; i < 20000; ++i) entries.push_back({std::to_string(i), "x"});
  write_file("many.dl", dl_archive(entries));
  for (int sig : {SIGINT, SIGKILL}) {
    SCOPED_TRACE(sig);
    const std::string out = "out" + std::to_string(sig);
    const std::string stop_at = out + "/" + std::to_string(1 + ++runs * 97 % 500);
    started_run r({"-e", "many.dl", out});
    for (int waited = 0; waited < 60000 && !file_exists(stop_at); ++waited) ::usleep(1000);
    r.send(sig);
    const run_result result = r.wait();
    std::filesystem::remove(started_run::input_fifo);
    EXPECT_EQ(result.out.find(success_banner), std::string::npos) << "not interrupted";
    // The Wine server closes a killed process's files once it notices the
    // end, a moment after the process is gone.
    for (int waited = 0; waited < 50 && !temporaries(out).empty(); ++waited) ::usleep(100000);
    EXPECT_EQ(temporaries(out), names{});
  }
}

TEST_F(cli_windows, names_that_only_resemble_devices_are_extracted) {
  const entry_list entries = {
      {"console", "1"}, {"nulx.txt", "2"}, {"COM0", "3"}, {"lpt.txt", "4"}, {".auxrc", "5"}};
  write_file("d.dl", dl_archive(entries));
  ASSERT_EQ(run({"-e", "d.dl", "out"}).code, 0);
  for (const auto& [name, contents] : entries)
    EXPECT_EQ(read_file("out/" + name), contents) << name;
}

TEST_F(cli_windows, entry_naming_the_archive_in_other_letter_case_is_refused) {
  const bytes archive = dl_archive({{"first.txt", "1"}, {"D.DL", "overwrite"}});
  write_file("d.dl", archive);
  EXPECT_EQ(run({"-e", "d.dl"}).out,
            "first.txt\n" + failure_line("Impossibile creare il file D.DL"));
  EXPECT_EQ(read_file("d.dl"), archive);
  EXPECT_EQ(temporaries(), names{});
}

// Names that open one file on Windows (another letter case, a trailing
// dot) are judged by that file: with nothing edited every entry keeps its
// bytes; an edited file replaces them all, and the log says which entries
// share it.
TEST_F(cli_windows, entries_whose_names_open_one_file_are_judged_by_that_file) {
  const bytes dl = dl_archive({{"a.txt", "lower"},
                               {"A.TXT", "upper"},
                               {"\xE9.txt", "small e"},
                               {"\xC9.TXT", "capital E"},
                               {"Script1", "no dot"},
                               {"Script1.", "dot"}});
  write_file("d.dl", dl);
  ASSERT_EQ(run({"-e", "d.dl", "out"}).code, 0);
  EXPECT_EQ(run({"-u", "d.dl", "out"}).out,
            "a.txt mantenuto\nA.TXT mantenuto\n\xE9.txt mantenuto\n\xC9.TXT mantenuto\n"
            "Script1 mantenuto\nScript1. mantenuto\n" +
                success_banner);
  EXPECT_EQ(read_file("d.dl"), dl);
  write_file("out/a.txt", "edited");
  EXPECT_EQ(run({"-u", "d.dl", "out"}).out,
            "a.txt sostituito\nA.TXT sostituito (stesso file di a.txt)\n\xE9.txt mantenuto\n"
            "\xC9.TXT mantenuto\nScript1 mantenuto\nScript1. mantenuto\n" +
                success_banner);
  ASSERT_EQ(run({"-e", "d.dl", "chk"}, native()).code, 0);
  EXPECT_EQ(read_file("chk/A.TXT"), "edited");
  EXPECT_EQ(read_file("chk/Script1."), "dot");
}

// An entry named like another file's 8.3 short name (Wine's for
// longfilename.txt is LONG~LMQ.TXT) does not reach that file: -u keeps the
// entry, and -e refuses it rather than write over the other file.
TEST_F(cli_windows, a_short_name_reaches_no_other_file) {
  const bytes dl = dl_archive({{"LONG~LMQ.TXT", "entry"}});
  write_file("d.dl", dl);
  std::filesystem::create_directory("out");
  write_file("out/longfilename.txt", "a file of its own");
  EXPECT_EQ(run({"-u", "d.dl", "out"}).out, "LONG~LMQ.TXT mantenuto\n" + success_banner);
  EXPECT_EQ(read_file("d.dl"), dl);
  EXPECT_EQ(run({"-e", "d.dl", "out"}).out, failure_line("Impossibile creare il file LONG~LMQ.TXT"));
  EXPECT_EQ(listing("out"), names{"longfilename.txt"});
  EXPECT_EQ(read_file("out/longfilename.txt"), "a file of its own");
}

// The directory is opened as Windows opens it ("edit " and "edit.." are
// "edit", "Z:" the current directory of drive Z:) and every file is
// reached inside it, never by joining its path with a name. A file of
// 4 GiB or more whose first bytes match an entry is a changed file, which
// makes the archive too large.
TEST_F(cli_windows, the_directory_is_opened_once_and_sizes_have_64_bits) {
  const bytes ar = ar_archive({{"a.txt", "kept"}, {"big", "hello"}});
  write_file("a.ar", ar);
  std::filesystem::create_directory("edit");
  write_file("edit/a.txt", "edited");
  for (const std::string dir : {"edit ", "edit.."}) {
    write_file("a.ar", ar);
    EXPECT_EQ(run({"-u", "a.ar", dir}).out, "a.txt sostituito\nbig mantenuto\n" + success_banner)
        << dir;
  }
  // "Z:" is the current directory of drive Z:, which holds the scratch
  // directory under Wine, not the drive's root.
  write_file("a.ar", ar);
  write_file("a.txt", "edited here");
  EXPECT_EQ(run({"-u", "a.ar", "Z:"}).out, "a.txt sostituito\nbig mantenuto\n" + success_banner);
  write_file("a.ar", ar);
  write_file("edit/big", "hello");
  truncate_to("edit/big", (std::uint64_t{1} << 32) + 5);
  const bytes rebuilt = read_file("a.ar");
  EXPECT_EQ(run({"-u", "a.ar", "edit"}).out,
            "a.txt sostituito\n" + failure_line("Impossibile scrivere il file a.ar"));
  EXPECT_EQ(read_file("a.ar"), rebuilt);
}

// A directory whose name ends in a double-byte character with the second
// byte of "\" (表, 0x95 0x5C) is opened itself: "表a.txt" beside it is
// not read.
TEST_F(cli_windows, directory_ending_in_a_trail_byte_is_entered_in_code_page_932) {
  if (ansi_code_page() != 932) GTEST_SKIP() << "needs KESTO_ANSI_CODE_PAGE=932";
  const bytes ar = ar_archive({{"a.txt", "kept"}});
  write_file("a.ar", ar);
  std::filesystem::create_directory("表");
  write_file("表a.txt", "planted beside the directory");
  EXPECT_EQ(run({"-u", "a.ar", "表"}).out, "a.txt mantenuto\n" + success_banner);
  EXPECT_EQ(read_file("a.ar"), ar);
  write_file("表/a.txt", "edited");
  EXPECT_EQ(run({"-u", "a.ar", "表"}).out, "a.txt sostituito\n" + success_banner);
}

// In code page 932 a lone lead byte at the end of a name reads as "・":
// "a\x81" and "a・" open one file, which extraction gave the last entry's
// bytes, so with nothing edited both entries keep theirs.
TEST_F(cli_windows, names_that_open_one_file_keep_their_bytes_in_code_page_932) {
  if (ansi_code_page() != 932) GTEST_SKIP() << "needs KESTO_ANSI_CODE_PAGE=932";
  const bytes dl = dl_archive({{"a\x81", "lone lead byte"}, {"a\x81\x45", "middle dot"}});
  write_file("d.dl", dl);
  ASSERT_EQ(run({"-e", "d.dl", "out"}).code, 0);
  EXPECT_EQ(run({"-u", "d.dl", "out"}).out,
            "a\x81 mantenuto\na\x81\x45 mantenuto\n" + success_banner);
  EXPECT_EQ(read_file("d.dl"), dl);
}

}  // namespace
}  // namespace kesto_test

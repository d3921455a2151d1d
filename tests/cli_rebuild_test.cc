// Rebuild ("-u"): the archive is its own manifest. Entries keep their order,
// names, key and stored bytes unless their file in the directory changed;
// a rebuild with nothing changed gives the same bytes; nothing outside the
// directory is read, and a failure leaves the archive as it was.
#include <sys/stat.h>

#include <chrono>

#include "cli_runner.h"
#include "lzss_encoder.h"
#include "sample_data.h"

namespace kesto_test {
namespace {

namespace fs = std::filesystem;

using cli_rebuild = cli_test;

const bytes text = "Lorem ipsum dolor sit amet, lorem ipsum dolor sit amet. Lorem ipsum.";

// A DL archive of every kind of entry, whose header bytes the reader
// ignores are not zero.
bytes sample_dl() {
  bytes dl = dl_archive({{"LZtext.txt", lz_entry(text)},
                         {"plain.bin", "plain bytes"},
                         {"empty", ""},
                         {"twelve_bytes", lz_entry(random_bytes(3000, 7))},
                         {"plain.bin", "second copy"}});
  dl[7] = '\x07';
  dl.replace(14, 2, "zz");
  return dl;
}

std::string log_of(const std::vector<std::string>& names, const std::string& word) {
  std::string log;
  for (const std::string& name : names) log += name + " " + word + "\n";
  return log + success_banner;
}

const std::vector<std::string> dl_names = {"LZtext.txt", "plain.bin", "empty", "twelve_bytes",
                                           "plain.bin"};

// Extracted with -e, with -e and then -ed over it, or not at all: rebuilt
// with no file changed, each archive comes out byte for byte the same.
TEST_F(cli_rebuild, nothing_changed_gives_the_same_bytes) {
  write_file("a.txt", text);
  write_file("b.bin", random_bytes(40000, 1));
  write_file("e", "");
  ASSERT_EQ(run({"-cfk", "1A2B", "k.ar", "a.txt", "b.bin", "e", "a.txt"}).code, 0);
  const bytes ar = read_file("k.ar");
  write_file("x.dl", sample_dl());
  fs::create_directory("none");
  for (const std::string archive : {"k.ar", "x.dl"}) {
    const bytes before = read_file(archive);
    ASSERT_EQ(run({"-e", archive, "out-" + archive}).code, 0);
    const std::vector<std::string> names =
        archive == "k.ar" ? std::vector<std::string>{"a.txt", "b.bin", "e", "a.txt"} : dl_names;
    // Nothing is written at all: the archive stays the same file, with the
    // time stamp it had.
    const auto stamp = fs::file_time_type::clock::now() - std::chrono::hours(100);
    fs::last_write_time(archive, stamp);
    struct stat st_before {};
    ASSERT_EQ(::stat(archive.c_str(), &st_before), 0);
    for (const std::string& dir : {"out-" + archive, std::string("none")}) {
      SCOPED_TRACE(archive + " " + dir);
      EXPECT_EQ(run({"-u", archive, dir}).out, log_of(names, "mantenuto"));
      EXPECT_EQ(read_file(archive), before);
      struct stat st {};
      ASSERT_EQ(::stat(archive.c_str(), &st), 0);
      EXPECT_EQ(st.st_ino, st_before.st_ino);
      EXPECT_EQ(fs::last_write_time(archive), stamp);
    }
  }
  ASSERT_EQ(run({"-ed", "x.dl", "out-x.dl"}).code, 0);
  EXPECT_EQ(run({"-U", "x.dl", "out-x.dl"}).out, log_of(dl_names, "mantenuto"));
  // On a terminal, the same lines with a progress line drawn below them now
  // and then, always erased before the next line.
  if (!under_runner()) {
    const run_result t = run({"-u", "x.dl", "out-x.dl"}, on_terminal());
    EXPECT_EQ(without_progress(t.out), log_of(dl_names, "mantenuto")) << t.out;
    EXPECT_NE(t.out.find("\r[1/10] "), std::string::npos) << t.out;
  }
  EXPECT_EQ(read_file("x.dl"), sample_dl());
  EXPECT_EQ(read_file("k.ar"), ar);
  EXPECT_EQ(temporaries(), std::vector<std::string>{});
}

// A changed file replaces every entry of its name: scrambled with the key
// (AR), as it is (plain DL), compressed again (LZ DL, from -ed's output),
// or taken whole when it is an LZ entry itself (LZ DL, from -e's output).
TEST_F(cli_rebuild, changed_files_replace_their_entries_in_place) {
  write_file("a.txt", text);
  write_file("b.txt", "bee");
  ASSERT_EQ(run({"-cfk", "8001", "k.ar", "a.txt", "b.txt"}).code, 0);
  write_file("x.dl", sample_dl());
  fs::create_directories("edit");
  write_file("edit/b.txt", "changed bee");
  write_file("edit/plain.bin", "new plain");
  write_file("edit/LZtext.txt", text + " and more text, more text");
  write_file("edit/twelve_bytes", lz_entry("an LZ entry made elsewhere"));
  const std::string not_added = " non presente nell'archivio, non aggiunto\n";
  EXPECT_EQ(run({"-u", "k.ar", "edit"}).out,
            "a.txt mantenuto\nb.txt sostituito\nLZtext.txt" + not_added + "plain.bin" + not_added +
                "twelve_bytes" + not_added + success_banner);
  EXPECT_EQ(run({"-u", "x.dl", "edit"}).out,
            "LZtext.txt sostituito\nplain.bin sostituito\nempty mantenuto\n"
            "twelve_bytes sostituito\nplain.bin sostituito\nb.txt" + not_added + success_banner);

  ASSERT_EQ(run({"-e", "k.ar", "ar"}).code, 0);
  EXPECT_EQ(read_file("ar/a.txt"), text);
  EXPECT_EQ(read_file("ar/b.txt"), "changed bee");
  EXPECT_EQ(read_file("k.ar").substr(0, 4), bytes("AR\x01\x80", 4));
  EXPECT_EQ(run({"-ed", "x.dl", "lz"}).out,
            "LZtext.txt\nplain.bin non compresso con LZSS\nempty non compresso con LZSS\n"
            "twelve_bytes\nplain.bin non compresso con LZSS\n" + success_banner);
  EXPECT_EQ(read_file("lz/LZtext.txt"), text + " and more text, more text");
  EXPECT_EQ(read_file("lz/twelve_bytes"), "an LZ entry made elsewhere");
  const bytes dl = read_file("x.dl");
  EXPECT_EQ(dl.substr(0, 8), bytes("DL1.0\x1A\0\x07", 8));
  EXPECT_EQ(dl.substr(14, 4), "zzLZ");
  ASSERT_EQ(run({"-e", "x.dl", "plain"}).code, 0);
  EXPECT_EQ(read_file("plain/plain.bin"), "new plain");
  EXPECT_EQ(read_file("plain/twelve_bytes"), lz_entry("an LZ entry made elsewhere"));
}

// Changed LZ entries are compressed on every core, a large one in parts:
// -u, and -a given the same files, make the very archive -cdz makes of
// the edited files.
TEST_F(cli_rebuild, changed_lz_entries_come_out_as_cdz_makes_them) {
  const bytes big = text_like(600000, 3);
  const std::vector<std::pair<std::string, bytes>> edits = {
      {"big", big.substr(1000) + "tail"}, {"small", text + " changed"},
      {"more", text_like(30000, 6)}};
  write_file("big", big);
  write_file("small", text);
  write_file("noise", random_bytes(3000, 4));
  write_file("more", text_like(20000, 5));
  ASSERT_EQ(run({"-cdz", "x.dl", "big", "small", "noise", "more"}).code, 0);
  fs::copy_file("x.dl", "y.dl");
  fs::create_directories("edit");
  for (const auto& [name, data] : edits) write_file("edit/" + name, data);
  ASSERT_EQ(run({"-u", "x.dl", "edit"}).code, 0);
  ASSERT_EQ(run({"-a", "y.dl", "edit/big", "edit/small", "edit/more"}).code, 0);
  for (const auto& [name, data] : edits) write_file(name, data);
  ASSERT_EQ(run({"-cdz", "fresh.dl", "big", "small", "noise", "more"}).code, 0);
  EXPECT_TRUE(read_file("x.dl") == read_file("fresh.dl"));
  EXPECT_TRUE(read_file("y.dl") == read_file("fresh.dl"));
}

// The round trip with nothing edited destroys nothing: a plain entry that
// begins with "LZ", which -ed decodes into garbage, and an LZ entry whose
// header sizes disagree with its stream (a plain entry of the same name
// beside it) keep their bytes, as the file equals what -e or -ed wrote.
TEST_F(cli_rebuild, round_trip_keeps_entries_that_only_look_like_lz_entries) {
  bytes liar = lz_entry(text);
  liar[6] = 5;  // the header says 5 bytes; the stream decodes to more
  const bytes dl = dl_archive({{"LZnotes.txt", "LZ plain notes, stored by -cd as they are"},
                               {"liar.bin", liar},
                               {"liar.bin", "plain bytes of the same name"},
                               {"short.lz", bytes(liar.substr(0, 7))}});
  write_file("x.dl", dl);
  run({"-e", "x.dl", "out"});
  run({"-ed", "x.dl", "out"});
  EXPECT_EQ(run({"-u", "x.dl", "out"}).out,
            log_of({"LZnotes.txt", "liar.bin", "liar.bin", "short.lz"}, "mantenuto"));
  EXPECT_EQ(read_file("x.dl"), dl);

  // A file of the header's size whose bytes begin what the stream decodes
  // to is a changed file, not an unreadable one; the entry, no LZ entry as
  // it does not decode exactly, takes it as it is.
  write_file("out/liar.bin", text.substr(0, 5));
  EXPECT_EQ(
      run({"-u", "x.dl", "out"}).out,
      "LZnotes.txt mantenuto\nliar.bin sostituito\nliar.bin sostituito\nshort.lz mantenuto\n" +
          success_banner);
  ASSERT_EQ(run({"-e", "x.dl", "chk"}).code, 0);
  EXPECT_EQ(read_file("chk/liar.bin"), text.substr(0, 5));
  EXPECT_EQ(read_file("chk/LZnotes.txt"), "LZ plain notes, stored by -cd as they are");
}

// A file is taken whole for an LZ entry only when it is one whole LZ entry:
// an edited text that begins with "LZ" is compressed like any other, by -u
// and by -cdz, and -cdz stores a file -e wrote from an LZ entry as it is.
TEST_F(cli_rebuild, only_whole_lz_entries_are_stored_as_they_are) {
  const bytes edited = "LZW notes: " + text;
  write_file("x.dl", dl_archive({{"script.txt", lz_entry(text)}}));
  fs::create_directories("edit");
  write_file("edit/script.txt", edited);
  EXPECT_EQ(run({"-u", "x.dl", "edit"}).out, "script.txt sostituito\n" + success_banner);
  EXPECT_EQ(run({"-ed", "x.dl", "lz"}).out, "script.txt\n" + success_banner);
  EXPECT_EQ(read_file("lz/script.txt"), edited);

  write_file("entry.lz", lz_entry(text));
  write_file("LZnotes", edited);
  ASSERT_EQ(run({"-cdz", "z.dl", "entry.lz", "LZnotes"}).out, success_banner);
  ASSERT_EQ(run({"-e", "z.dl", "plain"}).code, 0);
  EXPECT_EQ(read_file("plain/entry.lz"), lz_entry(text));
  EXPECT_EQ(run({"-ed", "z.dl", "dec"}).out, "entry.lz\nLZnotes\n" + success_banner);
  EXPECT_EQ(read_file("dec/entry.lz"), text);
  EXPECT_EQ(read_file("dec/LZnotes"), edited);
}

// The archive itself is never an entry's file: not under its own name with
// the directory it lies in, nor through a hard link in the directory.
TEST_F(cli_rebuild, the_archive_is_never_its_own_entry) {
  const bytes ar = ar_archive({{"a.ar", "first"}, {"copy.ar", "second"}});
  write_file("a.ar", ar);
  EXPECT_EQ(run({"-u", "a.ar", "."}).out, log_of({"a.ar", "copy.ar"}, "mantenuto"));
  fs::create_directories("dir");
  fs::create_hard_link("a.ar", "dir/copy.ar");  // the rebuilt archive, a new file
  EXPECT_EQ(run({"-u", "a.ar", "dir"}).out, log_of({"a.ar", "copy.ar"}, "mantenuto"));
  EXPECT_EQ(read_file("a.ar"), ar);
}

// A file saved while -u runs, after the first pass found it unchanged, is
// looked at again and taken (strace holds kesto at the next file).
TEST_F(cli_rebuild, a_file_saved_between_the_passes_is_taken) {
  if (under_runner() || !can_trace()) GTEST_SKIP() << "needs strace";
  write_file("a.ar", ar_archive({{"a.txt", "old"}, {"zz.bin", "zz"}}));
  fs::create_directories("edit");
  write_file("edit/a.txt", "old");
  write_file("edit/zz.bin", "zz");
  started_run r({"-u", "a.ar", "edit"}, held_at("openat", "zz.bin"));
  ASSERT_GT(r.wait_until_held(), 0);
  write_file("edit/a.txt", "new");
  EXPECT_EQ(r.wait().out, "a.txt sostituito\nzz.bin mantenuto\n" + success_banner);
  EXPECT_EQ(read_file("a.ar"), ar_archive({{"a.txt", "new"}, {"zz.bin", "zz"}}));
}

// Every file is reached from the directory opened once, never by joining
// its path with a name: a DIR named "ed\\" on Linux does not read
// "ed\\a.txt" beside it, and a DIR given by its full path works where the
// current directory cannot be entered again (it was removed).
TEST_F(cli_rebuild, files_are_reached_from_the_directory_itself) {
  if (under_runner()) GTEST_SKIP() << "Linux names and directories";
  const bytes ar = ar_archive({{"a.txt", "kept"}});
  write_file("a.ar", ar);
  fs::create_directories("ed\\");
  write_file("ed\\a.txt", "planted beside the directory");
  EXPECT_EQ(run({"-u", "a.ar", "ed\\"}).out, log_of({"a.txt"}, "mantenuto"));
  EXPECT_EQ(read_file("a.ar"), ar);

  const std::string here = fs::current_path().string();
  write_file("ed\\a.txt", "new");
  fs::rename("ed\\a.txt", "ed\\/a.txt");
  fs::create_directories("gone");
  fs::current_path("gone");
  fs::remove(here + "/gone");
  EXPECT_EQ(run({"-u", here + "/a.ar", here + "/ed\\"}).out, log_of({"a.txt"}, "sostituito"));
  fs::current_path(here);
  EXPECT_EQ(read_file("a.ar"), ar_archive({{"a.txt", "new"}}));
}

// An unsafe name is never looked up, so a file planted outside the
// directory under it is not read; links and other non-regular files in the
// directory fail the rebuild before the archive changes.
TEST_F(cli_rebuild, only_regular_files_inside_the_directory_are_read) {
  const bytes ar = ar_archive({{"ok.txt", "ok"}, {"../x", "x"}, {"sub", "s"}});
  write_file("a.ar", ar);
  write_file("x", "planted outside");
  fs::create_directories("dir");
  write_file("dir/ok.txt", "new ok");
  EXPECT_EQ(run({"-u", "a.ar", "dir"}).out,
            "ok.txt sostituito\n../x mantenuto\nsub mantenuto\n" + success_banner);
  ASSERT_EQ(run({"-e", "a.ar", "chk"}).code, 1);  // "../x" is refused there
  EXPECT_EQ(read_file("chk/ok.txt"), "new ok");

  fs::create_directories("dir/sub");
  const bytes rebuilt = read_file("a.ar");
  EXPECT_EQ(run({"-u", "a.ar", "dir"}).out, failure_line("Impossibile leggere il file dir/sub"));
  EXPECT_EQ(read_file("a.ar"), rebuilt);
  if (!under_runner()) {
    fs::remove("dir/sub");
    fs::create_symlink("../x", "dir/sub");
    EXPECT_EQ(run({"-u", "a.ar", "dir"}).out, failure_line("Impossibile leggere il file dir/sub"));
    EXPECT_EQ(read_file("a.ar"), rebuilt);
  }
  EXPECT_EQ(run({"-u", "a.ar", "missing"}).out,
            failure_line("Impossibile entrare nella directory destinazione"));
  EXPECT_EQ(run({"-u", "missing.ar", "dir"}).out,
            failure_line("Impossibile aprire il file missing.ar"));
  write_file("other", "ABCDEFGH");
  EXPECT_EQ(run({"-u", "other", "dir"}).out, failure_line("Formato di archivio non riconosciuto"));
  EXPECT_EQ(read_file("a.ar"), rebuilt);
  EXPECT_EQ(temporaries(), std::vector<std::string>{});
}

// Files of the directory that no entry takes are named, not added; an
// entry whose file differs from its name only in letter case takes it (the
// game, on Windows, sees one name), and two such files fail, naming both,
// before the archive changes.
TEST_F(cli_rebuild, files_no_entry_takes_are_named_and_letter_case_is_ignored) {
  write_file("x.dl", dl_archive({{"Intro.txt", "old intro"}, {"b.bin", "bee"}}));
  fs::create_directories("edit");
  write_file("edit/intro.txt", "new intro");
  write_file("edit/new.txt", "not in the archive");
  write_file("edit/b.bin", "bee");
  fs::create_directories("edit/sub");
  EXPECT_EQ(run({"-u", "x.dl", "edit"}).out,
            "Intro.txt sostituito\nb.bin mantenuto\n"
            "new.txt non presente nell'archivio, non aggiunto\n" + success_banner);
  EXPECT_EQ(read_file("x.dl"), dl_archive({{"Intro.txt", "new intro"}, {"b.bin", "bee"}}));
  // Run again, nothing changes: the same lines, the archive untouched.
  EXPECT_EQ(run({"-u", "x.dl", "edit"}).out,
            "Intro.txt mantenuto\nb.bin mantenuto\n"
            "new.txt non presente nell'archivio, non aggiunto\n" + success_banner);

  write_file("edit/INTRO.TXT", "another intro");
  EXPECT_EQ(run({"-u", "x.dl", "edit"}).out,
            failure_line("I file edit/INTRO.TXT e edit/intro.txt avrebbero lo stesso nome "
                         "nell'archivio"));
  EXPECT_EQ(read_file("x.dl"), dl_archive({{"Intro.txt", "new intro"}, {"b.bin", "bee"}}));
  EXPECT_EQ(temporaries(), std::vector<std::string>{});
}

// A Japanese archive with --codepage=932: names whose second byte is 0x5C
// (表 95 5C, ソ 83 5C, 能 94 5C) are stored whole and extracted under their
// UTF-8 names; a name is cut at 12 bytes only between characters, and one
// that fills the field ends with a trail byte 0x5C. What -x writes, -u takes
// back, byte for byte when nothing changed.
TEST_F(cli_rebuild, codepage_932_names_round_trip) {
  const std::vector<std::string> files = {"表.txt", "ソフト.txt", "能力.txt", "あいうえお表.txt",
                                          "aあいうえお表"};
  std::vector<std::string> args = {"--codepage=932", "-cdz", "j.dl"};
  fs::create_directory("src");
  for (const std::string& name : files) {
    write_file("src/" + name, "text of " + name);
    args.push_back("src/" + name);
  }
  ASSERT_EQ(run(args).out,
            "src/あいうえお表.txt salvato come あいうえお表\n"
            "src/aあいうえお表 salvato come aあいうえお\n" +
                success_banner);
  const std::vector<std::string> stored = {"表.txt", "ソフト.txt", "能力.txt", "あいうえお表",
                                           "aあいうえお"};
  std::string lines;
  for (const std::string& name : stored) lines += name + "\n";
  const run_result lj = run({"--CODEPAGE=932", "-lj", "j.dl"});
  EXPECT_NE(lj.out.find("{\"name\": \"あいうえお表\", \"raw\": \"82a082a282a482a682a8955c\""),
            std::string::npos)
      << lj.out;
  EXPECT_NE(run({"--codepage=932", "-l", "j.dl"}).out.find("ソフト.txt\n"), std::string::npos);
  EXPECT_EQ(run({"--codepage=932", "-t", "j.dl"}).out, lines + success_banner);
  const bytes before = read_file("j.dl");
  ASSERT_EQ(run({"--codepage=932", "-x", "j.dl", "out"}).out, lines + success_banner);
  EXPECT_EQ(listing("out"), (std::vector<std::string>{"aあいうえお", "あいうえお表", "ソフト.txt",
                                                      "能力.txt", "表.txt"}));
  EXPECT_EQ(read_file("out/あいうえお表"), "text of あいうえお表.txt");
  EXPECT_EQ(run({"--codepage=932", "-u", "j.dl", "out"}).out, log_of(stored, "mantenuto"));
  EXPECT_EQ(read_file("j.dl"), before);
  write_file("out/表.txt", "edited");
  EXPECT_EQ(run({"--codepage=932", "-u", "j.dl", "out"}).out,
            "表.txt sostituito\n" + log_of({stored.begin() + 1, stored.end()}, "mantenuto"));
  // "?" is one character, 表 whole.
  EXPECT_EQ(run({"--codepage=932", "-p", "j.dl", "?.txt"}).out, "edited");
  ASSERT_EQ(run({"--codepage=932", "-e", "j.dl", "e"}).out, lines + success_banner);
  EXPECT_EQ(read_file("e/表.txt"), "edited");
  // -a and -d speak the same code page; a file -u does not take is named.
  write_file("src/新.txt", "new");
  EXPECT_EQ(run({"--codepage=932", "-az", "j.dl", "src/新.txt"}).out,
            "新.txt aggiunto\n" + success_banner);
  EXPECT_EQ(run({"--codepage=932", "-d", "j.dl", "新*"}).out,
            "新.txt eliminato\n" + success_banner);
  write_file("e/新.txt", "new");
  std::string kept = log_of(stored, "mantenuto");
  kept.insert(kept.size() - success_banner.size(),
              "新.txt non presente nell'archivio, non aggiunto\n");
  EXPECT_EQ(run({"--codepage=932", "-u", "j.dl", "e"}).out, kept);
  EXPECT_EQ(temporaries(), std::vector<std::string>{});
}

// Names without an exact form on the other side are refused, never guessed:
// an invalid Shift-JIS name in an archive is not written, a file name with
// no Shift-JIS form fails the creation; code page 1252 names keep their
// accented letters; an unknown code page fails before anything is opened.
TEST_F(cli_rebuild, codepage_names_without_an_exact_form_are_refused) {
  write_file("bad.dl", dl_archive({{"ok.txt", "fine"}, {"\x81 x", "invalid lead"}}));
  EXPECT_EQ(run({"--codepage=932", "-e", "bad.dl", "out"}).out,
            "ok.txt\n" + failure_line("Impossibile creare il file \x81 x"));
  EXPECT_EQ(listing("out"), std::vector<std::string>{"ok.txt"});
  write_file("é.txt", "e acute");
  EXPECT_EQ(run({"--codepage=932", "-cd", "n.dl", "é.txt"}).out,
            failure_line("Impossibile leggere il file é.txt"));
  EXPECT_FALSE(file_exists("n.dl"));
  write_file("n.dl", dl_archive({{"ok.txt", "fine"}}));
  EXPECT_EQ(run({"--codepage=932", "-a", "n.dl", "é.txt"}).out,
            failure_line("Impossibile leggere il file é.txt"));
  EXPECT_EQ(read_file("n.dl"), dl_archive({{"ok.txt", "fine"}}));
  ASSERT_EQ(run({"--codepage=1252", "-cf", "k.ar", "é.txt"}).out, success_banner);
  EXPECT_EQ(read_file("k.ar"), ar_archive({{"\xE9.txt", "e acute"}}));
  EXPECT_EQ(run({"--codepage=1252", "-x", "k.ar", "w", "?.TXT"}).out, "é.txt\n" + success_banner);
  EXPECT_EQ(read_file("w/é.txt"), "e acute");
  for (const std::string n : {"999", "abc", "", "-932", "9320"}) {
    const run_result r = run({"--codepage=" + n, "-l", "missing.dl"});
    EXPECT_EQ(r.out, failure_line("Code page non supportata: " + n));
    EXPECT_EQ(r.code, 1);
  }
  EXPECT_EQ(temporaries(), std::vector<std::string>{});
}

}  // namespace
}  // namespace kesto_test

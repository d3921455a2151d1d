// Adding, replacing and removing entries ("-a", "-az", "-d"): every other
// entry keeps its place and its stored bytes, a replaced entry keeps its
// kind, and a failure leaves the archive as it was.
#include "cli_runner.h"
#include "lzss_encoder.h"
#include "sample_data.h"

namespace kesto_test {
namespace {

namespace fs = std::filesystem;

using cli_edit = cli_test;

const bytes text = kesto_test::text_like(5000, 3);

// AR: a FILE whose cut name is an entry's replaces it in place, scrambled
// with the archive's key; others are added at the end in command-line
// order; cut names are reported.
TEST_F(cli_edit, ar_entries_are_replaced_in_place_and_new_files_added_at_the_end) {
  write_file("a.txt", "alpha");
  write_file("b.txt", "bravo");
  ASSERT_EQ(run({"-cfk", "8001", "k.ar", "a.txt", "b.txt", "a.txt"}).code, 0);
  fs::create_directory("new");
  write_file("new/A.TXT", "ALPHA, edited");
  write_file("new/zulu_long.txt", "zulu");
  write_file("c.txt", "charlie");
  EXPECT_EQ(run({"-a", "k.ar", "c.txt", "new/A.TXT", "new/zulu_long.txt"}).out,
            "c.txt aggiunto\na.txt sostituito\nnew/zulu_long.txt salvato come zulu_lon\n"
            "zulu_lon aggiunto\n" + success_banner);
  EXPECT_EQ(run({"-e", "k.ar", "out"}).out,
            "a.txt\nb.txt\na.txt\nc.txt\nzulu_lon\n" + success_banner);
  EXPECT_EQ(read_file("out/a.txt"), "ALPHA, edited");
  EXPECT_EQ(read_file("out/zulu_lon"), "zulu");
  // Laid out as -cfk lays out the same files.
  write_file("a.txt", "ALPHA, edited");
  write_file("zulu_lon", "zulu");
  ASSERT_EQ(run({"-cfk", "8001", "same.ar", "a.txt", "b.txt", "a.txt", "c.txt", "zulu_lon"}).code, 0);
  EXPECT_EQ(read_file("k.ar"), read_file("same.ar"));
}

// DL: a replaced LZ entry stays an LZ entry (compressed, or a whole LZ
// entry taken as it is), a replaced plain entry stays plain; new entries
// are plain with -a, LZ entries with -az unless plain is smaller. The
// header bytes the reader ignores and every other entry keep their bytes.
TEST_F(cli_edit, dl_entries_keep_their_kind_and_az_compresses_new_ones) {
  const bytes lz_text = lz_entry(text);
  bytes dl = dl_archive({{"script.txt", lz_text}, {"plain.bin", "plain"},
                         {"made.txt", lz_entry("old")}, {"kept.bin", "kept bytes"}});
  dl[7] = '\x07';
  write_file("x.dl", dl);
  write_file("script.txt", text + " edited");
  write_file("PLAIN.BIN", "new plain");
  write_file("made.txt", lz_entry("an LZ entry made elsewhere"));
  write_file("new.txt", text);
  ASSERT_EQ(run({"-a", "x.dl", "script.txt", "PLAIN.BIN", "made.txt", "new.txt"}).out,
            "script.txt sostituito\nplain.bin sostituito\nmade.txt sostituito\nnew.txt aggiunto\n" +
                success_banner);
  EXPECT_EQ(run({"-ed", "x.dl", "lz"}).out,
            "script.txt\nplain.bin non compresso con LZSS\nmade.txt\n"
            "kept.bin non compresso con LZSS\nnew.txt non compresso con LZSS\n" + success_banner);
  EXPECT_EQ(read_file("lz/script.txt"), text + " edited");
  EXPECT_EQ(read_file("lz/made.txt"), "an LZ entry made elsewhere");
  ASSERT_EQ(run({"-e", "x.dl", "raw"}).code, 0);
  EXPECT_EQ(read_file("raw/plain.bin"), "new plain");
  EXPECT_EQ(read_file("raw/made.txt"), lz_entry("an LZ entry made elsewhere"));
  EXPECT_EQ(read_file("raw/kept.bin"), "kept bytes");
  EXPECT_EQ(read_file("raw/new.txt"), text);
  EXPECT_EQ(read_file("x.dl").substr(0, 10), bytes("DL1.0\x1A\0\x07\x05\0", 10));

  write_file("noise.bin", random_bytes(3000, 4));
  write_file("twelve_chars_and_more.txt", text);
  ASSERT_EQ(run({"-az", "x.dl", "noise.bin", "twelve_chars_and_more.txt"}).out,
            "noise.bin aggiunto\ntwelve_chars_and_more.txt salvato come twelve_chars\n"
            "twelve_chars aggiunto\n" + success_banner);
  EXPECT_EQ(run({"-ed", "x.dl", "lz2"}).out,
            "script.txt\nplain.bin non compresso con LZSS\nmade.txt\n"
            "kept.bin non compresso con LZSS\nnew.txt non compresso con LZSS\n"
            "noise.bin non compresso con LZSS\ntwelve_chars\n" + success_banner);
  EXPECT_EQ(read_file("lz2/twelve_chars"), text);
  // The new entries are those -cdz makes of the same files.
  ASSERT_EQ(run({"-cdz", "z.dl", "noise.bin", "twelve_chars_and_more.txt"}).code, 0);
  const bytes z = read_file("z.dl");
  const bytes x = read_file("x.dl");
  const std::size_t z_data = z.size() - 16 - 2 * 16;
  EXPECT_EQ(x.substr(x.size() - 7 * 16 - z_data, z_data), z.substr(16, z_data));
  EXPECT_EQ(temporaries(), std::vector<std::string>{});
}

// -d removes the entries its NAMEs match (wildcards, letter case ignored);
// a NAME that matches nothing fails before anything changes; removing
// every entry leaves an empty archive that reads back.
TEST_F(cli_edit, d_removes_matching_entries_and_fails_on_a_name_that_matches_nothing) {
  write_file("x.dl", dl_archive({{"SC0001.TXT", "1"}, {"sc0002.txt", "2"}, {"title.bmp", "t"}}));
  write_file("x.ar", ar_archive({{"a.txt", "a"}, {"b.txt", "b"}}));
  const bytes dl = read_file("x.dl");
  EXPECT_EQ(run({"-d", "x.dl", "sc*.txt", "nothing*"}).out,
            failure_line("Nessun file dell'archivio corrisponde a nothing*"));
  EXPECT_EQ(read_file("x.dl"), dl);
  EXPECT_EQ(run({"-d", "x.dl", "sc*.txt"}).out,
            "SC0001.TXT eliminato\nsc0002.txt eliminato\n" + success_banner);
  EXPECT_EQ(read_file("x.dl"), dl_archive({{"title.bmp", "t"}}));
  EXPECT_EQ(run({"-D", "x.ar", "?.TXT", "a.txt"}).out,
            "a.txt eliminato\nb.txt eliminato\n" + success_banner);
  EXPECT_EQ(read_file("x.ar"), ar_archive({}));
  EXPECT_EQ(run({"-e", "x.ar", "out"}).out, success_banner);
  EXPECT_EQ(run({"-d", "x.dl", "title.bmp"}).code, 0);
  EXPECT_EQ(read_file("x.dl"), dl_archive({}));
  EXPECT_EQ(temporaries(), std::vector<std::string>{});
}

// On a terminal -a, -az and -d draw their progress at once: a step per
// entry of the archive and per FILE (named twice or not), erased before
// each line and at the end. Redirected, only the lines (as checked above).
TEST_F(cli_edit, edits_show_their_progress_on_a_terminal) {
  if (under_runner()) GTEST_SKIP() << "a pseudo-terminal is no Windows console";
  write_file("k.ar", ar_archive({{"a.txt", "alpha"}, {"b.txt", "bravo"}}));
  const bytes lz = lz_entry(text);
  write_file("x.dl", dl_archive({{"script.txt", lz}, {"plain.bin", "plain"}}));
  write_file("b.txt", "BRAVO!");
  write_file("c.txt", text);
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"-a", "k.ar", "b.txt", "c.txt", "b.txt"}, "\r[1/4] 5/5016 byte"},
      {{"-d", "k.ar", "A.TXT"}, "\r[1/3] 5/5011 byte"},
      {{"-az", "x.dl", "c.txt"},
       "\r[1/3] " + std::to_string(lz.size()) + "/" + std::to_string(lz.size() + 5005) + " byte"},
  };
  for (const auto& [args, first_step] : cases) {
    SCOPED_TRACE(testing::PrintToString(args));
    const bytes before = read_file(args[1]);
    const run_result piped = run(args);
    const bytes edited = read_file(args[1]);
    write_file(args[1], before);
    const run_result t = run(args, on_terminal());
    EXPECT_EQ(t.out.rfind(first_step, 0), 0u) << t.out;
    EXPECT_EQ(without_progress(t.out), piped.out) << t.out;
    EXPECT_EQ(read_file(args[1]), edited);
  }
}

// Failures leave the archive as it was: FILEs whose cut names collide, a
// FILE that cannot be read, an archive that is none, an entry to keep
// whose data run out.
TEST_F(cli_edit, failures_leave_the_archive_as_it_was) {
  write_file("x.ar", ar_archive({{"a.txt", "a"}}));
  bytes cut = ar_archive({{"lost.txt", "data"}, {"b.txt", "b"}});
  cut.replace(12 + 8, 4, u32le(1000));  // lost.txt's data lie past the end
  write_file("cut.ar", cut);
  write_file("credits_italiano.txt", "it");
  write_file("credits_english.txt", "en");
  write_file("text", "no archive here");
  const bytes ar = read_file("x.ar");
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"-a", "x.ar", "credits_italiano.txt", "credits_english.txt"},
       "I file credits_italiano.txt e credits_english.txt avrebbero lo stesso nome nell'archivio"},
      {{"-az", "x.ar", "credits_english.txt", "missing"}, "Impossibile leggere il file missing"},
      {{"-a", "text", "credits_english.txt"}, "Formato di archivio non riconosciuto"},
      {{"-d", "missing.ar", "a.txt"}, "Impossibile aprire il file missing.ar"},
      {{"-d", "cut.ar", "b.txt"}, "Impossibile leggere il file lost.txt dall'archivio"},
  };
  for (const auto& [args, first_half] : cases) {
    SCOPED_TRACE(testing::PrintToString(args));
    const run_result r = run(args);
    EXPECT_EQ(r.out, failure_line(first_half));
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(read_file("x.ar"), ar);
    EXPECT_EQ(read_file("text"), "no archive here");
    EXPECT_EQ(read_file("cut.ar"), cut);
  }
  EXPECT_EQ(temporaries(), std::vector<std::string>{});
}

}  // namespace
}  // namespace kesto_test

// Creation ("-cf", "-cfk", "-cd", "-cdz"): the archives' bytes, round trips
// through "-e" and "-ed", and failures that leave no archive and no temporary
// file behind.
#include "cli_runner.h"
#include "sample_data.h"

namespace kesto_test {
namespace {

namespace fs = std::filesystem;

using cli_create = cli_test;

TEST_F(cli_create, small_archives_match_their_layout_byte_for_byte) {
  write_file("a.txt", "xyz");
  ASSERT_EQ(run({"-cf", "a.ar", "a.txt"}).out, success_banner);
  EXPECT_EQ(read_file("a.ar"), bytes("AR\0\0\x0C\0\0\0\x01\0\0\0"
                                     "a.txt\0\0\0\x1C\0\0\0\x03\0\0\0xyz",
                                     31));
  ASSERT_EQ(run({"-cd", "a.dl", "a.txt"}).out, success_banner);
  EXPECT_EQ(read_file("a.dl"), bytes("DL1.0\x1A\0\0\x01\0\x13\0\0\0\0\0xyz"
                                     "a.txt\0\0\0\0\0\0\0\x03\0\0\0",
                                     35));
  // Key 0x0201: keystream 3, 5, 8.
  ASSERT_EQ(run({"-cfk", "201", "k.ar", "a.txt"}).code, 0);
  EXPECT_EQ(read_file("k.ar").substr(0, 4), bytes("AR\x01\x02", 4));
  EXPECT_EQ(read_file("k.ar").substr(28), "{~\x82");
}

TEST_F(cli_create, stored_names_are_base_names_cut_to_the_name_field) {
  fs::create_directories("dir/sub");
  write_file("dir/sub/Script01.txt", "1");
  write_file("dir/sub/LONGNAME.BIN", "22");
  write_file("dir/sub/eightchr", "");
  const std::vector<std::string> inputs = {"dir/sub/Script01.txt", "dir/sub/LONGNAME.BIN",
                                           "dir/sub/eightchr"};
  std::vector<std::string> args = {"-cf", "n.ar"};
  args.insert(args.end(), inputs.begin(), inputs.end());
  ASSERT_EQ(run(args).code, 0);
  args[0] = "-cd";
  args[1] = "n.dl";
  ASSERT_EQ(run(args).code, 0);
  EXPECT_EQ(read_file("n.ar"), ar_archive({{"Script01", "1"}, {"LONGNAME", "22"}, {"eightchr", ""}}));
  EXPECT_EQ(read_file("n.dl"),
            dl_archive({{"Script01.txt", "1"}, {"LONGNAME.BIN", "22"}, {"eightchr", ""}}));
}

// "\" separates path levels in base names on every platform. Under a
// Windows runner it is also the system's separator; elsewhere it is an
// ordinary character of the input file's name.
TEST_F(cli_create, backslash_ends_the_directory_part_of_an_input_path) {
  const std::string path = "in\\name.txt";
  if (under_runner()) {
    fs::create_directory("in");
    write_file("in/name.txt", "bs");
  } else {
    write_file(path, "bs");
  }
  ASSERT_EQ(run({"-cf", "b.ar", path}).code, 0);
  EXPECT_EQ(read_file("b.ar"), ar_archive({{"name.txt", "bs"}}));
  ASSERT_EQ(run({"-cd", "b.dl", path}).code, 0);
  EXPECT_EQ(read_file("b.dl"), dl_archive({{"name.txt", "bs"}}));
}

struct round_trip_case {
  std::vector<std::string> create;  // option words before the archive operand
  std::size_t name_field;
};

// Run unprivileged: where root may give a file its name in ways other users
// cannot, the ways of other users are tried too.
TEST_F(cli_create, archives_extract_back_to_their_inputs) {
  fs::create_directories("in/sub");
  const entry_list inputs = {
      {"in/empty.bin", ""},
      {"in/chunk.bin", random_bytes(32768, 1)},
      {"in/sub/large_file.dat", random_bytes(70001, 2)},
      {"in/sub/eightchr", "eight"},
      {"in/twelve_chars", "twelve"},
      {"small.txt", "s"},
  };
  for (const auto& [path, data] : inputs) write_file(path, data);
  const std::vector<round_trip_case> cases = {
      {{"-cf"}, 8},           {{"-cfk", "1A2B"}, 8}, {{"-cfk", "ffff"}, 8},
      {{"-cfk", "8001"}, 8},  {{"-cd"}, 12},
  };
  int n = 0;
  for (const round_trip_case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.create));
    std::vector<std::string> args = c.create;
    args.push_back("rt.arc");
    for (const auto& entry : inputs) args.push_back(entry.first);
    ASSERT_EQ(run(args, unprivileged()).out, success_banner);
    const std::string dest = "out" + std::to_string(n++);
    std::string log;
    std::vector<std::string> names;
    for (const auto& [path, data] : inputs) {
      const std::string name = fs::path(path).filename().string().substr(0, c.name_field);
      log += name + "\n";
      names.push_back(name);
    }
    const run_result r = run({"-e", "rt.arc", dest}, unprivileged());
    EXPECT_EQ(r.out, log + success_banner);
    EXPECT_EQ(r.code, 0);
    for (std::size_t i = 0; i < inputs.size(); ++i) {
      EXPECT_EQ(read_file(dest + "/" + names[i]), inputs[i].second) << names[i];
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(listing(dest), names);
  }
}

// -cdz: text becomes LZ entries that -ed decodes; noise and an empty file
// stay plain, and -ed leaves them out; a file beginning with "LZ" is an LZ
// entry whatever its size. -e gives every entry as stored. kesto.exe writes
// the very bytes the Linux build writes, the longer LZ attempt of the last
// file cut off after the directory included.
TEST_F(cli_create, compressed_archives_decode_back_and_match_the_linux_build) {
  const entry_list inputs = {
      {"script.txt", kesto_test::text_like(120000, 7)},  // an LZ entry of several chunks
      {"lz.bin", "LZ" + random_bytes(100, 6)},
      {"empty", ""},
      {"table.dat", kesto_test::binary_like(9000, 8)},
      {"noise.bin", random_bytes(5000, 5)},
  };
  std::vector<std::string> args = {"-cdz", "z.dl"};
  for (const auto& [name, data] : inputs) {
    write_file(name, data);
    args.push_back(name);
  }
  ASSERT_EQ(run(args).out, success_banner);
  run_result r = run({"-ed", "z.dl", "out"});
  EXPECT_EQ(r.out, "script.txt\nlz.bin\nempty non compresso con LZSS\ntable.dat\n"
                   "noise.bin non compresso con LZSS\n" + success_banner);
  EXPECT_EQ(listing("out"), (std::vector<std::string>{"lz.bin", "script.txt", "table.dat"}));
  r = run({"-e", "z.dl", "raw"});
  EXPECT_EQ(r.out, "script.txt\nlz.bin\nempty\ntable.dat\nnoise.bin\n" + success_banner);
  for (const auto& [name, data] : inputs) {
    const bool plain = name == "noise.bin" || name == "empty";
    if (!plain) {
      EXPECT_TRUE(read_file("out/" + name) == data) << name;
    }
    const bytes stored = read_file("raw/" + name);
    EXPECT_EQ(stored == data, plain) << name;
    EXPECT_EQ(stored.substr(0, 2) == "LZ", !plain && name != "empty") << name;
  }
  EXPECT_LT(read_file("raw/script.txt").size(), 120000u / 2);
  if (under_runner()) {
    args[1] = "linux.dl";
    ASSERT_EQ(run(args, native()).out, success_banner);
    EXPECT_TRUE(read_file("linux.dl") == read_file("z.dl"));
  }
}

// A pipe is read once: its bytes become an LZ entry when that is the
// smaller, and the creation fails when they would have to be stored plain.
TEST_F(cli_create, compressed_entry_from_a_pipe_is_read_only_once) {
  // Over 64 KiB each: once the FIFO took them, kesto has opened it.
  const bytes text = kesto_test::text_like(200000, 9);
  const bytes noise = random_bytes(200000, 9);
  bytes archive;
  for (const bytes* input : {&text, &noise}) {
    fs::remove(started_run::input_fifo);
    started_run r({"-cdz", "x.dl", started_run::input_fifo});
    r.feed(*input);
    const run_result result = r.wait();
    if (input == &noise) {  // the archive of the text stays
      EXPECT_EQ(result.out, failure_line("Impossibile leggere il file input.fifo"));
      EXPECT_TRUE(read_file("x.dl") == archive);
      EXPECT_EQ(temporaries(), std::vector<std::string>{});
      continue;
    }
    ASSERT_EQ(result.out, success_banner);
    archive = read_file("x.dl");
    ASSERT_EQ(run({"-ed", "x.dl", "out"}).out, "input.fifo\n" + success_banner);
    EXPECT_TRUE(read_file("out/input.fifo") == text);
  }
}

struct creation_failure {
  std::vector<std::string> args;
  std::string first_half;
};

TEST_F(cli_create, failed_creation_leaves_no_archive_and_no_temporary) {
  write_file("a.txt", "a");
  fs::create_directory("dir");
  const std::vector<creation_failure> cases = {
      {{"-cf", "x.ar", "missing.txt"}, "Impossibile leggere il file missing.txt"},
      {{"-cf", "x.ar", "a.txt", "a.txt", "no/such.txt"}, "Impossibile leggere il file no/such.txt"},
      {{"-cfk", "12", "x.ar", "a.txt", "gone"}, "Impossibile leggere il file gone"},
      {{"-cd", "x.ar", "gone", "a.txt"}, "Impossibile leggere il file gone"},
      {{"-cdz", "x.ar", "a.txt", "gone"}, "Impossibile leggere il file gone"},
      {{"-cdz", "x.ar", "dir"}, "Impossibile leggere il file dir"},
      {{"-cd", "x.ar", "a.txt", "dir"}, "Impossibile leggere il file dir"},
      {{"-cf", "x.ar", "dir"}, "Impossibile leggere il file dir"},
      {{"-cf", "x.ar", "no\x1B[2Jsuch"}, "Impossibile leggere il file no?[2Jsuch"},
      {{"-cf", "dir", "a.txt"}, "Impossibile creare il file dir"},
      {{"-cd", "dir", "a.txt"}, "Impossibile creare il file dir"},
      {{"-CDZ", "dir", "a.txt"}, "Impossibile creare il file dir"},
      {{"-cfk", "1", "nodir/x.ar", "a.txt"}, "Impossibile creare il file nodir/x.ar"},
      {{"-cd", "nodir/x.ar", "a.txt"}, "Impossibile creare il file nodir/x.ar"},
  };
  for (const creation_failure& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    const run_result r = run(c.args);
    EXPECT_EQ(r.out, failure_line(c.first_half));
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(listing(), (std::vector<std::string>{"a.txt", "dir"}));
    EXPECT_TRUE(listing("dir").empty());
  }
}

TEST_F(cli_create, failed_creation_keeps_the_previous_archive_file) {
  write_file("a.txt", "a");
  const bytes previous = ar_archive({{"old", "previous contents"}});
  for (const std::string option : {"-cf", "-cd", "-cdz"}) {
    SCOPED_TRACE(option);
    write_file("x.ar", previous);
    const run_result r = run({option, "x.ar", "a.txt", "missing"});
    EXPECT_EQ(r.out, failure_line("Impossibile leggere il file missing"));
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(read_file("x.ar"), previous);
    EXPECT_EQ(temporaries(), std::vector<std::string>{});
  }
  // A successful creation replaces it whole.
  ASSERT_EQ(run({"-cf", "x.ar", "a.txt"}).code, 0);
  EXPECT_EQ(read_file("x.ar"), ar_archive({{"a.txt", "a"}}));
  EXPECT_EQ(listing(), (std::vector<std::string>{"a.txt", "x.ar"}));
}

// The archive named among its own inputs: the input is the previous file of
// that name, read whole while the new archive is still a temporary file.
TEST_F(cli_create, archive_among_its_own_inputs_stores_the_previous_file) {
  write_file("a.txt", random_bytes(40000, 3));
  for (const std::string option : {"-cf", "-cd"}) {
    SCOPED_TRACE(option);
    const bytes previous = "AR" + random_bytes(70000, 4);
    write_file("x.arc", previous);
    ASSERT_EQ(run({option, "x.arc", "a.txt", "x.arc"}).code, 0);
    fs::remove_all("out");
    ASSERT_EQ(run({"-e", "x.arc", "out"}).code, 0);
    EXPECT_EQ(read_file("out/x.arc"), previous);
    EXPECT_EQ(read_file("out/a.txt"), read_file("a.txt"));
  }
}

// A forgotten KEY or ARCHIVE operand makes a FILE the archive: a file that
// is not empty and begins with neither signature is never replaced ("D" is
// only the start of one). An empty file and an archive of either format,
// even the two bytes "AR", are replaced as before.
TEST_F(cli_create, a_file_that_is_no_archive_is_never_replaced) {
  write_file("a.txt", "script text");
  write_file("b.txt", "more text");
  write_file("SC0001.TXT", "D");
  const std::vector<std::vector<std::string>> slips = {
      {"-cfk", "data.ar", "a.txt", "b.txt"},  // key forgotten: a.txt is the archive
      {"-cdz", "SC0001.TXT", "a.txt"},        // archive forgotten
      {"-cd", "b.txt", "a.txt"},
      {"-cf", "SC0001.TXT", "a.txt"},
  };
  for (const auto& args : slips) {
    SCOPED_TRACE(testing::PrintToString(args));
    const std::string& archive = args[args[0] == "-cfk" ? 2 : 1];
    const bytes before = read_file(archive);
    const run_result r = run(args);
    EXPECT_EQ(r.out, failure_line("Il file " + archive + " esiste e non sembra un archivio"));
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(read_file(archive), before);
  }
  EXPECT_EQ(listing(), (std::vector<std::string>{"SC0001.TXT", "a.txt", "b.txt"}));
  write_file("empty.ar", "");
  write_file("old.dl", dl_archive({{"x", "y"}}));
  write_file("old.ar", "AR");
  for (const std::string archive : {"empty.ar", "old.dl", "old.ar"}) {
    EXPECT_EQ(run({"-cd", archive, "a.txt"}).out, success_banner) << archive;
    EXPECT_EQ(read_file(archive), dl_archive({{"a.txt", "script text"}}));
  }
}

// Names cut to their field that become one name (ignoring letter case)
// fail before anything is written, naming both files; the same file twice
// is no clash. -cdz names the files whose names it cut.
TEST_F(cli_create, names_that_would_collide_fail_and_cut_names_are_reported) {
  write_file("credits_italiano.txt", "it");
  write_file("credits_english.txt", "en");
  write_file("Readme.txt", "r");
  write_file("README.TXT", "R");
  const std::vector<std::vector<std::string>> clashes = {
      {"-cf", "c.ar", "credits_italiano.txt", "credits_english.txt"},
      {"-cfk", "1", "c.ar", "Readme.txt", "README.TXT"},
      {"-cd", "c.dl", "credits_english.txt", "Readme.txt", "README.TXT"},
      {"-cdz", "c.dl", "Readme.txt", "README.TXT"},
  };
  for (const auto& args : clashes) {
    SCOPED_TRACE(testing::PrintToString(args));
    const std::size_t n = args.size();
    EXPECT_EQ(run(args).out, failure_line("I file " + args[n - 2] + " e " + args[n - 1] +
                                          " avrebbero lo stesso nome nell'archivio"));
    EXPECT_FALSE(file_exists("c.ar") || file_exists("c.dl"));
  }
  // Twelve bytes keep the DL names apart.
  ASSERT_EQ(run({"-cdz", "c.dl", "credits_italiano.txt", "credits_english.txt", "Readme.txt",
                 "Readme.txt"}).out,
            "credits_italiano.txt salvato come credits_ital\n"
            "credits_english.txt salvato come credits_engl\n" + success_banner);
  EXPECT_EQ(run({"-cd", "c.dl", "credits_italiano.txt", "credits_english.txt"}).out,
            success_banner);
  EXPECT_EQ(read_file("c.dl"), dl_archive({{"credits_ital", "it"}, {"credits_engl", "en"}}));
}

// A DL directory counts its records in 16 bits: more files than that fail
// before anything is written instead of storing only some of them.
TEST_F(cli_create, dl_creation_refuses_more_than_65535_files) {
  if (under_runner()) GTEST_SKIP() << "a Windows command line cannot hold 65536 operands";
  write_file("a", "1");
  std::vector<std::string> args = {"-cd", "x.dl"};
  args.resize(2 + 65536, "a");
  const run_result r = run(args);
  EXPECT_EQ(r.out, failure_line("Impossibile scrivere il file x.dl"));
  EXPECT_EQ(r.code, 1);
  EXPECT_EQ(listing(), std::vector<std::string>{"a"});
  args.pop_back();
  ASSERT_EQ(run(args).out, success_banner);
  EXPECT_EQ(read_file("x.dl").substr(8, 2), u16le(65535));
}

// Inputs whose sizes add up past 2 GiB are refused at once, before any of
// them is read (two sparse files of 1.1 GiB: reading them would take
// seconds), and nothing is left behind.
TEST_F(cli_create, inputs_too_large_together_are_refused_before_reading) {
  for (const char* name : {"big1", "big2"}) {
    write_file(name, "");
    truncate_to(name, std::uint64_t{1100} << 20);
  }
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"-cf", "x.ar", "big1", "big2"},
        std::vector<std::string>{"-cd", "x.ar", "big1", "big2", "missing"}}) {
    SCOPED_TRACE(testing::PrintToString(args));
    const run_result r = run(args);
    EXPECT_EQ(r.out, failure_line("Impossibile scrivere il file x.ar"));
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(listing(), (std::vector<std::string>{"big1", "big2"}));
  }
  // Added to an archive, the same: the archive stays as it was.
  write_file("a.txt", "kept");
  for (const char* option : {"-cf", "-cd"}) {
    ASSERT_EQ(run({option, "x.arc", "a.txt"}).code, 0);
    const bytes before = read_file("x.arc");
    EXPECT_EQ(run({"-a", "x.arc", "big1", "big2"}).out,
              failure_line("Impossibile scrivere il file x.arc"))
        << option;
    EXPECT_TRUE(read_file("x.arc") == before) << option;
    fs::remove("x.arc");
  }
}

// On a terminal -cdz shows how far it is on one line, rewritten in place
// and erased before the banner; piped, its output is the banner alone (as
// every other test here checks), and the archive is the same either way.
TEST_F(cli_create, compressed_creation_shows_progress_only_on_a_terminal) {
  if (under_runner()) GTEST_SKIP() << "a pseudo-terminal is no Windows console";
  std::vector<std::string> args = {"-cdz", "t.dl"};
  for (int i = 0; i < 40; ++i) {
    args.push_back(std::to_string(i) + ".txt");
    write_file(args.back(), random_bytes(3000 + i, i));
  }
  const run_result r = run(args, on_terminal());
  ASSERT_EQ(r.code, 0);
  const std::string banner = "Torvane Archiver - operazione completata con successo\r\n";
  ASSERT_GT(r.out.size(), banner.size());
  EXPECT_EQ(r.out.rfind("\r[1/40] 3000/", 0), 0u) << r.out;
  // The line is blanked out and the cursor back at its start.
  const std::size_t end = r.out.size() - banner.size() - 1;
  const std::size_t start = r.out.rfind('\r', end - 1);
  ASSERT_NE(start, std::string::npos);
  EXPECT_EQ(r.out.substr(start), "\r" + std::string(end - start - 1, ' ') + "\r" + banner);
  EXPECT_GT(end - start, 10u);
  const bytes on_screen = read_file("t.dl");
  ASSERT_EQ(run(args).out, success_banner);
  EXPECT_TRUE(read_file("t.dl") == on_screen);
}

}  // namespace
}  // namespace kesto_test

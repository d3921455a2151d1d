// Extraction ("-e", "-ed"): result lines for short and foreign files,
// truncated entries, destination directories, and the LZ entries of DL
// archives.

#include "cli_runner.h"
#include "lzss_encoder.h"

namespace kesto_test {
namespace {

namespace fs = std::filesystem;

using cli_extract = cli_test;

const std::string read_error = failure_line("Errore di lettura nell'archivio");
const std::string unknown_format = failure_line("Formato di archivio non riconosciuto");

// Overwrites the size of DL directory record i.
void set_dl_size(bytes* archive, std::size_t i, std::uint32_t size) {
  const std::size_t record = archive->size() - 16 * (static_cast<std::size_t>(archive->at(8)) - i);
  archive->replace(record + 12, 4, u32le(size));
}

struct short_file_case {
  std::string option;
  bytes contents;
  std::string expected;
};

TEST_F(cli_extract, short_and_foreign_files_give_their_result_lines) {
  const bytes dl_head = bytes("DL1.0\x1A\0\0", 8);
  const std::vector<short_file_case> cases = {
      {"-e", "", read_error},
      {"-e", "A", read_error},
      {"-e", "DL", read_error},
      {"-e", "ABCDEFG", read_error},
      {"-e", dl_head.substr(0, 7), read_error},
      {"-e", "AR", read_error},
      {"-e", "AR" + u16le(0) + u32le(12) + "\x01\0\0", read_error},
      {"-e", "ABCDEFGH", unknown_format},
      {"-e", bytes("DL1.0\x1A\x01\0", 8) + u16le(0) + u32le(16) + u16le(0), unknown_format},
      {"-e", dl_head + "\0\0\x10", read_error},
      {"-e", "AR" + u16le(0) + u32le(12) + u32le(0), success_banner},
      {"-e", bytes("DL1.0\x1A\0\x07", 8) + u16le(0) + u32le(16) + u16le(0), success_banner},
      {"-ed", "", read_error},
      {"-ed", "AR", read_error},
      {"-ed", dl_head.substr(0, 7), read_error},
      {"-ed", "ABCDEFGH", unknown_format},
      {"-ed", ar_archive({{"a.txt", "abc"}}), unknown_format},
      {"-ed", dl_head + "\0\0\x10", read_error},
      {"-ed", dl_archive({}), success_banner},
  };
  for (const short_file_case& c : cases) {
    SCOPED_TRACE(c.option + " " + testing::PrintToString(c.contents));
    write_file("x.bin", c.contents);
    const run_result r = run({c.option, "x.bin"});
    EXPECT_EQ(r.out, c.expected);
    EXPECT_EQ(r.code, c.expected == success_banner ? 0 : 1);
    EXPECT_EQ(listing(), std::vector<std::string>{"x.bin"});
  }
}

// The entry that runs out of data is not left behind, not even over a file
// that had its name; the entries before it stay.
TEST_F(cli_extract, truncated_entry_fails_and_keeps_earlier_entries) {
  bytes ar = ar_archive({{"a.txt", "abc"}, {"b.txt", random_bytes(40000, 3)}});
  ar.resize(ar.size() - 1);
  bytes dl = dl_archive({{"a.txt", "abc"}, {"b.txt", random_bytes(40000, 3)}});
  set_dl_size(&dl, 1, 80000);
  bytes lz = dl_archive({{"a.txt", lz_entry("abc")}, {"b.txt", lz_entry("text text text")}});
  set_dl_size(&lz, 1, 1000);
  // An entry too short for the LZ header it starts with.
  const bytes lz_short =
      dl_archive({{"a.txt", lz_entry("abc")}, {"b.txt", "LZ\x01\0"}, {"c.txt", lz_entry("c")}});
  const std::vector<std::pair<std::string, bytes>> cases = {
      {"-e", ar}, {"-e", dl}, {"-ed", lz}, {"-ed", lz_short}};
  for (const auto& [option, archive] : cases) {
    SCOPED_TRACE(option + " " + archive.substr(0, 2));
    write_file("x.arc", archive);
    fs::remove_all("out");
    fs::create_directory("out");
    write_file("out/b.txt", "earlier file");
    const run_result r = run({option, "x.arc", "out"});
    EXPECT_EQ(r.out, "a.txt\n" + failure_line("Impossibile leggere il file b.txt dall'archivio"));
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(read_file("out/a.txt"), "abc");
    EXPECT_EQ(read_file("out/b.txt"), "earlier file");
    EXPECT_EQ(listing("out"), (std::vector<std::string>{"a.txt", "b.txt"}));
  }
}

TEST_F(cli_extract, entries_of_size_zero_give_empty_files_wherever_they_point) {
  bytes ar = ar_archive({{"e1", ""}, {"e2", "z"}});
  ar.replace(20, 4, u32le(1000000));
  write_file("x.ar", ar);
  EXPECT_EQ(run({"-e", "x.ar"}).out, "e1\ne2\n" + success_banner);
  EXPECT_EQ(read_file("e1"), "");
  EXPECT_EQ(read_file("e2"), "z");
}

TEST_F(cli_extract, destination_is_made_one_level_below_the_start_directory) {
  fs::create_directories("arc/dest");
  write_file("arc/x.ar", ar_archive({{"one.txt", "from start dir"}}));
  write_file("arc/dest/x.ar", ar_archive({{"two.txt", "from destination"}}));
  // The archive path is taken from the start directory, not the destination.
  EXPECT_EQ(run({"-e", "arc/x.ar", "arc/dest"}).out, "one.txt\n" + success_banner);
  EXPECT_EQ(read_file("arc/dest/one.txt"), "from start dir");
  EXPECT_EQ(run({"-e", "arc/x.ar", "new"}).out, "one.txt\n" + success_banner);
  EXPECT_EQ(listing("new"), std::vector<std::string>{"one.txt"});
  write_file("lz.dl", dl_archive({{"l.txt", lz_entry("decoded")}}));
  EXPECT_EQ(run({"-ed", "lz.dl", "newer"}).out, "l.txt\n" + success_banner);
  EXPECT_EQ(read_file("newer/l.txt"), "decoded");
  EXPECT_EQ(listing(), (std::vector<std::string>{"arc", "lz.dl", "new", "newer"}));
}

TEST_F(cli_extract, destination_failures_come_before_any_entry) {
  write_file("x.ar", ar_archive({{"one.txt", "1"}}));
  write_file("plain", "not a directory");
  fs::create_directory("dir");
  struct destination_case {
    std::vector<std::string> args;
    std::string expected;
  };
  const std::string cannot_enter = failure_line("Impossibile entrare nella directory destinazione");
  const std::vector<destination_case> cases = {
      {{"-e", "missing.ar", "dest"}, failure_line("Impossibile aprire il file missing.ar")},
      {{"-ed", "missing.ar", "dest"}, failure_line("Impossibile aprire il file missing.ar")},
      {{"-e", "dir", "dest"}, failure_line("Impossibile aprire il file dir")},
      {{"-e", "x.ar", "plain"}, cannot_enter},
      {{"-ed", "x.ar", "plain"}, cannot_enter},
      {{"-e", "x.ar", "no/such"}, cannot_enter},
  };
  for (const destination_case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    const run_result r = run(c.args);
    EXPECT_EQ(r.out, c.expected);
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(listing(), (std::vector<std::string>{"dir", "plain", "x.ar"}));
    EXPECT_TRUE(listing("dir").empty());
  }
  EXPECT_EQ(read_file("plain"), "not a directory");
}

// A listing line: offset, size, LZ and unpacked size, marks, name, in
// fixed columns (the name at column 41).
std::string listed(std::uint32_t offset, std::size_t size, const std::string& name,
                   const std::string& lz_unpacked = "", const std::string& marks = "   ") {
  char line[128];
  std::snprintf(line, sizeof line, "%10u %10u %-2s %10s %s ", offset,
                static_cast<unsigned>(size), lz_unpacked.empty() ? "" : "LZ",
                lz_unpacked.c_str(), marks.c_str());
  return line + name + "\n";
}

// -l lists every record without writing a file: AR offsets as stored, DL
// offsets as the running data position, the LZ header's unpacked size, and
// marks for data outside the file (F), names extraction refuses (R) and
// names another entry has too, ignoring letter case (D).
TEST_F(cli_extract, listing_shows_every_record_in_fixed_columns) {
  bytes ar = ar_archive({{"a.txt", "abc"}, {"empty", ""}, {"eightchr", "12345678"}, {"../x", "x"},
                         {"A.TXT", ""}});
  ar.replace(2, 2, u16le(0x1A2B));
  ar.replace(12 + 16 * 2 + 8, 4, u32le(0x80000000));  // beyond any seek
  write_file("x.ar", ar);
  EXPECT_EQ(run({"-l", "x.ar"}).out,
            "Archivio Solquin: 5 file, chiave in Hex 1A2B\n"
            "        92          3                 D a.txt\n"
            "        95          0                   empty\n"
            "2147483648          8               F   eightchr\n"
            "       103          1                R  ../x\n"
            "       104          0                 D A.TXT\n"
            "Totale: 5 file, 12 byte\n" + success_banner);

  const bytes text = "packed text, packed text, packed text";
  const bytes lz = lz_entry(text);
  bytes dl = dl_archive({{"LZtext.txt", lz}, {"plain.bin", "plain"}, {"empty", ""},
                         {"twelve_bytes", "LZ"}, {"past_end", "tail"}});
  set_dl_size(&dl, 4, 1000);
  write_file("x.dl", dl);
  const auto at = static_cast<std::uint32_t>(16 + lz.size());
  EXPECT_EQ(run({"-L", "x.dl"}).out,
            "Archivio Varneth: 5 file\n" + listed(16, lz.size(), "LZtext.txt", "37") +
                listed(at, 5, "plain.bin") + listed(at + 5, 0, "empty") +
                listed(at + 5, 2, "twelve_bytes", " ") + listed(at + 7, 1000, "past_end", "", "F  ") +
                "Totale: 5 file, " + std::to_string(lz.size() + 1007) + " byte, 37 byte decompressi\n" +
                success_banner);
  EXPECT_EQ(listing(), (std::vector<std::string>{"x.ar", "x.dl"}));
}

// A count of 2^32 - 1 in a 20-byte file ends at the first record that
// cannot be read, as extraction does.
TEST_F(cli_extract, listing_and_test_stop_at_the_first_unreadable_record) {
  write_file("huge.ar", ar_header(0, 12, 0xFFFFFFFF) + u32le(0) + u32le(0));
  EXPECT_EQ(run({"-l", "huge.ar"}).out,
            "Archivio Solquin: 4294967295 file, chiave in Hex 0\n" + read_error);
  EXPECT_EQ(run({"-t", "huge.ar"}).out, read_error);
  bytes dl = dl_archive({{"a.txt", "abc"}});
  dl.resize(dl.size() - 1);
  write_file("cut.dl", dl);
  EXPECT_EQ(run({"-l", "cut.dl"}).out, "Archivio Varneth: 1 file\n" + read_error);
  EXPECT_EQ(run({"-t", "cut.dl"}).out, read_error);
  EXPECT_EQ(run({"-l", "ABCDEFGH"}).out, failure_line("Impossibile aprire il file ABCDEFGH"));
  write_file("other", "ABCDEFGH");
  EXPECT_EQ(run({"-t", "other"}).out, unknown_format);
}

// -t reads every entry as -e and -ed would, names each problem on the
// entry's line, goes on, and fails with the number of damaged entries.
TEST_F(cli_extract, test_names_every_damaged_entry_and_writes_nothing) {
  const bytes text = "Lorem ipsum dolor sit amet, lorem ipsum dolor sit amet.";
  write_file("ok.dl", dl_archive({{"a.lz", lz_entry(text)}, {"plain", "plain"}, {"e", ""}}));
  EXPECT_EQ(run({"-t", "ok.dl"}).out, "a.lz\nplain\ne\n" + success_banner);
  write_file("ok.ar", ar_archive({{"a.txt", text}, {"e", ""}}));
  EXPECT_EQ(run({"-T", "ok.ar"}).out, "a.txt\ne\n" + success_banner);

  bytes inconsistent = lz_entry(text);
  inconsistent.replace(6, 4, u32le(10));
  bytes dl = dl_archive({{"odd.lz", inconsistent}, {"sound.lz", lz_entry(text)},
                         {"../x", "x"}, {"short.lz", "LZ\x01"}, {"last", "tail"}});
  set_dl_size(&dl, 4, 100);
  write_file("bad.dl", dl);
  const run_result r = run({"-t", "bad.dl"});
  EXPECT_EQ(r.out,
            "odd.lz - dati incoerenti nell'estrazione\n"
            "sound.lz\n"
            "Impossibile creare il file ../x\n"
            "Impossibile leggere il file short.lz dall'archivio\n"
            "Impossibile leggere il file last dall'archivio\n" +
                failure_line("File danneggiati nell'archivio: 4"));
  EXPECT_EQ(r.code, 1);
  bytes ar = ar_archive({{"a.txt", "abc"}, {"b.txt", text}});
  ar.resize(ar.size() - 1);
  write_file("bad.ar", ar);
  EXPECT_EQ(run({"-t", "bad.ar"}).out, "a.txt\nImpossibile leggere il file b.txt dall'archivio\n" +
                                           failure_line("File danneggiati nell'archivio: 1"));
  EXPECT_EQ(listing(), (std::vector<std::string>{"bad.ar", "bad.dl", "ok.ar", "ok.dl"}));
}

// "-ed" keeps only decoded LZ entries; a skipped plain entry leaves a file
// of its name as it was; sizes that disagree keep the output with a warning.
// An empty entry is plain whatever follows it: an LZ entry, or the
// directory, which here starts with "LZ" (the first name).
TEST_F(cli_extract, decompress_mode_decodes_lz_entries_and_skips_plain_ones) {
  const bytes text = "Lorem ipsum dolor sit amet, lorem ipsum dolor sit amet. ";
  bytes long_text;
  while (long_text.size() < 70000) long_text += text + std::to_string(long_text.size());
  bytes inconsistent = lz_entry("abcabcabc");
  inconsistent.replace(6, 4, u32le(10));
  const entry_list entries = {
      {"LZone.txt", lz_entry(text)},
      {"empty.bin", ""},
      {"long.txt", lz_entry(long_text)},
      {"plain.bin", "plain bytes"},
      {"odd.txt", inconsistent},
      {"last.txt", lz_entry("")},
      {"tail", ""},
  };
  write_file("mixed.dl", dl_archive(entries));
  write_file("plain.bin", "user's file");
  write_file("empty.bin", "another user's file");
  const run_result r = run({"-ed", "mixed.dl"});
  EXPECT_EQ(r.out,
            "LZone.txt\n"
            "empty.bin non compresso con LZSS\n"
            "long.txt\n"
            "plain.bin non compresso con LZSS\n"
            "odd.txt - dati incoerenti nell'estrazione\n"
            "last.txt\n"
            "tail non compresso con LZSS\n" +
                success_banner);
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(read_file("LZone.txt"), text);
  EXPECT_EQ(read_file("long.txt"), long_text);
  EXPECT_EQ(read_file("odd.txt"), "abcabcabc");
  EXPECT_EQ(read_file("last.txt"), "");
  EXPECT_EQ(read_file("plain.bin"), "user's file");
  EXPECT_EQ(read_file("empty.bin"), "another user's file");
  EXPECT_EQ(listing(), (std::vector<std::string>{"LZone.txt", "empty.bin", "last.txt", "long.txt",
                                                 "mixed.dl", "odd.txt", "plain.bin"}));

  // Copy mode writes every entry as stored, LZ headers included.
  const run_result copied = run({"-e", "mixed.dl", "copy"});
  std::string log;
  for (const auto& [name, data] : entries) {
    log += name + "\n";
    EXPECT_EQ(read_file("copy/" + name), data) << name;
  }
  EXPECT_EQ(copied.out, log + success_banner);
}

// A file replaced by an entry or by a new archive keeps its permission
// bits, as it would had it been rewritten in place, except set-user-id and
// set-group-id, which a rewrite clears; new files get the usual ones.
TEST_F(cli_extract, replaced_files_keep_their_permission_bits) {
  if (under_runner()) GTEST_SKIP() << "POSIX permission bits";
  const auto perms = [](const char* path) { return fs::status(path).permissions(); };
  const fs::perms script = fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec;
  const fs::perms secret = fs::perms::owner_read | fs::perms::owner_write;
  write_file("run.sh", "old");
  fs::permissions("run.sh", script);
  write_file("setid", "old");
  fs::permissions("setid", script | fs::perms::set_uid | fs::perms::set_gid);
  write_file("a.ar", "AR old archive");
  fs::permissions("a.ar", secret);
  fs::create_directory("src");
  for (const char* name : {"src/run.sh", "src/setid", "src/fresh"}) write_file(name, "new");
  EXPECT_EQ(run({"-cf", "a.ar", "src/run.sh", "src/setid", "src/fresh"}).code, 0);
  EXPECT_EQ(perms("a.ar"), secret);
  EXPECT_EQ(run({"-e", "a.ar"}).code, 0);
  EXPECT_EQ(read_file("run.sh"), "new");
  EXPECT_EQ(perms("run.sh"), script);
  EXPECT_EQ(perms("setid"), script);
  EXPECT_EQ(perms("fresh"), perms("src/fresh"));
}

// A read-only file is replaced neither by an entry nor by a new archive: it
// is a file that cannot be created, and it stays as it was. Run
// unprivileged, since root may write any file.
TEST_F(cli_extract, read_only_files_are_never_replaced) {
  write_file("ro.txt", "mine");
  write_file("ro.ar", "AR old archive");
  write_file("a.ar", ar_archive({{"ro.txt", "entry"}}));
  fs::permissions("ro.txt", fs::perms::owner_read);
  fs::permissions("ro.ar", fs::perms::owner_read);
  EXPECT_EQ(run({"-e", "a.ar"}, unprivileged()).out,
            failure_line("Impossibile creare il file ro.txt"));
  EXPECT_EQ(read_file("ro.txt"), "mine");
  EXPECT_EQ(run({"-cf", "ro.ar", "a.ar"}, unprivileged()).out,
            failure_line("Impossibile creare il file ro.ar"));
  EXPECT_EQ(read_file("ro.ar"), "AR old archive");
  EXPECT_EQ(temporaries(), std::vector<std::string>{});
}

}  // namespace
}  // namespace kesto_test

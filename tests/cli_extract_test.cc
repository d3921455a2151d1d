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
  write_file("a.ar", "old archive");
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
  write_file("ro.ar", "old archive");
  write_file("a.ar", ar_archive({{"ro.txt", "entry"}}));
  fs::permissions("ro.txt", fs::perms::owner_read);
  fs::permissions("ro.ar", fs::perms::owner_read);
  EXPECT_EQ(run({"-e", "a.ar"}, unprivileged()).out,
            failure_line("Impossibile creare il file ro.txt"));
  EXPECT_EQ(read_file("ro.txt"), "mine");
  EXPECT_EQ(run({"-cf", "ro.ar", "a.ar"}, unprivileged()).out,
            failure_line("Impossibile creare il file ro.ar"));
  EXPECT_EQ(read_file("ro.ar"), "old archive");
  EXPECT_EQ(temporaries(), std::vector<std::string>{});
}

}  // namespace
}  // namespace kesto_test

// Extraction never writes outside the destination and never replaces the
// archive it reads, whatever names the archive holds.
#include "cli_runner.h"
#include "lzss_encoder.h"

namespace kesto_test {
namespace {

namespace fs = std::filesystem;

using cli_safety = cli_test;

// Every name here would, if used as a path, leave the destination, name a
// directory, or hold a separator or drive prefix; a control byte could drive
// the user's terminal, so it is printed as "?". The name stored, and shown.
const std::vector<std::pair<std::string, std::string>> unsafe_names = {
    {"../x", "../x"}, {"..\\x", "..\\x"}, {"/abs", "/abs"}, {"C:x", "C:x"},
    {"a/b", "a/b"},   {"a\\b", "a\\b"},   {".", "."},       {"..", ".."},
    {"", ""},         {"x\x1B[2J", "x?[2J"}, {"\x7F", "?"},    {"tab\tx", "tab?x"}};

TEST_F(cli_safety, unsafe_entry_names_are_refused_in_both_formats) {
  for (const auto& [name, shown] : unsafe_names) {
    for (const std::string format : {"ar", "dl"}) {
      SCOPED_TRACE(format + " '" + name + "'");
      const entry_list entries = {{"ok.txt", "fine"}, {name, "evil"}, {"after", "never"}};
      write_file("evil.arc", format == "ar" ? ar_archive(entries) : dl_archive(entries));
      fs::remove_all("dest");
      fs::create_directories("dest/a");
      for (const std::string option : {"-e", "-ed"}) {
        if (option == "-ed" && format == "ar") continue;
        const run_result r = run({option, "evil.arc", "dest"});
        const std::string first = option == "-e" ? "ok.txt\n" : "ok.txt non compresso con LZSS\n";
        EXPECT_EQ(r.out, first + failure_line("Impossibile creare il file " + shown)) << option;
        EXPECT_EQ(r.code, 1);
      }
      EXPECT_EQ(listing(), (std::vector<std::string>{"dest", "evil.arc"}));
      EXPECT_EQ(listing("dest"), (std::vector<std::string>{"a", "ok.txt"}));
      EXPECT_TRUE(listing("dest/a").empty());
      EXPECT_FALSE(fs::exists("/abs"));
    }
  }
}

// The archive's own name as an entry, reached from its own directory with or
// without a destination: refused, and the archive stays whole.
TEST_F(cli_safety, extraction_never_replaces_the_archive_it_reads) {
  fs::create_directory("sub");
  struct self_case {
    bytes archive;
    std::vector<std::string> args;
    std::string name;
  };
  const std::vector<self_case> cases = {
      {ar_archive({{"self.ar", "abc"}}), {"-e", "self.ar"}, "self.ar"},
      {ar_archive({{"self.ar", "abc"}}), {"-e", "self.ar", "."}, "self.ar"},
      {ar_archive({{"s.ar", "abc"}}), {"-e", "sub/s.ar", "sub"}, "s.ar"},
      {dl_archive({{"self.dl", "abc"}}), {"-e", "self.dl"}, "self.dl"},
      {dl_archive({{"self.dl", lz_entry("abc")}}), {"-ed", "self.dl"}, "self.dl"},
      {dl_archive({{"selfish.dl", "x"}}), {"-e", "sub/selfish.dl", "sub"}, "selfish.dl"},
  };
  for (const self_case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    const std::string path = c.args[1];
    write_file(path, c.archive);
    const run_result r = run(c.args);
    EXPECT_EQ(r.out, failure_line("Impossibile creare il file " + c.name));
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(read_file(path), c.archive);
    EXPECT_EQ(temporaries(), std::vector<std::string>{});
    EXPECT_EQ(temporaries("sub"), std::vector<std::string>{});
    fs::remove(path);
  }
}

// A symbolic link in the destination under an entry's name is replaced by
// the entry, never written through: its target may lie anywhere.
TEST_F(cli_safety, entries_replace_symbolic_links_instead_of_writing_through_them) {
  write_file("outside.txt", "keep me");
  fs::create_directory("dest");
  fs::create_symlink("../outside.txt", "dest/e.txt");
  for (const std::string format : {"ar", "dl"}) {
    SCOPED_TRACE(format);
    const entry_list entries = {{"e.txt", "entry"}};
    write_file("a.arc", format == "ar" ? ar_archive(entries) : dl_archive(entries));
    EXPECT_EQ(run({"-e", "a.arc", "dest"}).code, 0);
    EXPECT_EQ(read_file("outside.txt"), "keep me");
    EXPECT_FALSE(fs::is_symlink("dest/e.txt"));
    EXPECT_EQ(read_file("dest/e.txt"), "entry");
    fs::remove("dest/e.txt");
    fs::create_symlink("../outside.txt", "dest/e.txt");
  }
}

}  // namespace
}  // namespace kesto_test

// Extraction never writes outside the destination and never replaces the
// archive it reads, whatever names the archive holds; no file kesto did not
// make is harmed, however it is linked or whatever kind it is; and no run,
// however it ends, leaves a temporary file.
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>

#include "cli_runner.h"
#include "lzss_encoder.h"

namespace kesto_test {
namespace {

namespace fs = std::filesystem;

using cli_safety = cli_test;
using names = std::vector<std::string>;

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

// Under an entry's name, a symbolic link is replaced like a new name, with
// the usual bits, whatever it points to (a device, a file the user may not
// write); a directory or a FIFO is refused before any data are read, and
// stays as it was. Run unprivileged: as root every file may be written.
TEST_F(cli_safety, entries_replace_links_and_leave_directories_and_fifos_alone) {
  if (under_runner()) GTEST_SKIP() << "POSIX file kinds";
  const mode_t mask = ::umask(0);
  ::umask(mask);
  write_file("ro.txt", "not to be written");
  fs::permissions("ro.txt", fs::perms::owner_read);
  const auto make_destination = [] {
    fs::remove_all("dest");
    fs::create_directories("dest/sub");
    fs::create_symlink("/dev/null", "dest/null");
    fs::create_symlink("../ro.txt", "dest/ro");
    ASSERT_EQ(::mkfifo("dest/fifo", 0600), 0);
  };
  for (const std::string name : {"null", "ro", "fifo", "sub"}) {
    const std::vector<std::pair<std::string, bytes>> cases = {
        {"-e", ar_archive({{name, "entry"}})},
        {"-e", dl_archive({{name, "entry"}})},
        {"-ed", dl_archive({{name, "entry"}})},
        {"-ed", dl_archive({{name, lz_entry("entry")}})}};
    for (const auto& [option, archive] : cases) {
      SCOPED_TRACE(option + " " + name);
      make_destination();
      write_file("x.arc", archive);
      const run_result r = run({option, "x.arc", "dest"}, unprivileged());
      if (name == "fifo" || name == "sub") {
        EXPECT_EQ(r.out, failure_line("Impossibile creare il file " + name));
        EXPECT_TRUE(fs::is_fifo("dest/fifo"));
        EXPECT_TRUE(fs::is_directory("dest/sub"));
      } else if (option == "-ed" && archive.find("LZ") == std::string::npos) {
        EXPECT_EQ(r.out, name + " non compresso con LZSS\n" + success_banner);
        EXPECT_TRUE(fs::is_symlink("dest/" + name));
      } else {
        EXPECT_EQ(r.out, name + "\n" + success_banner);
        EXPECT_FALSE(fs::is_symlink("dest/" + name));
        EXPECT_EQ(read_file("dest/" + name), "entry");
        EXPECT_EQ(fs::status("dest/" + name).permissions(), static_cast<fs::perms>(0666 & ~mask));
      }
      EXPECT_EQ(temporaries("dest"), names{});
    }
  }
  EXPECT_EQ(read_file("ro.txt"), "not to be written");
  EXPECT_TRUE(fs::is_character_file("/dev/null"));
}

// The archive path: a link keeps pointing where it did and the file at its
// end is replaced whole; a device or FIFO is written in place (a FIFO cannot
// seek, so that fails) and is never replaced or removed.
TEST_F(cli_safety, creation_keeps_links_devices_and_fifos) {
  if (under_runner()) GTEST_SKIP() << "POSIX file kinds";
  write_file("a.txt", "a");
  write_file("real.ar", "AR old");
  fs::create_symlink("real.ar", "link.ar");
  fs::create_symlink("/dev/null", "null.ar");
  ASSERT_EQ(::mkfifo("fifo.ar", 0600), 0);
  EXPECT_EQ(run({"-cf", "link.ar", "a.txt"}).out, success_banner);
  EXPECT_TRUE(fs::is_symlink("link.ar"));
  EXPECT_EQ(read_file("real.ar"), ar_archive({{"a.txt", "a"}}));
  EXPECT_EQ(run({"-cd", "null.ar", "a.txt"}).out, success_banner);
  EXPECT_TRUE(fs::is_symlink("null.ar"));
  EXPECT_TRUE(fs::is_character_file("/dev/null"));
  EXPECT_EQ(run({"-cf", "fifo.ar", "a.txt"}).out, failure_line("Impossibile scrivere il file fifo.ar"));
  EXPECT_TRUE(fs::is_fifo("fifo.ar"));
  EXPECT_EQ(listing(), (names{"a.txt", "fifo.ar", "link.ar", "null.ar", "real.ar"}));
}

// The device or FIFO written in place is the one looked at. Anyone who may
// write the directory can swap the name, between the look and the open
// (strace holds kesto there), for a symbolic link to a file of theirs or
// for a regular file: creation then fails, and neither is written.
TEST_F(cli_safety, creation_writes_only_the_device_or_fifo_it_looked_at) {
  if (under_runner() || !can_trace()) GTEST_SKIP() << "needs strace";
  write_file("a.txt", "a");
  write_file("victim", "another file");
  for (const bool link : {true, false}) {
    ASSERT_EQ(::mkfifo("x.ar", 0600), 0);
    started_run r({"-cf", "x.ar", "a.txt"}, held_at("openat", "x.ar"));
    ASSERT_GT(r.wait_until_held(), 0);
    if (link) {
      fs::create_symlink("victim", "swap");
    } else {
      fs::copy_file("victim", "swap");
    }
    fs::rename("swap", "x.ar");
    EXPECT_EQ(r.wait().out, failure_line("Impossibile creare il file x.ar")) << link;
    EXPECT_EQ(read_file("x.ar"), "another file");
    fs::remove("x.ar");
  }
}

// SIGKILL at the instant a file replaces another (strace holds kesto there)
// can leave one complete temporary file that only its owner may read, and
// the earlier file whole. Finding out how an unnamed file gets its name
// gives no file a name. Any other signal leaves nothing there.
TEST_F(cli_safety, a_kill_while_a_file_takes_its_name_leaves_at_most_a_private_file) {
  if (under_runner() || !can_trace()) GTEST_SKIP() << "needs strace";
  write_file("a.txt", "new data");
  write_file("x.ar", ar_archive({{"a.txt", "new data"}}));
  struct kill_case {
    std::vector<std::string> args;
    std::string earlier;  // the file replaced, if any
    run_options held;
    int sig;
    bytes left;  // what the temporary file left holds, if any
  } const cases[] = {
      {{"-e", "x.ar", "out"}, "", held_at("linkat", "", true), SIGKILL, ""},
      {{"-e", "x.ar", "out"}, "out/a.txt", held_at("/^rename"), SIGKILL, "new data"},
      {{"-cf", "out/y.ar", "a.txt"}, "out/y.ar", held_at("/^rename"), SIGKILL, read_file("x.ar")},
      {{"-e", "x.ar", "out"}, "out/a.txt", held_at("/^rename"), SIGTERM, ""}};
  for (const kill_case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args) + " " + std::to_string(c.sig));
    fs::remove_all("out");
    fs::create_directory("out");
    if (!c.earlier.empty()) write_file(c.earlier, "AR earlier");
    if (!c.earlier.empty()) fs::permissions(c.earlier, static_cast<fs::perms>(0644));
    started_run r(c.args, c.held);
    const pid_t pid = r.wait_until_held();
    ASSERT_GT(pid, 0);
    ::kill(pid, c.sig);
    EXPECT_EQ(r.wait().signal, c.sig);
    const names left = temporaries("out");
    ASSERT_EQ(left.size(), c.left.empty() ? 0u : 1u);
    EXPECT_EQ(listing("out").size(), left.size() + (c.earlier.empty() ? 0 : 1));
    if (c.left.empty()) continue;
    EXPECT_EQ(read_file(c.earlier), "AR earlier");
    EXPECT_EQ(fs::status("out/" + left[0]).permissions(), static_cast<fs::perms>(0600));
    EXPECT_EQ(read_file("out/" + left[0]), c.left);
  }
}

// A catchable signal just after a file took the place of another (strace
// holds kesto there) still leaves the new file the earlier one's bits.
TEST_F(cli_safety, a_signal_just_after_a_file_takes_its_name_leaves_it_its_bits) {
  if (under_runner() || !can_trace()) GTEST_SKIP() << "needs strace";
  write_file("a.txt", "new data");
  write_file("x.ar", ar_archive({{"a.txt", "new data"}}));
  fs::create_directory("out");
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"-e", "x.ar", "out"}, {"-cf", "out/a.txt", "a.txt"}}) {
    SCOPED_TRACE(testing::PrintToString(args));
    write_file("out/a.txt", "AR earlier");  // an archive, which creation may replace
    fs::permissions("out/a.txt", static_cast<fs::perms>(0640));
    started_run r(args, held_at("/^rename", "", true));
    const pid_t pid = r.wait_until_held();
    ASSERT_GT(pid, 0);
    ::kill(pid, SIGTERM);
    EXPECT_EQ(r.wait().signal, SIGTERM);
    EXPECT_NE(read_file("out/a.txt"), "AR earlier");
    EXPECT_EQ(fs::status("out/a.txt").permissions(), static_cast<fs::perms>(0640));
    EXPECT_EQ(temporaries("out"), names{});
  }
}

// -l, -t and -u read the archive as a regular file only: a FIFO is refused
// at once, without waiting for a writer (timeout ends a run that waits).
TEST_F(cli_safety, a_fifo_as_the_archive_is_refused_without_waiting) {
  if (under_runner()) GTEST_SKIP() << "POSIX FIFOs";
  ASSERT_EQ(::mkfifo("a.fifo", 0600), 0);
  fs::create_directory("dir");
  run_options limited;
  limited.prefix = {"timeout", "10"};
  for (const std::string option : {"-l", "-t", "-u"}) {
    std::vector<std::string> args = {option, "a.fifo"};
    if (option == "-u") args.push_back("dir");
    EXPECT_EQ(run(args, limited).out, failure_line("Impossibile aprire il file a.fifo")) << option;
  }
}

// While an archive is written on Linux, no name in its directory leads to
// it, so nobody can swap it for a link or read it (kesto.exe keeps its
// temporary file open to itself alone). A run interrupted, even by SIGKILL,
// leaves the earlier archive and nothing else; on Linux it ends by the
// signal that interrupted it. Under Wine, SIGINT arrives as a console
// control event.
TEST_F(cli_safety, archives_being_written_are_out_of_reach_and_interruptions_leave_nothing) {
  const char* fifo = started_run::input_fifo;
  write_file("a.txt", "first input");
  const bytes input = random_bytes(200000, 5);
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGKILL, 0}) {
    SCOPED_TRACE(sig);
    write_file("x.ar", "AR earlier archive");
    started_run r({"-cf", "x.ar", "a.txt", fifo});
    const bool fed = r.feed(input);  // true once kesto has read and written most of it
    if (!under_runner()) {
      EXPECT_EQ(listing(), (names{"a.txt", fifo, "x.ar"}));
    }
    if (sig != 0) r.send(sig);
    const run_result result = r.wait();
    EXPECT_TRUE(fed) << "ended early: " << result.code << " " << result.out << result.err;
    if (!under_runner()) {
      EXPECT_EQ(result.signal, sig);
    }
    EXPECT_EQ(read_file("x.ar"), sig != 0 ? "AR earlier archive"
                                          : ar_archive({{"a.txt", "first input"}, {fifo, input}}));
    fs::remove(fifo);
    EXPECT_EQ(listing(), (names{"a.txt", "x.ar"}));
  }
}

// A log into a pipe nobody reads ends the run by SIGPIPE when the output
// buffer (4096 bytes) first goes out: here while the last entry's failure is
// logged. That entry leaves nothing behind.
TEST_F(cli_safety, closed_output_ends_the_run_without_leftovers) {
  if (under_runner()) GTEST_SKIP() << "POSIX signals";
  entry_list entries(2040, {"a", ""});  // 4080 bytes of log
  entries.push_back({"b", "cut short"});
  bytes archive = ar_archive(entries);
  archive.pop_back();
  write_file("x.ar", archive);
  const run_result r = run({"-e", "x.ar", "out"}, output_to("|closed"));
  EXPECT_EQ(r.signal, SIGPIPE);
  EXPECT_EQ(listing("out"), names{"a"});
}

// A file size limit (ulimit -f) makes the write past it fail instead of
// ending kesto: the run says which file it could not write and leaves
// nothing of it.
TEST_F(cli_safety, a_file_size_limit_fails_the_write_instead_of_ending_the_run) {
  if (under_runner()) GTEST_SKIP() << "POSIX limits";
  const bytes big = random_bytes(200000, 7);
  write_file("big", big);
  write_file("x.ar", ar_archive({{"small", "s"}, {"big", big}}));
  run_options limited;
  limited.file_size_limit = 65536;
  EXPECT_EQ(run({"-e", "x.ar", "out"}, limited).out,
            "small\n" + failure_line("Impossibile scrivere il file big"));
  EXPECT_EQ(listing("out"), names{"small"});
  EXPECT_EQ(run({"-cf", "y.ar", "big"}, limited).out, failure_line("Impossibile scrivere il file y.ar"));
  EXPECT_EQ(listing(), (names{"big", "out", "x.ar"}));
  // -cdz stores the plain bytes when no LZ entry is smaller: its trial
  // entry stops at their size, so a limit the result fits in is no failure.
  limited.file_size_limit = big.size() + 100;
  EXPECT_EQ(run({"-cdz", "z.dl", "big"}, limited).out, success_banner);
  EXPECT_EQ(read_file("z.dl"), dl_archive({{"big", big}}));
}

// Root extracting into a directory that others may write (sticky, as /tmp)
// gives a file that replaces another user's the bits of a new file: a
// run.sh of mode 0777 that nobody planted would otherwise become root's
// file that anyone may change. Root's own file keeps its bits.
TEST_F(cli_safety, bits_pass_on_only_from_the_users_own_files) {
  if (under_runner() || ::geteuid() != 0) GTEST_SKIP() << "needs root";
  const mode_t mask = ::umask(0);
  ::umask(mask);
  for (const std::string name : {"run.sh", "own.sh"}) {
    write_file(name, "earlier");
    fs::permissions(name, static_cast<fs::perms>(name == "own.sh" ? 0750 : 0777));
  }
  ASSERT_EQ(::chown("run.sh", 65534, 65534), 0);
  fs::permissions(".", fs::perms::all | fs::perms::sticky_bit);
  write_file("x.ar", ar_archive({{"run.sh", "new"}, {"own.sh", "new"}}));
  EXPECT_EQ(run({"-e", "x.ar"}).out, "run.sh\nown.sh\n" + success_banner);
  struct stat st;
  EXPECT_TRUE(::stat("run.sh", &st) == 0 && st.st_uid == 0 && (st.st_mode & 07777) == (0666 & ~mask));
  EXPECT_EQ(fs::status("own.sh").permissions(), static_cast<fs::perms>(0750));
}

// Where the kernel or the file system lacks renameat2's flags, or refuses
// unnamed files (strace makes those calls fail), files are still added and
// replaced, after a second look, with nothing left behind.
TEST_F(cli_safety, without_renameat2_flags_or_unnamed_files_extraction_still_works) {
  if (under_runner() || !can_trace()) GTEST_SKIP() << "needs strace";
  write_file("x.ar", ar_archive({{"old.txt", "new"}, {"new.txt", "fresh"}}));
  const std::string no_flags = "inject=renameat2:error=EINVAL";
  const std::string no_unnamed = "inject=openat:error=EOPNOTSUPP";  // of "."
  for (const names& refused : {names{no_flags}, names{no_unnamed}, names{no_flags, no_unnamed}}) {
    fs::remove_all("out");
    fs::create_directory("out");
    write_file("out/old.txt", "old");
    run_options traced;
    traced.prefix = {"strace", "-qq", "-o", "/dev/null", "-P", ".", "-P", "old.txt", "-P", "new.txt",
                     "-e", "trace=openat,renameat2", "-e", refused[0], "-e", refused.back(), "--"};
    const run_result r = run_kesto({"-e", "x.ar", "out"}, traced);
    EXPECT_EQ(r.out, "old.txt\nnew.txt\n" + success_banner) << refused.size() << refused[0];
    EXPECT_EQ(read_file("out/old.txt") + read_file("out/new.txt"), "newfresh");
    EXPECT_EQ(listing("out"), (names{"new.txt", "old.txt"}));
  }
}

// Output that cannot be written fails the run; the files stay as the
// operation left them.
TEST_F(cli_safety, unwritable_output_fails_the_run) {
  if (under_runner() || !fs::exists("/dev/full")) GTEST_SKIP() << "needs /dev/full";
  write_file("a.txt", "a");
  EXPECT_EQ(run({"-cf", "x.ar", "a.txt"}, output_to("/dev/full")).code, 1);
  EXPECT_EQ(read_file("x.ar"), ar_archive({{"a.txt", "a"}}));
  EXPECT_EQ(run({"-e", "x.ar", "out"}, output_to("/dev/full")).code, 1);
  EXPECT_EQ(read_file("out/a.txt"), "a");
}

}  // namespace
}  // namespace kesto_test

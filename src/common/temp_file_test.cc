#include "common/temp_file.h"

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include "common/status.h"
#include "test_util.h"

namespace kesto {
namespace {

using kesto_test::scratch_dir_test;

class temp_file : public scratch_dir_test {};

// The fallback where unnamed files are refused: a file only its owner may
// open, under a name no one can foresee. Names an earlier scheme built from
// the process id (pre-made by a hostile user) do not get in its way.
TEST_F(temp_file, named_temporaries_are_private_and_unpredictable) {
  const std::string pid = std::to_string(::getpid());
  for (int n = 0; n < 1000; ++n) {
    kesto_test::write_file(".kesto-" + pid + "-" + std::to_string(n) + ".tmp", "");
  }
  temporary_file a, b;
  ASSERT_TRUE(a.open("", true));
  ASSERT_TRUE(b.open("", true));
  EXPECT_NE(a.path(), b.path());
  struct stat st;
  ASSERT_EQ(::stat(a.path().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  const std::string path = a.path();
  a.discard();
  EXPECT_FALSE(kesto_test::file_exists(path));
}

// A name already taken (a stale temporary file) is no failure: the next
// name is a fresh one.
TEST(temporary_names, a_taken_name_is_followed_by_a_fresh_one) {
  std::vector<std::string> tried;
  std::string path;
  EXPECT_TRUE(try_temporary_names("d/", &path, [&tried](const std::string& candidate) {
    tried.push_back(candidate);
    return tried.size() < 3 ? name_attempt::taken : name_attempt::made;
  }));
  ASSERT_EQ(tried.size(), 3u);
  EXPECT_NE(tried[0], tried[1]);
  EXPECT_EQ(path, tried[2]);
  EXPECT_EQ(path.rfind("d/.kesto-", 0), 0u);
}

// Data that do not all reach the file (here a buffered stream that a file
// size limit stops when it is written out at the end): the entry is a file
// that could not be written, and nothing takes its name.
TEST_F(temp_file, entry_whose_last_bytes_are_lost_is_reported_unwritten) {
  auto log = kesto_test::stream_of();
  const int status = kesto_test::run_with_file_size_limit(64, [&log] {
    entry_output out(nullptr);
    if (out.open("e.txt") != reader_status::ok) return -1;
    std::setvbuf(out.stream(), nullptr, _IOFBF, 4096);
    std::fputs(std::string(1000, 'x').c_str(), out.stream());
    return keep_entry(out, log.get(), "e.txt", "%s\n");
  });
  EXPECT_EQ(status, reader_status::cannot_write);
  EXPECT_EQ(kesto_test::stream_contents(log.get()), "Impossibile scrivere il file e.txt");
  EXPECT_TRUE(listing().empty());
}

// A file takes its name only in place of what was there when it was looked
// at. A FIFO that someone who may write the directory puts there meanwhile
// (made under another name and moved in, as it then cannot reuse the inode
// number of a file it replaces) stays, and the new file is gone: unnamed or
// named, whether the name was free before or not.
TEST_F(temp_file, commit_replaces_only_the_file_it_looked_at) {
  for (const bool named : {false, true}) {
    for (const bool was_free : {true, false}) {
      std::filesystem::remove("t");
      if (!was_free) kesto_test::write_file("t", "looked at");
      const existing_file old = inspect_existing_file("t", nullptr);
      temporary_file file;
      ASSERT_TRUE(file.open("", named));
      ASSERT_EQ(::mkfifo("fifo", 0600), 0);
      std::filesystem::rename("fifo", "t");
      EXPECT_EQ(file.commit("t", old), temporary_file::commit_result::not_named) << named << was_free;
      EXPECT_TRUE(std::filesystem::is_fifo("t"));
      EXPECT_EQ(listing(), std::vector<std::string>{"t"});
    }
  }
}

// An interruption by any signal whose default action ends the process
// removes a temporary file that has a name, and the process then ends by
// that signal. SIGXFSZ is ignored: a write past a size limit fails instead.
TEST_F(temp_file, interruption_removes_a_named_temporary) {
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGQUIT, SIGALRM, SIGUSR1, SIGUSR2, SIGXCPU,
                  SIGVTALRM, SIGPROF, SIGRTMIN + 2, SIGXFSZ}) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      const rlimit no_core = {0, 0};
      ::setrlimit(RLIMIT_CORE, &no_core);
      std::signal(sig, SIG_DFL);
      install_interrupt_cleanup();
      temporary_file file;
      if (file.open("", true)) std::raise(sig);
      file.discard();
      ::_exit(1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    if (sig == SIGXFSZ) {
      EXPECT_TRUE(WIFEXITED(status)) << status;
    } else {
      EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << sig;
    }
    EXPECT_TRUE(listing().empty()) << sig;
  }
}

}  // namespace
}  // namespace kesto

// Runs the kesto program as a child process for the command-line tests.
//
// The program is KESTO_PROGRAM (default: the kesto built with the tests).
// When KESTO_RUNNER is set and not empty (for example "wine" for kesto.exe),
// the runner is executed with the program as its first argument. Arguments
// pass unchanged (no shell), so "*", "\" and blanks reach the program as
// written.
#ifndef KESTO_TESTS_CLI_RUNNER_H
#define KESTO_TESTS_CLI_RUNNER_H

#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "test_util.h"

namespace kesto_test {

struct run_result {
  std::string out;  // standard output; "\r\n" turned into "\n" under a runner
  std::string err;  // standard error, as written
  int code = -1;    // exit code, or -1 when the child did not exit normally
  int signal = 0;   // the signal that ended the child, or 0
};

// How the program runs, beyond its arguments.
struct run_options {
  // As root: run as the unprivileged user nobody (uid and gid 65534), after
  // giving the scratch directory to that user. Others run as themselves, so
  // checks that root would pass by privilege run unprivileged either way.
  bool unprivileged = false;
  // Standard output: captured when empty; else written to this file (for
  // example /dev/full), or to a pipe nobody reads when it is "|closed".
  std::string out_to;
  // Run the Linux build built with the tests, even under a runner.
  bool native = false;
  // Words run before the program: a tracer and its arguments (held_at).
  std::vector<std::string> prefix;
  // ulimit -f: no file the program writes may grow past this many bytes.
  std::uint64_t file_size_limit = 0;
};

inline run_options unprivileged() {
  run_options options;
  options.unprivileged = true;
  return options;
}

inline run_options native() {
  run_options options;
  options.native = true;
  return options;
}

// Standard output is a pseudo-terminal (POSIX runs only); its bytes come
// back in run_result::out as the terminal received them.
inline run_options on_terminal() {
  run_options options;
  options.out_to = "|terminal";
  return options;
}

inline run_options output_to(const std::string& path) {
  run_options options;
  options.out_to = path;
  return options;
}

// A run under strace that holds the program for two seconds at the first of
// the system calls `calls` (strace's notation: "openat", "/^rename" for
// every kind of rename) that names path (any when empty): before the call,
// or after it with after_the_call. The test acts meanwhile, once
// started_run::wait_until_held has returned. Needs can_trace().
run_options held_at(const std::string& calls, const std::string& path = "",
                    bool after_the_call = false);
// True when strace is installed and may trace here.
bool can_trace();

// Runs the program with args in the current directory.
run_result run_kesto(const std::vector<std::string>& args, const run_options& options = {});

// A run in progress, which may read a FIFO the test feeds: input_fifo, made
// in the current directory when the program names it among its arguments.
class started_run {
 public:
  static constexpr const char* input_fifo = "input.fifo";

  started_run(const std::vector<std::string>& args, const run_options& options = {});
  ~started_run();
  started_run(const started_run&) = delete;
  started_run& operator=(const started_run&) = delete;
  // Writes data to the FIFO; once it returns, the program has read all but
  // what the FIFO holds (64 KiB on Linux). False when the program ended.
  bool feed(const bytes& data);
  void end_input();
  // Sends sig to the program (under a runner, to the runner's process, which
  // Wine turns into the Windows process) and waits until it has ended,
  // before the test closes the input: a program that handles the signal
  // in a thread of its own would otherwise find the end of its input first.
  void send(int sig);
  // Under held_at: waits until the program is held, and returns its process
  // id (strace's child); -1 when the run ended first.
  pid_t wait_until_held();
  run_result wait();

 private:
  pid_t pid_ = -1;
  int input_ = -1;
  std::FILE* out_ = nullptr;
  std::FILE* err_ = nullptr;
};

// The lines a run on a terminal (on_terminal) left on the screen: the
// progress lines it drew and erased taken out, "\r\n" back to "\n", to be
// compared with the output of the same run redirected. A line written over
// a progress line that was not erased first stays garbled.
std::string without_progress(const std::string& terminal_output);

// True when the program runs through KESTO_RUNNER (the Windows build).
bool under_runner();

inline const std::string success_banner = "Torvane Archiver - operazione completata con successo\n";

// A whole failure line from its first half.
inline std::string failure_line(const std::string& first_half) {
  return first_half + " - Operazione non riuscita\n";
}

// A scratch directory plus the program runner. run() also checks that the
// program wrote nothing to standard error. Under a runner, which may print
// its own diagnostics there, a test that fails shows them instead, and a
// run that the runner failed to start (no output at all: kesto always ends
// with a line) is tried again, twice at most.
class cli_test : public scratch_dir_test {
 protected:
  void TearDown() override;
  run_result run(const std::vector<std::string>& args, const run_options& options = {});
  // Names of leftover temporary files (".kesto-*.tmp") in a directory.
  std::vector<std::string> temporaries(const std::string& sub = ".") const;

 private:
  std::string runner_errors_;
};

}  // namespace kesto_test

#endif

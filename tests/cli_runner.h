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
};

inline run_options unprivileged() {
  run_options options;
  options.unprivileged = true;
  return options;
}

inline run_options output_to(const std::string& path) {
  run_options options;
  options.out_to = path;
  return options;
}

// Runs the program with args in the current directory.
run_result run_kesto(const std::vector<std::string>& args, const run_options& options = {});

// A run in progress whose standard input is a pipe fed by the test: the
// program reads it as the file /dev/stdin (Linux build only).
class started_run {
 public:
  started_run(const std::vector<std::string>& args, const run_options& options);
  ~started_run();
  started_run(const started_run&) = delete;
  started_run& operator=(const started_run&) = delete;
  // Writes data to the pipe; once it returns, the program has read all but
  // what the pipe holds (at most 64 KiB on Linux).
  void feed(const bytes& data);
  void end_input();
  void send(int sig);
  run_result wait();

 private:
  pid_t pid_ = -1;
  int input_ = -1;
  std::FILE* out_ = nullptr;
  std::FILE* err_ = nullptr;
};

// True when the program runs through KESTO_RUNNER (the Windows build).
bool under_runner();

inline const std::string success_banner = "Torvane Archiver - operazione completata con successo\n";

// A whole failure line from its first half.
inline std::string failure_line(const std::string& first_half) {
  return first_half + " - Operazione non riuscita\n";
}

// A scratch directory plus the program runner. run() also checks that the
// program wrote nothing to standard error (not checked under a runner, which
// may print its own diagnostics there).
class cli_test : public scratch_dir_test {
 protected:
  run_result run(const std::vector<std::string>& args, const run_options& options = {});
  // Names of leftover temporary files (".kesto-*.tmp") in a directory.
  std::vector<std::string> temporaries(const std::string& sub = ".") const;
};

}  // namespace kesto_test

#endif

// Runs the kesto program as a child process for the command-line tests.
//
// The program is KESTO_PROGRAM (default: the kesto built with the tests).
// When KESTO_RUNNER is set and not empty (for example "wine" for kesto.exe),
// the runner is executed with the program as its first argument. Arguments
// pass unchanged (no shell), so "*", "\" and blanks reach the program as
// written.
#ifndef KESTO_TESTS_CLI_RUNNER_H
#define KESTO_TESTS_CLI_RUNNER_H

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "test_util.h"

namespace kesto_test {

struct run_result {
  std::string out;  // standard output; "\r\n" turned into "\n" under a runner
  std::string err;  // standard error, as written
  int code = -1;    // exit code, or -1 when the child did not exit normally
};

// Runs the program with args in the directory cwd (default: the current one).
run_result run_kesto(const std::vector<std::string>& args, const std::string& cwd = ".");

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
  run_result run(const std::vector<std::string>& args, const std::string& cwd = ".");
  // Names of leftover temporary files (".kesto-*.tmp") in a directory.
  std::vector<std::string> temporaries(const std::string& sub = ".") const;
};

}  // namespace kesto_test

#endif

#include "cli_runner.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include <gtest/gtest.h>

namespace kesto_test {

namespace {

// Resolved once, before any test changes into its scratch directory, so a
// relative KESTO_PROGRAM still names the same file.
const std::string program_path = [] {
  const char* env = std::getenv("KESTO_PROGRAM");
  const std::string program = env != nullptr && *env != '\0' ? env : KESTO_DEFAULT_PROGRAM;
  return std::filesystem::absolute(program).string();
}();

std::string runner() {
  const char* env = std::getenv("KESTO_RUNNER");
  return env != nullptr ? env : "";
}

std::string read_all(std::FILE* f) {
  std::rewind(f);
  std::string data;
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;) data.append(buffer, n);
  return data;
}

std::string without_carriage_returns(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) out += text[i];
  }
  return out;
}

// Child side: never returns. Output goes to two anonymous temporary files,
// read by the parent once the child has ended, so nothing can block.
[[noreturn]] void exec_child(const std::vector<std::string>& words, const std::string& cwd,
                             std::FILE* out, std::FILE* err) {
  const int null_fd = open("/dev/null", O_RDONLY);
  if (null_fd < 0 || dup2(null_fd, 0) < 0 || dup2(fileno(out), 1) < 0 ||
      dup2(fileno(err), 2) < 0 || chdir(cwd.c_str()) != 0) {
    _exit(127);
  }
  std::vector<char*> argv;
  for (const std::string& w : words) argv.push_back(const_cast<char*>(w.c_str()));
  argv.push_back(nullptr);
  execvp(argv[0], argv.data());
  _exit(127);
}

}  // namespace

bool under_runner() { return !runner().empty(); }

run_result run_kesto(const std::vector<std::string>& args, const std::string& cwd) {
  std::vector<std::string> words;
  if (under_runner()) words.push_back(runner());
  words.push_back(program_path);
  words.insert(words.end(), args.begin(), args.end());

  run_result result;
  std::FILE* out = std::tmpfile();
  std::FILE* err = std::tmpfile();
  if (out == nullptr || err == nullptr) return result;
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) exec_child(words, cwd, out, err);
  int wait_status = 0;
  if (pid > 0 && waitpid(pid, &wait_status, 0) == pid && WIFEXITED(wait_status)) {
    result.code = WEXITSTATUS(wait_status);
  }
  result.out = read_all(out);
  result.err = read_all(err);
  std::fclose(out);
  std::fclose(err);
  if (under_runner()) result.out = without_carriage_returns(result.out);
  return result;
}

run_result cli_test::run(const std::vector<std::string>& args, const std::string& cwd) {
  run_result result = run_kesto(args, cwd);
  if (!under_runner()) {
    EXPECT_EQ(result.err, "");
  }
  return result;
}

std::vector<std::string> cli_test::temporaries(const std::string& sub) const {
  std::vector<std::string> found;
  for (const std::string& name : listing(sub)) {
    if (name.rfind(".kesto-", 0) == 0) found.push_back(name);
  }
  return found;
}

}  // namespace kesto_test

#include "cli_runner.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>

#include <gtest/gtest.h>

namespace kesto_test {

namespace {

namespace fs = std::filesystem;

constexpr uid_t nobody = 65534;

// Resolved once, before any test changes into its scratch directory, so a
// relative KESTO_PROGRAM still names the same file.
const std::string program_path = [] {
  const char* env = std::getenv("KESTO_PROGRAM");
  const std::string program = env != nullptr && *env != '\0' ? env : KESTO_DEFAULT_PROGRAM;
  return fs::absolute(program).string();
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

// kesto.exe under Wine sees the read-only attribute whoever runs it, and
// Wine's prefix belongs to the user running the tests.
bool as_nobody(const run_options& options) {
  return options.unprivileged && ::geteuid() == 0 && !under_runner();
}

// Gives the current directory's tree to nobody, so that a run as nobody may
// work in it as in its own.
void give_tree_to_nobody() {
  ::lchown(".", nobody, nobody);
  for (const auto& e : fs::recursive_directory_iterator(".")) {
    ::lchown(e.path().c_str(), nobody, nobody);
  }
}

// A copy of the program that nobody may run: the build tree may lie where
// only its owner can reach (under /root, say). Made once, removed at exit.
const std::string& program_for_nobody() {
  static const std::string copy = [] {
    std::string dir = (fs::temp_directory_path() / "kesto-program-XXXXXX").string();
    if (::mkdtemp(dir.data()) == nullptr) return program_path;
    static const std::string to_remove = dir;
    std::atexit([] { fs::remove_all(to_remove); });
    const fs::path program = fs::path(dir) / "kesto";
    fs::copy_file(program_path, program);
    fs::permissions(dir, fs::perms::owner_all | fs::perms::others_read | fs::perms::others_exec);
    return program.string();
  }();
  return copy;
}

// The standard output the options ask for, as a descriptor; -1 to capture.
int output_descriptor(const run_options& options) {
  if (options.out_to.empty()) return -1;
  if (options.out_to != "|closed") return ::open(options.out_to.c_str(), O_WRONLY);
  int ends[2];
  if (::pipe(ends) != 0) return -1;
  ::close(ends[0]);
  return ends[1];
}

// Child side: never returns. Output goes to two anonymous temporary files,
// read by the parent once the child has ended, so nothing can block.
[[noreturn]] void exec_child(const std::vector<std::string>& words, const run_options& options,
                             int out, int err) {
  const int in = ::open("/dev/null", O_RDONLY);
  if (in < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) _exit(127);
  // The program starts as from a shell, whatever this process ignores
  // (nohup, a closed pipe).
  for (int sig : {SIGHUP, SIGINT, SIGTERM, SIGPIPE, SIGXFSZ}) std::signal(sig, SIG_DFL);
  // LeakSanitizer cannot run under a tracer: a sanitizer build run by
  // strace would report that instead of leaks.
  if (!options.prefix.empty()) {
    const char* asan = std::getenv("ASAN_OPTIONS");
    ::setenv("ASAN_OPTIONS", (std::string(asan != nullptr ? asan : "") + ":detect_leaks=0").c_str(), 1);
  }
  const rlimit size_limit = {options.file_size_limit, options.file_size_limit};
  if (options.file_size_limit != 0 && ::setrlimit(RLIMIT_FSIZE, &size_limit) != 0) _exit(127);
  if (as_nobody(options) &&
      (::setgroups(0, nullptr) != 0 || ::setgid(nobody) != 0 || ::setuid(nobody) != 0)) {
    _exit(127);  // fails the test rather than running it with privileges
  }
  std::vector<char*> argv;
  for (const std::string& w : words) argv.push_back(const_cast<char*>(w.c_str()));
  argv.push_back(nullptr);
  execvp(argv[0], argv.data());
  _exit(127);
}

pid_t spawn(const std::vector<std::string>& args, const run_options& options, std::FILE* out,
            std::FILE* err) {
  std::vector<std::string> words;
  if (under_runner() && !options.native) words.push_back(runner());
  words.insert(words.end(), options.prefix.begin(), options.prefix.end());
  words.push_back(options.native   ? KESTO_DEFAULT_PROGRAM
                  : as_nobody(options) ? program_for_nobody()
                                     : program_path);
  words.insert(words.end(), args.begin(), args.end());
  if (as_nobody(options)) give_tree_to_nobody();
  const int out_fd = output_descriptor(options);
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) exec_child(words, options, out_fd >= 0 ? out_fd : fileno(out), fileno(err));
  if (out_fd >= 0) ::close(out_fd);
  return pid;
}

// True once pid has ended; it is not reaped, so that its status can still be
// collected.
bool has_ended(pid_t pid) {
  siginfo_t ended{};
  return ::waitid(P_PID, static_cast<id_t>(pid), &ended, WEXITED | WNOHANG | WNOWAIT) != 0 ||
         ended.si_pid != 0;
}

run_result collect(pid_t pid, std::FILE* out, std::FILE* err) {
  run_result result;
  int wait_status = 0;
  if (pid > 0 && waitpid(pid, &wait_status, 0) == pid) {
    if (WIFEXITED(wait_status)) result.code = WEXITSTATUS(wait_status);
    if (WIFSIGNALED(wait_status)) result.signal = WTERMSIG(wait_status);
  }
  result.out = read_all(out);
  result.err = read_all(err);
  std::fclose(out);
  std::fclose(err);
  if (under_runner()) result.out = without_carriage_returns(result.out);
  return result;
}

// The first child of process pid, or -1.
pid_t child_of(pid_t pid) {
  std::ifstream children("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
  pid_t child = -1;
  return children >> child ? child : -1;
}

}  // namespace

bool under_runner() { return !runner().empty(); }

run_options held_at(const std::string& calls, const std::string& path, bool after_the_call) {
  run_options options;
  const std::string delay = after_the_call ? ":delay_exit=2000000" : ":delay_enter=2000000";
  options.prefix = {"strace", "-qq", "-e", "trace=" + calls, "-e", "inject=" + calls + delay + ":when=1"};
  if (!path.empty()) options.prefix.insert(options.prefix.end(), {"-P", path});
  options.prefix.push_back("--");
  return options;
}

bool can_trace() {
  static const bool can = std::system("strace -qq -o /dev/null true >/dev/null 2>&1") == 0;
  return can;
}

run_result run_kesto(const std::vector<std::string>& args, const run_options& options) {
  std::FILE* out = std::tmpfile();
  std::FILE* err = std::tmpfile();
  if (out == nullptr || err == nullptr) return {};
  if (options.out_to != on_terminal().out_to) return collect(spawn(args, options, out, err), out, err);
  // A pseudo-terminal: the program writes to its other side, which the
  // terminal's line discipline turns "\n" into "\r\n" on.
  const int terminal = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (terminal < 0 || ::grantpt(terminal) != 0 || ::unlockpt(terminal) != 0) return {};
  run_options through = options;
  through.out_to = ::ptsname(terminal);
  run_result result = collect(spawn(args, through, out, err), out, err);
  char buf[4096];
  for (ssize_t n; (n = ::read(terminal, buf, sizeof buf)) > 0;) result.out.append(buf, static_cast<std::size_t>(n));
  ::close(terminal);
  return result;
}

std::string without_progress(const std::string& terminal_output) {
  std::string lines = std::regex_replace(terminal_output, std::regex("\r\\[[^\r\n]*"), "");
  lines = std::regex_replace(lines, std::regex("\r[ \r]*\r"), "");
  return std::regex_replace(lines, std::regex("\r\n"), "\n");
}

started_run::started_run(const std::vector<std::string>& args, const run_options& options)
    : out_(std::tmpfile()), err_(std::tmpfile()) {
  const bool reads_fifo = std::find(args.begin(), args.end(), input_fifo) != args.end();
  if (out_ == nullptr || err_ == nullptr || (reads_fifo && ::mkfifo(input_fifo, 0666) != 0)) return;
  // Opened read-write, so neither side waits for the other to open it.
  if (reads_fifo) input_ = ::open(input_fifo, O_RDWR | O_NONBLOCK | O_CLOEXEC);
  pid_ = spawn(args, options, out_, err_);
}

started_run::~started_run() {
  if (out_ == nullptr) return;
  if (pid_ > 0) send(SIGKILL);
  wait();
}

bool started_run::feed(const bytes& data) {
  std::size_t done = 0;
  while (input_ >= 0 && done < data.size()) {
    const ssize_t n = ::write(input_, data.data() + done, data.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    // Full: wait for the program to read, unless it has ended.
    if (errno != EAGAIN || has_ended(pid_)) break;
    struct pollfd writable = {input_, POLLOUT, 0};
    ::poll(&writable, 1, 100);
  }
  return done == data.size();
}

void started_run::end_input() {
  if (input_ >= 0) ::close(input_);
  input_ = -1;
}

void started_run::send(int sig) {
  // A run that never started has no process: kill(-1) would signal every
  // process this user may signal.
  if (pid_ <= 0) return;
  ::kill(pid_, sig);
  for (int waited = 0; waited < 600 && !has_ended(pid_); ++waited) ::usleep(100000);
}

pid_t started_run::wait_until_held() {
  for (int waited = 0; waited < 1000 && pid_ > 0 && !has_ended(pid_); ++waited) {
    // strace's report begins with the call ("openat(..."); read from the
    // start, as the program shares the stream's position.
    char report[4096];
    const ssize_t n = ::pread(fileno(err_), report, sizeof report, 0);
    if (n > 0 && std::memchr(report, '(', static_cast<std::size_t>(n)) != nullptr) return child_of(pid_);
    ::usleep(10000);
  }
  return -1;
}

run_result started_run::wait() {
  end_input();
  const run_result result = collect(std::exchange(pid_, -1), out_, err_);
  out_ = err_ = nullptr;
  return result;
}

run_result cli_test::run(const std::vector<std::string>& args, const run_options& options) {
  run_result result = run_kesto(args, options);
  if (!under_runner() || options.native) {
    EXPECT_EQ(result.err, "");
    return result;
  }
  for (int retry = 0; retry < 2 && result.out.empty() && options.out_to.empty(); ++retry) {
    std::fprintf(stderr, "the runner gave no output (code %d), trying again: %s\n", result.code,
                 result.err.c_str());
    result = run_kesto(args, options);
  }
  if (!result.err.empty()) {
    runner_errors_ += testing::PrintToString(args) + ":\n" + result.err + "\n";
  }
  return result;
}

void cli_test::TearDown() {
  if (HasFailure() && !runner_errors_.empty()) {
    std::fprintf(stderr, "standard error of the runs:\n%s", runner_errors_.c_str());
  }
  scratch_dir_test::TearDown();
}

std::vector<std::string> cli_test::temporaries(const std::string& sub) const {
  std::vector<std::string> found;
  for (const std::string& name : listing(sub)) {
    if (name.rfind(".kesto-", 0) == 0) found.push_back(name);
  }
  return found;
}

}  // namespace kesto_test

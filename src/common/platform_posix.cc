// POSIX side of the platform layer, with Linux's unnamed files where the
// system has them.
#include <fcntl.h>
#include <limits.h>
#include <strings.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <vector>

#include "common/chunk_copy.h"
#include "common/path.h"
#include "common/platform.h"

namespace kesto {

std::vector<std::string> command_line_words(int argc, char** argv) {
  return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
}

// Names are bytes: no byte is part of another.
std::size_t character_size(std::string_view) { return 1; }

bool get_current_directory(std::string* dir) {
  std::vector<char> buf(256);
  for (;;) {
    if (::getcwd(buf.data(), buf.size()) != nullptr) {
      dir->assign(buf.data());
      return true;
    }
    if (errno != ERANGE || buf.size() >= (1u << 20)) return false;
    buf.resize(buf.size() * 2);
  }
}

bool make_directory(const char* path) { return ::mkdir(path, 0777) == 0; }

bool change_directory(const char* path) { return ::chdir(path) == 0; }

bool is_directory(const char* path) {
  struct stat st;
  return ::stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

int compare_ignoring_case(const char* a, const char* b) { return ::strcasecmp(a, b); }

bool is_reserved_file_name(const char*) { return false; }

std::string file_name_as_stored(std::string_view name) { return std::string(name); }

bool fill_random(void* buf, std::size_t n) {
  auto* p = static_cast<unsigned char*>(buf);
  while (n > 0) {
    const ssize_t got = ::getrandom(p, n, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    p += got;
    n -= static_cast<std::size_t>(got);
  }
  return true;
}

// lstat: a symbolic link is judged as the link it is, never by its target.
existing_file inspect_existing_file(const char* path, std::FILE* stream) {
  existing_file found;
  struct stat st;
  if (::lstat(path, &st) != 0) return found;  // the usual case: a new name
  if (S_ISDIR(st.st_mode)) {
    found.kind = file_kind::directory;
  } else if (S_ISLNK(st.st_mode)) {
    found.kind = file_kind::symbolic_link;
  } else if (!S_ISREG(st.st_mode)) {
    found.kind = file_kind::special;
  } else {
    found.kind = file_kind::regular;
    found.read_only = ::access(path, W_OK) != 0;
    // The set-id bits are left out: a rewrite in place would clear them.
    found.permissions = static_cast<unsigned>(st.st_mode & 0777);
    struct stat open_st;
    found.is_open_stream = stream != nullptr && ::fstat(::fileno(stream), &open_st) == 0 &&
                           open_st.st_dev == st.st_dev && open_st.st_ino == st.st_ino;
  }
  return found;
}

bool resolve_symbolic_links(std::string* path) {
  std::vector<char> target(PATH_MAX);
  for (int hops = 0; hops < 40; ++hops) {
    const ssize_t n = ::readlink(path->c_str(), target.data(), target.size());
    if (n <= 0) return true;  // not a link (or nothing there): the chain ends here
    const std::string_view text(target.data(), static_cast<std::size_t>(n));
    // A relative link is read from the directory that holds it.
    const std::size_t slash = path->find_last_of('/');
    if (text.front() == '/' || slash == std::string::npos) {
      path->assign(text);
    } else {
      path->resize(slash + 1);
      path->append(text);
    }
  }
  return false;
}

regular_file open_regular_file(const char* path, file_handle* file) {
  const int fd = ::open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return regular_file::missing;
    // O_NOFOLLOW refuses a link with ELOOP (EMLINK on some systems).
    return errno == ELOOP || errno == EMLINK ? regular_file::not_regular : regular_file::failed;
  }
  struct stat st;
  const bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  // O_NONBLOCK only kept a FIFO from blocking the open: it does nothing to
  // a regular file's reads.
  std::FILE* f = regular ? ::fdopen(fd, "rb") : nullptr;
  if (f == nullptr) {
    ::close(fd);
    return regular ? regular_file::failed : regular_file::not_regular;
  }
  use_chunks_unbuffered(f);
  *file = file_handle(f);
  return regular_file::opened;
}

std::FILE* open_special_file(const char* path) {
  // Read-write: a FIFO opens at once, with or without a reader; without
  // O_CREAT and O_TRUNC nothing is made or cut.
  const int fd = ::open(path, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  std::FILE* f = ::fdopen(fd, "r+b");
  if (f == nullptr) ::close(fd);
  return f;
}

bool set_stream_size(std::FILE* stream, std::uint64_t size) {
  if (std::fflush(stream) != 0) return false;
  const int fd = ::fileno(stream);
  struct stat st;
  if (::fstat(fd, &st) != 0) return false;
  return !S_ISREG(st.st_mode) || ::ftruncate(fd, static_cast<off_t>(size)) == 0;
}

namespace {

// Interrupt cleanup. The name of the temporary file in flight, when it has
// one; the handler reads it only while pending_set is 1, and it is written
// only while that is 0. A name is recorded just before the file takes it
// and cleared once it is gone or final, so that no moment leaves a file the
// handler does not know; the names are random, so one that another file
// took first is no risk.
char pending_path[PATH_MAX + 32];
volatile std::sig_atomic_t pending_set = 0;
constexpr int cleanup_signals[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};

void set_pending(const std::string& path) {
  pending_set = 0;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  if (path.size() >= sizeof pending_path) return;
  std::memcpy(pending_path, path.c_str(), path.size() + 1);
  std::atomic_signal_fence(std::memory_order_seq_cst);
  pending_set = 1;
}

void clear_pending() {
  pending_set = 0;
  std::atomic_signal_fence(std::memory_order_seq_cst);
}

extern "C" void remove_pending_and_end(int sig) {
  if (pending_set) ::unlink(pending_path);
  // The handler was installed with SA_RESETHAND and SA_NODEFER: the signal
  // now takes its default action at once.
  ::raise(sig);
}

// Bits of a new file: what open(..., 0666) would have given it.
mode_t default_permissions() {
  static const mode_t bits = [] {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return static_cast<mode_t>(0666 & ~mask);
  }();
  return bits;
}

// How an unnamed file gets a name: linkat with AT_EMPTY_PATH needs a
// capability that ordinary users lack on many kernels; the /proc form
// works for everyone where /proc is mounted. Found out once per process.
enum class link_method { unknown, empty_path, proc_fd, none };
link_method method = link_method::unknown;

bool link_descriptor(int fd, const char* target, link_method how) {
  if (how == link_method::empty_path) {
    return ::linkat(fd, "", AT_FDCWD, target, AT_EMPTY_PATH) == 0;
  }
  char proc[40];
  std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd);
  return ::linkat(AT_FDCWD, proc, AT_FDCWD, target, AT_SYMLINK_FOLLOW) == 0;
}

int open_unnamed(const std::string& dir) {
  return ::open(dir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
}

// Links fd under a fresh temporary name in dir_prefix and stores the name,
// which the interrupt handler knows from before the link until the caller
// clears it.
bool link_under_temporary_name(int fd, std::string_view dir_prefix, link_method how,
                               std::string* path) {
  return try_temporary_names(dir_prefix, path, [&](const std::string& candidate) {
    set_pending(candidate);
    if (link_descriptor(fd, candidate.c_str(), how)) return name_attempt::made;
    clear_pending();
    return errno == EEXIST ? name_attempt::taken : name_attempt::failed;
  });
}

// Finds a way to name unnamed files in dir, trying each on an empty one.
link_method find_link_method(const std::string& dir, std::string_view dir_prefix) {
  const int probe = open_unnamed(dir);
  if (probe < 0) return link_method::unknown;  // refused here; another file system may allow it
  link_method found = link_method::none;
  for (link_method how : {link_method::empty_path, link_method::proc_fd}) {
    std::string path;
    if (link_under_temporary_name(probe, dir_prefix, how, &path)) {
      ::unlink(path.c_str());
      clear_pending();
      found = how;
      break;
    }
  }
  ::close(probe);
  return found;
}

}  // namespace

bool temporary_file::open(std::string_view dir_prefix, bool named) {
  discard();
  const std::string dir = dir_prefix.empty() ? "." : std::string(dir_prefix);
  if (!named && method == link_method::unknown) method = find_link_method(dir, dir_prefix);
  int fd = -1;
  if (!named && method != link_method::none && method != link_method::unknown) {
    fd = open_unnamed(dir);
  }
  if (fd < 0 && !try_temporary_names(dir_prefix, &path_, [&fd](const std::string& candidate) {
        // Known to the interrupt handler before the file exists.
        set_pending(candidate);
        fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0) return name_attempt::made;
        clear_pending();
        return errno == EEXIST ? name_attempt::taken : name_attempt::failed;
      })) {
    path_.clear();
    return false;
  }
  std::FILE* f = ::fdopen(fd, "wb");
  if (f == nullptr) {
    ::close(fd);
    discard();
    return false;
  }
  // New archives and entry files take their data in whole chunks.
  use_chunks_unbuffered(f);
  stream_ = file_handle(f);
  return true;
}

// The stream stays open until the file has its name: an unnamed file is
// named through its descriptor. Every byte is written out first. A named
// temporary file is closed before the rename, and that close is checked too;
// the file systems that have unnamed files are local ones, whose close
// reports nothing that the flush did not.
temporary_file::commit_result temporary_file::commit(const char* target, const existing_file& old) {
  std::FILE* f = stream_.get();
  if (f == nullptr || std::fflush(f) != 0 || std::ferror(f)) {
    discard();
    return commit_result::lost_data;
  }
  const int fd = ::fileno(f);
  const mode_t bits =
      old.kind == file_kind::regular ? static_cast<mode_t>(old.permissions) : default_permissions();
  bool named = ::fchmod(fd, bits) == 0;
  if (named && !path_.empty()) {
    if (!stream_.close()) {
      discard();
      return commit_result::lost_data;
    }
    named = ::rename(path_.c_str(), target) == 0;
    if (named) {
      path_.clear();
      clear_pending();
    }
  } else if (named && old.kind == file_kind::none) {
    // A new name: linked straight to it, and refused if it appeared meanwhile.
    named = link_descriptor(fd, target, method);
  } else if (named) {
    // Replacing: linked under a temporary name, known to the interrupt
    // handler, then renamed over the old file in one step.
    std::string link_path;
    named = link_under_temporary_name(fd, directory_prefix(target), method, &link_path);
    if (named && ::rename(link_path.c_str(), target) != 0) {
      ::unlink(link_path.c_str());
      named = false;
    }
    clear_pending();
  }
  discard();
  return named ? commit_result::committed : commit_result::not_named;
}

void temporary_file::discard() {
  stream_.close();
  if (!path_.empty()) {
    ::unlink(path_.c_str());
    clear_pending();
    path_.clear();
  }
}

void install_interrupt_cleanup() {
  struct sigaction action {};
  action.sa_handler = remove_pending_and_end;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESETHAND | SA_NODEFER;
  for (int sig : cleanup_signals) {
    struct sigaction previous {};
    // A signal the caller chose to ignore (nohup, an ignored SIGPIPE) stays
    // ignored: then a closed output is an output error, not the end.
    if (::sigaction(sig, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN) continue;
    ::sigaction(sig, &action, nullptr);
  }
}

}  // namespace kesto

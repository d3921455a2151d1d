// POSIX side of the platform layer, with Linux's unnamed files where the
// system has them.
#include <dirent.h>
#include <fcntl.h>
#include <iconv.h>
#include <limits.h>
#include <strings.h>
#include <sched.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "common/chunk_copy.h"
#include "common/code_page.h"
#include "common/path.h"
#include "common/platform.h"

namespace kesto {

std::vector<std::string> command_line_words(int argc, char** argv, const expansion_rule&) {
  return std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc);
}

void use_binary_mode(std::FILE*) {}

bool is_closed_pipe(std::FILE*, int error) { return error == EPIPE; }

namespace {

// The code page chosen for stored names (use_name_code_page): set once by
// the front end before any routine runs, read-only afterwards.
struct {
  unsigned code_page = 0;
  char charset[16] = "";  // its name for iconv
  bool lead[256] = {};    // the bytes that start a double-byte character
} names;

enum class conversion { exact, refused, failed };

// in converted from charset from to charset to, with nothing replaced or
// dropped: an invalid or incomplete sequence, or a character with no form
// in to, refuses the whole text. A descriptor is opened for each text, so
// that threads never share one.
conversion convert(const char* to, const char* from, std::string_view in, std::string* out) {
  out->clear();
  iconv_t cd = ::iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return conversion::failed;
  char* src = const_cast<char*>(in.data());
  std::size_t left = in.size();
  conversion result = conversion::exact;
  char buf[256];
  for (bool flushed = false; !flushed;) {
    char* dst = buf;
    std::size_t room = sizeof buf;
    // A last call without input ends a stateful encoding's shift sequence.
    const std::size_t r = left > 0 ? ::iconv(cd, &src, &left, &dst, &room)
                                   : ::iconv(cd, nullptr, nullptr, &dst, &room);
    out->append(buf, static_cast<std::size_t>(dst - buf));
    if (r == static_cast<std::size_t>(-1)) {
      if (errno == E2BIG) continue;
      result = conversion::refused;
      break;
    }
    // glibc counts the characters it replaced instead of refusing them.
    if (r != 0) {
      result = conversion::refused;
      break;
    }
    flushed = left == 0 && dst == buf;
  }
  ::iconv_close(cd);
  return result;
}

// in converted to one side and back must give in again: code pages with two
// forms of one character (code page 932 has several) must not turn a name
// into another.
bool convert_exactly(const char* to, const char* from, std::string_view in, std::string* out) {
  std::string back;
  return convert(to, from, in, out) == conversion::exact &&
         convert(from, to, *out, &back) == conversion::exact && back == in;
}

}  // namespace

bool use_name_code_page(unsigned code_page) {
  if (code_page == 0) {
    names.code_page = 0;
    return true;
  }
  if (!is_accepted_code_page(code_page)) return false;
  char charset[sizeof names.charset];
  if (code_page == utf8_code_page) {
    std::snprintf(charset, sizeof charset, "UTF-8");
  } else {
    std::snprintf(charset, sizeof charset, "CP%u", code_page);
  }
  iconv_t cd = ::iconv_open("UTF-8", charset);
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  ::iconv_close(cd);
  bool lead[256] = {};
  // A byte that iconv calls an incomplete sequence alone starts a
  // double-byte character.
  for (unsigned b = 0x80; b < 256 && code_page != utf8_code_page; ++b) {
    const char byte = static_cast<char>(b);
    iconv_t one = ::iconv_open("UTF-8", charset);
    char* src = const_cast<char*>(&byte);
    std::size_t left = 1;
    char buf[8];
    char* dst = buf;
    std::size_t room = sizeof buf;
    lead[b] =
        ::iconv(one, &src, &left, &dst, &room) == static_cast<std::size_t>(-1) && errno == EINVAL;
    ::iconv_close(one);
  }
  names.code_page = code_page;
  std::memcpy(names.charset, charset, sizeof charset);
  std::memcpy(names.lead, lead, sizeof lead);
  return true;
}

unsigned name_code_page() { return names.code_page; }

bool stored_to_file_name(std::string_view stored, std::string* file) {
  if (names.code_page == 0) {
    file->assign(stored);
    return true;
  }
  return convert_exactly("UTF-8", names.charset, stored, file);
}

bool file_to_stored_name(std::string_view file, std::string* stored) {
  if (names.code_page == 0) {
    stored->assign(file);
    return true;
  }
  return convert_exactly(names.charset, "UTF-8", file, stored);
}

bool name_to_utf8(std::string_view name, std::string* utf8) {
  return names.code_page != 0 && stored_to_file_name(name, utf8);
}

// Names are bytes: no byte is part of another.
std::size_t character_size(std::string_view) { return 1; }

std::size_t stored_character_size(std::string_view text) {
  if (names.code_page == 0) return character_size(text);
  return multibyte_character_size(text, names.code_page, names.lead);
}

// A terminal on these systems shows UTF-8.
std::string e_grave_for(std::FILE* stream) { return is_terminal(stream) ? "\xC3\xA8" : "\x8A"; }

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

unsigned usable_cores() {
#if defined(__linux__)
  cpu_set_t allowed;
  if (::sched_getaffinity(0, sizeof allowed, &allowed) == 0) {
    return static_cast<unsigned>(CPU_COUNT(&allowed));
  }
#endif
  return std::thread::hardware_concurrency();
}

bool is_terminal(std::FILE* stream) { return ::isatty(::fileno(stream)) == 1; }

std::FILE* open_for_reading(const char* path) { return std::fopen(path, "rb"); }

// A terminal here takes UTF-8 as it is.
bool send_utf8_to_console(std::FILE*) { return false; }
void finish_console_text() {}

std::uint64_t regular_file_size(const char* path) {
  struct stat st;
  if (::stat(path, &st) != 0 || !S_ISREG(st.st_mode)) return UINT64_MAX;
  return static_cast<std::uint64_t>(st.st_size);
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

namespace {

// Bits of a new file: what open(..., 0666) would have given it.
mode_t default_permissions() {
  static const mode_t bits = [] {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return static_cast<mode_t>(0666 & ~mask);
  }();
  return bits;
}

bool is_same_file(const struct stat& st, std::uint64_t device, std::uint64_t inode) {
  return static_cast<std::uint64_t>(st.st_dev) == device &&
         static_cast<std::uint64_t>(st.st_ino) == inode;
}

// True when st is the regular file or symbolic link that old describes. Its
// kind is compared too: a FIFO made after the file was deleted may reuse
// its inode number.
bool is_inspected(const struct stat& st, const existing_file& old) {
  const bool same_kind = old.kind == file_kind::regular ? S_ISREG(st.st_mode) : S_ISLNK(st.st_mode);
  return same_kind && is_same_file(st, old.device, old.inode);
}

}  // namespace

// lstat: a symbolic link is judged as the link it is, never by its target.
existing_file inspect_existing_file(const char* path, std::FILE* stream) {
  existing_file found;
  struct stat st;
  if (::lstat(path, &st) != 0) return found;  // the usual case: a new name
  found.device = static_cast<std::uint64_t>(st.st_dev);
  found.inode = static_cast<std::uint64_t>(st.st_ino);
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
    // Another user's bits are not taken over: root would otherwise give its
    // new file the world-writable bits of a file someone else planted.
    static const uid_t user = ::geteuid();
    found.permissions =
        static_cast<unsigned>(st.st_uid == user ? st.st_mode & 0777 : default_permissions());
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

namespace {

void identity_of(const struct stat& st, file_identity* id) {
  id->device = static_cast<std::uint64_t>(st.st_dev);
  id->inode = static_cast<std::uint64_t>(st.st_ino);
  id->size = static_cast<std::uint64_t>(st.st_size);
  const auto stamp = [](const struct timespec& t) {
    return static_cast<std::uint64_t>(t.tv_sec) * 1000000000u +
           static_cast<std::uint64_t>(t.tv_nsec);
  };
  id->modified = stamp(st.st_mtim);
  id->changed = stamp(st.st_ctim);
}

}  // namespace

bool identify_file(std::FILE* stream, file_identity* id) {
  struct stat st;
  if (::fstat(::fileno(stream), &st) != 0) return false;
  identity_of(st, id);
  return true;
}

bool seek_to_end(std::FILE* stream, std::uint64_t* size) {
  if (::fseeko(stream, 0, SEEK_END) != 0) return false;
  const off_t end = ::ftello(stream);
  if (end < 0) return false;
  *size = static_cast<std::uint64_t>(end);
  return true;
}

namespace {

// The stream over fd, the result of opening a name to read it, when it is a
// regular file; fd is closed otherwise.
regular_file regular_file_of(int fd, file_handle* file, file_identity* id = nullptr) {
  if (fd < 0) {
    if (errno == ENOENT) return regular_file::missing;
    // O_NOFOLLOW refuses a link with ELOOP (EMLINK on some systems).
    return errno == ELOOP || errno == EMLINK ? regular_file::not_regular : regular_file::failed;
  }
  struct stat st;
  const bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  if (regular && id != nullptr) identity_of(st, id);
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

// O_NONBLOCK keeps a FIFO from blocking the open.
constexpr int read_flags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

}  // namespace

regular_file open_regular_file(const char* path, file_handle* file, bool follow_links) {
  return regular_file_of(::open(path, read_flags | (follow_links ? 0 : O_NOFOLLOW)), file);
}

// O_PATH needs no permission on the directory itself: one that may be
// searched but not listed is usable, as it is for chdir.
bool directory_handle::open(const char* path) {
  close();
  path_ = path;
#ifdef O_PATH
  const int flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
#else
  const int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif
  const int fd = ::open(path, flags);
  handle_ = fd;
  return fd >= 0;
}

regular_file directory_handle::open_file(const char* name, file_handle* file,
                                         file_identity* id) const {
  if (handle_ < 0) return regular_file::failed;
  return regular_file_of(::openat(static_cast<int>(handle_), name, read_flags | O_NOFOLLOW), file,
                         id);
}

regular_file directory_handle::identify(const char* name, file_identity* id) const {
  if (handle_ < 0) return regular_file::failed;
  struct stat st;
  if (::fstatat(static_cast<int>(handle_), name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
    return errno == ENOENT ? regular_file::missing : regular_file::failed;
  }
  if (!S_ISREG(st.st_mode)) return regular_file::not_regular;
  identity_of(st, id);
  return regular_file::opened;
}

bool directory_handle::list_regular_files(std::vector<std::string>* names) const {
  names->clear();
  const int fd = handle_ < 0 ? -1
                             : ::openat(static_cast<int>(handle_), ".",
                                        O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* d = fd < 0 ? nullptr : ::fdopendir(fd);
  if (d == nullptr) {
    if (fd >= 0) ::close(fd);
    return false;
  }
  errno = 0;
  while (const dirent* e = ::readdir(d)) {
    // The entry's type, where the file system gives it, saves a stat.
    struct stat st;
    if (e->d_type == DT_REG ||
        (e->d_type == DT_UNKNOWN &&
         ::fstatat(::dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode))) {
      names->push_back(e->d_name);
    }
    errno = 0;
  }
  const bool complete = errno == 0;
  ::closedir(d);
  std::sort(names->begin(), names->end());
  return complete;
}

void directory_handle::close() {
  if (handle_ >= 0) ::close(static_cast<int>(handle_));
  handle_ = -1;
}

// The name may have been given to another file since it was inspected: a
// symbolic link is not followed (O_NOFOLLOW), and what opened is used only
// when it is the very device or FIFO inspected. Read-write, a FIFO opens at
// once, with or without a reader, and O_NONBLOCK keeps a device from
// waiting (a serial line for its carrier); writes block as usual afterwards.
// Without O_CREAT and O_TRUNC nothing is made or cut.
std::FILE* open_special_file(const char* path, const existing_file& inspected) {
  const int fd = ::open(path, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return nullptr;
  struct stat st;
  const int flags = ::fcntl(fd, F_GETFL);
  const bool wanted = ::fstat(fd, &st) == 0 &&
                      (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode) || S_ISFIFO(st.st_mode)) &&
                      is_same_file(st, inspected.device, inspected.inode) && flags >= 0 &&
                      ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0;
  std::FILE* f = wanted ? ::fdopen(fd, "r+b") : nullptr;
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

bool copy_inside_kernel(std::FILE* in, std::FILE* out, std::uint64_t n, std::uint64_t* copied) {
  *copied = 0;
#if defined(__linux__)
  // Explicit offsets: the streams' logical positions, which a buffer may
  // have moved away from the descriptors'; each stream is moved past the
  // copy afterwards with fseek, which also drops what it had read ahead.
  if (n == 0 || std::fflush(out) != 0) return true;
  const long in_at = std::ftell(in);
  const long out_at = std::ftell(out);
  if (in_at < 0 || out_at < 0) return true;
  // Not into the middle of a page from another place in a page: measured
  // on tmpfs, the kernel then copies at half the speed of the caller's
  // chunks through memory (a DL archive's 16-byte header puts every file
  // of -cd so). Into whole pages, or page for page, it is the fastest copy
  // there is, and the only one that may share blocks.
  constexpr long page = 4096;
  if (out_at % page != 0 && (in_at - out_at) % page != 0) return true;
  off_t in_pos = in_at;
  off_t out_pos = out_at;
  while (*copied < n) {
    const std::uint64_t left = n - *copied;
    const std::size_t most = std::size_t{1} << 30;
    const std::size_t want = left < most ? static_cast<std::size_t>(left) : most;
    const ssize_t got = ::copy_file_range(::fileno(in), &in_pos, ::fileno(out), &out_pos, want, 0);
    if (got <= 0) break;  // the end of in, or no copy here: the caller goes on
    *copied += static_cast<std::uint64_t>(got);
  }
  return *copied == 0 || (std::fseek(in, static_cast<long>(in_pos), SEEK_SET) == 0 &&
                          std::fseek(out, static_cast<long>(out_pos), SEEK_SET) == 0);
#else
  (void)in;
  (void)out;
  (void)n;
  return true;
#endif
}

namespace {

// Interrupt cleanup. What an interruption must tidy: nothing; the temporary
// file under pending.path; or, while that file trades names with the one it
// replaces, what settle_exchange decides. The handler reads only the fields
// that pending_state names, and a field is written only while the state
// does not name it. A name is recorded just before the file takes it and
// cleared once it is gone or final, so that no moment leaves a file the
// handler does not know; the names are random, so one that another file
// took first is no risk.
enum : int { nothing_pending, remove_pending, exchange_pending };
struct pending_naming {
  char path[PATH_MAX + 32];    // the temporary name
  char target[PATH_MAX + 32];  // exchange: the name it trades with
  int fd;                      // exchange: the file itself
  existing_file inspected;     // exchange: what the target held
};
pending_naming pending;
volatile std::sig_atomic_t pending_state = nothing_pending;

// While a file takes its final name, the bits it gets once it has it: an
// interruption just after the name was taken gives them (fchmod is
// async-signal-safe), so that no catchable signal leaves the file its
// owner's alone. Written only while bits_pending is 0.
struct pending_bits {
  char target[PATH_MAX + 32];
  int fd;
  mode_t bits;
};
pending_bits naming_bits;
volatile std::sig_atomic_t bits_pending = 0;

void set_state(int state) {
  std::atomic_signal_fence(std::memory_order_seq_cst);
  pending_state = state;
  std::atomic_signal_fence(std::memory_order_seq_cst);
}

void set_pending(const std::string& path) {
  set_state(nothing_pending);
  if (path.size() >= sizeof pending.path) return;
  std::memcpy(pending.path, path.c_str(), path.size() + 1);
  set_state(remove_pending);
}

void clear_pending() { set_state(nothing_pending); }

// From here on an interruption settles an exchange of the temporary name
// with target (which may or may not have taken place yet).
void set_exchanging(const char* target, int fd, const existing_file& old) {
  const std::size_t n = std::strlen(target);
  if (pending_state != remove_pending || n >= sizeof pending.target) return;
  std::memcpy(pending.target, target, n + 1);
  pending.fd = fd;
  pending.inspected = old;
  set_state(exchange_pending);
}

// True when name is the file st describes (not following a link).
bool holds(const char* name, const struct stat& st) {
  struct stat now;
  return ::lstat(name, &now) == 0 && is_same_file(now, st.st_dev, st.st_ino);
}

// What tmp holds after it may have traded names with target (RENAME_EXCHANGE)
// decides, so that only the inspected file (old) is ever replaced:
// that file is removed, and ours keeps the target name; our own file (no
// exchange took place) is removed; anything else was put at target by
// someone else meanwhile and goes back there, and ours is removed. True
// when ours has the name. Only async-signal-safe calls: the interrupt
// handler settles an exchange it interrupts with it too.
bool settle_exchange(const char* tmp, const char* target, int fd, const existing_file& old) {
  struct stat at_tmp;
  if (::lstat(tmp, &at_tmp) != 0) return false;
  if (is_inspected(at_tmp, old)) {
    ::unlink(tmp);
    return true;
  }
  struct stat ours;
  if (::fstat(fd, &ours) != 0) return false;
  const bool someone_elses = !is_same_file(at_tmp, ours.st_dev, ours.st_ino);
  if (someone_elses &&
      (::renameat2(AT_FDCWD, tmp, AT_FDCWD, target, RENAME_EXCHANGE) != 0 || !holds(tmp, ours))) {
    return false;
  }
  ::unlink(tmp);
  return false;
}

// A signal handler may call only async-signal-safe functions: the ones
// above, unlink and raise qualify.
extern "C" void remove_pending_and_end(int sig) {
  if (pending_state == remove_pending) {
    ::unlink(pending.path);
  } else if (pending_state == exchange_pending) {
    settle_exchange(pending.path, pending.target, pending.fd, pending.inspected);
  }
  if (bits_pending != 0) {
    struct stat ours;
    if (::fstat(naming_bits.fd, &ours) == 0 && holds(naming_bits.target, ours)) {
      ::fchmod(naming_bits.fd, naming_bits.bits);
    }
  }
  // The handler was installed with SA_RESETHAND and SA_NODEFER: the signal
  // now takes its default action at once.
  ::raise(sig);
}

// True when renameat2 failed because the kernel or the file system lacks
// the flag asked for: then a plain rename after a second look stands in.
bool flag_unsupported() { return errno == EINVAL || errno == ENOSYS; }

// Gives the file under tmp (ours, open as fd) the name target in place of
// the file old found there: by exchanging the two names and looking at what
// came back (settle_exchange), else by a second look just before a rename,
// which leaves a short window open (best effort). tmp is gone afterwards.
bool replace_inspected(const char* tmp, const char* target, int fd, const existing_file& old) {
  set_exchanging(target, fd, old);
  if (::renameat2(AT_FDCWD, tmp, AT_FDCWD, target, RENAME_EXCHANGE) == 0) {
    return settle_exchange(tmp, target, fd, old);
  }
  const bool unsupported = flag_unsupported();
  if (pending_state == exchange_pending) set_state(remove_pending);  // tmp is still ours
  struct stat now;
  if (unsupported && ::lstat(target, &now) == 0 && is_inspected(now, old) &&
      ::rename(tmp, target) == 0) {
    return true;
  }
  ::unlink(tmp);
  return false;
}

// Gives the named file under tmp the name target, which was free when it was
// looked at, unless something has taken it meanwhile.
bool take_free_name(const char* tmp, const char* target) {
  if (::renameat2(AT_FDCWD, tmp, AT_FDCWD, target, RENAME_NOREPLACE) == 0) return true;
  if (!flag_unsupported()) return false;
  struct stat now;
  return ::lstat(target, &now) != 0 && errno == ENOENT && ::rename(tmp, target) == 0;
}

// Every signal whose default action ends the process, but for those that
// report a fault of the program itself: a crash stays reported (to a
// debugger, a sanitizer, a core file) as it happened. The real-time signals
// are added when the handler is installed.
constexpr int cleanup_signals[] = {SIGHUP,  SIGINT,    SIGQUIT, SIGPIPE, SIGALRM,
                                   SIGTERM, SIGUSR1,   SIGUSR2, SIGXCPU, SIGVTALRM,
                                   SIGPROF, SIGIO,     SIGPWR,  SIGSTKFLT};

// A signal the caller chose to ignore (nohup, an ignored SIGPIPE) stays
// ignored: then a closed output is an output error, not the end.
void install_cleanup(int sig, const struct sigaction& action) {
  struct sigaction previous {};
  if (::sigaction(sig, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN) return;
  ::sigaction(sig, &action, nullptr);
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

// Finds a way to name the unnamed file fd in dir_prefix without giving it a
// name: each way is tried with the directory itself ("dir/.") as the new
// name, which the kernel refuses with EEXIST only once the file was found.
link_method find_link_method(int fd, std::string_view dir_prefix) {
  const std::string dir_itself = std::string(dir_prefix) + ".";
  for (link_method how : {link_method::empty_path, link_method::proc_fd}) {
    if (!link_descriptor(fd, dir_itself.c_str(), how) && errno == EEXIST) return how;
  }
  return link_method::none;
}

}  // namespace

bool temporary_file::open(std::string_view dir_prefix, bool named) {
  discard();
  const std::string dir = dir_prefix.empty() ? "." : std::string(dir_prefix);
  int fd = -1;
  if (!named && method != link_method::none) {
    // A refusal here leaves the method unknown: another file system may
    // allow unnamed files.
    fd = open_unnamed(dir);
    if (fd >= 0 && method == link_method::unknown) method = find_link_method(fd, dir_prefix);
    if (fd >= 0 && method == link_method::none) {
      ::close(fd);
      fd = -1;
    }
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

std::FILE* open_scratch_file(std::string_view dir_prefix) {
  const std::string dir = dir_prefix.empty() ? "." : std::string(dir_prefix);
  int fd = ::open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  std::string path;
  // No interrupt handler knows this name: it lives for two system calls.
  if (fd < 0 && try_temporary_names(dir_prefix, &path, [&fd](const std::string& candidate) {
        fd = ::open(candidate.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0) return name_attempt::made;
        return errno == EEXIST ? name_attempt::taken : name_attempt::failed;
      })) {
    ::unlink(path.c_str());
  }
  if (fd < 0) return nullptr;
  std::FILE* f = ::fdopen(fd, "w+b");
  if (f == nullptr) {
    ::close(fd);
    return nullptr;
  }
  use_chunks_unbuffered(f);
  return f;
}

namespace {

// Gives the complete file fd, unnamed or under the temporary name tmp, the
// name target in place of what old found there. tmp is gone afterwards.
bool take_name(int fd, const std::string& tmp, const char* target, const existing_file& old,
               link_method how) {
  if (old.kind == file_kind::none) {
    // linkat refuses a name that was taken meanwhile.
    return tmp.empty() ? link_descriptor(fd, target, how) : take_free_name(tmp.c_str(), target);
  }
  // Replacing: an unnamed file is linked under a temporary name first, which
  // the interrupt handler knows.
  std::string link_path = tmp;
  return (!tmp.empty() || link_under_temporary_name(fd, directory_prefix(target), how, &link_path)) &&
         replace_inspected(link_path.c_str(), target, fd, old);
}

}  // namespace

// Every byte is written out first. A named temporary file is closed before
// it takes its name, and that close is checked too (a second descriptor
// keeps the file for its bits); the file systems that have unnamed files are
// local ones, whose close reports nothing that the flush did not. The file
// gets its bits only once it has its name: until then it is its owner's
// alone, even if a kill leaves it behind.
temporary_file::commit_result temporary_file::commit(const char* target, const existing_file& old) {
  std::FILE* f = stream_.get();
  if (f == nullptr || std::fflush(f) != 0 || std::ferror(f)) {
    discard();
    return commit_result::lost_data;
  }
  const bool has_name = !path_.empty();
  const int fd = has_name ? ::fcntl(::fileno(f), F_DUPFD_CLOEXEC, 0) : ::fileno(f);
  if (has_name && (fd < 0 || !stream_.close())) {
    if (fd >= 0) ::close(fd);
    discard();
    return fd < 0 ? commit_result::not_named : commit_result::lost_data;
  }
  const mode_t bits =
      old.kind == file_kind::regular ? static_cast<mode_t>(old.permissions) : default_permissions();
  const std::size_t target_size = std::strlen(target);
  if (target_size < sizeof naming_bits.target) {
    std::memcpy(naming_bits.target, target, target_size + 1);
    naming_bits.fd = fd;
    naming_bits.bits = bits;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    bits_pending = 1;
    std::atomic_signal_fence(std::memory_order_seq_cst);
  }
  const bool named = take_name(fd, path_, target, old, method);
  if (named || old.kind != file_kind::none) {
    // The temporary name is gone: taken, or removed on the way.
    path_.clear();
    clear_pending();
  }
  if (named) ::fchmod(fd, bits);
  std::atomic_signal_fence(std::memory_order_seq_cst);
  bits_pending = 0;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  if (has_name) ::close(fd);
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
  std::signal(SIGXFSZ, SIG_IGN);
  struct sigaction action {};
  action.sa_handler = remove_pending_and_end;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESETHAND | SA_NODEFER;
  for (int sig : cleanup_signals) install_cleanup(sig, action);
  for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig) install_cleanup(sig, action);
}

}  // namespace kesto

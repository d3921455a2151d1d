#include "fault_stream.h"

#include <dirent.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace kesto_test {

namespace {

bool fail_now(fault_state* s, fault kind, std::uint64_t count) {
  if (s->kind != kind || count < s->at) return false;
  s->triggered = true;
  return true;
}

ssize_t read_hook(void* cookie, char* buf, size_t size) {
  auto* s = static_cast<fault_state*>(cookie);
  if (fail_now(s, fault::read_call, s->reads++)) return -1;
  std::size_t n = s->position < s->data.size() ? std::min(size, s->data.size() - s->position) : 0;
  if (s->kind == fault::read_bytes && n > 0) {
    if (fail_now(s, fault::read_bytes, s->bytes_read)) return -1;
    if (s->at - s->bytes_read < n) {
      n = static_cast<std::size_t>(s->at - s->bytes_read);
      s->triggered = true;  // a short read the caller sees
    }
  }
  std::memcpy(buf, s->data.data() + s->position, n);
  s->position += n;
  s->bytes_read += n;
  return static_cast<ssize_t>(n);
}

ssize_t write_hook(void* cookie, const char* buf, size_t size) {
  auto* s = static_cast<fault_state*>(cookie);
  if (fail_now(s, fault::write_call, s->writes++)) return 0;
  std::size_t n = size;
  if (s->kind == fault::write_bytes) {
    if (fail_now(s, fault::write_bytes, s->bytes_written)) return 0;
    if (s->at - s->bytes_written < n) {
      n = static_cast<std::size_t>(s->at - s->bytes_written);
      s->triggered = true;  // a short write the caller sees
    }
  }
  if (s->data.size() < s->position + n) s->data.resize(s->position + n, '\0');
  std::memcpy(s->data.data() + s->position, buf, n);
  s->position += n;
  s->bytes_written += n;
  return static_cast<ssize_t>(n);
}

int seek_hook(void* cookie, off64_t* offset, int whence) {
  auto* s = static_cast<fault_state*>(cookie);
  // ftell asks for the position as a seek of 0 from the current one.
  const bool tell = whence == SEEK_CUR && *offset == 0;
  if (tell ? fail_now(s, fault::tell_call, s->tells++) : fail_now(s, fault::seek_call, s->seeks++)) {
    return -1;
  }
  const off64_t base = whence == SEEK_SET   ? 0
                       : whence == SEEK_CUR ? static_cast<off64_t>(s->position)
                                            : static_cast<off64_t>(s->data.size());
  if (base + *offset < 0) return -1;
  s->position = static_cast<std::size_t>(base + *offset);
  *offset = base + *offset;
  return 0;
}

int close_hook(void* cookie) {
  auto* s = static_cast<fault_state*>(cookie);
  s->closed = true;
  return fail_now(s, fault::close_call, 0) ? -1 : 0;
}

}  // namespace

const char* fault_name(fault kind) {
  switch (kind) {
    case fault::none: return "none";
    case fault::read_call: return "read_call";
    case fault::read_bytes: return "read_bytes";
    case fault::write_call: return "write_call";
    case fault::write_bytes: return "write_bytes";
    case fault::seek_call: return "seek_call";
    case fault::tell_call: return "tell_call";
    case fault::close_call: return "close_call";
  }
  return "?";
}

std::FILE* open_fault_stream(fault_state* state, const char* mode, bool buffered) {
  cookie_io_functions_t hooks{read_hook, write_hook, seek_hook, close_hook};
  std::FILE* f = ::fopencookie(state, mode, hooks);
  if (f != nullptr && !buffered) std::setvbuf(f, nullptr, _IONBF, 0);
  return f;
}

int run_with_file_size_limit(std::uint64_t limit, const std::function<int(std::FILE*)>& fn,
                             std::string* output) {
  int fds[2];
  if (::pipe(fds) != 0) return -1;
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    ::signal(SIGXFSZ, SIG_IGN);
    const rlimit lim{static_cast<rlim_t>(limit), static_cast<rlim_t>(limit)};
    ::setrlimit(RLIMIT_FSIZE, &lim);
    std::FILE* out = ::fdopen(fds[1], "w");  // a pipe: not limited
    const int r = fn(out);
    std::fclose(out);
    ::_exit(r);
  }
  ::close(fds[1]);
  output->clear();
  char buf[4096];
  for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;) output->append(buf, static_cast<std::size_t>(n));
  ::close(fds[0]);
  int wstatus = 0;
  if (pid < 0 || ::waitpid(pid, &wstatus, 0) != pid || !WIFEXITED(wstatus)) return -1;
  return WEXITSTATUS(wstatus);
}

int count_open_files() {
  DIR* d = ::opendir("/proc/self/fd");
  if (d == nullptr) return -1;
  int n = 0;
  while (::readdir(d) != nullptr) ++n;
  ::closedir(d);
  return n;
}

}  // namespace kesto_test

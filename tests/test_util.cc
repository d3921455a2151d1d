#include "test_util.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <fstream>
#include <random>

namespace fs = std::filesystem;

namespace kesto_test {

void scratch_dir_test::SetUp() {
  previous_ = fs::current_path();
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string stem = std::string("kesto-") + info->test_suite_name() + "-" + info->name();
  std::replace(stem.begin(), stem.end(), '/', '_');
  std::random_device rd;
  dir_ = fs::temp_directory_path() / (stem + "-" + std::to_string(rd()));
  fs::create_directories(dir_);
  fs::current_path(dir_);
}

void scratch_dir_test::TearDown() {
  fs::current_path(previous_);
  std::error_code ec;
  fs::remove_all(dir_, ec);
}

std::vector<std::string> scratch_dir_test::listing(const std::string& sub) const {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir_ / sub)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

void scratch_dir_test::enter(const std::string& sub) {
  fs::create_directory(sub);
  fs::current_path(sub);
}

void write_file(const std::string& path, const bytes& contents) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(contents.data(), static_cast<std::streamsize>(contents.size()));
  ASSERT_TRUE(f.good()) << "cannot write " << path;
}

bytes read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

bool file_exists(const std::string& path) { return fs::exists(path); }

void set_byte(const std::string& path, std::uint64_t offset, unsigned char value) {
  std::fstream f(path, std::ios::binary | std::ios::in | std::ios::out);
  f.seekp(static_cast<std::streamoff>(offset));
  f.put(static_cast<char>(value));
  ASSERT_TRUE(f.good());
}

void truncate_to(const std::string& path, std::uint64_t size) { fs::resize_file(path, size); }

bytes u16le(std::uint16_t v) {
  return bytes{static_cast<char>(v & 0xFF), static_cast<char>(v >> 8)};
}

bytes u32le(std::uint32_t v) { return u16le(static_cast<std::uint16_t>(v)) + u16le(static_cast<std::uint16_t>(v >> 16)); }

bytes padded(const std::string& name, std::size_t width) {
  bytes out = name.substr(0, width);
  out.resize(width, '\0');
  return out;
}

bytes ar_header(std::uint16_t key, std::uint32_t directory, std::uint32_t count) {
  return "AR" + u16le(key) + u32le(directory) + u32le(count);
}

bytes ar_record(const std::string& name, std::uint32_t offset, std::uint32_t size) {
  return padded(name, 8) + u32le(offset) + u32le(size);
}

bytes dl_header(std::uint16_t count, std::uint32_t directory) {
  return bytes("DL1.0\x1A\0\0", 8) + u16le(count) + u32le(directory) + u16le(0);
}

bytes dl_record(const std::string& name, std::uint32_t size) {
  return padded(name, 12) + u32le(size);
}

bytes ar_archive(const entry_list& entries) {
  const auto count = static_cast<std::uint32_t>(entries.size());
  bytes head = ar_header(0, 12, count);
  bytes data;
  auto offset = static_cast<std::uint32_t>(12 + 16 * count);
  for (const auto& [name, contents] : entries) {
    head += ar_record(name, offset + static_cast<std::uint32_t>(data.size()),
                      static_cast<std::uint32_t>(contents.size()));
    data += contents;
  }
  return head + data;
}

bytes dl_archive(const entry_list& entries) {
  bytes data;
  bytes directory;
  for (const auto& [name, contents] : entries) {
    directory += dl_record(name, static_cast<std::uint32_t>(contents.size()));
    data += contents;
  }
  return dl_header(static_cast<std::uint16_t>(entries.size()),
                   static_cast<std::uint32_t>(16 + data.size())) +
         data + directory;
}

bytes random_bytes(std::size_t n, std::uint32_t seed) {
  std::mt19937 gen(seed);
  bytes out(n, '\0');
  for (auto& c : out) c = static_cast<char>(gen() & 0xFF);
  return out;
}

file_ptr stream_of(const bytes& contents) {
  file_ptr f(std::tmpfile());
  if (f && !contents.empty()) std::fwrite(contents.data(), 1, contents.size(), f.get());
  if (f) std::fflush(f.get());
  return f;
}

bytes stream_contents(std::FILE* f) {
  std::fflush(f);
  std::rewind(f);
  bytes out;
  char buf[4096];
  std::size_t n = 0;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
  return out;
}

bool has_temporary_files(const std::string& dir) {
  for (const auto& e : fs::directory_iterator(dir)) {
    const std::string name = e.path().filename().string();
    if (name.rfind(".kesto-", 0) == 0 && name.size() >= 4 &&
        name.compare(name.size() - 4, 4, ".tmp") == 0) {
      return true;
    }
  }
  return false;
}

int run_with_file_size_limit(std::uint64_t limit, const std::function<int()>& body) {
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    struct rlimit rl;
    rl.rlim_cur = static_cast<rlim_t>(limit);
    rl.rlim_max = static_cast<rlim_t>(limit);
    std::signal(SIGXFSZ, SIG_IGN);
    int result = ::setrlimit(RLIMIT_FSIZE, &rl) == 0 ? body() : 255;
    std::fflush(nullptr);
    ::_exit(result & 0xFF);
  }
  int wstatus = 0;
  if (::waitpid(pid, &wstatus, 0) != pid || !WIFEXITED(wstatus)) return -1;
  return WEXITSTATUS(wstatus);
}

}  // namespace kesto_test

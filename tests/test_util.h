// Helpers shared by the unit and command-line tests: a scratch directory
// that is the current directory while a test runs, and byte-level file
// helpers.
#ifndef KESTO_TESTS_TEST_UTIL_H
#define KESTO_TESTS_TEST_UTIL_H

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace kesto_test {

using bytes = std::string;  // file contents, any byte values

// Creates a fresh directory under the system's temporary directory, enters
// it, and on teardown returns to the previous directory and removes it.
class scratch_dir_test : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  const std::filesystem::path& dir() const { return dir_; }
  // Names of the entries of the scratch directory (or a subdirectory),
  // sorted.
  std::vector<std::string> listing(const std::string& sub = ".") const;
  // Makes the directory sub (relative to the current one) and enters it.
  static void enter(const std::string& sub);

 private:
  std::filesystem::path previous_;
  std::filesystem::path dir_;
};

void write_file(const std::string& path, const bytes& contents);
bytes read_file(const std::string& path);
bool file_exists(const std::string& path);
void set_byte(const std::string& path, std::uint64_t offset, unsigned char value);
void truncate_to(const std::string& path, std::uint64_t size);

// Little-endian field builders for hand-made archives.
bytes u16le(std::uint16_t v);
bytes u32le(std::uint32_t v);
// name padded with zero bytes (or cut) to width.
bytes padded(const std::string& name, std::size_t width);
// Header and directory records of hand-made archives.
bytes ar_header(std::uint16_t key, std::uint32_t directory, std::uint32_t count);
bytes ar_record(const std::string& name, std::uint32_t offset, std::uint32_t size);
bytes dl_header(std::uint16_t count, std::uint32_t directory);
bytes dl_record(const std::string& name, std::uint32_t size);

using entry_list = std::vector<std::pair<std::string, bytes>>;

// Hand-made archives: the names are stored as given (cut to the field), so
// tests can plant names the writers would never produce. The AR archive has
// key 0, so its data are stored unchanged.
bytes ar_archive(const entry_list& entries);
bytes dl_archive(const entry_list& entries);

// Pseudo-random bytes, the same for the same seed.
bytes random_bytes(std::size_t n, std::uint32_t seed);

struct file_closer {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using file_ptr = std::unique_ptr<std::FILE, file_closer>;

// An anonymous read-write temporary stream holding contents, positioned at
// its end (the routines under test seek where they need to).
file_ptr stream_of(const bytes& contents = {});
// Everything written to f so far; leaves f positioned at its end.
bytes stream_contents(std::FILE* f);

// True when dir holds a leftover temporary file of an extraction or a
// creation (a name starting with ".kesto-" and ending in ".tmp").
bool has_temporary_files(const std::string& dir = ".");

// Runs body in a forked child whose files may not grow past limit bytes: a
// write beyond it fails (SIGXFSZ is ignored) instead of ending the process.
// Returns body's result (0 to 255), or -1 when the child did not exit
// normally. Streams are flushed before the fork and in the child before it
// exits, so a log stream written by body can be read afterwards.
int run_with_file_size_limit(std::uint64_t limit, const std::function<int()>& body);

}  // namespace kesto_test

#endif

// Helpers shared by the unit and command-line tests: a scratch directory
// that is the current directory while a test runs, and byte-level file
// helpers.
#ifndef KESTO_TESTS_TEST_UTIL_H
#define KESTO_TESTS_TEST_UTIL_H

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
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
// Pseudo-random bytes, the same for the same seed.
bytes random_bytes(std::size_t n, std::uint32_t seed);

}  // namespace kesto_test

#endif

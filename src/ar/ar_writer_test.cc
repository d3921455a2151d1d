#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ar/ar_archive.h"
#include "common/status.h"
#include "common/stream_io.h"
#include "test_util.h"

namespace kesto {
namespace {

using kesto_test::ar_record;
using kesto_test::bytes;
using kesto_test::padded;

// The writer always puts the directory right after the 12-byte header.
bytes ar_header(std::uint16_t key, std::uint32_t count) {
  return kesto_test::ar_header(key, 12, count);
}

class ar_writer : public kesto_test::scratch_dir_test {
 protected:
  // Builds an archive of paths in a temporary stream; the bytes written land
  // in image_.
  int create(const std::vector<std::string>& paths, std::uint16_t key,
             std::uint32_t limit = max_archive_size) {
    std::vector<const char*> files;
    for (const auto& p : paths) files.push_back(p.c_str());
    auto archive = kesto_test::stream_of();
    const auto count = static_cast<std::uint32_t>(files.size());
    int status = limit == max_archive_size
                     ? create_ar_archive(archive.get(), files.data(), count, key)
                     : create_ar_archive_limited(archive.get(), files.data(), count, key, limit);
    image_ = kesto_test::stream_contents(archive.get());
    return status;
  }

  bytes image_;
};

TEST_F(ar_writer, empty_archive_is_the_twelve_byte_header) {
  for (std::uint16_t key : {0x0000, 0x1234}) {
    ASSERT_EQ(create({}, key), writer_status::ok);
    EXPECT_EQ(image_, ar_header(key, 0));
  }
}

TEST_F(ar_writer, one_three_byte_file_gives_the_31_byte_archive) {
  kesto_test::write_file("a.txt", "xyz");
  ASSERT_EQ(create({"a.txt"}, 0), writer_status::ok);
  EXPECT_EQ(image_, ar_header(0, 1) + ar_record("a.txt", 28, 3) + "xyz");
  EXPECT_EQ(image_.size(), 31u);
}

TEST_F(ar_writer, stores_base_names_cut_to_eight_bytes) {
  struct {
    std::string path;
    bytes name_field;
  } const cases[] = {
      {"dir/sub/File.dat", "File.dat"},
      {"d2/LONGNAME.BIN", "LONGNAME"},
      // On Linux a backslash is an ordinary character of a file name, yet
      // it still separates the base name.
      {"d3/back\\slash.x", bytes("slash.x\0", 8)},
      {"12345678", "12345678"},
      {"x", padded("x", 8)},
  };
  std::vector<std::string> paths;
  for (const auto& c : cases) {
    const auto parent = std::filesystem::path(c.path).parent_path();
    if (!parent.empty()) std::filesystem::create_directories(parent);
    kesto_test::write_file(c.path, "data");
    paths.push_back(c.path);
  }
  ASSERT_EQ(create(paths, 0), writer_status::ok);
  for (std::size_t i = 0; i < paths.size(); ++i) {
    EXPECT_EQ(image_.substr(12 + 16 * i, 8), cases[i].name_field) << cases[i].path;
  }
}

// Zero bytes scramble to the keystream itself: for key 0x1234 it starts
// 46 58 9E F6 94, and it restarts at every entry. An empty entry shares its
// data offset with the next one; a file named twice is stored twice.
TEST_F(ar_writer, entries_follow_the_directory_back_to_back_each_with_a_fresh_keystream) {
  kesto_test::write_file("zeros", bytes(5, '\0'));
  kesto_test::write_file("empty", "");
  const bytes ks = "\x46\x58\x9E\xF6\x94";
  ASSERT_EQ(create({"zeros", "empty", "zeros"}, 0x1234), writer_status::ok);
  EXPECT_EQ(image_, ar_header(0x1234, 3) + ar_record("zeros", 60, 5) + ar_record("empty", 65, 0) +
                        ar_record("zeros", 65, 5) + ks + ks);
}

TEST_F(ar_writer, unreadable_input_reports_its_index_plus_two) {
  kesto_test::write_file("a", "A");
  kesto_test::write_file("b", "B");
  std::filesystem::create_directory("adir");  // opens on Linux, but reading it fails
  struct {
    std::vector<std::string> paths;
    int status;
  } const cases[] = {
      {{"missing", "a"}, 2},
      {{"a", "missing", "b"}, 3},
      {{"a", "b", "adir"}, 4},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(create(c.paths, 0x55AA), c.status) << c.paths.size() << " paths";
  }
}

// An archive may be exactly as large as the limit, never one byte larger:
// the limit keeps every archive readable through 32-bit signed seeks.
TEST_F(ar_writer, size_limit_admits_exactly_the_limit_and_refuses_one_byte_more) {
  kesto_test::write_file("small", bytes(100, 's'));
  kesto_test::write_file("big", kesto_test::random_bytes(40000, 5));
  kesto_test::write_file("empty", "");
  struct {
    std::vector<std::string> paths;
    std::uint32_t total;
  } const cases[] = {
      {{"small"}, 12 + 16 + 100},
      {{"big", "empty", "small"}, 12 + 48 + 40100},
      {{"empty"}, 12 + 16},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(create(c.paths, 0x0101, c.total), writer_status::ok) << c.total;
    EXPECT_EQ(image_.size(), c.total);
    EXPECT_EQ(create(c.paths, 0x0101, c.total - 1), writer_status::archive_failed) << c.total;
    // Refused from the input sizes alone: not even the header is written.
    EXPECT_EQ(image_, "");
  }
  // A directory that cannot fit is refused before anything is written.
  EXPECT_EQ(create({"small", "small"}, 0, 12 + 31), writer_status::archive_failed);
  EXPECT_EQ(image_, "");
}

}  // namespace
}  // namespace kesto

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "ar/ar_archive.h"
#include "common/status.h"
#include "test_util.h"

namespace kesto {
namespace {

namespace fs = std::filesystem;
using kesto_test::ar_header;
using kesto_test::ar_record;
using kesto_test::bytes;
using names = std::vector<std::string>;

class ar_reader : public kesto_test::scratch_dir_test {
 protected:
  // Extracts image (held in a temporary stream) into the current directory;
  // the log lands in log_.
  int extract(const bytes& image) {
    auto archive = kesto_test::stream_of(image);
    return extract_from(archive.get());
  }

  int extract_from(std::FILE* archive) {
    auto log = kesto_test::stream_of();
    int status = extract_ar_archive(archive, log.get());
    log_ = kesto_test::stream_contents(log.get());
    return status;
  }

  bytes log_;
};

TEST_F(ar_reader, archives_of_the_writer_extract_byte_for_byte_with_any_key) {
  struct {
    std::string path;
    std::string name;
    bytes data;
  } const inputs[] = {
      {"in/empty", "empty", ""},
      {"in/chunk", "chunk", kesto_test::random_bytes(32768, 1)},
      {"in/huge.bin", "huge.bin", kesto_test::random_bytes(70001, 2)},
      {"in/eightchr", "eightchr", "8"},
      {"in/longer_name.txt", "longer_n", "cut to eight"},
      {"in/sub/dir/a.txt", "a.txt", "slash"},
      {"in/back\\b.txt", "b.txt", "a backslash separates too"},
  };
  fs::create_directories("in/sub/dir");
  std::vector<const char*> files;
  names expected_listing;
  bytes expected_log;
  for (const auto& in : inputs) {
    kesto_test::write_file(in.path, in.data);
    files.push_back(in.path.c_str());
    expected_listing.push_back(in.name);
    expected_log += in.name + "\n";
  }
  std::sort(expected_listing.begin(), expected_listing.end());
  for (std::uint16_t key : {0x0000, 0x0001, 0x0100, 0x1234, 0xFFFF}) {
    auto archive = kesto_test::stream_of();
    ASSERT_EQ(create_ar_archive(archive.get(), files.data(), 7, key), writer_status::ok);
    const std::string out = "out" + std::to_string(key);
    enter(out);
    EXPECT_EQ(extract_from(archive.get()), reader_status::ok) << key;
    EXPECT_EQ(log_, expected_log);
    for (const auto& in : inputs) EXPECT_EQ(kesto_test::read_file(in.name), in.data) << in.name;
    fs::current_path("..");
    EXPECT_EQ(listing(out), expected_listing);
  }
}

// Nothing is extracted from these: the status says why, the log stays empty
// and no file is created. A data offset of 2^31 or more fails its seek
// before the entry file is made; a directory whose end wraps past 2^32 is
// empty.
TEST_F(ar_reader, header_and_directory_faults_give_their_status_and_create_nothing) {
  const bytes dl_header = bytes("DL1.0\x1A\0\0", 8) + bytes(8, '\0');
  struct {
    const char* label;
    bytes image;
    int status;
  } const cases[] = {
      {"empty file", "", 2},
      {"one byte", "A", 2},
      {"two bytes, not AR", "AX", 1},
      {"DL archive", dl_header, 1},
      {"signature only", "AR", 2},
      {"header of 11 bytes", ar_header(0, 12, 0).substr(0, 11), 2},
      {"count 0", ar_header(0x1234, 12, 0), 0},
      {"record missing", ar_header(0, 12, 1), 2},
      {"record of 15 bytes", ar_header(0, 12, 1) + ar_record("a", 28, 0).substr(0, 15), 2},
      {"directory at 2^31", ar_header(0, 0x80000000u, 1), 2},
      {"data offset 2^31", ar_header(0, 12, 1) + ar_record("a", 0x80000000u, 0), 2},
      {"data offset 2^32-1", ar_header(0, 12, 1) + ar_record("a", 0xFFFFFFFFu, 1), 2},
      {"directory end wraps to 0", ar_header(0, 0xFFFFFFF0u, 1), 0},
      {"16 * count wraps to 0", ar_header(0, 12, 0x10000000u), 0},
      {"end wraps below offset", ar_header(0, 0x80000000u, 0x08000001u), 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(extract(c.image), c.status) << c.label;
    EXPECT_EQ(log_, "") << c.label;
    EXPECT_EQ(listing(), names{}) << c.label;
  }
}

// Entry data past the end of the archive: an empty entry reads nothing and
// gives an empty file; any other entry fails at its first read.
TEST_F(ar_reader, data_past_the_end_fails_only_entries_that_have_bytes) {
  bytes head = ar_header(0, 12, 1);
  EXPECT_EQ(extract(head + ar_record("zero", 5000, 0)), reader_status::ok);
  EXPECT_EQ(log_, "zero\n");
  EXPECT_EQ(listing(), names{"zero"});
  EXPECT_EQ(extract(head + ar_record("one", 5000, 1)), reader_status::cannot_read);
  EXPECT_EQ(log_, "Impossibile leggere il file one dall'archivio");
  EXPECT_EQ(listing(), names{"zero"});
}

TEST_F(ar_reader, later_entry_of_the_same_name_replaces_the_earlier) {
  const bytes image =
      ar_header(0, 12, 2) + ar_record("same", 44, 5) + ar_record("same", 49, 3) + "first" + "2nd";
  EXPECT_EQ(extract(image), reader_status::ok);
  EXPECT_EQ(log_, "same\nsame\n");
  EXPECT_EQ(kesto_test::read_file("same"), "2nd");
}

TEST_F(ar_reader, entry_named_as_the_open_archive_is_refused_and_the_archive_stays) {
  const bytes image =
      ar_header(0, 12, 2) + ar_record("first", 44, 2) + ar_record("self.ar", 46, 3) + "11" + "new";
  kesto_test::write_file("self.ar", image);
  kesto_test::file_ptr archive(std::fopen("self.ar", "rb"));
  EXPECT_EQ(extract_from(archive.get()), reader_status::cannot_create);
  EXPECT_EQ(log_, "first\nImpossibile creare il file self.ar");
  EXPECT_EQ(kesto_test::read_file("self.ar"), image);
  EXPECT_EQ(listing(), (names{"first", "self.ar"}));
}

// A failing entry leaves a file that already had its name as it was. Write
// failures come from a file size limit of 1000 bytes: the 2000-byte entry
// fails when its file is closed, the 70000-byte one in its first chunk.
TEST_F(ar_reader, failing_entry_leaves_an_existing_file_of_its_name_untouched) {
  const bytes old = "OLD CONTENTS";
  // Cut inside the second entry's data.
  kesto_test::write_file("two", old);
  const bytes cut =
      ar_header(0, 12, 2) + ar_record("one", 44, 3) + ar_record("two", 47, 4) + "1112";
  EXPECT_EQ(extract(cut), reader_status::cannot_read);
  EXPECT_EQ(kesto_test::read_file("two"), old);
  EXPECT_EQ(listing(), (names{"one", "two"}));

  for (std::uint32_t size : {2000u, 70000u}) {
    enter("fsize" + std::to_string(size));
    kesto_test::write_file("big", old);
    const bytes image = ar_header(0x0707, 12, 2) + ar_record("keep", 44, 10) +
                        ar_record("big", 54, size) + kesto_test::random_bytes(10 + size, size);
    auto archive = kesto_test::stream_of(image);
    auto log = kesto_test::stream_of();
    const int status = kesto_test::run_with_file_size_limit(
        1000, [&] { return extract_ar_archive(archive.get(), log.get()); });
    EXPECT_EQ(status, reader_status::cannot_write) << size;
    EXPECT_EQ(kesto_test::stream_contents(log.get()), "keep\nImpossibile scrivere il file big");
    EXPECT_EQ(kesto_test::read_file("big"), old);
    EXPECT_FALSE(kesto_test::has_temporary_files());
    fs::current_path("..");
    EXPECT_EQ(listing("fsize" + std::to_string(size)), (names{"big", "keep"}));
  }
}

}  // namespace
}  // namespace kesto

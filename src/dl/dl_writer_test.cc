#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/byte_order.h"
#include "common/status.h"
#include "common/stream_io.h"
#include "dl/dl_archive.h"
// The greedy test encoder of tests/, for a file that is an LZ entry.
#include <lzss_encoder.h>
#include "lzss/lzss_decoder.h"
#include "sample_data.h"
#include "test_util.h"

namespace kesto {
namespace {

using kesto_test::bytes;

using kesto_test::dl_header;
using kesto_test::dl_record;

// What an LZ entry decodes to, or "not decoded" with the result.
bytes decoded(const bytes& entry) {
  auto in = kesto_test::stream_of(entry);
  std::rewind(in.get());
  auto out = kesto_test::stream_of();
  const int r = lzss_decode_entry(in.get(), out.get(), static_cast<std::uint32_t>(entry.size()));
  return r == lzss_result::ok ? kesto_test::stream_contents(out.get())
                              : "not decoded: " + std::to_string(r);
}

class dl_writer : public kesto_test::scratch_dir_test {
 protected:
  // Builds an archive of paths in a temporary stream; the bytes written land
  // in image_.
  int create(const std::vector<std::string>& paths, std::uint32_t limit = max_archive_size,
             bool compress = false, unsigned threads = 1) {
    std::vector<const char*> files;
    for (const auto& p : paths) files.push_back(p.c_str());
    auto archive = kesto_test::stream_of();
    const auto count = static_cast<std::uint32_t>(files.size());
    int status =
        limit == max_archive_size && threads == 1
            ? create_dl_archive(archive.get(), files.data(), count, compress)
            : create_dl_archive_limited(archive.get(), files.data(), count, limit, compress,
                                        threads);
    image_ = kesto_test::stream_contents(archive.get());
    return status;
  }

  bytes image_;
};

TEST_F(dl_writer, empty_archive_and_one_small_file_match_their_documented_bytes) {
  ASSERT_EQ(create({}), writer_status::ok);
  EXPECT_EQ(image_, dl_header(0, 16));
  kesto_test::write_file("a.txt", "xyz");
  ASSERT_EQ(create({"a.txt"}), writer_status::ok);
  EXPECT_EQ(image_, dl_header(1, 19) + "xyz" + dl_record("a.txt", 3));
  EXPECT_EQ(image_.size(), 35u);
}

// Data back to back from offset 16 in order, then records of base names cut
// to 12 bytes. On Linux "sub\Script01.txt" is one file name, whose base name
// is still Script01.txt (12 bytes, no terminator).
TEST_F(dl_writer, stores_data_in_order_and_base_names_cut_to_twelve_bytes) {
  std::filesystem::create_directories("dir");
  std::filesystem::create_directories("d/e");
  kesto_test::write_file("dir/sub\\Script01.txt", "A");
  kesto_test::write_file("d/e/averylongname.bin", "");
  kesto_test::write_file("plain", "BB");
  ASSERT_EQ(create({"dir/sub\\Script01.txt", "d/e/averylongname.bin", "plain", "plain"}),
            writer_status::ok);
  EXPECT_EQ(image_, dl_header(4, 16 + 5) + "A" + "BB" + "BB" + dl_record("Script01.txt", 1) +
                        dl_record("averylongnam", 0) + dl_record("plain", 2) +
                        dl_record("plain", 2));
}

TEST_F(dl_writer, unreadable_input_reports_its_index_plus_two) {
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
  for (const auto& c : cases) EXPECT_EQ(create(c.paths), c.status) << c.paths.size() << " paths";
}

// The count field holds 16 bits: 65535 files fit, one more is refused
// before anything is written instead of storing the low 16 bits' worth.
TEST_F(dl_writer, more_than_65535_files_are_refused_before_writing) {
  kesto_test::write_file("e", "");
  EXPECT_EQ(create(std::vector<std::string>(65536, "e")), writer_status::archive_failed);
  EXPECT_EQ(image_, "");
  ASSERT_EQ(create(std::vector<std::string>(65535, "e")), writer_status::ok);
  EXPECT_EQ(image_.substr(0, 16), dl_header(65535, 16));
  EXPECT_EQ(image_.size(), 16u + 65535u * 16u);
}

// The directory goes out in blocks of 2048 records: every record, on both
// sides of each block's end, names its own file and size.
TEST_F(dl_writer, directory_of_several_blocks_keeps_every_record_in_order) {
  std::vector<std::string> paths;
  bytes data;
  bytes directory;
  for (int i = 0; i < 4100; ++i) {
    paths.push_back(std::to_string(i));
    paths.back().insert(0, 1, 'f');
    const bytes contents(static_cast<std::size_t>(i % 3), static_cast<char>('a' + i % 26));
    kesto_test::write_file(paths.back(), contents);
    data += contents;
    directory += dl_record(paths.back(), static_cast<std::uint32_t>(contents.size()));
  }
  ASSERT_EQ(create(paths), writer_status::ok);
  EXPECT_EQ(image_,
            dl_header(4100, static_cast<std::uint32_t>(16 + data.size())) + data + directory);
}

// An archive may be exactly as large as the limit, never one byte larger.
TEST_F(dl_writer, size_limit_admits_exactly_the_limit_and_refuses_one_byte_more) {
  kesto_test::write_file("small", bytes(100, 's'));
  kesto_test::write_file("big", kesto_test::random_bytes(40000, 5));
  kesto_test::write_file("empty", "");
  struct {
    std::vector<std::string> paths;
    std::uint32_t total;
  } const cases[] = {
      {{"small"}, 16 + 100 + 16},
      {{"big", "empty", "small"}, 16 + 40100 + 48},
      {{"empty"}, 16 + 16},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(create(c.paths, c.total), writer_status::ok) << c.total;
    EXPECT_EQ(image_.size(), c.total);
    EXPECT_EQ(create(c.paths, c.total - 1), writer_status::archive_failed) << c.total;
    EXPECT_LT(image_.size(), c.total);
  }
  // A header and directory that cannot fit are refused before writing.
  EXPECT_EQ(create({"empty", "empty"}, 16 + 31), writer_status::archive_failed);
  EXPECT_EQ(image_, "");
  // So are inputs whose sizes already pass the limit, compressed too when
  // even their best case cannot fit; a best case that fits is tried.
  EXPECT_EQ(create({"big", "small"}, 16 + 40100 + 31), writer_status::archive_failed);
  EXPECT_EQ(image_, "");
  EXPECT_EQ(create({"big"}, 16 + 16 + 4000, true), writer_status::archive_failed);
  EXPECT_EQ(image_, "");
  EXPECT_EQ(create({"big"}, 16 + 16 + 4800, true), writer_status::archive_failed);
  EXPECT_NE(image_, "");
}

// Compressed: text becomes an LZ entry; bytes that do not compress stay
// plain (the longer LZ attempt cut off after the directory), unless they
// begin with "LZ"; an empty file is an entry of size 0. The layout is the
// plain one's with the entries' sizes.
TEST_F(dl_writer, compressed_entries_are_lz_entries_unless_plain_is_smaller) {
  const bytes text = kesto_test::text_like(20000, 1);
  const bytes noise = kesto_test::random_bytes(3000, 2);
  const bytes lz_noise = "LZ" + noise;
  kesto_test::write_file("text", text);
  kesto_test::write_file("noise", noise);
  kesto_test::write_file("lz_noise", lz_noise);
  kesto_test::write_file("empty", "");
  ASSERT_EQ(create({"text", "empty", "lz_noise", "noise"}, max_archive_size, true),
            writer_status::ok);
  std::vector<std::uint32_t> sizes;
  for (std::size_t r = image_.size() - 4 * 16; r < image_.size(); r += 16) {
    sizes.push_back(kesto::load_u32le(reinterpret_cast<const unsigned char*>(&image_[r + 12])));
  }
  const bytes lz_text = image_.substr(16, sizes[0]);
  const bytes lz_entry = image_.substr(16 + sizes[0], sizes[2]);
  EXPECT_LT(sizes[0], text.size() * 2 / 3);
  EXPECT_EQ(decoded(lz_text), text);
  EXPECT_GT(sizes[2], lz_noise.size());
  EXPECT_EQ(decoded(lz_entry), lz_noise);
  EXPECT_EQ(image_, dl_header(4, 16 + sizes[0] + sizes[2] + 3000) + lz_text + lz_entry + noise +
                        dl_record("text", sizes[0]) + dl_record("empty", 0) +
                        dl_record("lz_noise", sizes[2]) + dl_record("noise", 3000));
}

// The size limit holds the entry as stored: plain bytes whose LZ attempt
// would not have fitted, and the LZ entry a file beginning with "LZ" needs.
TEST_F(dl_writer, compressed_size_limit_counts_the_entry_as_stored) {
  const bytes noise = kesto_test::random_bytes(3000, 3);
  kesto_test::write_file("noise", noise);
  kesto_test::write_file("lz_noise", "LZ" + noise);
  EXPECT_EQ(create({"noise"}, 16 + 3000 + 16, true), writer_status::ok);
  EXPECT_EQ(image_.size(), 16u + 3000 + 16);
  EXPECT_EQ(create({"noise"}, 16 + 2999 + 16, true), writer_status::archive_failed);
  EXPECT_LE(image_.size(), 16u + 2999 + 16);
  ASSERT_EQ(create({"lz_noise"}, max_archive_size, true), writer_status::ok);
  const auto total = static_cast<std::uint32_t>(image_.size());
  EXPECT_EQ(create({"lz_noise"}, total, true), writer_status::ok);
  EXPECT_EQ(create({"lz_noise"}, total - 1, true), writer_status::archive_failed);
  EXPECT_EQ(create({"lz_noise"}, 16 + 3002 + 16, true), writer_status::archive_failed);
}

// Entries are compressed side by side but written in order: every number
// of threads gives the same archive, over mixed files, over files large
// enough to be compressed in parts (text, a run whose parts' parses never
// meet, noise stored plain, noise that must stay LZ, a whole LZ entry),
// and over many small ones; a file that is already a whole LZ entry is
// stored as it is.
TEST_F(dl_writer, compressed_archive_is_the_same_for_every_number_of_threads) {
  std::vector<std::string> mixed;
  const bytes noise = kesto_test::random_bytes(700, 7);
  const bytes lz_noise = "LZ" + noise;
  const std::vector<bytes> corpus = {
      kesto_test::text_like(70000, 4), kesto_test::binary_like(50000, 5), noise, lz_noise,
      kesto_test::lz_entry(kesto_test::text_like(9000, 8)), "", kesto_test::text_like(300, 9)};
  for (std::size_t i = 0; i < corpus.size(); ++i) {
    mixed.push_back(std::to_string(i) + ".m");
    kesto_test::write_file(mixed.back(), corpus[i]);
  }
  const std::size_t part = 256 * 1024;
  const bytes large_noise = kesto_test::random_bytes(2 * part + 100, 11);
  const std::vector<bytes> large_corpus = {
      kesto_test::text_like(2 * part + 70000, 10), bytes(2 * part + 5000, '\0'), large_noise,
      "LZ" + large_noise, kesto_test::lz_entry(kesto_test::text_like(2 * part, 12))};
  std::vector<std::string> large;
  for (std::size_t i = 0; i < large_corpus.size(); ++i) {
    large.push_back(std::to_string(i) + ".l");
    kesto_test::write_file(large.back(), large_corpus[i]);
  }
  std::vector<std::string> small;
  for (int i = 0; i < 300; ++i) {
    small.push_back(std::to_string(i) + ".s");
    kesto_test::write_file(small.back(), kesto_test::text_like(40 + i * 7 % 500, i));
  }
  for (const auto* paths : {&mixed, &large, &small}) {
    ASSERT_EQ(create(*paths, max_archive_size, true, 1), writer_status::ok);
    const bytes one_thread = image_;
    for (unsigned threads : {2u, 8u}) {
      ASSERT_EQ(create(*paths, max_archive_size - 1, true, threads), writer_status::ok);
      EXPECT_TRUE(image_ == one_thread) << threads << " threads, " << paths->size() << " files";
    }
  }
  ASSERT_EQ(create(mixed, max_archive_size, true, 2), writer_status::ok);
  EXPECT_NE(image_.find(corpus[4]), bytes::npos);
  ASSERT_EQ(create(large, max_archive_size, true, 2), writer_status::ok);
  EXPECT_NE(image_.find(large_corpus[4]), bytes::npos);
  EXPECT_NE(image_.find(large_noise), bytes::npos);
}

}  // namespace
}  // namespace kesto

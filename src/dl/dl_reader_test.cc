#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "common/status.h"
#include "dl/dl_archive.h"
#include "lzss_encoder.h"
#include "test_util.h"

namespace kesto {
namespace {

namespace fs = std::filesystem;
using kesto_test::bytes;
using kesto_test::u32le;
using names = std::vector<std::string>;

constexpr bool copy = false;
constexpr bool decompress = true;

using kesto_test::dl_header;

struct dl_entry {
  std::string name;
  bytes data;                     // the bytes stored for the entry
  std::uint64_t size = ~0ull;     // its directory size; by default data.size()
};

// A DL archive holding the entries' data back to back, then the directory.
bytes dl_archive(const std::vector<dl_entry>& entries) {
  bytes data;
  bytes directory;
  for (const auto& e : entries) {
    data += e.data;
    const auto size = e.size == ~0ull ? e.data.size() : e.size;
    directory += kesto_test::dl_record(e.name, static_cast<std::uint32_t>(size));
  }
  return dl_header(static_cast<std::uint16_t>(entries.size()),
                   static_cast<std::uint32_t>(16 + data.size())) +
         data + directory;
}

bytes lz(std::uint32_t packed, std::uint32_t unpacked, const bytes& stream) {
  return "LZ" + u32le(packed) + u32le(unpacked) + stream;
}

// Eight literals: an LZ entry of 19 bytes decoding to ABCDEFGH.
const bytes eight_letters = lz(9, 8, "\xFF" "ABCDEFGH");

class dl_reader : public kesto_test::scratch_dir_test {
 protected:
  // Extracts image (held in a temporary stream) into the current directory;
  // the log lands in log_.
  int extract(const bytes& image, bool mode) {
    auto archive = kesto_test::stream_of(image);
    return extract_from(archive.get(), mode);
  }

  int extract_from(std::FILE* archive, bool mode) {
    auto log = kesto_test::stream_of();
    int status = extract_dl_archive(archive, log.get(), mode);
    log_ = kesto_test::stream_contents(log.get());
    return status;
  }

  bytes log_;
};

// Copy mode gives back every file of the writer byte for byte, across the
// 32768-byte chunk, and writes LZ entries as stored, undecoded.
TEST_F(dl_reader, copy_mode_restores_the_writer_inputs_byte_for_byte) {
  const std::vector<std::pair<std::string, bytes>> inputs = {
      {"empty", ""},
      {"below.chunk", kesto_test::random_bytes(32767, 1)},
      {"chunk", kesto_test::random_bytes(32768, 2)},
      {"above.chunk", kesto_test::random_bytes(32769, 3)},
      {"big", kesto_test::random_bytes(70000, 4)},
      {"packed.lz", kesto_test::lz_entry(bytes(50000, 'z'))},
  };
  fs::create_directory("in");
  std::vector<std::string> paths;
  bytes expected_log;
  for (const auto& [name, data] : inputs) {
    paths.push_back("in/" + name);
    kesto_test::write_file(paths.back(), data);
    expected_log += name + "\n";
  }
  std::vector<const char*> files;
  for (const auto& p : paths) files.push_back(p.c_str());
  auto archive = kesto_test::stream_of();
  ASSERT_EQ(create_dl_archive(archive.get(), files.data(), 6), writer_status::ok);
  enter("out");
  EXPECT_EQ(extract_from(archive.get(), copy), reader_status::ok);
  EXPECT_EQ(log_, expected_log);
  for (const auto& [name, data] : inputs) EXPECT_EQ(kesto_test::read_file(name), data) << name;
}

TEST_F(dl_reader, header_faults_give_their_status) {
  const bytes one = dl_archive({{"a", "x"}});
  bytes eighth_set = one;
  eighth_set[7] = '\x55';
  bytes seventh_set = one;
  seventh_set[6] = '\x01';
  struct {
    const char* label;
    bytes image;
    int status;
    names files;
  } const cases[] = {
      {"empty file", "", 2, {}},
      {"seven bytes", one.substr(0, 7), 2, {}},
      {"signature only", one.substr(0, 8), 2, {}},
      {"header of 13 bytes", one.substr(0, 13), 2, {}},
      {"seventh byte not zero", seventh_set, 1, {}},
      {"AR archive", bytes("AR\0\0\x0C\0\0\0\0\0\0\0", 12) + bytes(4, '\0'), 1, {}},
      {"eighth byte ignored", eighth_set, 0, {"a"}},
      {"count 0", dl_header(0, 16), 0, {}},
      {"record missing", dl_header(1, 16), 2, {}},
      {"directory at 2^31", dl_header(1, 0x80000000u) + bytes(16, 'r'), 2, {}},
  };
  for (const auto& c : cases) {
    enter(c.label);
    EXPECT_EQ(extract(c.image, copy), c.status) << c.label;
    fs::current_path("..");
    EXPECT_EQ(listing(c.label), c.files) << c.label;
  }
  EXPECT_EQ(extract(bytes("AR\0\0\x0C\0\0\0\0\0\0\0", 12), decompress), reader_status::wrong_format);
}

// The data position is a 32-bit sum that wraps: a size that carries it past
// 2^32 starts the next entry near the beginning of the file (here in the
// header, at offset 8, where no LZ entry is found), while a position of 2^31
// or more fails its seek before the entry file is made.
TEST_F(dl_reader, data_position_wraps_and_fails_at_two_to_the_31) {
  EXPECT_EQ(extract(dl_archive({{"plain", "abcd", 0xFFFFFFF8u}, {"hdr", "", 2}}), decompress),
            reader_status::ok);
  EXPECT_EQ(log_, "plain non compresso con LZSS\nhdr non compresso con LZSS\n");
  EXPECT_EQ(extract(dl_archive({{"plain", "abcd", 0x7FFFFFF0u}, {"far", "", 0}}), decompress),
            reader_status::bad_archive);
  EXPECT_EQ(log_, "plain non compresso con LZSS\n");
  EXPECT_EQ(listing(), names{});
}

// Every decoder result in one archive, each entry name already taken by an
// old file: kept entries (results 0 and 4) replace it, skipped ones (result
// 1, also the empty entry, whose first two bytes are the next entry's "he")
// leave it, and result 2 fails with status 3 and leaves it too.
TEST_F(dl_reader, decompress_mode_keeps_lz_entries_and_leaves_other_files_alone) {
  const bytes old = "OLD";
  for (const char* name : {"good", "off", "empty", "plain", "tiny"}) kesto_test::write_file(name, old);
  const bytes image = dl_archive({
      {"good", eight_letters},
      {"off", lz(9, 9, "\xFF" "ABCDEFGH")},
      {"empty", ""},
      {"plain", "hello world"},
      {"tiny", lz(0, 0, ""), 9},
  });
  EXPECT_EQ(extract(image, decompress), reader_status::cannot_read);
  EXPECT_EQ(log_,
            "good\n"
            "off - dati incoerenti nell'estrazione\n"
            "empty non compresso con LZSS\n"
            "plain non compresso con LZSS\n"
            "Impossibile leggere il file tiny dall'archivio");
  EXPECT_EQ(kesto_test::read_file("good"), "ABCDEFGH");
  EXPECT_EQ(kesto_test::read_file("off"), "ABCDEFGH");
  for (const char* name : {"empty", "plain", "tiny"}) EXPECT_EQ(kesto_test::read_file(name), old);
  EXPECT_FALSE(kesto_test::has_temporary_files());
}

// An entry of fewer than 10 bytes: one of 0 or 1 bytes is skipped whatever
// follows it; from 2 bytes on, "LZ" at its start fails with status 3 and
// anything else is skipped. Exactly 10 bytes with sizes 0 make an empty file.
TEST_F(dl_reader, entries_shorter_than_an_lz_header) {
  for (std::uint32_t size = 0; size <= 10; ++size) {
    enter("size" + std::to_string(size));
    const int lz_status = extract(dl_archive({{"lz", lz(0, 0, ""), size}}), decompress);
    const bytes lz_log = log_;
    const int plain_status = extract(dl_archive({{"p", "plain text", size}}), decompress);
    SCOPED_TRACE(size);
    EXPECT_EQ(plain_status, reader_status::ok);
    EXPECT_EQ(log_, "p non compresso con LZSS\n");
    if (size < 2) {  // no room for the signature: not an LZ entry
      EXPECT_EQ(lz_status, reader_status::ok);
      EXPECT_EQ(lz_log, "lz non compresso con LZSS\n");
      EXPECT_FALSE(kesto_test::file_exists("lz"));
    } else if (size < 10) {
      EXPECT_EQ(lz_status, reader_status::cannot_read);
      EXPECT_EQ(lz_log, "Impossibile leggere il file lz dall'archivio");
      EXPECT_FALSE(kesto_test::file_exists("lz"));
    } else {
      EXPECT_EQ(lz_status, reader_status::ok);
      EXPECT_EQ(lz_log, "lz\n");
      EXPECT_EQ(kesto_test::read_file("lz"), "");
    }
    EXPECT_FALSE(kesto_test::file_exists("p"));
    fs::current_path("..");
  }
}

// The first entry's directory size (20) takes one byte more than its LZ
// data: the decoder reads that flag byte, then a reference made of the next
// entry's "LZ" (13 bytes of an unwritten window position, all zero), and
// stops two bytes past its budget. The next entry is still read from its own
// position, 16 + 20.
TEST_F(dl_reader, decoder_reading_past_its_entry_does_not_shift_the_next) {
  const bytes image = dl_archive({{"e0", eight_letters + '\0', 20}, {"e1", eight_letters}});
  EXPECT_EQ(extract(image, decompress), reader_status::ok);
  EXPECT_EQ(log_, "e0 - dati incoerenti nell'estrazione\ne1\n");
  EXPECT_EQ(kesto_test::read_file("e0"), "ABCDEFGH" + bytes(13, '\0'));
  EXPECT_EQ(kesto_test::read_file("e1"), "ABCDEFGH");
}

TEST_F(dl_reader, entry_named_as_the_open_archive_is_refused_and_the_archive_stays) {
  const bytes image = dl_archive({{"first", eight_letters}, {"self.dl", eight_letters}});
  kesto_test::write_file("self.dl", image);
  for (bool mode : {copy, decompress}) {
    kesto_test::file_ptr archive(std::fopen("self.dl", "rb"));
    EXPECT_EQ(extract_from(archive.get(), mode), reader_status::cannot_create);
    EXPECT_EQ(log_, "first\nImpossibile creare il file self.dl");
    EXPECT_EQ(kesto_test::read_file("self.dl"), image);
  }
}

// Failing entries leave an existing file of their name as it was and no
// temporary file: data cut short (status 3), and write failures (status 5)
// under a file size limit of 1000 bytes, for outputs that fail when closed
// (2000 bytes) or while written (70000 bytes), in both modes.
TEST_F(dl_reader, failing_entry_leaves_an_existing_file_of_its_name_untouched) {
  const bytes old = "OLD CONTENTS";
  kesto_test::write_file("cut", old);
  // Its size runs 500 bytes past its data, through the directory to the end.
  EXPECT_EQ(extract(dl_archive({{"keep", "k"}, {"cut", "12345", 500}}), copy),
            reader_status::cannot_read);
  EXPECT_EQ(log_, "keep\nImpossibile leggere il file cut dall'archivio");
  EXPECT_EQ(kesto_test::read_file("cut"), old);
  EXPECT_EQ(listing(), (names{"cut", "keep"}));

  for (bool mode : {copy, decompress}) {
    for (std::size_t size : {2000u, 70000u}) {
      const bytes data = kesto_test::random_bytes(size, 9);
      enter("fsize" + std::to_string(mode) + "-" + std::to_string(size));
      kesto_test::write_file("big", old);
      auto archive = kesto_test::stream_of(
          dl_archive({{"keep", mode ? eight_letters : "k"},
                      {"big", mode ? kesto_test::lz_entry(data) : data}}));
      auto log = kesto_test::stream_of();
      const int status = kesto_test::run_with_file_size_limit(
          1000, [&] { return extract_dl_archive(archive.get(), log.get(), mode); });
      SCOPED_TRACE(std::to_string(mode) + " " + std::to_string(size));
      EXPECT_EQ(status, reader_status::cannot_write);
      EXPECT_EQ(kesto_test::stream_contents(log.get()), "keep\nImpossibile scrivere il file big");
      EXPECT_EQ(kesto_test::read_file("big"), old);
      EXPECT_FALSE(kesto_test::has_temporary_files());
      fs::current_path("..");
    }
  }
}

}  // namespace
}  // namespace kesto

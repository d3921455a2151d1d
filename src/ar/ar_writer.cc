// AR archive writer: header, a directory skeleton of names, each file's
// scrambled data, then the directory complete with offsets and sizes.
#include <cstring>
#include <vector>

#include "ar/ar_archive.h"
#include "ar/ar_format.h"
#include "ar/keystream.h"
#include "common/byte_order.h"
#include "common/chunk_copy.h"
#include "common/file_handle.h"
#include "common/path.h"
#include "common/platform.h"
#include "common/records.h"
#include "common/status.h"
#include "common/stream_io.h"

namespace kesto {

namespace {

constexpr int archive_failed = writer_status::archive_failed;

int write_header(std::FILE* archive, std::uint32_t count, std::uint16_t key) {
  unsigned char head[8];
  std::memcpy(head, ar_format::signature, 2);
  store_u16le(head + ar_format::key_offset, key);
  store_u32le(head + ar_format::directory_offset_field, ar_format::written_directory_offset);
  unsigned char count_bytes[4];
  store_u32le(count_bytes, count);
  if (!seek_to(archive, 0) || !write_all(archive, head, sizeof head) ||
      !write_all(archive, count_bytes, sizeof count_bytes)) {
    return archive_failed;
  }
  return writer_status::ok;
}

// Writes the directory: every record's name, and its data offset and size
// once sizes holds the size of each file (the data follow the directory back
// to back, so the offsets are running sums). Before the data, with sizes
// empty, it reserves the directory's place; after the last file it is
// written again complete, so that no entry costs a seek back and forth.
int write_directory(std::FILE* archive, const char* const* files, std::uint32_t count,
                    const std::vector<std::uint32_t>& sizes) {
  auto offset = static_cast<std::uint32_t>(ar_format::header_size + count * ar_format::record_size);
  const bool written = write_records<ar_format::record_size>(
      archive, count, [&](std::uint32_t i, unsigned char* record) {
        // The front end has refused a file whose name has no stored form.
        std::string name;
        stored_entry_name(files[i], &name);
        std::memcpy(record, name.data(), stored_name_size(name, ar_format::name_size));
        if (sizes.empty()) return;
        store_u32le(record + ar_format::data_offset_field, offset);
        store_u32le(record + ar_format::size_field, sizes[i]);
        offset += sizes[i];
      });
  return written ? writer_status::ok : archive_failed;
}

// Copies the file at path to the archive's current position, offset,
// scrambled; stores the number of bytes in *size.
int write_entry(std::FILE* archive, const char* path, std::uint32_t index, std::uint16_t key,
                std::uint32_t offset, std::uint32_t max_size, std::uint32_t* size) {
  const int unreadable = writer_status::first_input + static_cast<int>(index);
  file_handle input(open_for_reading(path));
  if (!input) return unreadable;
  use_chunks_unbuffered(input.get());
  keystream ks(key);
  copy_result r = copy_to_end(input.get(), archive, max_size - offset, size,
                              [&ks](unsigned char* p, std::size_t n) { ks.scramble(p, n); });
  if (r == copy_result::read_error) return unreadable;
  if (r != copy_result::ok) return archive_failed;
  return writer_status::ok;
}

}  // namespace

int create_ar_archive_limited(std::FILE* archive, const char* const* files, std::uint32_t count,
                              std::uint16_t key, std::uint32_t max_size) {
  // The directory alone must fit before anything is written.
  const std::uint64_t data_start =
      ar_format::header_size + std::uint64_t{count} * ar_format::record_size;
  if (data_start > max_size) return archive_failed;
  // Inputs whose sizes already say the archive cannot hold them are refused
  // before a byte is read; the limit still holds while writing, for inputs
  // that grow or tell no size.
  if (data_start + known_input_bytes(files, count, [](std::uint64_t n) { return n; }) >
      max_size) {
    return archive_failed;
  }
  int status = write_header(archive, count, key);
  if (status == writer_status::ok) status = write_directory(archive, files, count, {});
  // The size limit keeps every offset below 2^31.
  std::vector<std::uint32_t> sizes(count);
  auto offset = static_cast<std::uint32_t>(data_start);
  for (std::uint32_t i = 0; i < count && status == writer_status::ok; ++i) {
    status = write_entry(archive, files[i], i, key, offset, max_size, &sizes[i]);
    offset += sizes[i];
  }
  if (status != writer_status::ok) return status;
  if (!seek_to(archive, ar_format::written_directory_offset)) return archive_failed;
  return write_directory(archive, files, count, sizes);
}

int create_ar_archive(std::FILE* archive, const char* const* files, std::uint32_t count,
                      std::uint16_t key) {
  return create_ar_archive_limited(archive, files, count, key, max_archive_size);
}

}  // namespace kesto

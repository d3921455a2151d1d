// AR archive writer: header, a directory skeleton of names, then each file's
// scrambled data, patching its record's offset and size once it is copied.
#include <algorithm>
#include <cstring>

#include "ar/ar_archive.h"
#include "ar/ar_format.h"
#include "ar/keystream.h"
#include "common/byte_order.h"
#include "common/chunk_copy.h"
#include "common/file_handle.h"
#include "common/path.h"
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

// Names only; offsets and sizes stay zero until each file is copied.
int write_directory_skeleton(std::FILE* archive, const char* const* files, std::uint32_t count) {
  for (std::uint32_t i = 0; i < count; ++i) {
    unsigned char record[ar_format::record_size] = {};
    std::string_view name = base_name(files[i]);
    std::memcpy(record, name.data(), std::min(name.size(), ar_format::name_size));
    if (!write_all(archive, record, sizeof record)) return archive_failed;
  }
  return writer_status::ok;
}

int patch_record(std::FILE* archive, std::uint32_t index, std::uint32_t offset,
                 std::uint32_t size) {
  std::uint32_t resume = 0;
  if (!tell_position(archive, &resume)) return archive_failed;
  unsigned char fields[8];
  store_u32le(fields, offset);
  store_u32le(fields + 4, size);
  std::uint32_t at = ar_format::written_directory_offset +
                     index * static_cast<std::uint32_t>(ar_format::record_size) +
                     static_cast<std::uint32_t>(ar_format::data_offset_field);
  if (!seek_to(archive, at) || !write_all(archive, fields, sizeof fields) ||
      !seek_to(archive, resume)) {
    return archive_failed;
  }
  return writer_status::ok;
}

// Copies files[index] to the archive's current position, scrambled.
int write_entry(std::FILE* archive, const char* path, std::uint32_t index, std::uint16_t key,
                std::uint32_t max_size) {
  std::uint32_t offset = 0;
  if (!tell_position(archive, &offset) || offset > max_size) return archive_failed;
  const int unreadable = writer_status::first_input + static_cast<int>(index);
  file_handle input(std::fopen(path, "rb"));
  if (!input) return unreadable;
  read_in_chunks_only(input.get());
  keystream ks(key);
  std::uint32_t size = 0;
  copy_result r = copy_to_end(input.get(), archive, max_size - offset, &size,
                              [&ks](unsigned char* p, std::size_t n) { ks.scramble(p, n); });
  if (r == copy_result::read_error) return unreadable;
  if (r != copy_result::ok) return archive_failed;
  input.close();
  return patch_record(archive, index, offset, size);
}

}  // namespace

int create_ar_archive_limited(std::FILE* archive, const char* const* files, std::uint32_t count,
                              std::uint16_t key, std::uint32_t max_size) {
  // The directory alone must fit before anything is written.
  const std::uint64_t data_start =
      ar_format::header_size + std::uint64_t{count} * ar_format::record_size;
  if (data_start > max_size) return archive_failed;
  int status = write_header(archive, count, key);
  if (status == writer_status::ok) status = write_directory_skeleton(archive, files, count);
  for (std::uint32_t i = 0; i < count && status == writer_status::ok; ++i) {
    status = write_entry(archive, files[i], i, key, max_size);
  }
  return status;
}

int create_ar_archive(std::FILE* archive, const char* const* files, std::uint32_t count,
                      std::uint16_t key) {
  return create_ar_archive_limited(archive, files, count, key, max_archive_size);
}

}  // namespace kesto

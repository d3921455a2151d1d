// DL archive writer: header with a provisional directory offset, each file's
// bytes unchanged, the directory of names and sizes, then the offset patch.
#include <algorithm>
#include <cstring>
#include <vector>

#include "common/byte_order.h"
#include "common/chunk_copy.h"
#include "common/file_handle.h"
#include "common/path.h"
#include "common/records.h"
#include "common/status.h"
#include "common/stream_io.h"
#include "dl/dl_archive.h"
#include "dl/dl_format.h"

namespace kesto {

namespace {

constexpr int archive_failed = writer_status::archive_failed;

int write_header(std::FILE* archive, std::uint16_t count) {
  unsigned char head[dl_format::header_size] = {};
  std::memcpy(head, dl_format::signature, sizeof dl_format::signature);
  store_u16le(head + dl_format::count_field, count);
  if (!seek_to(archive, 0) || !write_all(archive, head, sizeof head)) return archive_failed;
  return writer_status::ok;
}

// Appends files[index] unchanged; room is what the archive may still grow
// by with its data.
int write_entry(std::FILE* archive, const char* path, std::uint32_t index, std::uint64_t* room,
                std::uint32_t* size) {
  const int unreadable = writer_status::first_input + static_cast<int>(index);
  file_handle input(std::fopen(path, "rb"));
  if (!input) return unreadable;
  use_chunks_unbuffered(input.get());
  *size = 0;
  copy_result r = copy_to_end(input.get(), archive, *room, size, no_filter{});
  if (r == copy_result::read_error) return unreadable;
  if (r != copy_result::ok) return archive_failed;
  *room -= *size;
  return writer_status::ok;
}

int write_directory(std::FILE* archive, const char* const* files,
                    const std::vector<std::uint32_t>& sizes) {
  const bool written = write_records<dl_format::record_size>(
      archive, static_cast<std::uint32_t>(sizes.size()),
      [&](std::uint32_t i, unsigned char* record) {
        std::string_view name = base_name(files[i]);
        std::memcpy(record, name.data(), std::min(name.size(), dl_format::name_size));
        store_u32le(record + dl_format::size_field, sizes[i]);
      });
  return written ? writer_status::ok : archive_failed;
}

int patch_directory_offset(std::FILE* archive, std::uint32_t offset) {
  unsigned char field[4];
  store_u32le(field, offset);
  if (!seek_to(archive, dl_format::directory_offset_field) ||
      !write_all(archive, field, sizeof field)) {
    return archive_failed;
  }
  return writer_status::ok;
}

}  // namespace

int create_dl_archive_limited(std::FILE* archive, const char* const* files, std::uint32_t count,
                              std::uint32_t max_size) {
  // The count field has 16 bits: more files could not all be found again.
  if (count > dl_format::max_entries) return archive_failed;
  const std::uint64_t fixed =
      dl_format::header_size + std::uint64_t{count} * dl_format::record_size;
  if (fixed > max_size) return archive_failed;
  std::uint64_t room = max_size - fixed;
  int status = write_header(archive, static_cast<std::uint16_t>(count));
  std::vector<std::uint32_t> sizes(count);
  for (std::uint32_t i = 0; i < count && status == writer_status::ok; ++i) {
    status = write_entry(archive, files[i], i, &room, &sizes[i]);
  }
  if (status != writer_status::ok) return status;
  std::uint32_t directory_offset = 0;
  if (!tell_position(archive, &directory_offset)) return archive_failed;
  status = write_directory(archive, files, sizes);
  if (status == writer_status::ok) status = patch_directory_offset(archive, directory_offset);
  return status;
}

int create_dl_archive(std::FILE* archive, const char* const* files, std::uint32_t count) {
  return create_dl_archive_limited(archive, files, count, max_archive_size);
}

}  // namespace kesto

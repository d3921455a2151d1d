// DL archive writer: header with a provisional directory offset, each file's
// bytes unchanged or as an LZ entry, the directory of names and sizes, then
// the offset patch.
#include <algorithm>
#include <cstring>
#include <vector>

#include "common/byte_order.h"
#include "common/chunk_copy.h"
#include "common/file_handle.h"
#include "common/path.h"
#include "common/platform.h"
#include "common/records.h"
#include "common/status.h"
#include "common/stream_io.h"
#include "dl/dl_archive.h"
#include "dl/dl_format.h"
#include "lzss/lzss_decoder.h"
#include "lzss/lzss_encoder.h"

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

// How each entry is written, and the farthest archive position written.
struct entry_mode {
  bool compress = false;
  std::uint32_t reached = 0;
};

// Appends files[index], unchanged or compressed; room is what the archive
// may still grow by with its data.
int write_entry(std::FILE* archive, const char* path, std::uint32_t index, entry_mode* mode,
                std::uint64_t* room, std::uint32_t* size) {
  const int unreadable = writer_status::first_input + static_cast<int>(index);
  file_handle input(std::fopen(path, "rb"));
  if (!input) return unreadable;
  use_chunks_unbuffered(input.get());
  *size = 0;
  if (mode->compress) {
    std::uint32_t reached = 0;
    const int r = append_compressed_dl_entry(archive, input.get(), *room, size, &reached);
    if (r != writer_status::ok) return r == writer_status::first_input ? unreadable : r;
    mode->reached = std::max(mode->reached, reached);
  } else {
    const copy_result r = copy_to_end(input.get(), archive, *room, size, no_filter{});
    if (r == copy_result::read_error) return unreadable;
    if (r != copy_result::ok) return archive_failed;
  }
  *room -= *size;
  return writer_status::ok;
}

// Stores input plain at the archive position start, reading it again from
// input_start (null when it cannot be). The second reading must give as
// many bytes as the first did when it read them all (first_size): a pipe,
// whose bytes are gone, may seem to seek.
int rewrite_plain(std::FILE* archive, std::FILE* input, const std::fpos_t* input_start,
                  std::uint32_t start, std::uint64_t room, const std::uint32_t* first_size,
                  std::uint32_t* size) {
  if (input_start == nullptr || std::fsetpos(input, input_start) != 0) {
    return writer_status::first_input;
  }
  if (!seek_to(archive, start)) return archive_failed;
  *size = 0;
  const copy_result r = copy_to_end(input, archive, room, size, no_filter{});
  if (r == copy_result::read_error) return writer_status::first_input;
  if (r != copy_result::ok) return archive_failed;
  return first_size == nullptr || *size == *first_size ? writer_status::ok
                                                        : writer_status::first_input;
}

int write_directory(std::FILE* archive, const char* const* files,
                    const std::vector<std::uint32_t>& sizes) {
  const bool written = write_records<dl_format::record_size>(
      archive, static_cast<std::uint32_t>(sizes.size()),
      [&](std::uint32_t i, unsigned char* record) {
        std::string_view name = base_name(files[i]);
        std::memcpy(record, name.data(), stored_name_size(name, dl_format::name_size));
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

namespace {

// The bytes left in input from its position, when it is a file that can
// say so (and be put back where it was); else UINT64_MAX.
std::uint64_t bytes_left(std::FILE* input, const std::fpos_t* input_start) {
  const long at = std::ftell(input);
  const std::uint64_t end = stream_size(input);
  if (std::fsetpos(input, input_start) != 0 || at < 0 || end == UINT64_MAX) return UINT64_MAX;
  return end >= static_cast<std::uint64_t>(at) ? end - static_cast<std::uint64_t>(at) : 0;
}

// True when input, read from its start, is one whole LZ entry (as -e
// writes one): it is stored as it is, not compressed a second time.
bool is_stored_lz_entry(std::FILE* input, const std::fpos_t* input_start) {
  if (std::ftell(input) != 0) return false;
  const bool whole = is_whole_lz_entry(input);
  return std::fsetpos(input, input_start) == 0 && !std::ferror(input) && whole;
}

}  // namespace

int append_compressed_dl_entry(std::FILE* archive, std::FILE* input, std::uint64_t room,
                               std::uint32_t* size, std::uint32_t* reached) {
  std::uint32_t start = 0;
  if (!tell_position(archive, &start)) return archive_failed;
  std::fpos_t input_start{};
  const bool rereadable = std::fgetpos(input, &input_start) == 0;
  const std::fpos_t* restart = rereadable ? &input_start : nullptr;
  if (rereadable && is_stored_lz_entry(input, &input_start)) {
    *reached = start;
    return rewrite_plain(archive, input, restart, start, room, nullptr, size);
  }
  // The trial LZ entry stops once it passes the plain bytes' size: the
  // plain copy is kept then, and no file size limit or full disk stops a
  // result that fits.
  const std::uint64_t left = rereadable ? bytes_left(input, &input_start) : UINT64_MAX;
  const std::uint64_t trial_room = std::min(room, left);
  lzss_encoded_entry lz;
  int r = lzss_encode_entry(input, archive, trial_room, &lz);
  if (r == lzss_encode_result::too_large && trial_room < room && lz.input_begins_with_lz) {
    // Stored plain, these bytes would read as an LZ entry: they need theirs,
    // however large.
    if (std::fsetpos(input, &input_start) != 0 || !seek_to(archive, start)) {
      return writer_status::first_input;
    }
    lz = lzss_encoded_entry{};
    r = lzss_encode_entry(input, archive, room, &lz);
  }
  if (r == lzss_encode_result::read_failed) return writer_status::first_input;
  const std::uint64_t lz_size = std::uint64_t{lz_header_size} + lz.packed;
  if (r == lzss_encode_result::ok && (lz_size <= lz.unpacked || lz.input_begins_with_lz)) {
    if (!tell_position(archive, reached)) return archive_failed;
    *size = static_cast<std::uint32_t>(lz_size);
    return writer_status::ok;
  }
  // What the trial may have written, whether or not the archive can still
  // tell its position.
  const std::uint64_t trial_end = std::min<std::uint64_t>(start + trial_room, max_archive_size);
  *reached = static_cast<std::uint32_t>(trial_end);
  // No room for the LZ entry a file beginning with "LZ" needs, nor for
  // plain bytes past room (a file of 4 GiB or more among them).
  if (lz.input_begins_with_lz || lz.input_read > room) return archive_failed;
  if (r == lzss_encode_result::write_failed && !rereadable) return archive_failed;
  // A trial that failed for want of space leaves an error behind that the
  // plain copy must not inherit.
  std::clearerr(archive);
  return rewrite_plain(archive, input, restart, start, room,
                       r == lzss_encode_result::ok ? &lz.unpacked : nullptr, size);
}

int create_dl_archive_limited(std::FILE* archive, const char* const* files, std::uint32_t count,
                              std::uint32_t max_size, bool compress) {
  // The count field has 16 bits: more files could not all be found again.
  if (count > dl_format::max_entries) return archive_failed;
  const std::uint64_t fixed =
      dl_format::header_size + std::uint64_t{count} * dl_format::record_size;
  if (fixed > max_size) return archive_failed;
  std::uint64_t room = max_size - fixed;
  int status = write_header(archive, static_cast<std::uint16_t>(count));
  std::vector<std::uint32_t> sizes(count);
  entry_mode mode{compress};
  for (std::uint32_t i = 0; i < count && status == writer_status::ok; ++i) {
    status = write_entry(archive, files[i], i, &mode, &room, &sizes[i]);
  }
  if (status != writer_status::ok) return status;
  std::uint32_t directory_offset = 0;
  if (!tell_position(archive, &directory_offset)) return archive_failed;
  status = write_directory(archive, files, sizes);
  if (status == writer_status::ok) status = patch_directory_offset(archive, directory_offset);
  // An LZ entry replaced by a shorter plain one may have left bytes past
  // the directory.
  const std::uint64_t end = directory_offset + std::uint64_t{count} * dl_format::record_size;
  if (status == writer_status::ok && mode.reached > end && !set_stream_size(archive, end)) {
    status = archive_failed;
  }
  return status;
}

int create_dl_archive(std::FILE* archive, const char* const* files, std::uint32_t count,
                      bool compress) {
  return create_dl_archive_limited(archive, files, count, max_archive_size, compress);
}

}  // namespace kesto

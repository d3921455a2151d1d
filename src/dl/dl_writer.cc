// DL archive writer: header with a provisional directory offset, each file's
// bytes unchanged or as an LZ entry (compressed on every core), the
// directory of names and sizes, then the offset patch.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "common/byte_order.h"
#include "common/chunk_copy.h"
#include "common/file_handle.h"
#include "common/ordered_work.h"
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

// Appends the file at path unchanged; room is what the archive may still
// grow by with its data.
int append_plain_file(std::FILE* archive, const char* path, int unreadable, std::uint64_t room,
                      std::uint32_t* size) {
  file_handle input(open_for_reading(path));
  if (!input) return unreadable;
  use_chunks_unbuffered(input.get());
  *size = 0;
  const copy_result r = copy_to_end(input.get(), archive, room, size, no_filter{});
  if (r == copy_result::read_error) return unreadable;
  return r == copy_result::ok ? writer_status::ok : archive_failed;
}

int write_directory(std::FILE* archive, const char* const* files,
                    const std::vector<std::uint32_t>& sizes) {
  const bool written = write_records<dl_format::record_size>(
      archive, static_cast<std::uint32_t>(sizes.size()),
      [&](std::uint32_t i, unsigned char* record) {
        // The front end has refused a file whose name has no stored form.
        std::string name;
        stored_entry_name(files[i], &name);
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

int prepare_compressed_dl_entry(std::FILE* input, std::string_view scratch_dir,
                                compressed_dl_entry* entry) {
  entry->plain = false;
  entry->size = 0;
  entry->first_size_known = false;
  entry->rereadable = std::fgetpos(input, &entry->input_start) == 0;
  // A file that is a whole LZ entry already (as -e writes one) is stored as
  // it is: compressed again it would decode to the entry, not to its data.
  const bool at_start = entry->rereadable && std::ftell(input) == 0;
  const std::uint64_t input_size = at_start ? stream_size(input) : UINT64_MAX;
  if (input_size != UINT64_MAX && is_whole_lz_entry(input)) {
    entry->plain = true;
    return std::fsetpos(input, &entry->input_start) == 0 ? writer_status::ok
                                                          : writer_status::first_input;
  }
  // The trial encoding stops once it passes the file's size, where the plain
  // bytes are smaller anyway; a file beginning with "LZ" must be an LZ entry
  // whatever its size (stored plain it would read as a damaged one).
  std::uint64_t room = max_archive_size;
  if (input_size != UINT64_MAX) {
    unsigned char head[2] = {};
    const bool begins_lz = std::fsetpos(input, &entry->input_start) == 0 &&
                           std::fread(head, 1, 2, input) == 2 && head[0] == 'L' && head[1] == 'Z';
    if (std::fsetpos(input, &entry->input_start) != 0) return writer_status::first_input;
    if (!begins_lz) room = input_size;
  }
  entry->scratch = file_handle(open_scratch_file(scratch_dir));
  if (!entry->scratch) return archive_failed;
  lzss_encoded_entry lz;
  errno = 0;
  const int r = lzss_encode_entry(input, entry->scratch.get(), room, &lz);
  if (r == lzss_encode_result::read_failed) return writer_status::first_input;
  // Only a full disk or a file size limit gives way to the plain bytes, no
  // larger, which may fit where the trial did not; any other failure to
  // write the scratch file is final.
  if (r == lzss_encode_result::write_failed && errno != ENOSPC && errno != EFBIG) {
    return archive_failed;
  }
  const std::uint64_t lz_size = std::uint64_t{lz_header_size} + lz.packed;
  if (r == lzss_encode_result::ok && (lz_size <= lz.unpacked || lz.input_begins_with_lz)) {
    entry->size = static_cast<std::uint32_t>(lz_size);
    return writer_status::ok;
  }
  // Larger than the file, or no room for the trial (a full disk, a file size
  // limit): the plain bytes, read again. A file beginning with "LZ" has no
  // plain form.
  if (lz.input_begins_with_lz) return archive_failed;
  entry->scratch.close();
  entry->plain = true;
  entry->first_size_known = r == lzss_encode_result::ok;
  entry->first_size = lz.unpacked;
  return writer_status::ok;
}

int append_prepared_dl_entry(std::FILE* archive, std::FILE* input, compressed_dl_entry& entry,
                             std::uint64_t room, std::uint32_t* size) {
  *size = 0;
  if (!entry.plain) {
    if (entry.size > room) return archive_failed;
    if (std::fseek(entry.scratch.get(), 0, SEEK_SET) != 0) return archive_failed;
    const copy_result r = copy_exact(entry.scratch.get(), archive, entry.size, no_filter{});
    if (r != copy_result::ok) return archive_failed;
    *size = entry.size;
    return writer_status::ok;
  }
  // The second reading must give as many bytes as the first did when it
  // read them all: a pipe, whose bytes are gone, may seem to seek.
  if (!entry.rereadable || std::fsetpos(input, &entry.input_start) != 0) {
    return writer_status::first_input;
  }
  const copy_result r = copy_to_end(input, archive, room, size, no_filter{});
  if (r == copy_result::read_error) return writer_status::first_input;
  if (r != copy_result::ok) return archive_failed;
  return !entry.first_size_known || *size == entry.first_size ? writer_status::ok
                                                               : writer_status::first_input;
}

int create_dl_archive_limited(std::FILE* archive, const char* const* files, std::uint32_t count,
                              std::uint32_t max_size, bool compress, unsigned threads,
                              std::string_view scratch_dir, progress_line* progress) {
  // The count field has 16 bits: more files could not all be found again.
  if (count > dl_format::max_entries) return archive_failed;
  const std::uint64_t fixed =
      dl_format::header_size + std::uint64_t{count} * dl_format::record_size;
  if (fixed > max_size) return archive_failed;
  // Inputs whose sizes already say the archive cannot hold them are refused
  // before a byte is read: plain, each takes its size; compressed, at least
  // its best case, 17 bits for every 18 bytes and the header, or its size
  // when that is smaller.
  const auto least = [compress](std::uint64_t size) {
    if (!compress) return size;
    const std::uint64_t best = lz_header_size + size * 17 / (18 * 8);
    return best < size ? best : size;
  };
  if (fixed + known_input_bytes(files, count, least) > max_size) return archive_failed;
  std::uint64_t room = max_size - fixed;
  int status = write_header(archive, static_cast<std::uint16_t>(count));
  if (status != writer_status::ok) return status;
  std::vector<std::uint32_t> sizes(count);
  const auto unreadable = [](std::uint32_t i) {
    return writer_status::first_input + static_cast<int>(i);
  };
  if (!compress) {
    for (std::uint32_t i = 0; i < count && status == writer_status::ok; ++i) {
      status = append_plain_file(archive, files[i], unreadable(i), room, &sizes[i]);
      room -= sizes[i];
      if (progress != nullptr) progress->advance(sizes[i]);
    }
  } else {
    // Files are compressed side by side, a few ahead of the one being
    // written, each into a scratch file; they reach the archive in order, so
    // it is the same for every number of threads.
    struct prepared {
      file_handle input;
      compressed_dl_entry entry;
      std::uint64_t input_size = 0;  // for the progress line
      int status = writer_status::ok;
    };
    const auto prepare = [&](std::uint32_t i) {
      prepared p;
      p.input = file_handle(open_for_reading(files[i]));
      if (!p.input) {
        p.status = writer_status::first_input;
        return p;
      }
      use_chunks_unbuffered(p.input.get());
      p.input_size = regular_file_size(files[i]);
      if (p.input_size == UINT64_MAX) p.input_size = 0;
      p.status = prepare_compressed_dl_entry(p.input.get(), scratch_dir, &p.entry);
      return p;
    };
    const auto append = [&](std::uint32_t i, prepared& p) {
      int r = p.status;
      if (r == writer_status::ok) {
        r = append_prepared_dl_entry(archive, p.input.get(), p.entry, room, &sizes[i]);
      }
      if (r == writer_status::first_input) return unreadable(i);
      room -= sizes[i];
      if (progress != nullptr) progress->advance(p.input_size);
      return r;
    };
    status = run_ordered<prepared>(count, threads, 2 * threads, prepare, append);
  }
  if (status != writer_status::ok) return status;
  std::uint32_t directory_offset = 0;
  if (!tell_position(archive, &directory_offset)) return archive_failed;
  status = write_directory(archive, files, sizes);
  if (status == writer_status::ok) status = patch_directory_offset(archive, directory_offset);
  return status;
}

int create_dl_archive(std::FILE* archive, const char* const* files, std::uint32_t count,
                      bool compress, std::string_view scratch_dir, progress_line* progress) {
  return create_dl_archive_limited(archive, files, count, max_archive_size, compress,
                                   default_thread_count(), scratch_dir, progress);
}

}  // namespace kesto

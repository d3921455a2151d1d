// DL archive writer: header with a provisional directory offset, each file's
// bytes unchanged or as an LZ entry (compressed on every core), the
// directory of names and sizes, then the offset patch.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
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
                                compressed_dl_entry* entry, bool always_lz) {
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
    if (!begins_lz && !always_lz) room = input_size;
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
  if (r == lzss_encode_result::ok &&
      (lz_size <= lz.unpacked || lz.input_begins_with_lz || always_lz)) {
    entry->size = static_cast<std::uint32_t>(lz_size);
    return writer_status::ok;
  }
  // Larger than the file, or no room for the trial (a full disk, a file size
  // limit): the plain bytes, read again. A file beginning with "LZ" has no
  // plain form.
  if (lz.input_begins_with_lz || always_lz) return archive_failed;
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

namespace {

// One piece of work of compress_dl_entries: a whole file, or a part of one.
struct compression_task {
  std::uint32_t file = 0;
  std::uint32_t part = 0;
  std::uint32_t parts = 1;  // 1: the file whole
  std::uint64_t size = 0;   // the file's size, when in parts,
  std::uint64_t part_size = 0;  // and that of every part but the last
};

struct compression_result {
  prepared_dl_entry whole;  // a file whole
  lzss_part part;           // a part
  bool whole_lz = false;    // part 0: the file is a whole LZ entry already
  int status = writer_status::ok;
};

compression_result compress_task(const compression_task& t, std::string_view scratch_dir,
                                 bool always_lz,
                                 const std::function<file_handle(std::uint32_t)>& open) {
  compression_result r;
  file_handle input = open(t.file);
  if (t.parts == 1) {
    r.whole.input = std::move(input);
    r.whole.status = !r.whole.input ? writer_status::first_input
                                    : prepare_compressed_dl_entry(r.whole.input.get(), scratch_dir,
                                                                  &r.whole.entry, always_lz);
    return r;
  }
  if (!input) {
    r.status = writer_status::first_input;
    return r;
  }
  const std::uint64_t begin = t.part * t.part_size;
  if (t.part == 0 && is_whole_lz_entry(input.get())) {
    r.whole_lz = true;
    return r;
  }
  const std::uint64_t warm = begin < lzss_format::window_size ? 0 : begin - lzss_format::window_size;
  if (!seek_to(input.get(), warm)) {
    r.status = writer_status::first_input;
    return r;
  }
  const std::uint64_t next = t.part + 1 == t.parts ? UINT64_MAX : begin + t.part_size;
  const int e = lzss_encode_part(std::move(input), begin, next, &r.part);
  if (e != lzss_encode_result::ok) {
    r.status = e == lzss_encode_result::read_failed ? writer_status::first_input : archive_failed;
  }
  return r;
}

// A file compressed in parts, from its first part to its last: the parts
// are joined into a scratch file as they come, with the file's size as the
// room of the trial, as prepare_compressed_dl_entry makes it.
class entry_in_parts {
 public:
  entry_in_parts(file_handle input, std::string_view scratch_dir, bool always_lz)
      : scratch_dir_(scratch_dir), always_lz_(always_lz) {
    p_.input = std::move(input);
    if (!p_.input) {
      p_.status = writer_status::first_input;
      return;
    }
    p_.entry.rereadable = std::fgetpos(p_.input.get(), &p_.entry.input_start) == 0;
  }

  void add(compression_result& r, std::uint64_t size) {
    if (p_.status != writer_status::ok || state_ != joining) return;
    if (r.status != writer_status::ok) {
      p_.status = r.status;
      return;
    }
    if (r.whole_lz) {
      p_.entry.plain = true;
      state_ = whole_lz;
      return;
    }
    if (!joiner_) {
      begins_lz_ = r.part.begins_with_lz;
      p_.entry.scratch = file_handle(open_scratch_file(scratch_dir_));
      if (!p_.entry.scratch) {
        p_.status = archive_failed;
        return;
      }
      const std::uint64_t room = begins_lz_ || always_lz_ ? max_archive_size : size;
      joiner_ = std::make_unique<lzss_part_joiner>(p_.entry.scratch.get(), room);
    }
    errno = 0;
    settle(joiner_->add(std::move(r.part)));
  }

  // After the last part: the entry, ready for append_prepared_dl_entry.
  prepared_dl_entry& finish() {
    if (p_.status != writer_status::ok || state_ == whole_lz) return p_;
    if (state_ == joining) {
      lzss_encoded_entry lz;
      errno = 0;
      settle(joiner_->finish(&lz));
      if (state_ == joining) {
        const std::uint64_t lz_size = std::uint64_t{lz_header_size} + lz.packed;
        if (lz_size <= lz.unpacked || begins_lz_ || always_lz_) {
          p_.entry.size = static_cast<std::uint32_t>(lz_size);
          return p_;
        }
        p_.entry.first_size_known = true;
        p_.entry.first_size = lz.unpacked;
        state_ = plain;
      }
    }
    if (state_ == plain) {
      p_.entry.scratch.close();
      p_.entry.plain = true;
      return p_;
    }
    // The parts did not make one input (the file changed while read): the
    // file whole, on this thread.
    if (!seek_to(p_.input.get(), 0)) {
      p_.status = writer_status::first_input;
      return p_;
    }
    p_.entry = compressed_dl_entry{};
    p_.status = prepare_compressed_dl_entry(p_.input.get(), scratch_dir_, &p_.entry, always_lz_);
    return p_;
  }

 private:
  // What a joiner's result means for the entry: the trial may give way to
  // the plain bytes, as in prepare_compressed_dl_entry.
  void settle(int r) {
    const bool lz_only = begins_lz_ || always_lz_;
    if (r == lzss_encode_result::ok) return;
    if (r == lzss_encode_result::read_failed) {
      p_.status = writer_status::first_input;
    } else if (r == lzss_encode_result::cannot_join) {
      state_ = again;
    } else if (!lz_only && (r == lzss_encode_result::too_large ||
                            (r == lzss_encode_result::write_failed &&
                             (errno == ENOSPC || errno == EFBIG)))) {
      state_ = plain;
    } else {
      p_.status = archive_failed;
    }
  }

  enum { joining, whole_lz, plain, again } state_ = joining;
  prepared_dl_entry p_;
  std::unique_ptr<lzss_part_joiner> joiner_;
  std::string_view scratch_dir_;
  bool always_lz_;
  bool begins_lz_ = false;
};

}  // namespace

int compress_dl_entries(std::uint32_t count, unsigned threads, std::string_view scratch_dir,
                        bool always_lz, const std::function<file_handle(std::uint32_t)>& open,
                        const std::function<std::uint64_t(std::uint32_t)>& size,
                        const std::function<int(std::uint32_t, prepared_dl_entry&)>& use) {
  // Files large enough are cut in parts of about lzss_part_size bytes, all
  // of one size (a multiple of 4096) but the last, which is no larger.
  std::vector<compression_task> tasks;
  tasks.reserve(count);
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::uint64_t bytes = threads > 1 ? size(i) : UINT64_MAX;
    const std::uint64_t parts =
        bytes != UINT64_MAX && bytes < max_archive_size
            ? (bytes + lzss_part_size / 2) / lzss_part_size
            : 1;
    if (parts < 2) {
      tasks.push_back({i, 0, 1, 0, 0});
      continue;
    }
    const std::uint64_t unit = lzss_format::window_size;
    const std::uint64_t part_size = ((bytes + parts - 1) / parts + unit - 1) / unit * unit;
    const std::uint64_t count_parts = (bytes + part_size - 1) / part_size;
    for (std::uint64_t k = 0; k < count_parts; ++k) {
      tasks.push_back({i, static_cast<std::uint32_t>(k), static_cast<std::uint32_t>(count_parts),
                       bytes, part_size});
    }
  }
  std::unique_ptr<entry_in_parts> current;
  return run_ordered<compression_result>(
      static_cast<std::uint32_t>(tasks.size()), threads, 2 * threads,
      [&](std::uint32_t k) { return compress_task(tasks[k], scratch_dir, always_lz, open); },
      [&](std::uint32_t k, compression_result& r) {
        const compression_task& t = tasks[k];
        if (t.parts == 1) return use(t.file, r.whole);
        if (t.part == 0) current = std::make_unique<entry_in_parts>(open(t.file), scratch_dir, always_lz);
        current->add(r, t.size);
        if (t.part + 1 < t.parts) return 0;
        const int status = use(t.file, current->finish());
        current.reset();
        return status;
      });
}

int write_with_ready_entries(
    std::uint32_t count, std::span<const std::uint32_t> chosen, std::string_view scratch_dir,
    const std::function<file_handle(std::uint32_t)>& open,
    const std::function<std::uint64_t(std::uint32_t)>& size,
    const std::function<int(std::uint32_t, prepared_dl_entry*)>& write) {
  std::uint32_t next = 0;
  // The entries before `to`, then entry `to` itself when it is ready.
  const auto write_up_to = [&](std::uint32_t to, prepared_dl_entry* ready) {
    for (; next < to; ++next) {
      const int status = write(next, nullptr);
      if (status != 0) return status;
    }
    return ready == nullptr ? 0 : write(next++, ready);
  };
  const int status = compress_dl_entries(
      static_cast<std::uint32_t>(chosen.size()), default_thread_count(), scratch_dir, true, open,
      size, [&](std::uint32_t k, prepared_dl_entry& ready) { return write_up_to(chosen[k], &ready); });
  return status != 0 ? status : write_up_to(count, nullptr);
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
    return compress ? lzss_least_entry_size(size) : size;
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
    status = compress_dl_entries(
        count, threads, scratch_dir, false,
        [&](std::uint32_t i) {
          file_handle input(open_for_reading(files[i]));
          if (input) use_chunks_unbuffered(input.get());
          return input;
        },
        [&](std::uint32_t i) { return regular_file_size(files[i]); },
        [&](std::uint32_t i, prepared_dl_entry& p) {
          int r = p.status;
          if (r == writer_status::ok) {
            r = append_prepared_dl_entry(archive, p.input.get(), p.entry, room, &sizes[i]);
          }
          if (r == writer_status::first_input) return unreadable(i);
          room -= sizes[i];
          if (progress != nullptr) {
            const std::uint64_t input_size = regular_file_size(files[i]);
            progress->advance(input_size == UINT64_MAX ? 0 : input_size);
          }
          return r;
        });
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

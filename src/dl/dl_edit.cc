// DL archive edits (-a, -az, -d): the archive's entries in their order, each
// keeping its stored bytes, taking a FILE's bytes or left out, then the new
// FILEs, written in the writer's layout: the data back to back after the
// header, the directory at the end.
#include <algorithm>
#include <cstring>
#include <vector>

#include "common/byte_order.h"
#include "common/edit.h"
#include "common/ordered_work.h"
#include "common/platform.h"
#include "common/rebuild.h"
#include "common/records.h"
#include "common/status.h"
#include "dl/dl_archive.h"
#include "dl/dl_directory.h"
#include "lzss/lzss_decoder.h"
#include "lzss/lzss_encoder.h"

namespace kesto {

namespace {

constexpr int archive_failed = rebuild_status::archive_failed;
using fate = edit_plan::fate;

// A record of the new directory: the stored name bytes and the size.
struct new_record {
  char name[dl_format::name_size];
  std::uint32_t size;
};

// First walk: judges every entry and counts those of the new archive, which
// must fit the 16-bit count.
int plan_entries(std::FILE* archive, edit_plan& plan, std::FILE* log, std::size_t* count) {
  dl_directory directory(archive);
  int status = directory.open();
  if (status != reader_status::ok) return status;
  status = directory.visit([&](const dl_record& rec) {
    std::size_t file = 0;
    if (plan.judge(rec.name, &file) != fate::remove) ++*count;
    return reader_status::ok;
  });
  if (status != reader_status::ok) return status;
  if (plan.unmatched() != nullptr) return log_unmatched_name(log, *plan.unmatched());
  *count += plan.new_files();
  return *count > dl_format::max_entries ? archive_failed : rebuild_status::ok;
}

// The entries' data at the new archive's position.
class data_writer {
 public:
  data_writer(rebuilt_archive& out, const edit_plan& plan, bool compress_new,
              std::string_view scratch_dir, std::FILE* log)
      : out_(out), plan_(plan), compress_new_(compress_new), scratch_dir_(scratch_dir), log_(log) {}

  // A replaced LZ entry stays an LZ entry: the FILE taken whole when it is
  // one complete LZ entry itself, else compressed; a plain entry takes the
  // FILE's bytes as they are.
  int replace(std::size_t i, bool was_lz, std::uint32_t* size) {
    file_handle file;
    const std::string& path = plan_.files()[i];
    if (!open(path, &file)) return log_unreadable_file(log_, path);
    if (!was_lz || is_whole_lz_entry(file.get())) {
      return out_.take_file(file.get(), size, no_filter{}, log_, path);
    }
    if (std::fseek(file.get(), 0, SEEK_SET) != 0) return log_unreadable_file(log_, path);
    const int r = lzss_encode_entry(file.get(), out_.stream(), out_.room(), size);
    if (r == lzss_encode_result::read_failed) return log_unreadable_file(log_, path);
    return r == lzss_encode_result::ok && out_.advance(*size) ? rebuild_status::ok : archive_failed;
  }

  // The new entries, files[k] of the command line in order, each passed to
  // added(file, size) once written: plain, or with compress_new as -cdz
  // stores them, compressed side by side on every core and written in
  // order, so the archive is the same whatever the number of threads.
  template <class Added>
  int add_all(const std::vector<std::size_t>& files, Added&& added) {
    struct prepared {
      file_handle input;
      compressed_dl_entry entry;
      int status = writer_status::ok;
    };
    const unsigned threads = compress_new_ ? default_thread_count() : 1;
    return run_ordered<prepared>(
        static_cast<std::uint32_t>(files.size()), threads, 2 * threads,
        [&](std::uint32_t k) {
          prepared p;
          if (!open(plan_.files()[files[k]], &p.input)) {
            p.status = writer_status::first_input;
          } else if (compress_new_) {
            p.status = prepare_compressed_dl_entry(p.input.get(), scratch_dir_, &p.entry);
          }
          return p;
        },
        [&](std::uint32_t k, prepared& p) {
          const std::string& path = plan_.files()[files[k]];
          std::uint32_t size = 0;
          int r = p.status;
          if (r == writer_status::ok && !compress_new_) {
            r = out_.take_file(p.input.get(), &size, no_filter{}, log_, path);
            if (r != rebuild_status::ok) return r;
          } else if (r == writer_status::ok) {
            r = append_prepared_dl_entry(out_.stream(), p.input.get(), p.entry, out_.room(), &size);
            if (r == writer_status::ok && !out_.advance(size)) r = archive_failed;
          }
          if (r == writer_status::first_input) return log_unreadable_file(log_, path);
          if (r != writer_status::ok) return archive_failed;
          added(files[k], size);
          return rebuild_status::ok;
        });
  }

 private:
  static bool open(const std::string& path, file_handle* file) {
    *file = file_handle(open_for_reading(path.c_str()));
    if (*file) use_chunks_unbuffered(file->get());
    return static_cast<bool>(*file);
  }

  rebuilt_archive& out_;
  const edit_plan& plan_;
  bool compress_new_;
  std::string_view scratch_dir_;
  std::FILE* log_;
};

// Second walk: the data of every entry of the new archive, and its records.
int write_data(std::FILE* archive, edit_plan& plan, rebuilt_archive& fresh, data_writer& data,
               std::vector<new_record>* records, std::FILE* log, edit_progress& progress) {
  dl_directory directory(archive);
  if (directory.open() != reader_status::ok) return rebuild_status::bad_archive;
  const int status = directory.visit([&](const dl_record& rec) {
    std::size_t file = 0;
    new_record out{};
    std::memcpy(out.name, rec.name, sizeof out.name);
    out.size = rec.size;
    int written = rebuild_status::ok;
    const fate f = plan.judge(rec.name, &file);
    switch (f) {
      case fate::remove:
        plan.note_removed(rec.name);
        progress.entry_done(rec.size);
        return rebuild_status::ok;
      case fate::replace:
        written = data.replace(file, decodes_exactly(archive, rec), &out.size);
        break;
      case fate::keep:
        written = fresh.keep_stored(archive, rec.data_position, rec.size, rec.name, log);
        break;
    }
    if (written != rebuild_status::ok) return written;
    records->push_back(out);
    if (f == fate::replace) progress.file_done(file);
    progress.entry_done(rec.size);
    return written;
  });
  if (status != rebuild_status::ok) return status;
  std::vector<std::size_t> added;
  for (std::size_t i = 0; i < plan.files().size(); ++i) {
    if (plan.is_new(i)) added.push_back(i);
  }
  return data.add_all(added, [&](std::size_t i, std::uint32_t size) {
    new_record out{};
    const std::string name = stored_name(plan.files()[i], dl_format::name_size);
    std::memcpy(out.name, name.data(), name.size());
    out.size = size;
    records->push_back(out);
    progress.file_done(i);
  });
}

}  // namespace

bool find_dl_name_clash(std::span<const std::string> files, name_clash* clash) {
  return find_name_clash(files, dl_format::name_size, clash);
}

void log_dl_cut_names(std::FILE* log, std::span<const std::string> files) {
  log_cut_names(log, files, dl_format::name_size);
}

bool starts_with_dl_signature(std::FILE* archive) {
  unsigned char head[dl_format::checked_signature_size];
  return seek_to(archive, 0) && read_exact(archive, head, sizeof head) &&
         std::memcmp(head, dl_format::signature, sizeof head) == 0;
}

int edit_dl_archive(std::FILE* archive, std::FILE* out, edit_kind kind,
                    std::span<const std::string> operands, std::FILE* log,
                    std::string_view scratch_dir, progress_line* progress) {
  dl_directory directory(archive);
  int status = directory.open();
  if (status != reader_status::ok) return status;
  name_clash clash;
  if (kind != edit_kind::remove && find_dl_name_clash(operands, &clash)) {
    return log_name_clash(log, operands, clash);
  }
  edit_plan plan = kind == edit_kind::remove ? edit_plan(operands)
                                             : edit_plan(operands, dl_format::name_size);
  const bool compress_new = kind == edit_kind::add_compressed;
  std::size_t count = 0;
  status = plan_entries(archive, plan, log, &count);
  if (status != rebuild_status::ok) return status;
  std::vector<new_record> records;
  records.reserve(count);
  rebuilt_archive fresh(out, dl_format::first_entry_offset);
  if (!seek_to(out, fresh.position())) return archive_failed;
  data_writer data(fresh, plan, compress_new, scratch_dir, log);
  edit_progress steps(progress, plan.files());
  status = write_data(archive, plan, fresh, data, &records, log, steps);
  if (status != rebuild_status::ok) return status;
  if (!finish_dl_archive(archive, out, fresh.position(), records)) return archive_failed;
  plan.log_result(log);
  return rebuild_status::ok;
}

}  // namespace kesto

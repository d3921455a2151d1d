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
// must fit the 16-bit count and, from the sizes known before reading (a
// replaced entry, or with compress_new a new one, at least as small as LZSS
// can make it), 2 GiB.
int plan_entries(std::FILE* archive, edit_plan& plan, bool compress_new, std::FILE* log,
                 std::size_t* count) {
  dl_directory directory(archive);
  int status = directory.open();
  if (status != reader_status::ok) return status;
  std::uint64_t least = 0;
  status = directory.visit([&](const dl_record& rec) {
    std::size_t file = 0;
    const fate what = plan.judge(rec.name, &file);
    if (what != fate::remove) ++*count;
    if (what == fate::keep) least += rec.size;
    if (what == fate::replace) least += plan.least_bytes(file, lzss_least_entry_size);
    return reader_status::ok;
  });
  if (status != reader_status::ok) return status;
  if (plan.unmatched() != nullptr) return log_unmatched_name(log, *plan.unmatched());
  *count += plan.new_files();
  for (std::size_t i = 0; i < plan.files().size(); ++i) {
    if (!plan.is_new(i)) continue;
    least += compress_new ? plan.least_bytes(i, lzss_least_entry_size)
                          : plan.least_bytes(i, [](std::uint64_t n) { return n; });
  }
  const std::uint64_t fixed =
      dl_format::header_size + std::uint64_t{*count} * dl_format::record_size;
  return *count > dl_format::max_entries || fixed + least > max_archive_size ? archive_failed
                                                                            : rebuild_status::ok;
}

// The entries' data at the new archive's position.
class data_writer {
 public:
  data_writer(rebuilt_archive& out, const edit_plan& plan, bool compress_new,
              std::string_view scratch_dir, std::FILE* log)
      : out_(out), plan_(plan), compress_new_(compress_new), scratch_dir_(scratch_dir), log_(log) {}

  // A replaced LZ entry stays an LZ entry: the FILE taken whole when it is
  // one complete LZ entry itself, else compressed (ready: made ready on
  // another thread, given for LZ entries alone); a plain entry takes the
  // FILE's bytes as they are.
  int replace(std::size_t i, prepared_dl_entry* ready, std::uint32_t* size) {
    const std::string& path = plan_.files()[i];
    if (ready != nullptr && ready->status == writer_status::ok) {
      if (ready->entry.plain) return out_.take_file(ready->input.get(), size, no_filter{}, log_, path);
      const int r = append_prepared_dl_entry(out_.stream(), ready->input.get(), ready->entry,
                                             out_.room(), size);
      if (r == writer_status::first_input) return log_unreadable_file(log_, path);
      return r == writer_status::ok && out_.advance(*size) ? rebuild_status::ok : archive_failed;
    }
    file_handle file;
    if (!open(path, &file)) return log_unreadable_file(log_, path);
    if (ready == nullptr || is_whole_lz_entry(file.get())) {
      return out_.take_file(file.get(), size, no_filter{}, log_, path);
    }
    if (std::fseek(file.get(), 0, SEEK_SET) != 0) return log_unreadable_file(log_, path);
    const int r = lzss_encode_entry(file.get(), out_.stream(), out_.room(), size);
    if (r == lzss_encode_result::read_failed) return log_unreadable_file(log_, path);
    return r == lzss_encode_result::ok && out_.advance(*size) ? rebuild_status::ok : archive_failed;
  }

  // The count entries written in order by write(j, ready), the replaced
  // LZ entries chosen (taking the FILEs files[k]) made ready on every core
  // (write_with_ready_entries).
  template <class Write>
  int write_in_order(std::uint32_t count, const std::vector<std::uint32_t>& chosen,
                     const std::vector<std::size_t>& files, Write&& write) {
    return write_with_ready_entries(
        count, chosen, scratch_dir_,
        [&](std::uint32_t k) {
          file_handle input;
          open(plan_.files()[files[k]], &input);
          return input;
        },
        [&](std::uint32_t k) { return regular_file_size(plan_.files()[files[k]].c_str()); },
        write);
  }

  // The new entries, files[k] of the command line in order, each passed to
  // added(file, size) once written: plain, or with compress_new as -cdz
  // stores them, compressed side by side on every core and written in
  // order, so the archive is the same whatever the number of threads.
  template <class Added>
  int add_all(const std::vector<std::size_t>& files, Added&& added) {
    const auto count = static_cast<std::uint32_t>(files.size());
    if (!compress_new_) {
      for (std::uint32_t k = 0; k < count; ++k) {
        const std::string& path = plan_.files()[files[k]];
        file_handle input;
        std::uint32_t size = 0;
        if (!open(path, &input)) return log_unreadable_file(log_, path);
        const int r = out_.take_file(input.get(), &size, no_filter{}, log_, path);
        if (r != rebuild_status::ok) return r;
        added(files[k], size);
      }
      return rebuild_status::ok;
    }
    return compress_dl_entries(
        count, default_thread_count(), scratch_dir_, false,
        [&](std::uint32_t k) {
          file_handle input;
          open(plan_.files()[files[k]], &input);
          return input;
        },
        [&](std::uint32_t k) { return regular_file_size(plan_.files()[files[k]].c_str()); },
        [&](std::uint32_t k, prepared_dl_entry& p) {
          const std::string& path = plan_.files()[files[k]];
          std::uint32_t size = 0;
          int r = p.status;
          if (r == writer_status::ok) {
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
  struct judged_record {
    dl_record rec;
    fate what;
    std::size_t file;
  };
  std::vector<judged_record> old;
  old.reserve(directory.count());
  if (directory.visit([&](const dl_record& rec) {
        std::size_t file = 0;
        const fate what = plan.judge(rec.name, &file);
        old.push_back({rec, what, file});
        return rebuild_status::ok;
      }) != rebuild_status::ok) {
    return rebuild_status::bad_archive;
  }
  // Replaced LZ entries are compressed side by side ahead of their turn;
  // the entries are written in order all the same.
  std::vector<std::uint32_t> chosen;
  std::vector<std::size_t> chosen_files;
  for (std::uint32_t j = 0; j < old.size(); ++j) {
    if (old[j].what == fate::replace && decodes_exactly(archive, old[j].rec)) {
      chosen.push_back(j);
      chosen_files.push_back(old[j].file);
    }
  }
  const int status = data.write_in_order(
      static_cast<std::uint32_t>(old.size()), chosen, chosen_files,
      [&](std::uint32_t k, prepared_dl_entry* ready) {
        const judged_record& j = old[k];
        if (j.what == fate::remove) {
          plan.note_removed(j.rec.name);
          progress.entry_done(j.rec.size);
          return rebuild_status::ok;
        }
        new_record out{};
        std::memcpy(out.name, j.rec.name, sizeof out.name);
        out.size = j.rec.size;
        const int written =
            j.what == fate::replace
                ? data.replace(j.file, ready, &out.size)
                : fresh.keep_stored(archive, j.rec.data_position, j.rec.size, j.rec.name, log);
        if (written != rebuild_status::ok) return written;
        records->push_back(out);
        if (j.what == fate::replace) progress.file_done(j.file);
        progress.entry_done(j.rec.size);
        return rebuild_status::ok;
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
  status = plan_entries(archive, plan, compress_new, log, &count);
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

// AR archive edits (-a, -d): the archive's entries in their order, each
// keeping its stored bytes, taking a FILE's bytes or left out, then the new
// FILEs, written in the writer's layout: the directory at 12, the data back
// to back after it.
#include <cstring>
#include <vector>

#include "ar/ar_archive.h"
#include "ar/ar_directory.h"
#include "ar/keystream.h"
#include "common/byte_order.h"
#include "common/edit.h"
#include "common/rebuild.h"
#include "common/status.h"

namespace kesto {

namespace {

constexpr int archive_failed = rebuild_status::archive_failed;
using fate = edit_plan::fate;

// First walk: judges every entry and counts those of the new archive.
// *least gets the fewest data bytes the new archive can hold, from the
// sizes known before reading: an archive that cannot fit fails at once.
int plan_entries(std::FILE* archive, edit_plan& plan, std::uint64_t* count, std::uint64_t* least,
                 std::FILE* log) {
  ar_directory directory(archive);
  int status = directory.open();
  if (status != reader_status::ok) return status;
  const auto own_size = [](std::uint64_t n) { return n; };
  status = directory.visit([&](const ar_record& rec) {
    std::size_t file = 0;
    const fate what = plan.judge(rec.name, &file);
    if (what != fate::remove) ++*count;
    if (what == fate::keep) *least += rec.size;
    if (what == fate::replace) *least += plan.least_bytes(file, own_size);
    return reader_status::ok;
  });
  if (status != reader_status::ok) return status;
  if (plan.unmatched() != nullptr) return log_unmatched_name(log, *plan.unmatched());
  *count += plan.new_files();
  for (std::size_t i = 0; i < plan.files().size(); ++i) {
    if (plan.is_new(i)) *least += plan.least_bytes(i, own_size);
  }
  return rebuild_status::ok;
}

// The entries' data. A FILE that several entries take is read once for
// each, and must give the same bytes every time: their records share
// sizes[file].
class data_writer {
 public:
  data_writer(std::FILE* archive, rebuilt_archive& out, const edit_plan& plan, std::uint16_t key,
              std::FILE* log)
      : archive_(archive), out_(out), plan_(plan), key_(key), log_(log),
        sizes_(plan.files().size()), done_(plan.files().size(), false) {}

  int keep(const ar_record& rec) {
    return out_.keep_stored(archive_, rec.data_offset, rec.size, rec.name, log_);
  }

  int take(std::size_t i) {
    const std::string& path = plan_.files()[i];
    file_handle file(open_for_reading(path.c_str()));
    if (!file) return log_unreadable_file(log_, path);
    use_chunks_unbuffered(file.get());
    keystream ks(key_);
    std::uint32_t size = 0;
    const int status = out_.take_file(
        file.get(), &size, [&ks](unsigned char* p, std::size_t n) { ks.scramble(p, n); }, log_,
        path);
    if (status != rebuild_status::ok) return status;
    if (done_[i] && size != sizes_[i]) return log_unreadable_file(log_, path);
    sizes_[i] = size;
    done_[i] = true;
    return rebuild_status::ok;
  }

  const std::vector<std::uint32_t>& sizes() const { return sizes_; }

 private:
  std::FILE* archive_;
  rebuilt_archive& out_;
  const edit_plan& plan_;
  std::uint16_t key_;
  std::FILE* log_;
  std::vector<std::uint32_t> sizes_;
  std::vector<bool> done_;
};

// Second walk: the data of every entry of the new archive.
int write_data(std::FILE* archive, edit_plan& plan, data_writer& data, edit_progress& progress) {
  ar_directory directory(archive);
  if (directory.open() != reader_status::ok) return rebuild_status::bad_archive;
  const int status = directory.visit([&](const ar_record& rec) {
    std::size_t file = 0;
    int written = rebuild_status::ok;
    switch (plan.judge(rec.name, &file)) {
      case fate::remove:
        plan.note_removed(rec.name);
        break;
      case fate::replace:
        written = data.take(file);
        if (written == rebuild_status::ok) progress.file_done(file);
        break;
      case fate::keep:
        written = data.keep(rec);
        break;
    }
    if (written == rebuild_status::ok) progress.entry_done(rec.size);
    return written;
  });
  for (std::size_t i = 0; i < plan.files().size() && status == rebuild_status::ok; ++i) {
    if (plan.is_new(i)) {
      const int taken = data.take(i);
      if (taken != rebuild_status::ok) return taken;
      progress.file_done(i);
    }
  }
  return status;
}

// The directory's records, written a block at a time from offset 12 on.
class record_writer {
 public:
  record_writer(std::FILE* out, std::uint32_t first_offset) : out_(out), offset_(first_offset) {}

  bool add(std::string_view name, std::uint32_t size) {
    unsigned char record[ar_format::record_size] = {};
    std::memcpy(record, name.data(), name.size() < ar_format::name_size ? name.size()
                                                                         : ar_format::name_size);
    store_u32le(record + ar_format::data_offset_field, offset_);
    store_u32le(record + ar_format::size_field, size);
    offset_ += size;
    block_.insert(block_.end(), record, record + sizeof record);
    return block_.size() < copy_chunk_size || flush();
  }

  bool flush() {
    const bool written = write_all(out_, block_.data(), block_.size());
    block_.clear();
    return written;
  }

 private:
  std::FILE* out_;
  std::uint32_t offset_;
  std::vector<unsigned char> block_;
};

// Third walk: the directory, now that every size is known.
int write_directory(std::FILE* archive, std::FILE* out, edit_plan& plan,
                    const std::vector<std::uint32_t>& sizes, std::uint32_t data_start) {
  ar_directory directory(archive);
  if (directory.open() != reader_status::ok) return rebuild_status::bad_archive;
  if (!seek_to(out, ar_format::written_directory_offset)) return archive_failed;
  record_writer records(out, data_start);
  int status = directory.visit([&](const ar_record& rec) {
    std::size_t file = 0;
    const fate f = plan.judge(rec.name, &file);
    if (f == fate::remove) return rebuild_status::ok;
    // The stored name bytes, as they were, whatever follows a zero.
    const std::string_view name(rec.name, ar_format::name_size);
    return records.add(name, f == fate::keep ? rec.size : sizes[file]) ? rebuild_status::ok
                                                                        : archive_failed;
  });
  for (std::size_t i = 0; i < plan.files().size() && status == rebuild_status::ok; ++i) {
    if (plan.is_new(i) && !records.add(stored_name(plan.files()[i], ar_format::name_size), sizes[i])) {
      status = archive_failed;
    }
  }
  return status != rebuild_status::ok || records.flush() ? status : archive_failed;
}

}  // namespace

bool find_ar_name_clash(std::span<const std::string> files, name_clash* clash) {
  return find_name_clash(files, ar_format::name_size, clash);
}

bool starts_with_ar_signature(std::FILE* archive) {
  unsigned char head[sizeof ar_format::signature];
  return seek_to(archive, 0) && read_exact(archive, head, sizeof head) &&
         std::memcmp(head, ar_format::signature, sizeof head) == 0;
}

int edit_ar_archive(std::FILE* archive, std::FILE* out, edit_kind kind,
                    std::span<const std::string> operands, std::FILE* log,
                    progress_line* progress) {
  ar_directory directory(archive);
  int status = directory.open();
  if (status != reader_status::ok) return status;
  name_clash clash;
  if (kind != edit_kind::remove && find_ar_name_clash(operands, &clash)) {
    return log_name_clash(log, operands, clash);
  }
  edit_plan plan = kind == edit_kind::remove ? edit_plan(operands)
                                             : edit_plan(operands, ar_format::name_size);
  std::uint64_t count = 0;
  std::uint64_t least = 0;
  status = plan_entries(archive, plan, &count, &least, log);
  if (status != rebuild_status::ok) return status;
  const std::uint64_t data_start = ar_format::header_size + count * ar_format::record_size;
  if (data_start + least > max_archive_size) return archive_failed;
  rebuilt_archive fresh(out, static_cast<std::uint32_t>(data_start));
  if (!write_ar_header(out, directory.key(), static_cast<std::uint32_t>(count)) ||
      !seek_to(out, fresh.position())) {
    return archive_failed;
  }
  data_writer data(archive, fresh, plan, directory.key(), log);
  edit_progress steps(progress, plan.files());
  status = write_data(archive, plan, data, steps);
  if (status == rebuild_status::ok) {
    status = write_directory(archive, out, plan, data.sizes(), static_cast<std::uint32_t>(data_start));
  }
  if (status == rebuild_status::ok) plan.log_result(log);
  return status;
}

}  // namespace kesto

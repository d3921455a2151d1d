#include "common/temp_file.h"

#include <cerrno>

#include "common/chunk_copy.h"
#include "common/path.h"
#include "common/platform.h"
#include "common/status.h"
#include "common/stream_io.h"

namespace kesto {

file_handle create_temporary_file(std::string_view dir_prefix, std::string* path) {
  // The process id is asked once: it does not change while kesto runs.
  static const std::string pid = std::to_string(current_process_id());
  const std::string stem = std::string(dir_prefix) + ".kesto-" + pid + "-";
  for (int n = 0; n < 1000; ++n) {
    *path = stem + std::to_string(n) + ".tmp";
    errno = 0;
    if (std::FILE* f = create_new_file(path->c_str())) {
      // New archives and entry files take their data in whole chunks.
      use_chunks_unbuffered(f);
      return file_handle(f);
    }
    if (errno != EEXIST) break;  // not a name clash: another name will not help
  }
  path->clear();
  return file_handle();
}

int entry_output::open(const char* name) {
  discard();
  if (!is_safe_entry_name(name)) return reader_status::cannot_create;
  // Replacing the archive while it is read would destroy it; a read-only
  // file is one that cannot be created.
  existing_ = inspect_existing_file(name, archive_);
  if (existing_.is_open_stream || existing_.read_only) return reader_status::cannot_create;
  file_ = create_temporary_file("", &temp_path_);
  if (!file_) return reader_status::cannot_create;
  name_ = name;
  return reader_status::ok;
}

int entry_output::commit() {
  if (!file_.close()) {
    discard();
    return reader_status::cannot_write;
  }
  if (!replace_file(temp_path_.c_str(), name_.c_str(), existing_)) {
    discard();
    return reader_status::cannot_create;
  }
  temp_path_.clear();
  return reader_status::ok;
}

void entry_output::discard() {
  file_.close();
  if (!temp_path_.empty()) {
    remove_file(temp_path_.c_str());
    temp_path_.clear();
  }
}

int keep_entry(entry_output& out, std::FILE* log, const char* name, const char* line) {
  int status = out.commit();
  if (status == reader_status::cannot_write) return log_failure(log, msg_cannot_write, name, status);
  if (status != reader_status::ok) return log_failure(log, msg_cannot_create, name, status);
  log_message(log, line, name);
  return reader_status::ok;
}

}  // namespace kesto

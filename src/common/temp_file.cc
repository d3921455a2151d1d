#include "common/temp_file.h"

#include "common/path.h"
#include "common/status.h"
#include "common/stream_io.h"

namespace kesto {

bool try_temporary_names(std::string_view dir_prefix, std::string* path,
                         const std::function<name_attempt(const std::string&)>& attempt) {
  static const char hex[] = "0123456789abcdef";
  // A name clash means a stale or a hostile file: another name avoids it.
  for (int tries = 0; tries < 100; ++tries) {
    unsigned char random[8];
    if (!fill_random(random, sizeof random)) return false;
    path->assign(dir_prefix);
    path->append(temporary_name_prefix);
    for (unsigned char byte : random) {
      path->push_back(hex[byte >> 4]);
      path->push_back(hex[byte & 15]);
    }
    path->append(".tmp");
    const name_attempt result = attempt(*path);
    if (result != name_attempt::taken) return result == name_attempt::made;
  }
  return false;
}

bool may_replace(const existing_file& found) {
  switch (found.kind) {
    case file_kind::none:
    case file_kind::symbolic_link:
      return true;
    case file_kind::regular:
      return !found.read_only && !found.is_open_stream;
    default:
      return false;
  }
}

int entry_output::open(const char* name, bool keep_existing) {
  discard();
  if (!entry_file_name(name, &name_)) return reader_status::cannot_create;
  existing_ = inspect_existing_file(name_.c_str(), archive_);
  if (keep_existing && existing_.kind != file_kind::none && !existing_.is_open_stream) {
    return name_taken;
  }
  // An entry named like another file's short name would replace that file.
  if (!may_replace(existing_) || existing_.is_alias || !file_.open("")) {
    return reader_status::cannot_create;
  }
  return reader_status::ok;
}

int entry_output::commit() {
  switch (file_.commit(name_.c_str(), existing_)) {
    case temporary_file::commit_result::committed:
      return reader_status::ok;
    case temporary_file::commit_result::lost_data:
      return reader_status::cannot_write;
    default:
      return reader_status::cannot_create;
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

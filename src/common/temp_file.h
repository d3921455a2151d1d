// Files that replace their target only once complete: entries being
// extracted and archives being created are written under a temporary name
// in the target's directory and renamed onto the target at the end.
#ifndef KESTO_COMMON_TEMP_FILE_H
#define KESTO_COMMON_TEMP_FILE_H

#include <cstdio>
#include <string>
#include <string_view>

#include "common/file_handle.h"
#include "common/platform.h"

namespace kesto {

// Creates a new file for binary writing named dir_prefix + ".kesto-<pid>-<n>.tmp"
// and stores its path. The name is longer than any stored entry name, so it
// never meets an entry. Returns an empty handle when no file could be made.
file_handle create_temporary_file(std::string_view dir_prefix, std::string* path);

// One extracted entry on its way to disk. open() checks the name and starts
// a temporary file in the current directory; commit() renames it onto the
// name; discard() (and the destructor) remove it. A file that already has
// the name is replaced whole or not at all.
class entry_output {
 public:
  explicit entry_output(std::FILE* archive) : archive_(archive) {}
  ~entry_output() { discard(); }
  entry_output(const entry_output&) = delete;
  entry_output& operator=(const entry_output&) = delete;

  // reader_status::ok, or cannot_create for an unsafe name, a name that is
  // the open archive itself or a read-only file, or a temporary file that
  // cannot be made.
  int open(const char* name);
  std::FILE* stream() const { return file_.get(); }
  // reader_status::ok; cannot_write when closing loses data; cannot_create
  // when the rename fails. The temporary file is gone afterwards either way.
  int commit();
  void discard();

 private:
  std::FILE* archive_;
  file_handle file_;
  std::string name_;
  std::string temp_path_;
  existing_file existing_;  // what had the name when the entry began
};

// Commits a complete entry and logs line (one %s, the name) for it. When the
// commit fails, logs the matching failure fragment and returns its status.
int keep_entry(entry_output& out, std::FILE* log, const char* name, const char* line);

}  // namespace kesto

#endif

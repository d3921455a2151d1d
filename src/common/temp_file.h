// Files that replace their target only once complete: entries being
// extracted and archives being created are written as a temporary_file
// (common/platform.h) and take their name at the end.
#ifndef KESTO_COMMON_TEMP_FILE_H
#define KESTO_COMMON_TEMP_FILE_H

#include <cstdio>
#include <string>

#include "common/platform.h"

namespace kesto {

// True when a new file may take the place of what inspect_existing_file
// found: nothing, a symbolic link (replaced, never followed) or a regular
// file that this user may write and that is not the open archive. Never a
// directory, a device, a FIFO or a socket.
bool may_replace(const existing_file& found);

// One extracted entry on its way to disk. open() checks the name and starts
// a temporary file in the current directory; commit() gives it the name;
// discard() (and the destructor) remove it. A file that already has the
// name is replaced whole or not at all.
class entry_output {
 public:
  explicit entry_output(std::FILE* archive) : archive_(archive) {}
  entry_output(const entry_output&) = delete;
  entry_output& operator=(const entry_output&) = delete;

  // reader_status::ok, or cannot_create for an unsafe name, a name that
  // may_replace refuses, or a temporary file that cannot be made. With
  // keep_existing, a name that anything but the open archive already has
  // (a file, a link, a directory) gives name_taken, and commit() later takes
  // the name only if it is still free.
  int open(const char* name, bool keep_existing = false);
  static constexpr int name_taken = -1;
  std::FILE* stream() const { return file_.stream(); }
  // reader_status::ok; cannot_write when not every byte reaches the file;
  // cannot_create when the file cannot take the name. The temporary file is
  // gone afterwards either way.
  int commit();
  void discard() { file_.discard(); }

 private:
  std::FILE* archive_;
  temporary_file file_;
  std::string name_;
  existing_file existing_;  // what had the name when the entry began
};

// Commits a complete entry and logs line (one %s, the name) for it. When the
// commit fails, logs the matching failure fragment and returns its status.
int keep_entry(entry_output& out, std::FILE* log, const char* name, const char* line);

}  // namespace kesto

#endif

// Pieces shared by the operations that change what an archive holds (-a,
// -az, -d) and by creation: the names files get in an archive, the one rule
// by which two names are the same name, and which entries an edit keeps,
// replaces or removes.
#ifndef KESTO_COMMON_EDIT_H
#define KESTO_COMMON_EDIT_H

#include <cstddef>
#include <cstdio>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/name_match.h"
#include "common/platform.h"
#include "common/progress.h"

namespace kesto {

// Results of the edits beyond those of rebuild_status (common/status.h),
// whose values they share.
namespace edit_status {
inline constexpr int no_match = 6;     // a NAME of -d matches no entry (fragment logged)
inline constexpr int names_clash = 7;  // two FILEs would get one name (fragment logged)
}  // namespace edit_status

// What an edit does with its operands: adds or replaces the FILEs (-a; new
// DL entries compressed with -az), or removes the entries the NAMEs match
// (-d).
enum class edit_kind { add, add_compressed, remove };

// The name a file of path gets in a name field of field bytes: its base name
// in the stored names' code page (stored_entry_name), cut as the writers cut
// it (stored_name_size). Empty for a name without a stored form, which the
// front end refuses before any edit.
std::string stored_name(std::string_view path, std::size_t field);

// What two names are compared by: the name a file of that name is stored
// under on disk (file_name_as_stored), ASCII letters folded to lower case.
// Two entries with the same key are extracted to one file on Windows, which
// is where the games run.
std::string name_key(std::string_view name);

// Two file operands whose stored names have the same key; operands of the
// same text are one file named twice, and no clash.
struct name_clash {
  std::size_t first = 0;
  std::size_t second = 0;
};
bool find_name_clash(std::span<const std::string> files, std::size_t field, name_clash* clash);

// Logs the fragment "I file %s e %s avrebbero lo stesso nome nell'archivio"
// and returns edit_status::names_clash.
int log_name_clash(std::FILE* log, std::span<const std::string> files, const name_clash& clash);

// Logs "%s salvato come %s" for each of files whose base name is longer
// than its stored name.
void log_cut_names(std::FILE* log, std::span<const std::string> files, std::size_t field);

// What an edit does to the entries of one archive: with FILEs (-a, -az),
// an entry whose name has the key of a FILE's stored name takes that FILE's
// bytes and every FILE no entry takes becomes a new entry at the end; with
// NAMEs (-d), the entries a NAME matches (name_matches) are removed. The
// FILEs must not clash (find_name_clash).
class edit_plan {
 public:
  enum class fate { keep, replace, remove };

  edit_plan(std::span<const std::string> files, std::size_t field);
  explicit edit_plan(std::span<const std::string> names);

  // The fate of the entry called name; for replace, *file is the index of
  // the FILE it takes. Remembers which FILEs and NAMEs met an entry.
  fate judge(const char* name, std::size_t* file);

  std::span<const std::string> files() const { return files_; }
  // The fewest bytes FILE i takes as an entry: least(n) of its size n as
  // the system tells it before reading, or 0 when it cannot.
  template <class Least>
  std::uint64_t least_bytes(std::size_t i, Least&& least) const {
    const std::uint64_t n = regular_file_size(files_[i].c_str());
    return n == UINT64_MAX ? 0 : least(n);
  }
  // A FILE that no entry has taken, after every entry was judged.
  bool is_new(std::size_t file) const { return !taken_[file] && !repeated_[file]; }
  std::size_t new_files() const;
  // The NAME of -d that matched no entry, or nullptr.
  const std::string* unmatched() const { return removing_.unmatched(); }

  // Notes an entry that was left out of the new archive.
  void note_removed(const char* name) { removed_.emplace_back(name); }

  // Once the new archive is written: with FILEs, one line per FILE, in
  // command-line order (a FILE named again is one FILE): "salvato come"
  // when its name was cut, then "%s sostituito" with the name of the first
  // entry it replaced, or "%s aggiunto" with its stored name; with NAMEs,
  // "%s eliminato" for each entry removed, in directory order.
  void log_result(std::FILE* log) const;

 private:
  std::span<const std::string> files_;
  std::size_t field_ = 0;
  std::unordered_map<std::string, std::size_t> file_of_key_;
  std::vector<bool> taken_;            // per FILE: whether an entry took it
  std::vector<bool> repeated_;         // per FILE: an earlier operand of the same text
  std::vector<std::string> taken_by_;  // per FILE: the first entry it replaced
  name_selection removing_;
  std::vector<std::string> removed_;
};

// The progress line of an edit, when one is drawn: each entry of the
// archive is a step of its stored bytes once its fate is carried out
// (kept, replaced or removed alike), and each FILE a step of its size the
// first time it is written, so that the line ends at the totals the front
// end counts beforehand without knowing which FILEs replace entries.
class edit_progress {
 public:
  edit_progress(progress_line* line, std::span<const std::string> files)
      : line_(line), files_(files), counted_(line != nullptr ? files.size() : 0, false) {}

  void entry_done(std::uint32_t stored_bytes) {
    if (line_ != nullptr) line_->advance(stored_bytes);
  }
  void file_done(std::size_t file);

  // Adds to totals what the FILEs of an edit count: one step each (a FILE
  // named again is one FILE) of its size as regular_file_size tells it;
  // one whose size only reading tells counts no bytes.
  static void count_files(std::span<const std::string> files, selection_totals* totals);

 private:
  progress_line* line_;
  std::span<const std::string> files_;
  std::vector<bool> counted_;  // per FILE: whether the line has counted it
};

// The regular files of the directory -u takes files from: an entry whose
// file is not found under its exact name takes the one file whose name
// differs from it only in ASCII letter case (on Windows the system does the
// same), and each file that no entry takes is named, so that none is left
// out silently.
class directory_files {
 public:
  // Lists dir; one that cannot be listed offers no other names.
  explicit directory_files(const directory_handle& dir);

  // The name to look up the file of the entry called name under: its file
  // name as the system stores it (entry_file_name) when nothing has it
  // ignoring letter case, or a regular file has exactly it, or anything
  // else does; else the one file that has it ignoring letter case. Two
  // such files: false, after logging the clash fragment that names both.
  bool choose(const char* name, std::string* chosen, std::FILE* log) const;
  // Notes that an entry took the file chosen.
  void take(const std::string& chosen);
  // Logs "%s non presente nell'archivio, non aggiunto" for each file that
  // no entry took and skip(name) does not leave out, in byte order.
  void log_untaken(std::FILE* log, const std::function<bool(const std::string&)>& skip) const;

 private:
  const directory_handle& dir_;
  std::string prefix_;              // the directory's path, for messages
  std::vector<std::string> names_;  // sorted
  std::vector<bool> taken_;
  std::unordered_multimap<std::string, std::size_t> by_folded_name_;
};

// Logs the fragment "Nessun file dell'archivio corrisponde a %s" and
// returns edit_status::no_match.
int log_unmatched_name(std::FILE* log, const std::string& name);

}  // namespace kesto

#endif

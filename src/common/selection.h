// The walks of -x and -p over either format's directory (ar_directory,
// dl_directory): choosing the entries the NAMEs match before anything is
// written, then visiting the chosen ones.
#ifndef KESTO_COMMON_SELECTION_H
#define KESTO_COMMON_SELECTION_H

#include <cstdio>

#include "common/name_match.h"
#include "common/progress.h"
#include "common/status.h"

namespace kesto {

// Matches every record's name against selection, counting the chosen
// entries and their stored bytes in totals (when given). Returns
// reader_status: ok; wrong_format; bad_archive; or name_not_found when a
// NAME matched no entry.
template <class Directory>
int select_entries_in(std::FILE* archive, name_selection* selection, selection_totals* totals) {
  Directory directory(archive);
  const int opened = directory.open();
  if (opened != reader_status::ok) return opened;
  const int status = directory.visit([&](const auto& rec) {
    if (selection->select(rec.name) && totals != nullptr) {
      ++totals->entries;
      totals->bytes += rec.size;
    }
    return reader_status::ok;
  });
  if (status != reader_status::ok) return status;
  return selection->unmatched() != nullptr ? reader_status::name_not_found : reader_status::ok;
}

// Calls handle(directory, record) for each chosen record in directory
// order until it returns anything but ok; the progress line (when given)
// is erased before each entry, whose handling may print a line, and
// advances after it.
template <class Directory, class Handle>
int visit_chosen_entries(std::FILE* archive, name_selection* selection, progress_line* progress,
                         Handle&& handle) {
  Directory directory(archive);
  const int opened = directory.open();
  if (opened != reader_status::ok) return opened;
  return directory.visit([&](const auto& rec) {
    if (!selection->select(rec.name)) return reader_status::ok;
    if (progress != nullptr) progress->erase();
    const int status = handle(directory, rec);
    if (progress != nullptr) progress->advance(rec.size);
    return status;
  });
}

}  // namespace kesto

#endif

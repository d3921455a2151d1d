#include "common/edit.h"

#include <algorithm>
#include <unordered_set>

#include "common/path.h"
#include "common/platform.h"
#include "common/progress.h"
#include "common/stream_io.h"

namespace kesto {

namespace {

constexpr const char* msg_cut = "%s salvato come %s\n";
constexpr const char* msg_added = "%s aggiunto\n";
constexpr const char* msg_removed = "%s eliminato\n";
constexpr const char* msg_clash = "I file %s e %s avrebbero lo stesso nome nell'archivio";
constexpr const char* msg_not_added = "%s non presente nell'archivio, non aggiunto\n";
constexpr const char* msg_no_match = "Nessun file dell'archivio corrisponde a %s";

void log_cut_name(std::FILE* log, const std::string& path, std::string_view stored) {
  std::string whole;
  stored_entry_name(path, &whole);
  if (log == nullptr || stored.size() == whole.size()) return;
  progress_line::before_line(log);
  std::fprintf(log, msg_cut, printable_name(path).c_str(), printable_entry_name(stored).c_str());
}

// The size of the regular file path leads to, or 0 when only reading
// tells it: a progress step counts the bytes known beforehand.
std::uint64_t known_file_bytes(const std::string& path) {
  const std::uint64_t size = regular_file_size(path.c_str());
  return size == UINT64_MAX ? 0 : size;
}

}  // namespace

std::string stored_name(std::string_view path, std::size_t field) {
  std::string stored;
  stored_entry_name(path, &stored);
  stored.resize(stored_name_size(stored, field));
  return stored;
}

std::string folded(std::string_view name) {
  std::string text(name);
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

std::string name_key(std::string_view name) { return folded(file_name_as_stored(name)); }

bool find_name_clash(std::span<const std::string> files, std::size_t field, name_clash* clash) {
  std::unordered_map<std::string, std::size_t> first_of_key;
  first_of_key.reserve(files.size());
  for (std::size_t i = 0; i < files.size(); ++i) {
    const auto [at, added] = first_of_key.emplace(name_key(stored_name(files[i], field)), i);
    if (!added && files[at->second] != files[i]) {
      *clash = {at->second, i};
      return true;
    }
  }
  return false;
}

int log_name_clash(std::FILE* log, std::span<const std::string> files, const name_clash& clash) {
  if (log != nullptr) {
    progress_line::before_line(log);
    std::fprintf(log, msg_clash, printable_name(files[clash.first]).c_str(),
                 printable_name(files[clash.second]).c_str());
  }
  return edit_status::names_clash;
}

void log_cut_names(std::FILE* log, std::span<const std::string> files, std::size_t field) {
  std::unordered_set<std::string_view> named;  // a file named again is named once
  for (const std::string& file : files) {
    if (named.insert(file).second) log_cut_name(log, file, stored_name(file, field));
  }
}

edit_plan::edit_plan(std::span<const std::string> files, std::size_t field)
    : files_(files), field_(field), taken_(files.size(), false),
      repeated_(files.size(), false), taken_by_(files.size()), removing_({}) {
  for (std::size_t i = 0; i < files.size(); ++i) {
    repeated_[i] = !file_of_key_.emplace(name_key(stored_name(files[i], field)), i).second;
  }
}

edit_plan::edit_plan(std::span<const std::string> names) : removing_(names) {}

edit_plan::fate edit_plan::judge(const char* name, std::size_t* file) {
  if (files_.empty()) return removing_.select(name) ? fate::remove : fate::keep;
  const auto found = file_of_key_.find(name_key(name));
  if (found == file_of_key_.end()) return fate::keep;
  *file = found->second;
  if (!taken_[*file]) {
    taken_[*file] = true;
    taken_by_[*file] = name;
  }
  return fate::replace;
}

std::size_t edit_plan::new_files() const {
  std::size_t count = 0;
  for (std::size_t i = 0; i < files_.size(); ++i) count += is_new(i) ? 1 : 0;
  return count;
}

void edit_plan::log_result(std::FILE* log) const {
  for (const std::string& name : removed_) log_message(log, msg_removed, name.c_str());
  for (std::size_t i = 0; i < files_.size(); ++i) {
    if (repeated_[i]) continue;
    const std::string stored = stored_name(files_[i], field_);
    log_cut_name(log, files_[i], stored);
    if (taken_[i]) {
      log_message(log, msg_replaced, taken_by_[i].c_str());
    } else {
      log_message(log, msg_added, stored.c_str());
    }
  }
}

void edit_progress::file_done(std::size_t file) {
  if (line_ == nullptr || counted_[file]) return;
  counted_[file] = true;
  line_->advance(known_file_bytes(files_[file]));
}

void edit_progress::count_files(std::span<const std::string> files, selection_totals* totals) {
  std::unordered_set<std::string_view> named;
  for (const std::string& file : files) {
    if (!named.insert(file).second) continue;
    ++totals->entries;
    totals->bytes += known_file_bytes(file);
  }
}

directory_files::directory_files(const directory_handle& dir) : dir_(dir), prefix_(dir.path()) {
  if (!dir.list_regular_files(&names_)) names_.clear();
  taken_.assign(names_.size(), false);
  for (std::size_t i = 0; i < names_.size(); ++i) by_folded_name_.emplace(folded(names_[i]), i);
  if (!prefix_.empty() && prefix_.back() != '/' && prefix_.back() != '\\') prefix_.push_back('/');
}

bool directory_files::choose(const char* name, std::string* chosen, std::FILE* log) const {
  if (!entry_file_name(name, chosen)) return true;
  if (std::binary_search(names_.begin(), names_.end(), *chosen)) return true;
  const auto [first, last] = by_folded_name_.equal_range(folded(*chosen));
  if (first == last) return true;
  // A link or other file that is no regular file under the exact name is
  // looked up as it is, and fails there. (A regular one is found here only
  // where the system ignores letter case, and is one of the candidates.)
  file_handle exact;
  const regular_file found = dir_.open_file(chosen->c_str(), &exact);
  if (found != regular_file::missing && found != regular_file::opened) return true;
  std::vector<std::string> candidates;
  for (auto it = first; it != last; ++it) candidates.push_back(prefix_ + names_[it->second]);
  if (candidates.size() == 1) {
    *chosen = names_[first->second];
    return true;
  }
  std::sort(candidates.begin(), candidates.end());
  log_name_clash(log, candidates, {0, 1});
  return false;
}

void directory_files::take(const std::string& chosen) {
  const auto at = std::lower_bound(names_.begin(), names_.end(), chosen);
  if (at != names_.end() && *at == chosen) taken_[static_cast<std::size_t>(at - names_.begin())] = true;
}

void directory_files::log_untaken(std::FILE* log,
                                  const std::function<bool(const std::string&)>& skip) const {
  for (std::size_t i = 0; i < names_.size(); ++i) {
    // A file name, not a stored one: printed as it is spelt.
    if (log != nullptr && !taken_[i] && !skip(names_[i])) {
      progress_line::before_line(log);
      std::fprintf(log, msg_not_added, printable_name(names_[i]).c_str());
    }
  }
}

int log_unmatched_name(std::FILE* log, const std::string& name) {
  log_message(log, msg_no_match, name.c_str());
  return edit_status::no_match;
}

}  // namespace kesto

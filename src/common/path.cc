#include "common/path.h"

#include <cstring>

#include "common/platform.h"

namespace kesto {

namespace {

bool is_control_byte(char c) { return (c > 0 && c < 0x20) || c == 0x7F; }

bool is_separator(char c) { return c == '\\' || c == '/'; }

// Where the last "\" or "/" of path is, or npos. The path is read character
// by character, so that the second byte of a double-byte character is never
// taken for a separator.
std::size_t last_separator(std::string_view path) {
  std::size_t found = std::string_view::npos;
  for (std::size_t i = 0; i < path.size(); i += character_size(path.substr(i))) {
    if (is_separator(path[i])) found = i;
  }
  return found;
}

}  // namespace

std::string_view base_name(std::string_view path) {
  const std::size_t cut = last_separator(path);
  return cut == std::string_view::npos ? path : path.substr(cut + 1);
}

std::size_t stored_name_size(std::string_view name, std::size_t field) {
  std::size_t n = 0;
  while (n < name.size()) {
    const std::size_t step = stored_character_size(name.substr(n));
    if (n + step > field) break;
    n += step;
  }
  return n;
}

bool stored_entry_name(std::string_view path, std::string* stored) {
  return file_to_stored_name(base_name(path), stored);
}

std::string_view directory_prefix(std::string_view path) {
  const std::size_t cut = last_separator(path);
  if (cut != std::string_view::npos) return path.substr(0, cut + 1);
  if (path.size() >= 2 && path[1] == ':') return path.substr(0, 2);
  return {};
}

namespace {

// name is neither empty, "." nor "..", and holds no separator, ":" or
// control byte, read one character (of size step) at a time.
bool has_safe_characters(std::string_view name, std::size_t (*step)(std::string_view)) {
  if (name.empty() || name == "." || name == "..") return false;
  for (std::string_view rest = name; !rest.empty(); rest.remove_prefix(step(rest))) {
    if (is_separator(rest[0]) || rest[0] == ':' || is_control_byte(rest[0])) return false;
  }
  return true;
}

}  // namespace

bool entry_file_name(const char* name, std::string* file) {
  // The stored form is read in its own code page, the file name in the
  // file system's: a character of either may not hide a separator.
  std::string converted;
  if (!has_safe_characters(name, stored_character_size) || !stored_to_file_name(name, &converted) ||
      !has_safe_characters(converted, character_size)) {
    return false;
  }
  *file = file_name_as_stored(converted);
  return !file->empty() && !is_reserved_file_name(file->c_str());
}

bool is_safe_entry_name(const char* name) {
  std::string file;
  return entry_file_name(name, &file);
}

std::string printable_entry_name(std::string_view name) {
  std::string converted;
  return printable_name(stored_to_file_name(name, &converted) ? converted : name);
}

// A C1 control in UTF-8 is C2 followed by 80-9F. Alone, those bytes stay:
// they are Shift-JIS lead bytes and code page 1252 letters.
std::string printable_name(std::string_view name) {
  std::string shown;
  shown.reserve(name.size());
  for (std::size_t i = 0; i < name.size(); ++i) {
    const bool c1_control = name[i] == '\xC2' && i + 1 < name.size() &&
                            (static_cast<unsigned char>(name[i + 1]) & 0xE0) == 0x80;
    i += c1_control ? 1 : 0;
    shown.push_back(c1_control || is_control_byte(name[i]) ? '?' : name[i]);
  }
  return shown;
}

namespace {

char upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

bool equals_upper(std::string_view s, std::string_view upper_word) {
  if (s.size() != upper_word.size()) return false;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (upper(s[i]) != upper_word[i]) return false;
  }
  return true;
}

}  // namespace

std::string_view without_trailing_dots_and_blanks(std::string_view name) {
  const std::size_t keep = name.find_last_not_of(". ");
  return name.substr(0, keep == std::string_view::npos ? 0 : keep + 1);
}

bool is_windows_device_name(std::string_view name) {
  // The device is named by the part before the first dot, blanks before the
  // dot ignored: "nul.txt" and "nul .txt" are both NUL.
  std::string_view stem = name.substr(0, name.find('.'));
  while (!stem.empty() && stem.back() == ' ') stem.remove_suffix(1);
  for (std::string_view word : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"}) {
    if (equals_upper(stem, word)) return true;
  }
  const auto digit = static_cast<unsigned char>(stem.size() == 4 ? stem[3] : 0);
  if ((digit >= '1' && digit <= '9') || digit == 0xB9 || digit == 0xB2 || digit == 0xB3) {
    std::string_view prefix = stem.substr(0, 3);
    if (equals_upper(prefix, "COM") || equals_upper(prefix, "LPT")) return true;
  }
  return false;
}

}  // namespace kesto

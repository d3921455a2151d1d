// Path and name rules shared by the writers, the readers and the front end.
#ifndef KESTO_COMMON_PATH_H
#define KESTO_COMMON_PATH_H

#include <string>
#include <string_view>

namespace kesto {

// The part of path after its last "\" or "/"; the whole path when it has
// neither. A drive prefix such as C: is no separator.
std::string_view base_name(std::string_view path);

// The leading part of path that names its directory, separator included
// ("dir/" for "dir/a.ar", "C:" for "C:a.ar", "" for "a.ar"). A file created
// as prefix + name lands in the same directory as path.
std::string_view directory_prefix(std::string_view path);

// True for a name that a reader may create in the current directory: not
// empty, not "." or "..", without "/", "\", ":" or a control byte, and not
// a name the system treats specially (see is_reserved_file_name).
bool is_safe_entry_name(const char* name);

// name as kesto prints it: each control byte (0x01-0x1F, 0x7F) shown as
// "?", so that no name can move the cursor or rewrite the user's screen.
std::string printable_name(std::string_view name);

// True for the names Windows maps to devices or alters when it stores a
// file: CON, PRN, AUX, NUL, CONIN$, CONOUT$, COM1-COM9, LPT1-LPT9 in any
// case, alone or with an extension (blanks before the dot ignored), and
// names ending in a dot or a blank.
bool is_windows_device_name(std::string_view name);

}  // namespace kesto

#endif

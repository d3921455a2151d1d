// Path and name rules shared by the writers, the readers and the front end.
#ifndef KESTO_COMMON_PATH_H
#define KESTO_COMMON_PATH_H

#include <cstddef>
#include <string>
#include <string_view>

namespace kesto {

// The part of path after its last "\" or "/"; the whole path when it has
// neither. A drive prefix such as C: is no separator, nor is the second byte
// of a double-byte character (character_size, common/platform.h).
std::string_view base_name(std::string_view path);

// How many bytes of name, a stored name, a name field of field bytes keeps:
// as many as fit, but never part of a character (stored_character_size),
// which would leave a name no file can have.
std::size_t stored_name_size(std::string_view name, std::size_t field);

// The name an archive stores for the file at path: its base_name in the
// stored names' code page (file_to_stored_name), still to be cut to the
// field (stored_name_size). False when it has no exact form there.
bool stored_entry_name(std::string_view path, std::string* stored);

// The leading part of path that names its directory, separator included
// ("dir/" for "dir/a.ar", "C:" for "C:a.ar", "" for "a.ar"). A file created
// as prefix + name lands in the same directory as path.
std::string_view directory_prefix(std::string_view path);

// True for a stored name that a reader may create in the current
// directory: not empty, not "." or "..", without "/", "\", ":" or a control
// byte (read character by character in the stored names' code page, and
// again once it is a file name, stored_to_file_name), with an exact form as
// a file name, and, as the system stores it (file_name_as_stored), neither
// empty nor a name the system treats specially (is_reserved_file_name).
bool is_safe_entry_name(const char* name);
// The same test, that also gives the name as the system stores it, the one
// the entry is extracted to and rebuilt from, in *file.
bool entry_file_name(const char* name, std::string* file);

// A stored name as kesto prints it: in the file names' form where it has
// one (stored_to_file_name), else its bytes, then as printable_name.
std::string printable_entry_name(std::string_view name);

// name as kesto prints it: each control byte (0x01-0x1F, 0x7F) and each C1
// control in UTF-8 (C2 80 to C2 9F) shown as one "?", so that no name can
// move the cursor or rewrite the user's screen. Other bytes, 80-9F alone
// included, are shown as they are.
std::string printable_name(std::string_view name);

// True for the names Windows maps to devices: CON, PRN, AUX, NUL, CONIN$,
// CONOUT$, and COM or LPT followed by a digit 1-9 or a superscript one, two
// or three (bytes B9, B2, B3 in Latin-1), in any case, alone or with an
// extension (blanks before the dot ignored).
bool is_windows_device_name(std::string_view name);

// name without its trailing dots and blanks: what Windows stores a file
// created under name as.
std::string_view without_trailing_dots_and_blanks(std::string_view name);

}  // namespace kesto

#endif

// The few operating-system services kesto needs, with one implementation per
// platform (platform_posix.cc, platform_win32.cc). Nothing else in the tree
// tests for the platform.
#ifndef KESTO_COMMON_PLATFORM_H
#define KESTO_COMMON_PLATFORM_H

#include <cstdio>
#include <string>

namespace kesto {

// The process's current directory, or false.
bool get_current_directory(std::string* dir);
// Creates one directory level; false when it could not be made (for example
// because it exists).
bool make_directory(const char* path);
bool change_directory(const char* path);
bool remove_file(const char* path);
// Renames from onto to, replacing a file that already has the name to; the
// new file keeps the replaced file's permission bits where the system has
// them.
bool replace_file(const char* from, const char* to);
bool is_directory(const char* path);
// False when path names a file that this user may not write (a read-only
// file): opening it for writing would fail, so kesto does not replace it.
// True when nothing has that name.
bool may_replace(const char* path);
// True when path names the very file open as stream (not merely one with the
// same contents). False when path does not exist.
bool is_same_file(std::FILE* stream, const char* path);
// Compares two strings without regard to ASCII letter case, like strcmp.
int compare_ignoring_case(const char* a, const char* b);
// Creates path for binary writing, failing when it already exists.
std::FILE* create_new_file(const char* path);
// True when the system would not store a plain file under this name (device
// names on Windows); always false where every such name is an ordinary file.
bool is_reserved_file_name(const char* name);
unsigned long current_process_id();

}  // namespace kesto

#endif

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
// What is known of a name that a new file is about to take.
struct existing_file {
  bool exists = false;
  bool is_directory = false;
  // This user may not write the file (it is read-only): opening it for
  // writing would fail, so kesto does not replace it either.
  bool read_only = false;
  // The very file open as the stream asked about (not merely one with the
  // same contents): a second link, or another spelling of its name.
  bool is_open_stream = false;
  // Permission bits, where the system has them.
  unsigned permissions = 0;
};
// Looks at path; stream may be null. When nothing has the name, the answer
// costs one query of the system.
existing_file inspect_existing_file(const char* path, std::FILE* stream);
// Renames from onto to, replacing a file that already has the name to. The
// new file takes the permission bits of old, what inspect_existing_file
// found at to, where the system has them.
bool replace_file(const char* from, const char* to, const existing_file& old);
bool is_directory(const char* path);
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

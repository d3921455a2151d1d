// The few operating-system services kesto needs, with one implementation per
// platform (platform_posix.cc, platform_win32.cc). Nothing else in the tree
// tests for the platform.
#ifndef KESTO_COMMON_PLATFORM_H
#define KESTO_COMMON_PLATFORM_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "common/file_handle.h"

namespace kesto {

// Whether the operand with index operand (from 0, as typed) of a command
// line whose option word is option names files, so that its wildcards are
// expanded; a NAME that chooses archive entries is not.
using expansion_rule = std::function<bool(std::string_view option, std::size_t operand)>;

// The command-line words after the program name. POSIX: argv as given.
// Windows: read from the wide command line, with wildcards expanded (see
// README.md) in the operands that expand allows (all when it is empty),
// never in the option word, and each word in the ANSI code page; a word
// that has no exact form there is spelt with "?" where a character has
// none, so that no file function can open it.
std::vector<std::string> command_line_words(int argc, char** argv,
                                            const expansion_rule& expand = {});

// The length in bytes of the character text starts with (text not empty):
// 2 for a lead byte of a double-byte ANSI code page and the byte that
// completes it (Windows), so that a trail byte 0x5C is never taken for "\";
// else 1.
std::size_t character_size(std::string_view text);

// The code page of the names stored in archives, chosen by the user
// (--codepage=N, N a Windows code page number). The front end sets it at
// the start of each run, before any routine runs, and no routine changes
// it: it is kesto's one process-wide setting. 0, the default, keeps names as the
// system has them: bytes as they are on POSIX, the ANSI code page on
// Windows. With a code page chosen, file names and printed names are UTF-8
// (Windows then reaches every file through the wide API), and a stored name
// becomes a file name, and back, only where the conversion is exact both
// ways. 0 goes back to the default. False, with nothing changed, for a code
// page that kesto does not accept or this system cannot convert.
bool use_name_code_page(unsigned code_page);
unsigned name_code_page();

// stored, a name in the chosen code page, as a file name in *file (and the
// reverse); false when it has no exact form there. Without a code page
// chosen, the name itself (and true).
bool stored_to_file_name(std::string_view stored, std::string* file);
bool file_to_stored_name(std::string_view file, std::string* stored);

// character_size for a stored name: in the chosen code page, whose lead
// bytes (double-byte code pages, UTF-8) take the bytes that complete them;
// without one, character_size.
std::size_t stored_character_size(std::string_view text);

// The letter e with a grave accent as stream shows it: on a terminal (a
// console) in the form it expects, else the byte 0x8A, the letter in the
// OEM code pages 437 and 850, as kesto has always written it.
std::string e_grave_for(std::FILE* stream);

// Windows: when stream (standard output) is a console, the UTF-8 text
// written to it from now on reaches the console as the characters it stands
// for (WriteConsoleW), whatever the console's code page; stream stays a
// terminal for is_terminal. The setting is process-wide, made once by the
// front end. False, with nothing changed, elsewhere: POSIX terminals take
// UTF-8 as it is, and redirected output stays bytes.
bool send_utf8_to_console(std::FILE* stream);
// Writes out what send_utf8_to_console still holds and ends it; before the
// process ends. Nothing to do when it was not used.
void finish_console_text();

// Makes stream (standard output) carry bytes unchanged: Windows otherwise
// writes each line feed as CR LF. Elsewhere streams are binary already.
void use_binary_mode(std::FILE* stream);

// True when the write that failed on stream, with errno error, found a
// pipe whose reader has gone. Call right after the failure.
bool is_closed_pipe(std::FILE* stream, int error);

// name, stored in the archives' code page (the one chosen, else the ANSI
// code page on Windows), in UTF-8 in *utf8. False where that code page is
// unknown (POSIX without a chosen one) or name is no text in it.
bool name_to_utf8(std::string_view name, std::string* utf8);

// Opens path for binary reading, as std::fopen(path, "rb") does, with path
// in the form every other path takes here.
std::FILE* open_for_reading(const char* path);

// The process's current directory, or false.
bool get_current_directory(std::string* dir);
// Creates one directory level; false when it could not be made (for example
// because it exists).
bool make_directory(const char* path);
bool change_directory(const char* path);
bool is_directory(const char* path);
// How many cores this process may run on: those its CPU affinity allows
// (Linux; taskset and containers narrow it), else those the system has
// (std::thread::hardware_concurrency); 0 when nothing tells.
unsigned usable_cores();
// True when stream writes to a terminal (Windows: a console), where a
// progress line may be drawn; false for files, pipes and devices.
bool is_terminal(std::FILE* stream);
// The size of the regular file path leads to, told without opening it;
// UINT64_MAX for anything else (nothing, a pipe, a device), whose size only
// reading tells.
std::uint64_t regular_file_size(const char* path);
// Compares two strings without regard to ASCII letter case, like strcmp.
int compare_ignoring_case(const char* a, const char* b);
// True when the system would not store a plain file under this name (on
// Windows device names, and names with * ? < > " or |); always false where
// every such name is an ordinary file.
bool is_reserved_file_name(const char* name);
// The name a file created as name is stored under: Windows drops trailing
// dots and blanks; elsewhere it is name itself.
std::string file_name_as_stored(std::string_view name);
// Fills buf with n bytes from the system's random source; false when it
// cannot.
bool fill_random(void* buf, std::size_t n);

// What a name holds, looked at without following a symbolic link. special
// is a device, a FIFO or a socket.
enum class file_kind { none, regular, directory, symbolic_link, special };

struct existing_file {
  file_kind kind = file_kind::none;
  // Which file it is (POSIX: its device and inode numbers; 0 elsewhere), so
  // that a later step can tell it from one put in its place meanwhile.
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  // The rest describes a regular file only.
  // This user may not write the file (it is read-only): opening it for
  // writing would fail, so kesto does not replace it either.
  bool read_only = false;
  // The very file open as the stream asked about (not merely one with the
  // same contents): a second link, or another spelling of its name.
  bool is_open_stream = false;
  // Windows: the name reaches a file whose own name is another (the name
  // is its 8.3 short name), so replacing it would destroy a file of
  // another name. Always false elsewhere.
  bool is_alias = false;
  // The permission bits a file replacing it gets, where the system has them:
  // its own (0777 at most: never set-id) when the user running kesto owns
  // it, else those of a new file (0666 less the umask).
  unsigned permissions = 0;
};
// Looks at path; stream may be null. When nothing has the name, the answer
// costs one query of the system.
existing_file inspect_existing_file(const char* path, std::FILE* stream);

// Rewrites *path, when it names a symbolic link, to the name the chain of
// links ends at (which need not exist). False for a chain that loops; on
// Windows, where the end is found by opening it, also for one that leads
// nowhere or to a name without an exact form in the ANSI code page, and
// for a name that no file can have.
bool resolve_symbolic_links(std::string* path);

// Which file an open stream reads, and the state of its contents, so that
// two names of one file are known as one and a file written meanwhile is
// noticed.
struct file_identity {
  // POSIX: device and inode numbers; Windows: volume serial number and file
  // index.
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::uint64_t size = 0;  // 64 bits everywhere: a file may hold 4 GiB or more
  // Stamps that writing the file moves on: its last write and, on POSIX, its
  // last change of status, which no program can set back.
  std::uint64_t modified = 0;
  std::uint64_t changed = 0;

  bool is(const file_identity& other) const {
    return device == other.device && inode == other.inode;
  }
  bool unchanged_since(const file_identity& before) const {
    return is(before) && size == before.size && modified == before.modified &&
           changed == before.changed;
  }
};
// Fills *id for the file open as stream; false when the system cannot say.
bool identify_file(std::FILE* stream, file_identity* id);

// Moves stream to its end and stores the position there, in 64 bits on
// every platform; false when that cannot be done.
bool seek_to_end(std::FILE* stream, std::uint64_t* size);

// What open_regular_file found under a name.
enum class regular_file { opened, missing, not_regular, failed };
// Opens path for binary reading only when it is a regular file: a symbolic
// link is never followed, and a FIFO is never waited on. A link, directory,
// device, FIFO or socket is not_regular; nothing under the name is missing;
// any other failure (no permission) is failed.
// follow_links: a symbolic link is followed to the file it leads to (an
// archive named through a link), which must still be a regular file.
regular_file open_regular_file(const char* path, file_handle* file, bool follow_links = false);

// A directory opened once, from which names are reached: every name is
// looked up in the very directory that was opened and checked, never by
// joining its path and the name as text, so no spelling of the path (a
// trailing "\" that is half of a double-byte character, a "Y:" that means
// the drive's current directory, a name ending in "\" on Linux) can lead
// beside it, and entering it is not needed. POSIX: a descriptor (openat);
// Windows: a handle, and the directory's full path as the system gives it
// for that handle.
class directory_handle {
 public:
  directory_handle() = default;
  ~directory_handle() { close(); }
  directory_handle(const directory_handle&) = delete;
  directory_handle& operator=(const directory_handle&) = delete;

  // Opens path as a directory; false when it is none or cannot be opened.
  bool open(const char* path);
  // The path as it was given, for messages only.
  const std::string& path() const { return path_; }
  // Opens the file name (one name, without separators, as the system
  // stores it) of the directory, as open_regular_file opens a path: a
  // link is never followed and a FIFO never waited on. A file that the
  // name reaches only as its 8.3 short name (Windows) is another file's:
  // missing.
  // *id, when given, gets the identity of the file opened.
  regular_file open_file(const char* name, file_handle* file, file_identity* id = nullptr) const;
  // Tells which file the name is, as open_file would open it, without
  // opening it where the system can (POSIX); opened when *id is filled.
  regular_file identify(const char* name, file_identity* id) const;
  // The names of the directory's regular files, in byte order: no link,
  // directory, device, FIFO or socket. Windows: a name without an exact
  // form in the ANSI code page is spelt with "?" for each character that
  // has none. False when the directory cannot be listed.
  bool list_regular_files(std::vector<std::string>* names) const;

 private:
  void close();
  std::intptr_t handle_ = -1;
  std::string path_;
  [[maybe_unused]] std::wstring full_path_;  // Windows: "\\?\C:\dir"
};

// Opens the device or FIFO that inspect_existing_file found as inspected,
// for writing in place: never creates, truncates or replaces it, never
// follows a symbolic link, and does not wait for a reader. Null when path
// no longer names that very file (POSIX), or cannot be opened.
std::FILE* open_special_file(const char* path, const existing_file& inspected);

// Makes the file open as stream size bytes long, cutting what lies beyond,
// once the stream has written out what it holds; its position stays. A
// device or FIFO has no length to set and is left as it is. False on a
// failure.
bool set_stream_size(std::FILE* stream, std::uint64_t size);

// Copies up to n bytes from in's position to out's position inside the
// kernel, where the system can (Linux: copy_file_range, which also shares
// blocks on file systems that can), and leaves both streams positioned
// after the bytes copied, whatever they had buffered. *copied gets how many:
// fewer than n at the end of in, and fewer, down to 0, where the system
// cannot copy between these files or stops; the caller copies the rest
// itself. False only when bytes were copied but the streams could not be
// moved past them. Windows: copies nothing.
bool copy_inside_kernel(std::FILE* in, std::FILE* out, std::uint64_t n, std::uint64_t* copied);

// A new file written where no other process can reach it, that takes its
// final name only when complete: entries being extracted and archives being
// created. On Linux it is an unnamed file (O_TMPFILE) in the directory of
// its name-to-be, so that even a killed run leaves nothing behind. Where
// that is refused it is a file of mode 0600, and on Windows one open to
// this process alone that goes when its handles close (with hard links) or
// is marked for deletion until it is named (without), under an
// unpredictable temporary name (temporary_name_prefix, 16 random
// hexadecimal digits, ".tmp"); install_interrupt_cleanup() makes an
// interruption remove it. On POSIX systems the file keeps mode 0600 until
// it has its final name, so that one a kill leaves behind is its owner's
// alone; a catchable signal that comes just after it took the name gives
// it its bits before the process ends.
class temporary_file {
 public:
  temporary_file() = default;
  ~temporary_file() { discard(); }
  temporary_file(const temporary_file&) = delete;
  temporary_file& operator=(const temporary_file&) = delete;

  // Starts a new, empty file for binary writing in the directory dir_prefix
  // names ("" for the current one; see directory_prefix). named: skip the
  // unnamed kind. False when no file could be made.
  bool open(std::string_view dir_prefix, bool named = false);
  std::FILE* stream() const { return stream_.get(); }
  enum class commit_result { committed, lost_data, not_named };
  // Writes out what the stream holds and gives the file the name target in
  // one step: with old.permissions when old is a regular file, else those
  // of a new file (0666 less the umask). It replaces only what old found
  // (POSIX: the very file, by device and inode): a target that old found
  // free is taken only if nothing has taken it meanwhile, and one that
  // holds another file by then is left as it is. Linux checks this in the
  // same step as the rename (renameat2); where the file system lacks that,
  // with a second look just before it. lost_data when not every byte
  // reached the file, not_named when it could not take the name; the file
  // is gone then.
  commit_result commit(const char* target, const existing_file& old);
  // Removes the file unless it was committed.
  void discard();
  // The temporary name; empty for an unnamed file.
  const std::string& path() const { return path_; }

 private:
  file_handle stream_;
  std::string path_;
  // Windows: a second handle of the file, kept to name it after the
  // stream closes, and whether the file goes when that handle closes (it
  // takes its name as a second link) rather than by a mark that commit()
  // clears.
  [[maybe_unused]] std::intptr_t handle_ = -1;
  [[maybe_unused]] bool deleted_on_close_ = false;
};

inline constexpr std::string_view temporary_name_prefix = ".kesto-";

// A file for bytes that wait for their turn (an entry compressed ahead of
// the one being written): open for reading and writing, unbuffered, in the
// directory dir_prefix names, and gone once closed however the process
// ends. Linux: an unnamed file, or where that is refused one unlinked as
// soon as it is made; Windows: one deleted when its handle closes. Safe to
// call from several threads at once. Null when none could be made.
std::FILE* open_scratch_file(std::string_view dir_prefix);

// What an attempt to make a file under a candidate temporary name found.
enum class name_attempt { made, taken, failed };
// Calls attempt with fresh temporary names in the directory dir_prefix
// names until it reports anything but a name taken, 100 names at most.
// *path holds the last name tried; true when it was made.
bool try_temporary_names(std::string_view dir_prefix, std::string* path,
                         const std::function<name_attempt(const std::string&)>& attempt);

// Makes an interruption of the process remove a temporary file that has a
// name before the process ends the way the interruption would have ended
// it. POSIX: every signal whose default action ends the process and that
// is not one the process was started ignoring, except those that report a
// fault of the program itself (SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGTRAP,
// SIGABRT, SIGSYS), which keep their default. SIGXFSZ is ignored, so that
// a write past a file size limit fails as a write.
void install_interrupt_cleanup();

}  // namespace kesto

#endif

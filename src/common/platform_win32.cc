// Windows side of the platform layer, on the Microsoft C runtime and the
// Win32 API. Paths are narrow strings in the process's ANSI code page, the
// same bytes the command line delivers.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#define _CRT_RAND_S
#include <windows.h>

#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/chunk_copy.h"
#include "common/path.h"
#include "common/platform.h"

// The MinGW-w64 start-up code reads this flag and, when it is set, expands
// wildcards in every command-line word into the matching file names before
// main() runs, as the platform's own tools do. A word that matches nothing
// stays as it was.
extern "C" {
int _dowildcard = -1;
}

namespace kesto {

bool get_current_directory(std::string* dir) {
  std::vector<char> buf(MAX_PATH);
  for (;;) {
    if (::_getcwd(buf.data(), static_cast<int>(buf.size())) != nullptr) {
      dir->assign(buf.data());
      return true;
    }
    if (errno != ERANGE || buf.size() >= (1u << 20)) return false;
    buf.resize(buf.size() * 2);
  }
}

bool make_directory(const char* path) { return ::_mkdir(path) == 0; }

bool change_directory(const char* path) { return ::_chdir(path) == 0; }

bool is_directory(const char* path) {
  const DWORD attributes = ::GetFileAttributesA(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

int compare_ignoring_case(const char* a, const char* b) { return ::_strcmpi(a, b); }

namespace {

// text (in the ANSI code page, as the command line and the file functions
// take it) in UTF-16, converted as those functions convert it; empty when
// it does not convert.
std::wstring wide(std::string_view text) {
  if (text.empty()) return {};
  const int size = static_cast<int>(text.size());
  const int n = ::MultiByteToWideChar(CP_ACP, 0, text.data(), size, nullptr, 0);
  std::wstring out(n > 0 ? static_cast<std::size_t>(n) : 0, L'\0');
  if (n > 0) ::MultiByteToWideChar(CP_ACP, 0, text.data(), size, out.data(), n);
  return out;
}

}  // namespace

// Such a name would open a device (NUL, CON, COM¹, ...). The name is judged
// as Windows sees it: its bytes read in the ANSI code page, so that the
// superscript digits are found whatever bytes stand for them there.
bool is_reserved_file_name(const char* name) {
  std::string latin1;
  for (wchar_t c : wide(name)) latin1.push_back(c < 256 ? static_cast<char>(c) : '?');
  return is_windows_device_name(latin1);
}

std::string file_name_as_stored(std::string_view name) {
  return std::string(without_trailing_dots_and_blanks(name));
}

bool fill_random(void* buf, std::size_t n) {
  auto* p = static_cast<unsigned char*>(buf);
  for (std::size_t i = 0; i < n; i += sizeof(unsigned int)) {
    unsigned int value = 0;
    if (::rand_s(&value) != 0) return false;
    for (std::size_t k = 0; k < sizeof value && i + k < n; ++k) {
      p[i + k] = static_cast<unsigned char>(value >> (8 * k));
    }
  }
  return true;
}

namespace {

bool file_identity(HANDLE handle, BY_HANDLE_FILE_INFORMATION* info) {
  return handle != INVALID_HANDLE_VALUE && ::GetFileInformationByHandle(handle, info) != 0;
}

bool same_identity(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b) {
  return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
         a.nFileIndexLow == b.nFileIndexLow;
}

// Two names of one file (a second link, a different spelling or letter
// case) share the volume serial number and the file index.
bool is_same_file(std::FILE* stream, const char* path) {
  BY_HANDLE_FILE_INFORMATION open_info;
  const auto open_handle = reinterpret_cast<HANDLE>(::_get_osfhandle(::_fileno(stream)));
  if (!file_identity(open_handle, &open_info)) return false;
  // Share every access so that the probe works while the file is open, and
  // ask for no access rights at all: only the file's attributes are read.
  // Backup semantics let the call open directories too.
  HANDLE path_handle =
      ::CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  BY_HANDLE_FILE_INFORMATION path_info;
  const bool known = file_identity(path_handle, &path_info);
  if (path_handle != INVALID_HANDLE_VALUE) ::CloseHandle(path_handle);
  return known && same_identity(open_info, path_info);
}

}  // namespace

existing_file inspect_existing_file(const char* path, std::FILE* stream) {
  existing_file found;
  const DWORD attributes = ::GetFileAttributesA(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) return found;  // the usual case: a new name
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    found.kind = file_kind::directory;
  } else if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    found.kind = file_kind::symbolic_link;
  } else {
    found.kind = file_kind::regular;
    found.read_only = (attributes & FILE_ATTRIBUTE_READONLY) != 0;
    found.is_open_stream = stream != nullptr && is_same_file(stream, path);
  }
  return found;
}

// Windows replaces a link's target through the link itself.
bool resolve_symbolic_links(std::string*) { return true; }

std::FILE* open_special_file(const char* path, const existing_file&) {
  return std::fopen(path, "r+b");
}

namespace {

// Held while a temporary file takes its name: the one moment it is not
// marked for deletion.
CRITICAL_SECTION& naming_lock() {
  struct lock {
    lock() { ::InitializeCriticalSection(&section); }
    CRITICAL_SECTION section;
  };
  static lock naming;
  return naming.section;
}

bool mark_for_deletion(HANDLE file, bool marked) {
  FILE_DISPOSITION_INFO disposition;
  disposition.DeleteFile = marked ? TRUE : FALSE;
  return ::SetFileInformationByHandle(file, FileDispositionInfo, &disposition,
                                      sizeof disposition) != 0;
}

// target as the system's own full path ("\\??\\C:\\dir\\name"), which
// renaming through a handle needs and which no length limit of the
// ANSI functions applies to. Empty when it cannot be made.
std::wstring system_path(const char* target) {
  const std::wstring path = wide(target);
  if (path.empty()) return {};
  const DWORD n = ::GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  std::wstring full(n, L'\0');
  if (n == 0 || ::GetFullPathNameW(path.c_str(), n, full.data(), nullptr) + 1 != n) return {};
  full.resize(n - 1);
  if (full.rfind(L"\\\\?\\", 0) == 0) return L"\\??\\" + full.substr(4);
  if (full.rfind(L"\\\\", 0) == 0) return L"\\??\\UNC\\" + full.substr(2);
  return L"\\??\\" + full;
}

// Renames the open file to target, replacing a file of that name.
bool rename_open_file(HANDLE file, const std::wstring& target) {
  if (target.empty()) return false;
  const std::size_t bytes = target.size() * sizeof(wchar_t);
  std::vector<unsigned char> buffer(sizeof(FILE_RENAME_INFO) + bytes);
  auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  info->ReplaceIfExists = TRUE;
  info->RootDirectory = nullptr;
  info->FileNameLength = static_cast<DWORD>(bytes);
  std::memcpy(info->FileName, target.data(), bytes);
  return ::SetFileInformationByHandle(file, FileRenameInfo, info,
                                      static_cast<DWORD>(buffer.size())) != 0;
}

// A console event (Ctrl+C, Ctrl+Break, closing the window, log-off,
// shut-down) ends the process. Every temporary file is marked for deletion
// while it is written, so the process's end removes it; the one that may be
// taking its name is waited for, and no other starts. The process ends at
// once, as Ctrl+C would end it, without running exit handlers in this
// thread while the main one may hold a stream's lock.
BOOL WINAPI end_on_console_event(DWORD) {
  ::EnterCriticalSection(&naming_lock());
  ::TerminateProcess(::GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
  return TRUE;
}

}  // namespace

// The file is open to this process alone (no sharing) and marked for
// deletion from the start: however the process ends, even killed, the file
// goes with it unless commit() has named it. The stream writes through a
// second handle, so that the first outlives it.
bool temporary_file::open(std::string_view dir_prefix, bool) {
  discard();
  HANDLE file = INVALID_HANDLE_VALUE;
  if (!try_temporary_names(dir_prefix, &path_, [&file](const std::string& candidate) {
        file = ::CreateFileA(candidate.c_str(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) return name_attempt::made;
        const DWORD error = ::GetLastError();
        return error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS ? name_attempt::taken
                                                                          : name_attempt::failed;
      })) {
    path_.clear();
    return false;
  }
  handle_ = reinterpret_cast<std::intptr_t>(file);
  HANDLE writer = INVALID_HANDLE_VALUE;
  const HANDLE self = ::GetCurrentProcess();
  if (!mark_for_deletion(file, true) ||
      !::DuplicateHandle(self, file, self, &writer, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
    discard();
    return false;
  }
  const int fd = ::_open_osfhandle(reinterpret_cast<std::intptr_t>(writer), _O_WRONLY | _O_BINARY);
  std::FILE* f = fd < 0 ? nullptr : ::_fdopen(fd, "wb");
  if (f == nullptr) {
    if (fd >= 0) {
      ::_close(fd);
    } else {
      ::CloseHandle(writer);
    }
    discard();
    return false;
  }
  // New archives and entry files take their data in whole chunks.
  use_chunks_unbuffered(f);
  stream_ = file_handle(f);
  return true;
}

// The stream is closed first, which writes out what it holds. The file keeps
// its own attributes; a read-only target is refused earlier. It is renamed
// through its handle, so that no other process can take it between its last
// write and its new name.
temporary_file::commit_result temporary_file::commit(const char* target, const existing_file&) {
  if (handle_ == -1 || !stream_.close()) {
    discard();
    return commit_result::lost_data;
  }
  const auto file = reinterpret_cast<HANDLE>(handle_);
  const std::wstring name = system_path(target);
  bool named = false;
  ::EnterCriticalSection(&naming_lock());
  if (!name.empty() && mark_for_deletion(file, false)) {
    named = rename_open_file(file, name);
    if (named) {
      path_.clear();
    } else {
      mark_for_deletion(file, true);
    }
  }
  ::LeaveCriticalSection(&naming_lock());
  discard();
  return named ? commit_result::committed : commit_result::not_named;
}

// Closing the last handle deletes a file still marked for deletion. Where
// the mark could not be set, the file is deleted by name, and that is
// retried: another process (a virus scanner) may hold it a moment.
void temporary_file::discard() {
  stream_.close();
  bool marked = false;
  if (handle_ != -1) {
    const auto file = reinterpret_cast<HANDLE>(handle_);
    marked = path_.empty() || mark_for_deletion(file, true);
    ::CloseHandle(file);
    handle_ = -1;
  }
  if (!path_.empty() && !marked) {
    for (int tries = 0; tries < 20 && ::DeleteFileA(path_.c_str()) == 0 &&
                        ::GetLastError() != ERROR_FILE_NOT_FOUND;
         ++tries) {
      ::Sleep(50);
    }
  }
  path_.clear();
}

void install_interrupt_cleanup() {
  naming_lock();
  ::SetConsoleCtrlHandler(end_on_console_event, TRUE);
}

}  // namespace kesto

// Windows side of the platform layer, on the Microsoft C runtime and the
// Win32 API. Paths are narrow strings in the process's ANSI code page, the
// bytes the archive formats store names in, or in UTF-8 when the user chose
// the stored names' code page (--codepage). The command line is read in
// UTF-16 and every word converted to that code page exactly or not at all;
// the calls made here take the wide form of a path, which no length limit
// applies to.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#define _CRT_RAND_S
#include <windows.h>
#include <winternl.h>

#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <thread>
#include <vector>

#include "common/chunk_copy.h"
#include "common/code_page.h"
#include "common/path.h"
#include "common/platform.h"

// The runtime's own wildcard expansion stays off: it converts the names it
// finds with best fit, so that a fullwidth "＼" or ":" in a file's name would
// become a real one. command_line_words() expands wildcards instead.
extern "C" {
int _dowildcard = 0;
}

namespace kesto {

namespace {

// The code page chosen for stored names (use_name_code_page): set once by
// the front end before any routine runs, read-only afterwards. With one
// chosen, paths are UTF-8.
struct {
  unsigned code_page = 0;
  bool lead[256] = {};  // the bytes that start a double-byte character
} names;

// The code page of paths: the ANSI one, or UTF-8 with a stored names' code
// page chosen.
UINT path_code_page() { return names.code_page != 0 ? CP_UTF8 : ::GetACP(); }

// text in code_page in UTF-16; flags: MB_ERR_INVALID_CHARS to refuse an
// invalid sequence (empty result).
std::wstring to_wide(UINT code_page, DWORD flags, std::string_view text) {
  if (text.empty()) return {};
  const int size = static_cast<int>(text.size());
  const int n = ::MultiByteToWideChar(code_page, flags, text.data(), size, nullptr, 0);
  std::wstring out(n > 0 ? static_cast<std::size_t>(n) : 0, L'\0');
  if (n > 0) ::MultiByteToWideChar(code_page, flags, text.data(), size, out.data(), n);
  return out;
}

// text (a path, as the file functions take it) in UTF-16, converted as
// those functions convert it.
std::wstring wide(std::string_view text) {
  return to_wide(names.code_page != 0 ? CP_UTF8 : CP_ACP, 0, text);
}

// text in code_page, character for character; false when some character
// has no exact form there. Nothing is guessed (no best fit), and the way
// back must give the same text, which also holds UTF-8 (where the
// used-default check does not exist) to its own rules.
bool to_narrow(UINT code_page, std::wstring_view text, std::string* out) {
  out->clear();
  if (text.empty()) return true;
  const DWORD flags = code_page == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS;
  BOOL used_default = FALSE;
  BOOL* check = code_page == CP_UTF8 ? nullptr : &used_default;
  const int size = static_cast<int>(text.size());
  const int n =
      ::WideCharToMultiByte(code_page, flags, text.data(), size, nullptr, 0, nullptr, check);
  if (n <= 0 || used_default) return false;
  out->resize(static_cast<std::size_t>(n));
  ::WideCharToMultiByte(code_page, flags, text.data(), size, out->data(), n, nullptr, nullptr);
  return to_wide(code_page, 0, *out) == text;
}

// text as a path (in the ANSI code page, or UTF-8), exactly or not at all:
// best fit would turn a fullwidth "ａ" into "a" and "＼" into "\".
bool to_ansi(std::wstring_view text, std::string* out) {
  return to_narrow(path_code_page(), text, out);
}

// A word that has no exact form in the ANSI code page: each character that
// has none is "?", which no file name may hold, so that every file
// function fails on it and kesto reports the word as it can show it.
std::string refused_spelling(std::wstring_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size();) {
    const bool pair =
        IS_HIGH_SURROGATE(text[i]) && i + 1 < text.size() && IS_LOW_SURROGATE(text[i + 1]);
    const std::size_t n = pair ? 2 : 1;
    std::string piece;
    out += to_ansi(text.substr(i, n), &piece) ? piece : "?";
    i += n;
  }
  return out;
}

// The program name ends at the first blank outside quotes; backslashes
// there are plain characters.
std::size_t program_name_size(std::wstring_view line) {
  std::size_t i = 0;
  for (bool quoted = false; i < line.size() && (quoted || (line[i] != L' ' && line[i] != L'\t'));
       ++i) {
    if (line[i] == L'"') quoted = !quoted;
  }
  return i;
}

// The words of a command line after the program name, by the C runtime's
// rules: blanks and tabs part words outside double quotes; 2n backslashes
// before a quote are n backslashes and the quote opens or closes a quoted
// part, 2n+1 are n backslashes and a literal quote; two quotes inside a
// quoted part are one literal quote; other backslashes are themselves.
std::vector<std::wstring> split_words(std::wstring_view line) {
  std::size_t i = program_name_size(line);
  std::vector<std::wstring> words;
  std::wstring word;
  bool in_word = false;
  bool quoted = false;
  std::size_t backslashes = 0;
  for (; i <= line.size(); ++i) {
    const wchar_t c = i < line.size() ? line[i] : L'\0';
    if (c == L'\\') {
      ++backslashes;
      in_word = true;
      continue;
    }
    word.append(c == L'"' ? backslashes / 2 : backslashes, L'\\');
    if (c == L'"') {
      if (backslashes % 2 == 1) {
        word.push_back(L'"');
      } else if (quoted && i + 1 < line.size() && line[i + 1] == L'"') {
        word.push_back(L'"');
        ++i;
      } else {
        quoted = !quoted;
      }
      in_word = true;
    } else if (c == L'\0' || (!quoted && (c == L' ' || c == L'\t'))) {
      if (in_word) words.push_back(word);
      word.clear();
      in_word = false;
    } else {
      word.push_back(c);
      in_word = true;
    }
    backslashes = 0;
  }
  return words;
}

// Appends to words the names that pattern matches, sorted without regard
// to letter case, each after the pattern's own directory part as written;
// "." and ".." never. Wildcards are matched in the last part of a path
// only. A word without wildcards, or whose wildcards match nothing, is
// appended as it is.
void expand_wildcards(const std::wstring& pattern, std::vector<std::wstring>* words) {
  std::vector<std::wstring> found;
  WIN32_FIND_DATAW data;
  const HANDLE search = pattern.find_first_of(L"*?") == std::wstring::npos
                            ? INVALID_HANDLE_VALUE
                            : ::FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &data,
                                                 FindExSearchNameMatch, nullptr, 0);
  if (search != INVALID_HANDLE_VALUE) {
    std::size_t cut = pattern.find_last_of(L"\\/");
    cut = cut != std::wstring::npos ? cut + 1 : pattern.size() >= 2 && pattern[1] == L':' ? 2 : 0;
    do {
      const std::wstring_view name = data.cFileName;
      if (name != L"." && name != L"..") found.push_back(pattern.substr(0, cut).append(name));
    } while (::FindNextFileW(search, &data));
    ::FindClose(search);
  }
  if (found.empty()) {
    words->push_back(pattern);
    return;
  }
  std::sort(found.begin(), found.end(), [](const std::wstring& a, const std::wstring& b) {
    const int order = ::CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE);
    return order == CSTR_LESS_THAN || (order == CSTR_EQUAL && a < b);
  });
  words->insert(words->end(), found.begin(), found.end());
}

}  // namespace

std::vector<std::string> command_line_words(int, char**, const expansion_rule& expand) {
  const std::vector<std::wstring> typed = split_words(::GetCommandLineW());
  // --codepage=N before the option word makes every path UTF-8, as the
  // front end's use_name_code_page does; the option word follows it.
  std::string first;
  std::string_view code_page;
  const std::size_t option_index =
      !typed.empty() && to_ansi(typed[0], &first) && is_code_page_word(first, &code_page) ? 1 : 0;
  const bool utf8 = option_index == 1;
  const auto convert = [utf8](std::wstring_view word, std::string* out) {
    return utf8 ? to_narrow(CP_UTF8, word, out) : to_ansi(word, out);
  };
  std::string option;
  if (typed.size() > option_index && !convert(typed[option_index], &option)) option.clear();
  std::vector<std::wstring> expanded;
  for (std::size_t i = 0; i < typed.size(); ++i) {
    // "/?" asks for help: the option word is never a file.
    if (i > option_index && (!expand || expand(option, i - option_index - 1))) {
      expand_wildcards(typed[i], &expanded);
    } else {
      expanded.push_back(typed[i]);
    }
  }
  std::vector<std::string> words(expanded.size());
  for (std::size_t i = 0; i < expanded.size(); ++i) {
    if (!convert(expanded[i], &words[i])) words[i] = refused_spelling(expanded[i]);
  }
  return words;
}

void use_binary_mode(std::FILE* stream) {
  std::fflush(stream);
  const int fd = _fileno(stream);
  if (fd >= 0) _setmode(fd, _O_BINARY);
}

// The C runtime does not always map a broken pipe to EPIPE (EINVAL under
// Wine); the system's own error for the failed WriteFile says it.
bool is_closed_pipe(std::FILE* stream, int error) {
  const DWORD last = ::GetLastError();
  if (error == EPIPE) return true;
  const int fd = _fileno(stream);
  const auto handle = fd >= 0 ? reinterpret_cast<HANDLE>(_get_osfhandle(fd)) : INVALID_HANDLE_VALUE;
  return handle != INVALID_HANDLE_VALUE && ::GetFileType(handle) == FILE_TYPE_PIPE &&
         (last == ERROR_NO_DATA || last == ERROR_BROKEN_PIPE || last == ERROR_PIPE_NOT_CONNECTED);
}

bool name_to_utf8(std::string_view name, std::string* utf8) {
  utf8->clear();
  if (name.empty()) return true;
  if (names.code_page != 0) return stored_to_file_name(name, utf8);
  const std::wstring text = to_wide(CP_ACP, MB_ERR_INVALID_CHARS, name);
  return !text.empty() && to_narrow(CP_UTF8, text, utf8);
}

bool use_name_code_page(unsigned code_page) {
  if (code_page == 0) {
    names.code_page = 0;
    return true;
  }
  if (!is_accepted_code_page(code_page) || !::IsValidCodePage(code_page)) return false;
  for (unsigned b = 0x80; b < 256; ++b) {
    names.lead[b] =
        code_page != utf8_code_page && ::IsDBCSLeadByteEx(code_page, static_cast<BYTE>(b));
  }
  names.code_page = code_page;
  return true;
}

unsigned name_code_page() { return names.code_page; }

// Exact both ways: a name with an invalid sequence, or one of two forms of
// a character (code page 932 has several), has no file name.
bool stored_to_file_name(std::string_view stored, std::string* file) {
  if (names.code_page == 0) {
    file->assign(stored);
    return true;
  }
  file->clear();
  if (stored.empty()) return true;
  const std::wstring text = to_wide(names.code_page, MB_ERR_INVALID_CHARS, stored);
  std::string back;
  return !text.empty() && to_narrow(names.code_page, text, &back) && back == stored &&
         to_narrow(CP_UTF8, text, file);
}

bool file_to_stored_name(std::string_view file, std::string* stored) {
  if (names.code_page == 0) {
    stored->assign(file);
    return true;
  }
  stored->clear();
  if (file.empty()) return true;
  const std::wstring text = to_wide(CP_UTF8, MB_ERR_INVALID_CHARS, file);
  return !text.empty() && to_narrow(names.code_page, text, stored);
}

// A lead byte counts only with a byte that completes a character: after any
// other, that byte is read on its own, as a separator if it is one.
std::size_t character_size(std::string_view text) {
  if (names.code_page != 0) return multibyte_character_size(text, utf8_code_page, names.lead);
  static const UINT code_page = ::GetACP();
  if (text.size() < 2 || !::IsDBCSLeadByteEx(code_page, static_cast<BYTE>(text[0]))) return 1;
  wchar_t c;
  return ::MultiByteToWideChar(code_page, MB_ERR_INVALID_CHARS, text.data(), 2, &c, 1) == 1 ? 2 : 1;
}

std::size_t stored_character_size(std::string_view text) {
  if (names.code_page == 0) return character_size(text);
  return multibyte_character_size(text, names.code_page, names.lead);
}

namespace {

bool starts_with(std::wstring_view text, std::wstring_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

// path as the system's full path in the form that no length limit applies
// to: "\\?\C:\dir\name" or "\\?\UNC\server\share\name". The system makes
// it as it makes the path it opens (a relative path read from the current
// directory, trailing dots and blanks dropped); a device path ("\\.\...",
// also what "NUL" is) stays as it makes it. Empty when it cannot be made.
std::wstring full_path(std::string_view path) {
  const std::wstring text = wide(path);
  if (text.empty()) return {};
  const DWORD n = ::GetFullPathNameW(text.c_str(), 0, nullptr, nullptr);
  std::wstring full(n, L'\0');
  if (n == 0 || ::GetFullPathNameW(text.c_str(), n, full.data(), nullptr) + 1 != n) return {};
  full.resize(n - 1);
  if (starts_with(full, L"\\\\?\\") || starts_with(full, L"\\\\.\\")) return full;
  if (starts_with(full, L"\\\\")) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

// path as the system's own name ("\??\C:\dir\name"), which renaming and
// linking through a handle need. A "\\.\" path is a local one.
std::wstring system_path(std::string_view path) {
  const std::wstring full = full_path(path);
  return full.size() < 4 ? std::wstring() : L"\\??\\" + full.substr(4);
}

DWORD attributes_of(std::string_view path) {
  const std::wstring full = full_path(path);
  return full.empty() ? INVALID_FILE_ATTRIBUTES : ::GetFileAttributesW(full.c_str());
}

// A binary stream, unbuffered for whole chunks, over handle h, which it
// owns from now on: closing the stream closes the handle. Null when no
// stream could be made; the handle is closed then too.
std::FILE* stream_of_handle(HANDLE h, int access, const char* mode) {
  const int fd = ::_open_osfhandle(reinterpret_cast<std::intptr_t>(h), access | _O_BINARY);
  std::FILE* f = fd < 0 ? nullptr : ::_fdopen(fd, mode);
  if (f == nullptr) {
    if (fd >= 0) {
      ::_close(fd);
    } else {
      ::CloseHandle(h);
    }
    return nullptr;
  }
  use_chunks_unbuffered(f);
  return f;
}

// What path names, opened for no access at all, so that no other process's
// sharing stands in the way: only its attributes are read. Links are
// followed unless own_link; backup semantics open directories too.
HANDLE open_to_inspect(const std::wstring& path, bool own_link) {
  const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (own_link ? FILE_FLAG_OPEN_REPARSE_POINT : 0);
  return ::CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       nullptr, OPEN_EXISTING, flags, nullptr);
}

}  // namespace

bool get_current_directory(std::string* dir) {
  if (names.code_page != 0) {
    std::vector<wchar_t> wbuf(::GetCurrentDirectoryW(0, nullptr) + 1);
    const DWORD n = ::GetCurrentDirectoryW(static_cast<DWORD>(wbuf.size()), wbuf.data());
    return n > 0 && n < wbuf.size() && to_narrow(CP_UTF8, std::wstring_view(wbuf.data(), n), dir);
  }
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

bool make_directory(const char* path) { return ::_wmkdir(wide(path).c_str()) == 0; }

bool change_directory(const char* path) { return ::_wchdir(wide(path).c_str()) == 0; }

std::FILE* open_for_reading(const char* path) { return ::_wfopen(wide(path).c_str(), L"rb"); }

bool is_directory(const char* path) {
  const DWORD attributes = attributes_of(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

unsigned usable_cores() { return std::thread::hardware_concurrency(); }

// _isatty is true for any character device, NUL included: only a console
// has a console mode.
namespace {

// The stream send_utf8_to_console turned into a pipe, read by a thread that
// writes to the console: set once by the front end, like the code page.
struct {
  std::FILE* stream = nullptr;
  HANDLE console = INVALID_HANDLE_VALUE;
  HANDLE pipe = INVALID_HANDLE_VALUE;  // the reading end
  std::thread writer;
} console_text;

// How many bytes of text are whole UTF-8 sequences: one cut at the end
// waits for the rest.
std::size_t whole_utf8_size(std::string_view text) {
  std::size_t start = text.size();
  for (int i = 0; i < 3 && start > 0 && (static_cast<unsigned char>(text[start - 1]) & 0xC0) == 0x80;
       ++i) {
    --start;
  }
  if (start == 0) return text.size();
  const auto lead = static_cast<unsigned char>(text[start - 1]);
  const std::size_t need = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
  return need > text.size() - (start - 1) ? start - 1 : text.size();
}

// Reads UTF-8 from the pipe until its writers have gone and writes it to
// the console as UTF-16; a sequence split between two reads waits for its
// end, an invalid one shows as U+FFFD.
void write_console_text() {
  std::string pending;
  char buf[4096];
  DWORD got = 0;
  for (;;) {
    const bool more = ::ReadFile(console_text.pipe, buf, sizeof buf, &got, nullptr) && got > 0;
    if (more) pending.append(buf, got);
    const std::size_t whole = more ? whole_utf8_size(pending) : pending.size();
    const std::wstring text = to_wide(CP_UTF8, 0, std::string_view(pending).substr(0, whole));
    DWORD written = 0;
    if (!text.empty()) {
      ::WriteConsoleW(console_text.console, text.data(), static_cast<DWORD>(text.size()), &written,
                      nullptr);
    }
    pending.erase(0, whole);
    if (!more) return;
  }
}

}  // namespace

bool is_terminal(std::FILE* stream) {
  if (stream == console_text.stream && stream != nullptr) return true;
  const auto h = reinterpret_cast<HANDLE>(::_get_osfhandle(::_fileno(stream)));
  DWORD mode = 0;
  return h != INVALID_HANDLE_VALUE && ::GetConsoleMode(h, &mode) != 0;
}

bool send_utf8_to_console(std::FILE* stream) {
  const int fd = ::_fileno(stream);
  const auto console = reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
  DWORD mode = 0;
  if (console_text.stream != nullptr || console == INVALID_HANDLE_VALUE ||
      !::GetConsoleMode(console, &mode)) {
    return false;
  }
  HANDLE read_end = INVALID_HANDLE_VALUE;
  HANDLE write_end = INVALID_HANDLE_VALUE;
  if (!::CreatePipe(&read_end, &write_end, nullptr, 0)) return false;
  // The console handle stays open for the thread: the stream's descriptor
  // is about to be replaced by the pipe.
  HANDLE own_console = INVALID_HANDLE_VALUE;
  const HANDLE process = ::GetCurrentProcess();
  const int pipe_fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(write_end), _O_TEXT);
  if (!::DuplicateHandle(process, console, process, &own_console, 0, FALSE,
                         DUPLICATE_SAME_ACCESS) ||
      pipe_fd < 0) {
    ::CloseHandle(read_end);
    if (pipe_fd < 0) ::CloseHandle(write_end);
    if (pipe_fd >= 0) ::_close(pipe_fd);
    if (own_console != INVALID_HANDLE_VALUE) ::CloseHandle(own_console);
    return false;
  }
  std::fflush(stream);
  const bool moved = ::_dup2(pipe_fd, fd) == 0;
  ::_close(pipe_fd);
  if (!moved) {
    ::CloseHandle(read_end);
    ::CloseHandle(own_console);
    return false;
  }
  console_text.stream = stream;
  console_text.console = own_console;
  console_text.pipe = read_end;
  console_text.writer = std::thread(write_console_text);
  return true;
}

void finish_console_text() {
  if (console_text.stream == nullptr) return;
  std::fflush(console_text.stream);
  // The last writer of the pipe goes: the thread reads its end.
  ::_close(::_fileno(console_text.stream));
  console_text.writer.join();
  ::CloseHandle(console_text.pipe);
  ::CloseHandle(console_text.console);
  console_text.stream = nullptr;
}

// Text sent to the console as UTF-8 shows the letter in any code page; a
// console left as it is gets it in its own code page where it has one.
std::string e_grave_for(std::FILE* stream) {
  if (stream == console_text.stream && stream != nullptr) return "\xC3\xA8";
  const UINT console = ::GetConsoleOutputCP();
  std::string letter;
  if (!is_terminal(stream) || console == 437 || console == 850 ||
      !to_narrow(console, L"\u00E8", &letter)) {
    return "\x8A";
  }
  return letter;
}

std::uint64_t regular_file_size(const char* path) {
  const std::wstring full = full_path(path);
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (full.empty() || !::GetFileAttributesExW(full.c_str(), GetFileExInfoStandard, &data) ||
      (data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0) {
    return UINT64_MAX;
  }
  return std::uint64_t{data.nFileSizeHigh} << 32 | data.nFileSizeLow;
}

int compare_ignoring_case(const char* a, const char* b) { return ::_strcmpi(a, b); }

// Such a name would open a device (NUL, CON, COM¹, ...), or could name no
// file: one with a character Windows keeps for wildcards, redirection and
// quoting. The name is judged as Windows sees it: its bytes read in the
// ANSI code page, so that the superscript digits are found whatever bytes
// stand for them there, and a double-byte character whose second byte is
// 0x7C is no "|".
bool is_reserved_file_name(const char* name) {
  const std::wstring text = wide(name);
  if (text.find_first_of(L"*?<>\"|") != std::wstring::npos) return true;
  std::string latin1;
  for (wchar_t c : text) latin1.push_back(c < 256 ? static_cast<char>(c) : '?');
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

// Two names of one file (a second link, a different spelling or letter
// case) share the volume serial number and the file index.
bool is_same_file(std::FILE* stream, HANDLE file) {
  BY_HANDLE_FILE_INFORMATION a;
  BY_HANDLE_FILE_INFORMATION b;
  const auto open_handle = reinterpret_cast<HANDLE>(::_get_osfhandle(::_fileno(stream)));
  return open_handle != INVALID_HANDLE_VALUE && ::GetFileInformationByHandle(open_handle, &a) &&
         ::GetFileInformationByHandle(file, &b) &&
         a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
         a.nFileIndexLow == b.nFileIndexLow;
}

}  // namespace

bool same_name(std::wstring_view a, std::wstring_view b) {
  return ::CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                                static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

// True when the last part of full (a "\\\\?\\" path without wildcards)
// reaches a file only as its 8.3 short name: the file has a long name of
// its own, which replacing or reading it under the short one would pass by.
bool is_short_name_alias(const std::wstring& full) {
  const std::wstring_view name = std::wstring_view(full).substr(full.find_last_of(L'\\') + 1);
  WIN32_FIND_DATAW data;
  const HANDLE search =
      ::FindFirstFileExW(full.c_str(), FindExInfoStandard, &data, FindExSearchNameMatch, nullptr, 0);
  if (search == INVALID_HANDLE_VALUE) return false;
  ::FindClose(search);
  return !same_name(name, data.cFileName) && same_name(name, data.cAlternateFileName);
}

// A name that is not on a disk (NUL, CON, a pipe; also "\\.\" device paths,
// which the attribute query may not answer for) is special.
existing_file inspect_existing_file(const char* path, std::FILE* stream) {
  existing_file found;
  const std::wstring full = full_path(path);
  const DWORD attributes =
      full.empty() ? INVALID_FILE_ATTRIBUTES : ::GetFileAttributesW(full.c_str());
  const bool known = attributes != INVALID_FILE_ATTRIBUTES;
  if (!known && !starts_with(full, L"\\\\.\\")) return found;  // the usual case: a new name
  if (known && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    found.kind = file_kind::directory;
    return found;
  }
  if (known && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    found.kind = file_kind::symbolic_link;
    return found;
  }
  const HANDLE file = open_to_inspect(full, true);
  if (file == INVALID_HANDLE_VALUE && !known) return found;
  if (file != INVALID_HANDLE_VALUE && ::GetFileType(file) != FILE_TYPE_DISK) {
    found.kind = file_kind::special;
  } else {
    found.kind = file_kind::regular;
    found.read_only = (attributes & FILE_ATTRIBUTE_READONLY) != 0;
    found.is_open_stream =
        stream != nullptr && file != INVALID_HANDLE_VALUE && is_same_file(stream, file);
    found.is_alias = is_short_name_alias(full);
  }
  if (file != INVALID_HANDLE_VALUE) ::CloseHandle(file);
  return found;
}

// The file at the end of the links is opened and asked for its final path
// ("\\?\C:\dir\name"), which replaces *path when it has an exact form in the
// ANSI code page. A name that is no file on a disk keeps its path; a link
// that leads nowhere (or into a loop) is refused rather than replaced, and
// so is a name no file can have (one spelt with "?"), before any input is
// read.
bool resolve_symbolic_links(std::string* path) {
  const std::wstring full = full_path(*path);
  const DWORD attributes =
      full.empty() ? INVALID_FILE_ATTRIBUTES : ::GetFileAttributesW(full.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return ::GetLastError() != ERROR_INVALID_NAME;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return true;
  const HANDLE file = open_to_inspect(full, false);
  if (file == INVALID_HANDLE_VALUE) return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
  std::wstring final_path(MAX_PATH, L'\0');
  DWORD n = 0;
  if (::GetFileType(file) == FILE_TYPE_DISK) {
    n = ::GetFinalPathNameByHandleW(file, final_path.data(), MAX_PATH, VOLUME_NAME_DOS);
    if (n >= MAX_PATH) {
      final_path.resize(n);
      n = ::GetFinalPathNameByHandleW(file, final_path.data(), n, VOLUME_NAME_DOS);
    }
  }
  ::CloseHandle(file);
  if (n == 0 || n >= final_path.size()) return true;
  final_path.resize(n);
  std::string resolved;
  if (final_path == full) return true;
  if (!to_ansi(final_path, &resolved)) return false;
  *path = resolved;
  return true;
}

bool identify_file(std::FILE* stream, file_identity* id) {
  const auto handle = reinterpret_cast<HANDLE>(::_get_osfhandle(::_fileno(stream)));
  BY_HANDLE_FILE_INFORMATION info;
  if (handle == INVALID_HANDLE_VALUE || !::GetFileInformationByHandle(handle, &info)) return false;
  const auto join = [](DWORD high, DWORD low) { return std::uint64_t{high} << 32 | low; };
  id->device = info.dwVolumeSerialNumber;
  id->inode = join(info.nFileIndexHigh, info.nFileIndexLow);
  id->size = join(info.nFileSizeHigh, info.nFileSizeLow);
  id->modified = join(info.ftLastWriteTime.dwHighDateTime, info.ftLastWriteTime.dwLowDateTime);
  id->changed = 0;
  return true;
}

// The runtime's fseek and ftell take a long, of 32 bits here.
bool seek_to_end(std::FILE* stream, std::uint64_t* size) {
  if (::_fseeki64(stream, 0, SEEK_END) != 0) return false;
  const __int64 end = ::_ftelli64(stream);
  if (end < 0) return false;
  *size = static_cast<std::uint64_t>(end);
  return true;
}

// The name itself is opened, not what a link or junction leads to, and it
// is judged by what the open handle says: a disk file without a reparse
// point and not a directory.
namespace {

// Opens full (a "\\?\" path) as open_regular_file does.
regular_file open_regular_full_path(const std::wstring& full, file_handle* file,
                                    bool follow_links) {
  if (full.empty()) return regular_file::failed;
  const DWORD own_link = follow_links ? 0 : FILE_FLAG_OPEN_REPARSE_POINT;
  HANDLE h = ::CreateFileW(full.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, own_link | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD error = ::GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? regular_file::missing
                                                                          : regular_file::failed;
  }
  BY_HANDLE_FILE_INFORMATION info;
  const bool regular = ::GetFileType(h) == FILE_TYPE_DISK && ::GetFileInformationByHandle(h, &info) &&
                       (info.dwFileAttributes &
                        (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
  if (!regular) {
    ::CloseHandle(h);
    return regular_file::not_regular;
  }
  std::FILE* f = stream_of_handle(h, _O_RDONLY, "rb");
  if (f == nullptr) return regular_file::failed;
  *file = file_handle(f);
  return regular_file::opened;
}

}  // namespace

regular_file open_regular_file(const char* path, file_handle* file, bool follow_links) {
  return open_regular_full_path(full_path(path), file, follow_links);
}

// The directory stays open, and may not be renamed or removed meanwhile
// (no FILE_SHARE_DELETE), so its full path, asked of the handle, keeps
// naming it. Names are reached under that path in its "\\?\" form, which
// the system takes as it is: no blank or dot is dropped, and nothing is
// read as a drive's current directory.
bool directory_handle::open(const char* path) {
  close();
  path_ = path;
  const std::wstring full = full_path(path);
  if (full.empty()) return false;
  const HANDLE h = ::CreateFileW(full.c_str(), FILE_LIST_DIRECTORY | FILE_TRAVERSE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  handle_ = reinterpret_cast<std::intptr_t>(h);
  BY_HANDLE_FILE_INFORMATION info;
  if (!::GetFileInformationByHandle(h, &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    close();
    return false;
  }
  std::wstring final_path(MAX_PATH, L'\0');
  DWORD n = ::GetFinalPathNameByHandleW(h, final_path.data(), MAX_PATH, VOLUME_NAME_DOS);
  if (n >= MAX_PATH) {
    final_path.resize(n);
    n = ::GetFinalPathNameByHandleW(h, final_path.data(), n, VOLUME_NAME_DOS);
  }
  if (n == 0 || n >= final_path.size()) {
    close();
    return false;
  }
  final_path.resize(n);
  if (!starts_with(final_path, L"\\\\?\\")) final_path = L"\\\\?\\" + final_path;
  if (final_path.back() != L'\\') final_path.push_back(L'\\');
  full_path_ = final_path;
  return true;
}

bool directory_handle::list_regular_files(std::vector<std::string>* names) const {
  names->clear();
  if (handle_ == -1) return false;
  const std::wstring pattern = full_path_ + L'*';
  WIN32_FIND_DATAW data;
  const HANDLE search =
      ::FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &data, FindExSearchNameMatch, nullptr, 0);
  if (search == INVALID_HANDLE_VALUE) return false;
  do {
    if ((data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT |
                                  FILE_ATTRIBUTE_DEVICE)) != 0) {
      continue;
    }
    std::string name;
    names->push_back(to_ansi(data.cFileName, &name) ? name : refused_spelling(data.cFileName));
  } while (::FindNextFileW(search, &data));
  const bool complete = ::GetLastError() == ERROR_NO_MORE_FILES;
  ::FindClose(search);
  std::sort(names->begin(), names->end());
  return complete;
}

regular_file directory_handle::open_file(const char* name, file_handle* file,
                                         file_identity* id) const {
  if (handle_ == -1) return regular_file::failed;
  const std::wstring wide_name = wide(name);
  if (wide_name.empty() || wide_name.find_first_of(L"\\/:") != std::wstring::npos) {
    return regular_file::failed;
  }
  const std::wstring full = full_path_ + wide_name;
  if (is_short_name_alias(full)) return regular_file::missing;
  const regular_file r = open_regular_full_path(full, file, false);
  if (r == regular_file::opened && id != nullptr && !identify_file(file->get(), id)) {
    file->close();
    return regular_file::failed;
  }
  return r;
}

// The file index needs an open handle: the file is opened and closed.
regular_file directory_handle::identify(const char* name, file_identity* id) const {
  file_handle file;
  const regular_file r = open_file(name, &file);
  if (r != regular_file::opened) return r;
  return identify_file(file.get(), id) ? regular_file::opened : regular_file::failed;
}

void directory_handle::close() {
  if (handle_ != -1) ::CloseHandle(reinterpret_cast<HANDLE>(handle_));
  handle_ = -1;
  full_path_.clear();
}

std::FILE* open_special_file(const char* path, const existing_file&) {
  return ::_wfopen(wide(path).c_str(), L"r+b");
}

bool set_stream_size(std::FILE* stream, std::uint64_t size) {
  if (std::fflush(stream) != 0) return false;
  const auto handle = reinterpret_cast<HANDLE>(::_get_osfhandle(::_fileno(stream)));
  if (::GetFileType(handle) != FILE_TYPE_DISK) return true;
  FILE_END_OF_FILE_INFO end{};
  end.EndOfFile.QuadPart = static_cast<LONGLONG>(size);
  return ::SetFileInformationByHandle(handle, FileEndOfFileInfo, &end, sizeof end) != 0;
}

namespace {

// Held while a temporary file is not yet, or no longer, marked for
// deletion, where it has to be marked (see temporary_file::open).
CRITICAL_SECTION& naming_lock() {
  struct lock {
    lock() { ::InitializeCriticalSection(&section); }
    CRITICAL_SECTION section;
  };
  static lock naming;
  return naming.section;
}

class naming_guard {
 public:
  explicit naming_guard(bool held) : held_(held) {
    if (held_) ::EnterCriticalSection(&naming_lock());
  }
  ~naming_guard() { release(); }
  naming_guard(const naming_guard&) = delete;
  naming_guard& operator=(const naming_guard&) = delete;
  void release() {
    if (held_) ::LeaveCriticalSection(&naming_lock());
    held_ = false;
  }

 private:
  bool held_;
};

bool mark_for_deletion(HANDLE file, bool marked) {
  FILE_DISPOSITION_INFO disposition;
  disposition.DeleteFile = marked ? TRUE : FALSE;
  return ::SetFileInformationByHandle(file, FileDispositionInfo, &disposition,
                                      sizeof disposition) != 0;
}

// Gives the open file the name target (a system path), replacing a file of
// that name in one step: as a second link, or as its new name.
bool name_open_file(HANDLE file, const std::wstring& target, bool as_link) {
  if (target.empty()) return false;
  const std::size_t bytes = target.size() * sizeof(wchar_t);
  std::vector<unsigned char> buffer(sizeof(FILE_RENAME_INFO) + bytes);
  auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  info->ReplaceIfExists = TRUE;
  info->RootDirectory = nullptr;
  info->FileNameLength = static_cast<DWORD>(bytes);
  std::memcpy(info->FileName, target.data(), bytes);
  const auto size = static_cast<DWORD>(buffer.size());
  if (!as_link) return ::SetFileInformationByHandle(file, FileRenameInfo, info, size) != 0;
  IO_STATUS_BLOCK status;
  return NT_SUCCESS(::NtSetInformationFile(file, &status, info, size, FileLinkInformation));
}

// True when files in the directory dir_prefix names can take a second name
// (a hard link): on NTFS, which Wine reports for its drives without the
// flag, and on every file system that says so. The last answer is kept:
// one run writes into one directory or two.
bool takes_hard_links(std::string_view dir_prefix) {
  static std::wstring last_dir;
  static bool last_answer = false;
  const std::wstring dir = full_path(dir_prefix.empty() ? "." : dir_prefix);
  if (dir.empty()) return false;
  if (dir == last_dir) return last_answer;
  const HANDLE handle = open_to_inspect(dir, false);
  DWORD flags = 0;
  wchar_t system[MAX_PATH + 1] = L"";
  const bool known = handle != INVALID_HANDLE_VALUE &&
                     ::GetVolumeInformationByHandleW(handle, nullptr, 0, nullptr, nullptr, &flags,
                                                     system, MAX_PATH + 1);
  if (handle != INVALID_HANDLE_VALUE) ::CloseHandle(handle);
  last_dir = dir;
  last_answer =
      known && ((flags & FILE_SUPPORTS_HARD_LINKS) != 0 || std::wcscmp(system, L"NTFS") == 0);
  return last_answer;
}

// A console event (Ctrl+C, Ctrl+Break, closing the window, log-off,
// shut-down) ends the process. Every temporary file goes with its handles,
// so the process's end removes it; one that is not marked for deletion at
// that moment is waited for. The process ends at once, as Ctrl+C would end
// it, without running exit handlers in this thread while the main one may
// hold a stream's lock.
BOOL WINAPI end_on_console_event(DWORD) {
  ::EnterCriticalSection(&naming_lock());
  ::TerminateProcess(::GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
  return TRUE;
}

}  // namespace

// The file is open to this process alone (no sharing). Where the file system
// has hard links, it is made to be deleted when its handles close, so that
// however the process ends, even killed, it goes; commit() gives it its name
// as a second link, which stays. Elsewhere it is marked for deletion right
// after it is made, with the console handler held off in between. The
// stream writes through a second handle, so that the first outlives it.
bool temporary_file::open(std::string_view dir_prefix, bool) {
  discard();
  deleted_on_close_ = takes_hard_links(dir_prefix);
  const DWORD flags = FILE_ATTRIBUTE_NORMAL | (deleted_on_close_ ? FILE_FLAG_DELETE_ON_CLOSE : 0);
  naming_guard guard(!deleted_on_close_);
  HANDLE file = INVALID_HANDLE_VALUE;
  if (!try_temporary_names(dir_prefix, &path_, [&](const std::string& candidate) {
        const std::wstring name = full_path(candidate);
        file = ::CreateFileW(name.c_str(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW, flags,
                             nullptr);
        if (file != INVALID_HANDLE_VALUE) return name_attempt::made;
        const DWORD error = ::GetLastError();
        return error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS ? name_attempt::taken
                                                                           : name_attempt::failed;
      })) {
    path_.clear();
    return false;
  }
  handle_ = reinterpret_cast<std::intptr_t>(file);
  if (!deleted_on_close_ && !mark_for_deletion(file, true)) {
    discard();
    return false;
  }
  guard.release();
  HANDLE writer = INVALID_HANDLE_VALUE;
  const HANDLE self = ::GetCurrentProcess();
  if (!::DuplicateHandle(self, file, self, &writer, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
    discard();
    return false;
  }
  // New archives and entry files take their data in whole chunks.
  std::FILE* f = stream_of_handle(writer, _O_WRONLY, "wb");
  if (f == nullptr) {
    discard();
    return false;
  }
  stream_ = file_handle(f);
  return true;
}

// Windows copies through user space: its block cloning needs ReFS and
// aligned ranges, which archive entries never are.
bool copy_inside_kernel(std::FILE*, std::FILE*, std::uint64_t, std::uint64_t* copied) {
  *copied = 0;
  return true;
}

std::FILE* open_scratch_file(std::string_view dir_prefix) {
  HANDLE file = INVALID_HANDLE_VALUE;
  std::string path;
  if (!try_temporary_names(dir_prefix, &path, [&](const std::string& candidate) {
        const std::wstring name = full_path(candidate);
        file = ::CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr,
                             CREATE_NEW,
                             FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
        if (file != INVALID_HANDLE_VALUE) return name_attempt::made;
        const DWORD error = ::GetLastError();
        return error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS ? name_attempt::taken
                                                                           : name_attempt::failed;
      })) {
    return nullptr;
  }
  return stream_of_handle(file, _O_RDWR, "w+b");
}

// The stream is closed first, which writes out what it holds. The file keeps
// its own attributes; a read-only target is refused earlier. It is named
// through its handle, so that no other process can take it between its last
// write and its new name: as a second link, after which closing the handle
// removes the temporary name, or, where it is marked for deletion, by
// clearing the mark and renaming it, with the console handler held off.
temporary_file::commit_result temporary_file::commit(const char* target, const existing_file&) {
  if (handle_ == -1 || !stream_.close()) {
    discard();
    return commit_result::lost_data;
  }
  const auto file = reinterpret_cast<HANDLE>(handle_);
  const std::wstring name = system_path(target);
  bool named = false;
  if (deleted_on_close_) {
    named = name_open_file(file, name, true);
  } else {
    naming_guard guard(true);
    if (!name.empty() && mark_for_deletion(file, false)) {
      named = name_open_file(file, name, false);
      if (named) {
        path_.clear();
      } else {
        mark_for_deletion(file, true);
      }
    }
  }
  discard();
  return named ? commit_result::committed : commit_result::not_named;
}

// Closing the last handle deletes a file made to be deleted on close or
// still marked for deletion. Where the mark could not be set, the file is
// deleted by name, and that is retried: another process (a virus scanner)
// may hold it a moment.
void temporary_file::discard() {
  stream_.close();
  if (handle_ != -1) {
    const auto file = reinterpret_cast<HANDLE>(handle_);
    const bool goes = deleted_on_close_ || path_.empty() || mark_for_deletion(file, true);
    ::CloseHandle(file);
    handle_ = -1;
    const std::wstring name = goes ? std::wstring() : full_path(path_);
    for (int tries = 0; !name.empty() && tries < 20 && ::DeleteFileW(name.c_str()) == 0 &&
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

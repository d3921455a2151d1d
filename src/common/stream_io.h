// Small helpers over std::FILE* shared by the archive routines.
#ifndef KESTO_COMMON_STREAM_IO_H
#define KESTO_COMMON_STREAM_IO_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "common/platform.h"

namespace kesto {

// Archive positions are sought as signed 32-bit values, so the largest
// archive a reader can use whole is 2^31 - 1 bytes; the writers refuse to
// grow past it.
inline constexpr std::uint32_t max_archive_size = 0x7FFFFFFFu;

// Seeks from the start of the file; a target beyond max_archive_size fails
// on every platform, as does a failing fseek.
inline bool seek_to(std::FILE* f, std::uint32_t pos) {
  if (pos > max_archive_size) return false;
  return std::fseek(f, static_cast<long>(pos), SEEK_SET) == 0;
}

// As seek_to, for a stream read in order (a rebuild's entries): one that is
// there already is left as it is, so that a buffered stream keeps what it
// holds, where a seek may drop it or cost a system call.
inline bool seek_ahead_to(std::FILE* f, std::uint32_t pos) {
  if (pos <= max_archive_size && !std::feof(f) && std::ftell(f) == static_cast<long>(pos)) {
    return true;
  }
  return seek_to(f, pos);
}

// Reads exactly n bytes; false on end of file or error.
inline bool read_exact(std::FILE* f, void* buf, std::size_t n) {
  return std::fread(buf, 1, n, f) == n;
}

// Writes exactly n bytes; false on a short write.
inline bool write_all(std::FILE* f, const void* buf, std::size_t n) {
  return std::fwrite(buf, 1, n, f) == n;
}

// The archive's current position, or false when it cannot be obtained or
// lies beyond max_archive_size.
inline bool tell_position(std::FILE* f, std::uint32_t* pos) {
  long p = std::ftell(f);
  if (p < 0 || static_cast<unsigned long>(p) > max_archive_size) return false;
  *pos = static_cast<std::uint32_t>(p);
  return true;
}

// The size of the file behind stream, in 64 bits on every platform (a long
// of 32 bits cannot tell a size past 2 GiB), or UINT64_MAX when it cannot
// be told. Leaves the stream at its end.
inline std::uint64_t stream_size(std::FILE* f) {
  std::uint64_t size = 0;
  return seek_to_end(f, &size) ? size : UINT64_MAX;
}

// The sum of least(size) over the inputs whose size the system tells
// without reading them (regular_file_size); the others count nothing. A
// writer compares it with its limit before it reads anything.
template <class Least>
std::uint64_t known_input_bytes(const char* const* files, std::uint32_t count, Least&& least) {
  std::uint64_t total = 0;
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::uint64_t size = regular_file_size(files[i]);
    if (size != UINT64_MAX) total += least(size);
    if (total > max_archive_size) break;  // enough to refuse, and no overflow
  }
  return total;
}

// Writes a message with one %s, the stored name name as
// printable_entry_name shows it, to log when a log is given.
void log_message(std::FILE* log, const char* format, const char* name);

// Logs a failure fragment for name and returns status, for one-line exits.
inline int log_failure(std::FILE* log, const char* format, const char* name, int status) {
  log_message(log, format, name);
  return status;
}

// Log texts of the readers. The failure fragments carry no line end: the
// front end completes the line.
inline constexpr const char* msg_entry_done = "%s\n";
inline constexpr const char* msg_cannot_create = "Impossibile creare il file %s";
inline constexpr const char* msg_cannot_read_entry = "Impossibile leggere il file %s dall'archivio";
inline constexpr const char* msg_cannot_write = "Impossibile scrivere il file %s";
// A whole line: an entry -x leaves out because its name is taken.
inline constexpr const char* msg_file_exists = "%s non estratto: esiste un file con questo nome\n";
// A whole line: an entry that begins with "LZ" but does not decode exactly,
// which -x writes as stored.
inline constexpr const char* msg_kept_as_stored =
    "%s - non decomprimibile con LZSS, estratto come salvato\n";
// A whole line: an entry that took a file's bytes (-u, -a).
inline constexpr const char* msg_replaced = "%s sostituito\n";
// A whole line: an LZ entry whose header sizes disagree with its stream.
inline constexpr const char* msg_inconsistent = "%s - dati incoerenti nell'estrazione\n";

}  // namespace kesto

#endif

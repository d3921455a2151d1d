// Bulk copying between streams through one buffer of copy_chunk_size bytes:
// every read and every write moves at most one chunk, so entries of any
// size stream in constant memory.
#ifndef KESTO_COMMON_CHUNK_COPY_H
#define KESTO_COMMON_CHUNK_COPY_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <type_traits>

#include "common/platform.h"

namespace kesto {

inline constexpr std::size_t copy_chunk_size = 32768;

enum class copy_result { ok, read_short, write_short, too_large, read_error };

// Passes chunks through unchanged.
struct no_filter {
  void operator()(unsigned char*, std::size_t) const {}
};

// Reads exactly size bytes from in, a chunk at a time, and hands each chunk
// to consume(buffer, length), which may change it. Returns read_short when in
// ends (or fails) first, write_short when consume returns false.
template <class Consume>
copy_result read_in_chunks(std::FILE* in, std::uint32_t size, Consume&& consume) {
  unsigned char buf[copy_chunk_size];
  while (size != 0) {
    std::size_t chunk = size < copy_chunk_size ? size : copy_chunk_size;
    if (std::fread(buf, 1, chunk, in) != chunk) return copy_result::read_short;
    if (!consume(buf, chunk)) return copy_result::write_short;
    size -= static_cast<std::uint32_t>(chunk);
  }
  return copy_result::ok;
}

// Bytes that pass unchanged are copied inside the kernel where the system
// offers it (copy_inside_kernel) once there are this many: below, the
// ordinary copy takes fewer system calls.
inline constexpr std::uint64_t kernel_copy_threshold = 4 * copy_chunk_size;

template <class Filter>
inline constexpr bool is_no_filter = std::is_same_v<std::decay_t<Filter>, no_filter>;

// Copies exactly size bytes from in to out. Each chunk goes through
// filter(buffer, length) between its read and its write. Returns read_short
// when in ends (or fails) first, write_short when out takes fewer bytes.
// Unchanged bytes go inside the kernel where they can.
template <class Filter>
copy_result copy_exact(std::FILE* in, std::FILE* out, std::uint32_t size, Filter&& filter) {
  if constexpr (is_no_filter<Filter>) {
    if (size >= kernel_copy_threshold) {
      std::uint64_t copied = 0;
      if (!copy_inside_kernel(in, out, size, &copied)) return copy_result::write_short;
      size -= static_cast<std::uint32_t>(copied);
    }
  }
  return read_in_chunks(in, size, [&](unsigned char* buf, std::size_t n) {
    filter(buf, n);
    return std::fwrite(buf, 1, n, out) == n;
  });
}

// As copy_exact, but a read that comes up short still passes on the bytes
// it got before returning read_short: what could be read is written.
template <class Filter>
copy_result copy_available(std::FILE* in, std::FILE* out, std::uint32_t size, Filter&& filter) {
  unsigned char buf[copy_chunk_size];
  while (size != 0) {
    const std::size_t chunk = size < copy_chunk_size ? size : copy_chunk_size;
    const std::size_t n = std::fread(buf, 1, chunk, in);
    filter(buf, n);
    if (std::fwrite(buf, 1, n, out) != n) return copy_result::write_short;
    if (n != chunk) return copy_result::read_short;
    size -= static_cast<std::uint32_t>(chunk);
  }
  return copy_result::ok;
}

// Streams whose bulk data move in whole chunks (input files, entry files,
// archives) are best unbuffered: each chunk then goes to or from the system
// in one call. A stream buffer of the usual 4096 bytes splits every chunk
// that does not start on its boundary (an archive's data rarely do) into
// two calls and copies a part; a buffer larger than a chunk costs a copy
// of every byte, which is slower still. The few small reads and writes of
// headers and directories are batched by their callers. Call right after
// opening, before any other use of the stream.
inline void use_chunks_unbuffered(std::FILE* stream) {
  std::setvbuf(stream, nullptr, _IONBF, 0);
}

// A stream read or written in many small pieces: buffer (copy_chunk_size
// bytes, which must outlive the stream's use) gathers them. Called before
// any input or output on the stream.
inline void use_buffer(std::FILE* stream, char* buffer) {
  std::setvbuf(stream, buffer, _IOFBF, copy_chunk_size);
}

// Copies in to out until a read returns nothing, adding the bytes copied to
// *copied. Refuses (too_large) before writing a chunk that would take the
// total past room. Returns read_error when in's error flag is set at the end.
// After a first whole chunk, unchanged bytes go inside the kernel where they
// can, never past room.
template <class Filter>
copy_result copy_to_end(std::FILE* in, std::FILE* out, std::uint64_t room, std::uint32_t* copied,
                        Filter&& filter) {
  unsigned char buf[copy_chunk_size];
  bool kernel_tried = !is_no_filter<Filter>;
  for (;;) {
    std::size_t n = std::fread(buf, 1, copy_chunk_size, in);
    if (n == 0) break;
    if (n > room) return copy_result::too_large;
    room -= n;
    filter(buf, n);
    if (std::fwrite(buf, 1, n, out) != n) return copy_result::write_short;
    *copied += static_cast<std::uint32_t>(n);
    // A short read means the stream has reached its end (or failed), and a
    // stream at its end returns nothing more: skip the read that would
    // only say so again (one system call per input file).
    if (n < copy_chunk_size && std::feof(in)) break;
    if (!kernel_tried) {
      kernel_tried = true;
      std::uint64_t moved = 0;
      if (!copy_inside_kernel(in, out, room, &moved)) return copy_result::write_short;
      room -= moved;
      *copied += static_cast<std::uint32_t>(moved);
    }
  }
  return std::ferror(in) ? copy_result::read_error : copy_result::ok;
}

}  // namespace kesto

#endif

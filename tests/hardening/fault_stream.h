// Streams that fail on purpose, for driving the archive routines through
// every failure point. A fault_stream is a std::FILE* (glibc fopencookie)
// over an in-memory file; its plan names one operation kind and the call
// (or byte count) at which that operation starts to fail. It also runs the
// routines in a child process whose file size is limited, so that writes to
// files the routines open themselves fail too.
#ifndef KESTO_TESTS_HARDENING_FAULT_STREAM_H
#define KESTO_TESTS_HARDENING_FAULT_STREAM_H

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

namespace kesto_test {

enum class fault {
  none,
  read_call,    // the Nth read (from 0) fails, and every later one
  read_bytes,   // reads deliver N bytes in all, then fail
  write_call,   // the Nth write fails, and every later one
  write_bytes,  // writes take N bytes in all, then fail
  seek_call,    // the Nth seek fails (position queries are not counted)
  tell_call,    // the Nth position query fails
  close_call,   // closing fails
};

const char* fault_name(fault kind);

struct fault_state {
  std::string data;  // the file's contents
  std::size_t position = 0;
  fault kind = fault::none;
  std::uint64_t at = 0;
  bool triggered = false;  // a call failed because of the plan
  bool closed = false;
  std::uint64_t reads = 0, writes = 0, seeks = 0, tells = 0;
  std::uint64_t bytes_read = 0, bytes_written = 0;
};

// A stream over state (which must outlive it); mode is "rb" or "w+b".
// Unbuffered, every read, write and seek of the routine reaches the plan
// (byte-wise reads become calls of their own); buffered, the calls are
// those the stream makes to refill or flush its buffer.
std::FILE* open_fault_stream(fault_state* state, const char* mode, bool buffered = false);

// Runs fn in a child process whose files may grow to at most limit bytes
// (SIGXFSZ ignored, so an oversized write fails with an error instead of
// killing it). Returns fn's result (0-255), or -1 when the child died. What
// fn writes to the stream passed to it reaches *output.
int run_with_file_size_limit(std::uint64_t limit, const std::function<int(std::FILE*)>& fn,
                             std::string* output);

// Number of open file descriptors of the process.
int count_open_files();

}  // namespace kesto_test

#endif

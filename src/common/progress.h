// How far a long operation is, on one line of the terminal that is
// rewritten in place: "[12/37] 1048576/5400000 byte". Only when standard
// output is a terminal; redirected output never holds a byte of it.
#ifndef KESTO_COMMON_PROGRESS_H
#define KESTO_COMMON_PROGRESS_H

#include <chrono>
#include <cstdint>
#include <cstdio>

namespace kesto {

// What a run will go through: entries and their bytes.
struct selection_totals {
  std::uint32_t entries = 0;
  std::uint64_t bytes = 0;
};

// The line is drawn below the run's ordinary lines and taken off the
// screen before each of them: every line of a routine's log goes through
// log_message, which calls before_line first. So that no routine needs to
// know about it, the one line being drawn is known to the process (the
// only state of the kind besides the interrupt cleanup's); it lives on the
// calling thread alone.
class progress_line {
 public:
  // Inert (draws nothing) unless terminal is non-null.
  progress_line(std::FILE* terminal, std::uint32_t total_entries, std::uint64_t total_bytes)
      : out_(terminal), total_entries_(total_entries), total_bytes_(total_bytes) {
    if (out_ != nullptr) active_ = this;
  }
  ~progress_line() {
    erase();
    if (active_ == this) active_ = nullptr;
  }
  progress_line(const progress_line&) = delete;
  progress_line& operator=(const progress_line&) = delete;

  progress_line(std::FILE* terminal, const selection_totals& totals)
      : progress_line(terminal, totals.entries, totals.bytes) {}

  // One more entry done, of bytes input bytes. Redraws the line at most ten
  // times a second, so that a run that prints a line per entry shows it now
  // and then below them.
  void advance(std::uint64_t bytes);
  // Takes the line off the screen, before an ordinary line or at the end.
  void erase();
  // Erases the line being drawn on stream, if any: called before a line of
  // a routine's log is written there.
  static void before_line(std::FILE* stream) {
    if (active_ != nullptr && active_->out_ == stream) active_->erase();
  }

 private:
  std::FILE* out_;
  std::uint32_t total_entries_;
  std::uint64_t total_bytes_;
  std::uint32_t entries_ = 0;
  std::uint64_t bytes_ = 0;
  int shown_ = 0;  // characters on the screen now
  std::chrono::steady_clock::time_point last_{};
  static inline progress_line* active_ = nullptr;
};

}  // namespace kesto

#endif

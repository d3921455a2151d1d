#include "common/progress.h"

#include <cinttypes>

namespace kesto {

void progress_line::advance(std::uint64_t bytes) {
  ++entries_;
  bytes_ += bytes;
  if (out_ == nullptr) return;
  const auto now = std::chrono::steady_clock::now();
  if (now - last_ < std::chrono::milliseconds(100)) return;
  last_ = now;
  // Plain carriage returns and blanks, which every console understands.
  const int n = std::fprintf(out_, "\r[%" PRIu32 "/%" PRIu32 "] %" PRIu64 "/%" PRIu64 " byte",
                             entries_, total_entries_, bytes_, total_bytes_);
  const int written = n > 0 ? n - 1 : 0;
  for (int i = written; i < shown_; ++i) std::fputc(' ', out_);
  if (written < shown_) std::fputc('\r', out_);
  shown_ = written;
  std::fflush(out_);
}

void progress_line::erase() {
  if (out_ == nullptr || shown_ == 0) return;
  std::fputc('\r', out_);
  for (int i = 0; i < shown_; ++i) std::fputc(' ', out_);
  std::fputc('\r', out_);
  std::fflush(out_);
  shown_ = 0;
}

}  // namespace kesto

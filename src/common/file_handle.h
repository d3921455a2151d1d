// A move-only owner of a std::FILE*, so that every early return closes the
// file. Where the result of fclose matters (data written), call close().
#ifndef KESTO_COMMON_FILE_HANDLE_H
#define KESTO_COMMON_FILE_HANDLE_H

#include <cstdio>
#include <utility>

namespace kesto {

class file_handle {
 public:
  file_handle() = default;
  explicit file_handle(std::FILE* f) : f_(f) {}
  ~file_handle() { close(); }

  file_handle(const file_handle&) = delete;
  file_handle& operator=(const file_handle&) = delete;
  file_handle(file_handle&& other) noexcept : f_(std::exchange(other.f_, nullptr)) {}
  file_handle& operator=(file_handle&& other) noexcept {
    if (this != &other) {
      close();
      f_ = std::exchange(other.f_, nullptr);
    }
    return *this;
  }

  std::FILE* get() const { return f_; }
  explicit operator bool() const { return f_ != nullptr; }

  // Closes the file; returns false when fclose reports a failure (unflushed
  // data lost). Closing an empty handle succeeds.
  bool close() {
    if (f_ == nullptr) return true;
    return std::fclose(std::exchange(f_, nullptr)) == 0;
  }

 private:
  std::FILE* f_ = nullptr;
};

}  // namespace kesto

#endif

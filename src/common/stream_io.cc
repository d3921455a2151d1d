#include "common/stream_io.h"

namespace kesto {

void log_message(std::FILE* log, const char* format, const char* name) {
  if (log != nullptr) std::fprintf(log, format, name);
}

}  // namespace kesto

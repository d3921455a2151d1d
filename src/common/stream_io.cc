#include "common/stream_io.h"

#include "common/path.h"
#include "common/progress.h"

namespace kesto {

void log_message(std::FILE* log, const char* format, const char* name) {
  if (log == nullptr) return;
  progress_line::before_line(log);
  std::fprintf(log, format, printable_entry_name(name).c_str());
}

}  // namespace kesto

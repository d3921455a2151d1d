// Fuzz target: extract_dl_archive in decompress mode over arbitrary bytes. After
// every input it checks the status against the signature, that every file
// the reader opened is closed, that nothing appears outside the work
// directory, that no temporary file stays, and that every file on disk is
// either a planted file left untouched or the output the byte-wise
// reference decoder gives for a kept (result 0 or 4) LZ entry of that name. Skipped
// and failed entries must leave a planted file as it was.
#include <cstddef>
#include <cstdint>

#include "dl/dl_archive.h"
#include "fuzz_support.h"

using namespace kesto_fuzz;

namespace {

int decompress_mode(std::FILE* archive, std::FILE* log) {
  return kesto::extract_dl_archive(archive, log, true);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const int status = check_reader(data, size, decompress_mode, model_dl_entries(data, size, true));
  check_dl_header_status(data, size, status);
  return 0;
}

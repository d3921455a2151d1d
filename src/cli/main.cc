#include <cstdio>

#include "cli/command_line.h"
#include "common/platform.h"

int main(int argc, char** argv) {
  kesto::install_interrupt_cleanup();
  return kesto::run_command_line(kesto::command_line_words(argc, argv, kesto::expands_wildcards), stdout);
}

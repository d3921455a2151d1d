#include <cstdio>
#include <string>
#include <vector>

#include "cli/command_line.h"
#include "common/platform.h"

int main(int argc, char** argv) {
  kesto::install_interrupt_cleanup();
  std::vector<std::string> words(argv + (argc > 0 ? 1 : 0), argv + argc);
  return kesto::run_command_line(words, stdout);
}

// The command front end: parses the argument words, runs one operation and
// reports it on out. main() only calls run_command_line.
#ifndef KESTO_CLI_COMMAND_LINE_H
#define KESTO_CLI_COMMAND_LINE_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace kesto {

// words are the command-line words after the program name. Prints the
// result line, the usage text or the extraction log to out and returns the
// exit code: 0 on success, 1 on any failure. -p writes entry data to out
// and its failure lines to err, the only operation that writes there.
int run_command_line(const std::vector<std::string>& words, std::FILE* out,
                     std::FILE* err = stderr);

// Whether the operand with index operand (from 0) of a command line with
// this option word names files (command_line_words expands its wildcards on
// Windows): every operand except the NAMEs of -x, -p and -d, which choose
// entries with wildcards of their own.
bool expands_wildcards(std::string_view option, std::size_t operand);

// The KEY operand of -cfk: optional leading white space, an optional sign
// (minus negates), an optional 0x or 0X, then hexadecimal digits; the low 16
// bits of the whole number. Zero when no number starts the text.
std::uint16_t parse_key(const char* text);

}  // namespace kesto

#endif

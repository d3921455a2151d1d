#!/usr/bin/env bash
# Runs the Linux examples of the README, in order, in one scratch directory
# with the kesto of a build first on the PATH:
# - a block fenced as ```sh is run by bash -e and must end with status 0;
# - in a block fenced as ```console, each line "$ COMMAND" is run and what
#   it prints (standard output and error) must be the lines that follow it,
#   up to the next "$ " line.
# Other blocks (```bash: commands for the source tree, ```bat: the Windows
# console, ```text) are not run. Every example is tried, and each one that
# fails is shown with its line in the README.
# Usage: tests/readme_examples.sh README.md DIRECTORY-OF-KESTO
set -uo pipefail
readme=$(realpath "$1") && kesto_dir=$(realpath "$2") || exit 1
export PATH="$kesto_dir:$PATH"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir "$scratch/examples" "$scratch/run"

# One file per example: NNNN.sh (a whole block) or NNNN.cmd with NNNN.out
# (one command of a console block and its output), numbered in README order
# and naming the README line they come from in NNNN.line.
awk -v dir="$scratch/examples" '
  function next_example(suffix, line) {
    n++
    name = sprintf("%s/%04d", dir, n)
    print line > (name ".line"); close(name ".line")
    return name suffix
  }
  /^```/ && kind != "" { kind = ""; next }
  /^```sh$/ { kind = "sh"; file = next_example(".sh", NR); printf "" > file; next }
  /^```console$/ { kind = "console"; next }
  kind == "sh" { print >> file; next }
  kind == "console" && /^\$ / {
    base = next_example("", NR)
    print substr($0, 3) > (base ".cmd"); close(base ".cmd")
    out = base ".out"; printf "" > out; next
  }
  kind == "console" { print >> out }
' "$readme"

failures=0
fail() {  # fail EXAMPLE MESSAGE: names the README line of a failed example
  echo "README.md:$(cat "$1.line"): $2"
  failures=$((failures + 1))
}
cd "$scratch/run" || exit 1
for line in "$scratch"/examples/*.line; do
  [ -e "$line" ] || continue
  example=${line%.line}
  if [ -e "$example.sh" ]; then
    if ! output=$(bash -e "$example.sh" 2>&1); then
      fail "$example" "this block failed:"
      sed 's/^/    | /' "$example.sh"
      echo "$output" | sed 's/^/    > /'
    fi
  else
    command=$(cat "$example.cmd")
    output=$(bash -c "$command" 2>&1)
    if [ "$output" != "$(cat "$example.out")" ]; then
      fail "$example" "\$ $command printed something else (- README, + printed):"
      diff <(cat "$example.out") <(echo "$output") | sed -n 's/^< /    - /p; s/^> /    + /p'
    fi
  fi
done
count=$(find "$scratch/examples" -name '*.line' | wc -l)
echo "$count examples of the README run, $failures failed"
[ "$count" -gt 0 ] && [ "$failures" = 0 ]

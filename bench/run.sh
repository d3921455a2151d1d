#!/usr/bin/env bash
# Whole-process benchmark of kesto against the simplest tool doing the same
# work. Makes its own data in a temporary directory (removed at the end) and
# prints, per case, the median wall time of kesto and of its baseline over
# RUNS runs taken alternately (kesto, baseline, kesto, ...), their ratio, and
# the peak resident memory of kesto next to the same operation on an empty
# archive.
#
#   bash bench/run.sh [--build] BUILD_DIR [RUNS [SET]]
#
# BUILD_DIR must hold a build configured with -DKESTO_BUILD_BENCH=ON
# (BUILD_DIR/kesto, BUILD_DIR/bench/kesto_bench_data,
# BUILD_DIR/bench/classic_decoder and BUILD_DIR/bench/classic_encoder). With
# --build the script configures and builds it there first (Release, cmake
# --build -j2). RUNS defaults to 5. SET "lz" runs only the compression cases
# (-cdz against the classic encoder, and -ed of its archive); "all", the
# default, runs every case. Needs GNU time (/usr/bin/time), tar and about
# 2.5 GB free under TMPDIR (default /tmp; TMPDIR=/dev/shm measures the
# copies against cat on tmpfs). The page cache is warm: each case
# runs once untimed first, and dirty pages are synced (untimed) before every
# timed run.
set -euo pipefail

build=0
if [ "${1:-}" = "--build" ]; then
  build=1
  shift
fi
if [ $# -lt 1 ]; then
  sed -n '2,21p' "$0" | sed 's/^# \{0,1\}//'
  exit 2
fi
root=$(cd "$(dirname "$0")/.." && pwd)
build_dir=$(mkdir -p "$1" && cd "$1" && pwd)
runs=${2:-5}
set_name=${3:-all}

if [ $build = 1 ]; then
  cmake -S "$root" -B "$build_dir" -DCMAKE_BUILD_TYPE=Release -DKESTO_BUILD_BENCH=ON >/dev/null
  cmake --build "$build_dir" -j2 --target kesto kesto_bench_data classic_decoder classic_encoder \
    >/dev/null
fi
kesto=$build_dir/kesto
data_tool=$build_dir/bench/kesto_bench_data
classic=$build_dir/bench/classic_decoder
classic_encoder=$build_dir/bench/classic_encoder
for tool in "$kesto" "$data_tool" "$classic" "$classic_encoder" /usr/bin/time; do
  [ -x "$tool" ] || { echo "missing $tool (build with -DKESTO_BUILD_BENCH=ON, or pass --build)" >&2; exit 2; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/kesto-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
out=$work/out
key=3A7D

echo "making data in $work ..."
mkdir -p "$out"
: >"$work/empty_file"
printf 'AR\0\0\014\0\0\0\0\0\0\0' >"$work/empty.ar"
printf 'DL1.0\032\0\0\0\0\020\0\0\0\0\0' >"$work/empty.dl"

# run_timed NAME PREPARE COMMAND...: runs the command in a fresh $out under
# GNU time, after the shell command PREPARE (untimed, in $out) when it is not
# empty; appends the wall time in ms to $work/NAME.ms and the peak RSS in KiB
# to $work/NAME.rss. A failing command stops the benchmark.
run_timed() {
  local name=$1 prepare=$2
  shift 2
  rm -rf "$out"
  mkdir -p "$out"
  if [ -n "$prepare" ] && ! (cd "$out" && sh -c "$prepare") >/dev/null 2>&1; then
    echo "failed: $prepare" >&2
    exit 1
  fi
  sync
  local start end
  start=$(date +%s%N)
  if ! /usr/bin/time -v -o "$work/time.txt" "$@" >"$work/stdout.txt" 2>&1; then
    echo "failed: $*" >&2
    cat "$work/stdout.txt" >&2
    exit 1
  fi
  end=$(date +%s%N)
  echo $(((end - start) / 1000)) | awk '{ printf "%.1f\n", $1 / 1000 }' >>"$work/$name.ms"
  awk -F': ' '/Maximum resident set size/ { print $2 }' "$work/time.txt" >>"$work/$name.rss"
}

median() { sort -n "$1" | awk '{ v[NR] = $1 } END { m = int((NR + 1) / 2); print (NR % 2) ? v[m] : (v[m] + v[m + 1]) / 2 }'; }
maximum() { sort -n "$1" | tail -1; }

# One case: a label, the baseline's name, then two shell commands run in
# $out: kesto's and the baseline's; and kesto's command on an empty archive.
# Optionally two more, run untimed in $out before kesto's and the
# baseline's: for instance an earlier extraction that the timed one replaces.
cases=()
bench_case() {
  local id=$1 label=$2 base_name=$3 kesto_cmd=$4 base_cmd=$5 empty_cmd=$6
  local kesto_prep=${7:-} base_prep=${8:-}
  echo "  $label ..."
  : >"$work/$id.k.ms"; : >"$work/$id.k.rss"; : >"$work/$id.b.ms"; : >"$work/$id.b.rss"
  : >"$work/$id.e.ms"; : >"$work/$id.e.rss"
  run_timed warmup "$kesto_prep" sh -c "cd '$out' && $kesto_cmd"
  run_timed warmup "$base_prep" sh -c "cd '$out' && $base_cmd"
  for ((i = 0; i < runs; i++)); do
    run_timed "$id.k" "$kesto_prep" sh -c "cd '$out' && $kesto_cmd"
    run_timed "$id.b" "$base_prep" sh -c "cd '$out' && $base_cmd"
  done
  run_timed "$id.e" "" sh -c "cd '$out' && $empty_cmd"
  cases+=("$id|$label|$base_name")
}

# check COMMAND...: a correctness check of the last kesto run's output.
verify() {
  if ! "$@" >/dev/null 2>&1; then
    echo "output check failed: $*" >&2
    exit 1
  fi
}

changed_copy() {  # changed_copy DIR COPY: DIR's files, one in ten with a byte more
  local i=0 f
  mkdir -p "$2"
  cp -p "$1"/* "$2/"
  for f in "$2"/*; do
    i=$((i + 1))
    if [ $((i % 10)) = 0 ]; then printf x >>"$f"; fi
  done
}

same_files() {  # same_files DIR1 DIR2 NAMES...: every name equal in both
  local a=$1 b=$2
  shift 2
  for n in "$@"; do cmp -s "$a/$n" "$b/$n" || return 1; done
}

# The copying and decoding cases, over 2.5 GB of made data.
copy_cases() {
  mkdir -p "$work/big" "$work/small"
  "$data_tool" big "$work/big" 32 $((16 << 20))                 # 512 MiB in 32 files
  "$data_tool" files "$work/small" 10000 1024 4096 1            # 10,000 files of 1-4 KiB
  "$data_tool" lz-archive "$work/lz.dl" 8 $((32 << 20))         # 8 LZ entries of 32 MiB
  (cd "$work/big" && "$kesto" -cfk $key "$work/big.ar" b* >/dev/null)
  (cd "$work/big" && "$kesto" -cd "$work/big.dl" b* >/dev/null)
  (cd "$work/small" && "$kesto" -cf "$work/small.ar" s* >/dev/null)
  (cd "$work/small" && tar -cf "$work/small.tar" s*)
  (cd "$work/big" && tar -cf "$work/big.tar" b*)
  sync

  big_names=$(cd "$work/big" && echo b*)
  echo "timing $runs alternating runs per case ..."
  bench_case ar_create "AR create -cfk, 512 MiB in 32 files" "cat" \
    "cd '$work/big' && '$kesto' -cfk $key '$out/a.ar' b*" \
    "cd '$work/big' && cat b* >'$out/all'" \
    "'$kesto' -cfk $key '$out/a.ar' '$work/empty_file'"
  bench_case ar_extract "AR extract -e, 512 MiB in 32 files" "cat" \
    "'$kesto' -e '$work/big.ar' x" \
    "cd '$work/big' && cat b* >'$out/all'" \
    "'$kesto' -e '$work/empty.ar' x"
  run_timed check "" sh -c "cd '$out' && '$kesto' -e '$work/big.ar' x"
  verify same_files "$work/big" "$out/x" $big_names
  bench_case dl_create "DL create -cd, 512 MiB in 32 files" "cat" \
    "cd '$work/big' && '$kesto' -cd '$out/a.dl' b*" \
    "cd '$work/big' && cat b* >'$out/all'" \
    "'$kesto' -cd '$out/a.dl' '$work/empty_file'"
  bench_case dl_extract "DL extract -e, 512 MiB in 32 files" "cat" \
    "'$kesto' -e '$work/big.dl' x" \
    "cd '$work/big' && cat b* >'$out/all'" \
    "'$kesto' -e '$work/empty.dl' x"
  run_timed check "" sh -c "cd '$out' && '$kesto' -e '$work/big.dl' x"
  verify same_files "$work/big" "$out/x" $big_names
  # The same bytes moved by dd in kesto's own unit, 32 KiB per read and per
  # write: the floor for a copy in chunks of that size, which cat's in-kernel
  # copy does not pay (the gap between the two is the cost of the system calls).
  bench_case ar_create_dd "AR create -cfk, 512 MiB (vs dd 32 KiB)" "dd 32K" \
    "cd '$work/big' && '$kesto' -cfk $key '$out/a.ar' b*" \
    "cd '$work/big' && for f in b*; do dd if=\"\$f\" bs=32768 status=none; done >'$out/all'" \
    "'$kesto' -cfk $key '$out/a.ar' '$work/empty_file'"
  bench_case ar_extract_dd "AR extract -e, 512 MiB (vs dd 32 KiB)" "dd 32K" \
    "'$kesto' -e '$work/big.ar' x" \
    "dd if='$work/big.ar' of=all bs=32768 status=none" \
    "'$kesto' -e '$work/empty.ar' x"
  # The same large cases against tar, the archiver users would otherwise reach for.
  bench_case ar_create_tar "AR create -cfk, 512 MiB (vs tar)" "tar -cf" \
    "cd '$work/big' && '$kesto' -cfk $key '$out/a.ar' b*" \
    "cd '$work/big' && tar -cf '$out/a.tar' b*" \
    "'$kesto' -cfk $key '$out/a.ar' '$work/empty_file'"
  bench_case ar_extract_tar "AR extract -e, 512 MiB (vs tar)" "tar -xf" \
    "'$kesto' -e '$work/big.ar' x" \
    "mkdir x && tar -xf '$work/big.tar' -C x" \
    "'$kesto' -e '$work/empty.ar' x"
  bench_case dl_create_tar "DL create -cd, 512 MiB (vs tar)" "tar -cf" \
    "cd '$work/big' && '$kesto' -cd '$out/a.dl' b*" \
    "cd '$work/big' && tar -cf '$out/a.tar' b*" \
    "'$kesto' -cd '$out/a.dl' '$work/empty_file'"
  bench_case dl_extract_tar "DL extract -e, 512 MiB (vs tar)" "tar -xf" \
    "'$kesto' -e '$work/big.dl' x" \
    "mkdir x && tar -xf '$work/big.tar' -C x" \
    "'$kesto' -e '$work/empty.dl' x"
  bench_case small_create "create -cf, 10,000 files of 1-4 KiB" "tar -cf" \
    "cd '$work/small' && '$kesto' -cf '$out/s.ar' s*" \
    "cd '$work/small' && tar -cf '$out/s.tar' s*" \
    "'$kesto' -cf '$out/s.ar' '$work/empty_file'"
  bench_case small_extract "extract -e, 10,000 files of 1-4 KiB" "tar -xf" \
    "'$kesto' -e '$work/small.ar' x" \
    "mkdir x && tar -xf '$work/small.tar' -C x" \
    "'$kesto' -e '$work/empty.ar' x"
  run_timed check "" sh -c "cd '$out' && '$kesto' -e '$work/small.ar' x"
  verify diff -r "$work/small" "$out/x"
  # Over a tree extracted before: each file is replaced whole, through a
  # temporary file swapped with it, which is what an atomic replacement costs.
  bench_case small_replace "extract -e over them again" "tar -xf" \
    "'$kesto' -e '$work/small.ar' x" \
    "tar -xf '$work/small.tar' -C x" \
    "'$kesto' -e '$work/empty.ar' x" \
    "'$kesto' -e '$work/small.ar' x" \
    "mkdir x && tar -xf '$work/small.tar' -C x"
  # Rebuilds take the archive as their manifest and replace it: each run
  # rebuilds a fresh copy, made untimed. With nothing changed a rebuild reads
  # the archive and the files and writes the archive again, so its baseline
  # is cp of the archive.
  changed_copy "$work/small" "$work/small10"
  bench_case small_rebuild "rebuild -u, 10,000 files, none changed" "cp" \
    "'$kesto' -u s.ar '$work/small'" \
    "cp '$work/small.ar' c.ar" \
    "cp '$work/empty.ar' e.ar && '$kesto' -u e.ar '$work/small'" \
    "cp '$work/small.ar' s.ar"
  run_timed check "cp '$work/small.ar' s.ar" sh -c "cd '$out' && '$kesto' -u s.ar '$work/small'"
  verify cmp "$work/small.ar" "$out/s.ar"
  bench_case small_rebuild10 "rebuild -u, 10,000 files, 1 in 10 changed" "cp" \
    "'$kesto' -u s.ar '$work/small10'" \
    "cp '$work/small.ar' c.ar" \
    "cp '$work/empty.ar' e.ar && '$kesto' -u e.ar '$work/small10'" \
    "cp '$work/small.ar' s.ar"
  bench_case big_rebuild "rebuild -u, 512 MiB in 32 files, none changed" "cp" \
    "'$kesto' -u b.dl '$work/big'" \
    "cp '$work/big.dl' c.dl" \
    "cp '$work/empty.dl' e.dl && '$kesto' -u e.dl '$work/big'" \
    "cp '$work/big.dl' b.dl"
  # A rebuild with one file in ten changed against creating the archive
  # afresh from the same files: what -u saves by copying kept entries.
  (cd "$work/small" && "$kesto" -cd "$work/small.dl" s* >/dev/null)
  bench_case small_rebuild10_cd "rebuild -u of a DL archive, 1 in 10 changed" "-cd" \
    "'$kesto' -u s.dl '$work/small10'" \
    "cd '$work/small10' && '$kesto' -cd '$out/n.dl' s*" \
    "cp '$work/empty.dl' e.dl && '$kesto' -u e.dl '$work/small10'" \
    "cp '$work/small.dl' s.dl"
  # Inputs whose sizes already pass 2 GiB: refused before a byte is read.
  mkdir -p "$work/sparse"
  truncate -s 1100M "$work/sparse/s1" "$work/sparse/s2"
  bench_case refuse_2g "create -cd refused, 2.2 GB of inputs" "true" \
    "cd '$work/sparse' && ! '$kesto' -cd '$out/r.dl' s1 s2" \
    "true" \
    "'$kesto' -cd '$out/a.dl' '$work/empty_file'"
  bench_case lz_decode "-ed, 8 LZ entries of 32 MiB" "classic" \
    "'$kesto' -ed '$work/lz.dl' x" \
    "mkdir x && cd x && '$classic' '$work/lz.dl'" \
    "'$kesto' -ed '$work/empty.dl' x"
  run_timed check "" sh -c "cd '$out' && '$kesto' -ed '$work/lz.dl' k && mkdir c && cd c && '$classic' '$work/lz.dl'"
  verify diff -r "$out/k" "$out/c"
}

# The compression cases: a corpus of real files every Debian machine has
# (the license texts of base-files, a few executables, man pages
# uncompressed) and game-like data (script text, bitmaps with runs of one
# colour, sound samples, tables), under names of at most 12 bytes.
# "t-", "m-" and "g-text" files are the text files.
corpus=$work/corpus
make_corpus() {
  mkdir -p "$corpus"
  local f p
  for f in /usr/share/common-licenses/*; do
    if [ -f "$f" ] && [ ! -L "$f" ]; then cp "$f" "$corpus/t-$(basename "$f" | cut -c1-10)"; fi
  done
  for f in bash ls tar cp; do
    if p=$(command -v "$f"); then cp "$p" "$corpus/x-$f"; fi
  done
  for f in bash ls tar; do
    if [ -f "/usr/share/man/man1/$f.1.gz" ]; then zcat "/usr/share/man/man1/$f.1.gz" >"$corpus/m-$f.1"; fi
  done
  "$data_tool" game "$corpus"
  corpus_bytes=$(cat "$corpus"/* | wc -c)
  corpus_files=$(ls "$corpus" | wc -l)
}

# Every file of the corpus back from an archive of it: from "-ed" when it
# is an LZ entry, else from "-e" as stored.
corpus_back() {  # corpus_back ARCHIVE: in $out
  rm -rf "$out/e" "$out/x"
  (cd "$out" && "$kesto" -ed "$1" e && "$kesto" -e "$1" x) >/dev/null || return 1
  local n
  for n in $(ls "$corpus"); do
    if [ -f "$out/e/$n" ]; then cmp -s "$corpus/$n" "$out/e/$n" || return 1
    else cmp -s "$corpus/$n" "$out/x/$n" || return 1; fi
  done
}

lz_cases() {
  make_corpus
  echo "timing $runs alternating runs per case ..."
  bench_case cdz "DL create -cdz, $corpus_files files ($((corpus_bytes >> 10)) KiB)" "classic" \
    "cd '$corpus' && '$kesto' -cdz '$out/c.dl' *" \
    "mkdir cl && cd '$corpus' && '$classic_encoder' '$out/cl' *" \
    "'$kesto' -cdz '$out/a.dl' '$work/empty_file'"
  # The same on one core (taskset), where kesto runs one thread: the
  # speed-up of compressing entries side by side.
  if command -v taskset >/dev/null; then
    bench_case cdz_threads "-cdz on every core, against one core" "1 core" \
      "cd '$corpus' && '$kesto' -cdz '$out/c.dl' *" \
      "cd '$corpus' && taskset -c 0 '$kesto' -cdz '$out/c.dl' *" \
      "'$kesto' -cdz '$out/a.dl' '$work/empty_file'"
  fi
  (cd "$corpus" && "$kesto" -cdz "$work/corpus.dl" * >/dev/null)
  (cd "$corpus" && taskset -c 0 "$kesto" -cdz "$work/corpus1.dl" * >/dev/null)
  verify cmp "$work/corpus.dl" "$work/corpus1.dl"
  mkdir -p "$work/classic"
  (cd "$corpus" && "$classic_encoder" "$work/classic" *)
  verify corpus_back "$work/corpus.dl"
  # The classic encoder's entries are LZ entries that kesto decodes too.
  (cd "$work/classic" && "$kesto" -cd "$work/classic.dl" * >/dev/null)
  run_timed check "" sh -c "cd '$out' && '$kesto' -ed '$work/classic.dl' e"
  verify diff -r "$corpus" "$out/e"
  bench_case cdz_decode "-ed of the -cdz archive" "classic" \
    "'$kesto' -ed '$work/corpus.dl' x" \
    "mkdir x && cd x && '$classic' '$work/corpus.dl'" \
    "'$kesto' -ed '$work/empty.dl' x"
  run_timed check "" sh -c "cd '$out' && '$kesto' -ed '$work/corpus.dl' k && mkdir c && cd c && '$classic' '$work/corpus.dl'"
  verify diff -r "$out/k" "$out/c"
  # A rebuild where the changed LZ entries cost the encoder's time.
  changed_copy "$corpus" "$work/corpus10"
  bench_case cdz_rebuild10 "rebuild -u of it, 1 in 10 changed" "cp" \
    "'$kesto' -u c.dl '$work/corpus10'" \
    "cp '$work/corpus.dl' k.dl" \
    "cp '$work/empty.dl' e.dl && '$kesto' -u e.dl '$work/corpus10'" \
    "cp '$work/corpus.dl' c.dl"
}

# Each corpus file's entry made by -cdz against the classic encoder's LZ
# entry for it (both with the 10-byte header), the text files' totals, and
# the files whose entry is larger than the classic one.
size_report() {
  echo
  echo "entry sizes, -cdz against the classic encoder (bytes; an entry the size of its file is plain):"
  "$data_tool" sizes "$work/corpus.dl" | while read -r name size; do
    echo "$name $(stat -c %s "$corpus/$name") $size $(stat -c %s "$work/classic/$name")"
  done | awk '
    BEGIN { printf "  %-13s %9s %9s %9s\n", "name", "file", "-cdz", "classic" }
    { printf "  %-13s %9d %9d %9d %+7.2f%%\n", $1, $2, $3, $4, 100 * ($3 - $4) / $4
      if ($1 ~ /^(t-|m-|g-text)/) { tk += $3; tc += $4 }
      ak += $3; ac += $4
      if ($3 > $4) { larger = larger " " $1 } }
    END {
      printf "text files: -cdz %d, classic %d bytes: %+.2f%%\n", tk, tc, 100 * (tk - tc) / tc
      printf "all files:  -cdz %d, classic %d bytes: %+.2f%%\n", ak, ac, 100 * (ak - ac) / ac
      print "entries larger than the classic ones:" (larger == "" ? " none" : larger) }'
}

if [ "$set_name" != lz ]; then copy_cases; fi
lz_cases

echo
echo "kesto $(cd "$root" && git describe --always --dirty 2>/dev/null || echo '?'), $runs runs each, medians:"
printf '%-40s %9s  %-9s %9s %7s   %10s %10s %8s\n' case "kesto ms" baseline "base ms" ratio \
  "RSS KiB" "empty KiB" "diff"
for c in "${cases[@]}"; do
  IFS='|' read -r id label base_name <<<"$c"
  k=$(median "$work/$id.k.ms")
  b=$(median "$work/$id.b.ms")
  rss=$(maximum "$work/$id.k.rss")
  empty=$(maximum "$work/$id.e.rss")
  awk -v l="$label" -v k="$k" -v bn="$base_name" -v b="$b" -v r="$rss" -v e="$empty" 'BEGIN {
    printf "%-40s %9.1f  %-9s %9.1f %7.2f   %10d %10d %+8d\n", l, k, bn, b, k / b, r, e, r - e }'
done
echo "(ratio = kesto / baseline; RSS = largest peak resident set of the kesto runs;"
echo " empty = the same operation on an empty archive, or creating one from an empty file)"
awk -v n="$corpus_bytes" -v k="$(median "$work/cdz.k.ms")" -v b="$(median "$work/cdz.b.ms")" \
  'BEGIN { printf "-cdz %.2f MB/s, classic encoder %.2f MB/s (%d bytes in)\n", n / k / 1000, n / b / 1000, n }'
size_report

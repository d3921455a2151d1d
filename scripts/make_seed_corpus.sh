#!/usr/bin/env bash
# Builds the seed corpora of the fuzz targets (fuzz/corpus/<target>/) from
# archives that kesto's own writers make, plus LZ entries made by the
# test-only encoder. The seeds are small on purpose: the fuzzers grow them.
# Usage: scripts/make_seed_corpus.sh [build-dir]   (default: build-seed)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${1:-build-seed}
cmake -S . -B "$build" -DKESTO_FUZZ=ON -DKESTO_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target kesto kesto_make_lz_entry >/dev/null
kesto=$(cd "$build" && pwd)/kesto
lz=$(cd "$build" && pwd)/fuzz/kesto_make_lz_entry

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

# Seeds are rewritten in place; other files there (inputs kept from earlier
# findings) stay.
corpus=$root/fuzz/corpus
mkdir -p "$corpus"/{fuzz_ar_reader,fuzz_dl_copy,fuzz_dl_decompress,fuzz_lzss_decoder,fuzz_lzss_encoder,fuzz_command_line}

# Input files of a few shapes: text, empty, binary, a long name, repeats.
printf 'hello, archive\n' > a.txt
: > empty.bin
LC_ALL=C awk 'BEGIN { for (i = 0; i < 200; i++) printf "%c", (i * 37 + 11) % 256 }' > noise.bin
printf 'the name is longer than twelve bytes\n' > LONGFILENAME.DATA
for i in $(seq 1 40); do printf 'line %d of a text that repeats itself\n' $((i % 7)); done > text.txt
mkdir -p dir && printf 'in a directory\n' > dir/inner.txt
"$lz" < text.txt > text.lz
"$lz" < a.txt > a.lz
"$lz" < empty.bin > empty.lz
head -c 300 /dev/zero | "$lz" > zeros.lz


"$kesto" -cf one.ar a.txt >/dev/null && mv one.ar "$corpus/fuzz_ar_reader/one-entry"
"$kesto" -cfk 1234 keyed.ar a.txt empty.bin noise.bin >/dev/null &&
  mv keyed.ar "$corpus/fuzz_ar_reader/keyed-three-entries"
"$kesto" -cfk beef long.ar LONGFILENAME.DATA dir/inner.txt a.txt a.txt >/dev/null &&
  mv long.ar "$corpus/fuzz_ar_reader/long-name-and-duplicates"
"$kesto" -cf empty.ar empty.bin >/dev/null && mv empty.ar "$corpus/fuzz_ar_reader/empty-entry"

"$kesto" -cd one.dl a.txt >/dev/null && mv one.dl "$corpus/fuzz_dl_copy/one-entry"
"$kesto" -cd three.dl a.txt empty.bin noise.bin >/dev/null && mv three.dl "$corpus/fuzz_dl_copy/three-entries"
"$kesto" -cd long.dl LONGFILENAME.DATA dir/inner.txt a.txt a.txt >/dev/null &&
  mv long.dl "$corpus/fuzz_dl_copy/long-name-and-duplicates"

"$kesto" -cd lz.dl text.lz a.lz >/dev/null && mv lz.dl "$corpus/fuzz_dl_decompress/two-lz-entries"
"$kesto" -cd mixed.dl text.lz a.txt empty.lz zeros.lz empty.bin >/dev/null &&
  mv mixed.dl "$corpus/fuzz_dl_decompress/lz-and-plain-entries"
cp "$corpus/fuzz_dl_copy/one-entry" "$corpus/fuzz_dl_decompress/plain-entry"

# The decoder target's first byte picks how the entry size is derived; 0
# means "exactly the bytes that follow".
for f in text a empty zeros; do
  { printf '\000'; cat "$f.lz"; } > "$corpus/fuzz_lzss_decoder/$f-exact"
done
{ printf '\001\203'; cat a.lz; } > "$corpus/fuzz_lzss_decoder/a-size-plus-three"
{ printf '\001\175'; cat text.lz; } > "$corpus/fuzz_lzss_decoder/text-size-minus-three"
printf '\000LZ\004\000\000\000\006\000\000\000\001A\356\362' > "$corpus/fuzz_lzss_decoder/overlapping-reference"

# The encoder target takes any bytes: text, noise, a run, a file beginning
# with "LZ", and a block repeated from exactly 4096 bytes back.
cp text.txt "$corpus/fuzz_lzss_encoder/text"
cp noise.bin "$corpus/fuzz_lzss_encoder/noise"
head -c 300 /dev/zero > "$corpus/fuzz_lzss_encoder/zeros"
printf 'LZ\001\000\000\000\001\000\000\000\377x' > "$corpus/fuzz_lzss_encoder/begins-with-lz"
LC_ALL=C awk 'BEGIN { for (i = 0; i < 4096 + 40; i++) printf "%c", (i % 4096 * 7 + i % 4096 / 13) % 256 }' \
  > "$corpus/fuzz_lzss_encoder/repeat-4096-back"

# Command lines: words separated by zero bytes, naming the files the target
# puts in its work directory (a.ar, d.dl, f1, f2, sub/).
words() {  # words <name> <word...>
  local name=$1
  shift
  local first=1
  for w in "$@"; do
    [ $first = 1 ] || printf '\000'
    printf '%s' "$w"
    first=0
  done > "$corpus/fuzz_command_line/$name"
}
words extract-ar -e a.ar
words extract-ar-into-sub -e a.ar sub
words extract-dl -e d.dl new
words extract-lz -ed d.dl out
words extract-lz-here -ED d.dl
words key-report -r a.ar
words key-report-dl -r d.dl
words create-ar -cf n.ar f1 f2
words create-ar-keyed -cfk -BEEF sub/n.ar f1 f2 f1
words create-dl -cd n.dl f1 f2
words create-dl-over-input -cd f1 f1 f2
words create-dl-compressed -cdz n.dl f1 f2 d.dl
words create-dl-compressed-over-input -CDZ f2 f1 f2
words create-missing-input -cf n.ar f1 missing
words create-into-directory -cf sub f1
words list-ar -l a.ar
words list-dl -L d.dl
words list-json-ar -lj a.ar
words list-json-dl -LJ d.dl
words extract-readable-ar -x a.ar .
words extract-readable-dl-chosen -x d.dl sub 'LZ*' 'f?'
words extract-readable-missing-name -x d.dl sub f1 nothing
words print-ar -p a.ar 'f*' E0
words print-dl -p d.dl lz.txt f1
words print-missing-name -p d.dl nothing
words test-ar -t a.ar
words test-dl -t d.dl
words rebuild-ar -u a.ar sub
words rebuild-dl-here -U d.dl .
words add-ar -a a.ar f1 sub/f2 F1
words add-dl-compressed -az d.dl lz.txt f2 n.txt
words add-clash -a d.dl sub/lz.txt LZ.TXT
words remove-ar -d a.ar 'e?' 'F*'
words remove-dl-unmatched -D d.dl lz.txt none
words usage -x a.ar
words help --help
words version --version
echo "seed corpora written to $corpus"

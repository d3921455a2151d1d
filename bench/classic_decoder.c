/*
 * The baseline of bench/run.sh's "-ed" cases: the classic LZSS decoder of the
 * late 1980s, one getc per input byte and one putc per output byte, over the
 * same LZ entries kesto decodes. It walks a DL archive like "kesto -ed" and
 * writes every LZ entry, decoded, into the current directory; an entry that
 * does not begin with "LZ" (or is shorter than its header) is skipped.
 *
 *   classic_decoder ARCHIVE
 *
 * Exit status 0 when every LZ entry decoded with both header sizes met,
 * else 1.
 * This is a measuring stick, not a second implementation: it trusts its
 * input (the benchmark made it) and checks little.
 */
#include <stdio.h>
#include <string.h>

#define N 4096
#define F 18
#define THRESHOLD 2

static unsigned long get_u32(const unsigned char *p) {
  return (unsigned long)p[0] | (unsigned long)p[1] << 8 | (unsigned long)p[2] << 16 |
         (unsigned long)p[3] << 24;
}

/* Decodes one entry of size bytes from in to the file name; 0 when the sizes
 * agree or the entry is no LZ entry (no file is made then). */
static int decode(FILE *in, const char *name, unsigned long size) {
  static unsigned char text_buf[N];
  unsigned char head[10];
  unsigned long packed, unpacked, consumed = 0, produced = 0;
  unsigned int r = N - F, flags = 0;
  int c, i, j, k, failed;
  FILE *out;

  if (size < 10 || fread(head, 1, 10, in) != 10 || head[0] != 'L' || head[1] != 'Z') return 0;
  if ((out = fopen(name, "wb")) == NULL) return 1;
  packed = get_u32(head + 2);
  unpacked = get_u32(head + 6);
  memset(text_buf, 0, N);
  while (consumed < size - 10) {
    if (((flags >>= 1) & 256) == 0) {
      if ((c = getc(in)) == EOF) break;
      consumed++;
      flags = c | 0xff00;
    }
    if (flags & 1) {
      if ((c = getc(in)) == EOF) break;
      consumed++;
      putc(c, out);
      produced++;
      text_buf[r++] = (unsigned char)c;
      r &= (N - 1);
    } else {
      if ((i = getc(in)) == EOF) break;
      if ((j = getc(in)) == EOF) break;
      consumed += 2;
      i |= ((j & 0xf0) << 4);
      j = (j & 0x0f) + THRESHOLD;
      for (k = 0; k <= j; k++) {
        c = text_buf[(i + k) & (N - 1)];
        putc(c, out);
        produced++;
        text_buf[r++] = (unsigned char)c;
        r &= (N - 1);
      }
    }
  }
  failed = consumed != packed || produced != unpacked;
  return fclose(out) != 0 || failed;
}

int main(int argc, char **argv) {
  unsigned char head[16], record[16];
  unsigned long directory, position = 16;
  unsigned int count, i;
  int failed = 0;
  FILE *in;

  if (argc != 2 || (in = fopen(argv[1], "rb")) == NULL) {
    fprintf(stderr, "usage: classic_decoder ARCHIVE\n");
    return 1;
  }
  if (fread(head, 1, 16, in) != 16 || memcmp(head, "DL1.0\x1a", 7) != 0) return 1;
  count = head[8] | head[9] << 8;
  directory = get_u32(head + 10);
  for (i = 0; i < count; i++) {
    char name[13];
    if (fseek(in, (long)(directory + 16ul * i), SEEK_SET) != 0 || fread(record, 1, 16, in) != 16)
      return 1;
    memcpy(name, record, 12);
    name[12] = '\0';
    if (fseek(in, (long)position, SEEK_SET) != 0) return 1;
    failed |= decode(in, name, get_u32(record + 12));
    position += get_u32(record + 12);
  }
  fclose(in);
  return failed;
}

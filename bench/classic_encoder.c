/*
 * The baseline of bench/run.sh's "-cdz" cases: the classic LZSS encoder of
 * the late 1980s, from its well-known description. A 4096-byte ring buffer
 * with an 18-byte lookahead, one binary search tree per first byte over the
 * strings of the ring, greedy coding of the longest match (3 to 18 bytes),
 * one getc per input byte and one putc per output byte. The ring starts
 * filled with zero bytes instead of blanks, so that the streams decode with
 * kesto's window, and every stream gets the 10-byte header of an LZ entry.
 *
 *   classic_encoder OUTDIR FILE...
 *
 * Writes OUTDIR/NAME, NAME being the part of FILE after its last "/", as
 * one LZ entry per FILE. Exit status 0 when every file was encoded, else 1.
 * This is a measuring stick: it checks little and knows nothing of DL
 * archives or of storing a file plain.
 */
#include <stdio.h>
#include <string.h>

#define N 4096
#define F 18
#define THRESHOLD 2
#define NIL N

static unsigned char text_buf[N + F - 1];
static int match_position, match_length;
/* Children and parents of the tree nodes; rson[N + 1 + c] is the root of
 * the tree of strings that begin with byte c. */
static int lson[N + 1], rson[N + 257], dad[N + 1];

static void init_tree(void) {
  int i;
  for (i = N + 1; i <= N + 256; i++) rson[i] = NIL;
  for (i = 0; i < N; i++) dad[i] = NIL;
}

/* Inserts the string at r into its tree and sets match_position and
 * match_length to its longest match there. A string equal to it over all
 * F bytes is replaced by it. */
static void insert_node(int r) {
  int i, p, cmp = 1;
  unsigned char *key = &text_buf[r];

  p = N + 1 + key[0];
  rson[r] = lson[r] = NIL;
  match_length = 0;
  for (;;) {
    if (cmp >= 0) {
      if (rson[p] != NIL) {
        p = rson[p];
      } else {
        rson[p] = r;
        dad[r] = p;
        return;
      }
    } else {
      if (lson[p] != NIL) {
        p = lson[p];
      } else {
        lson[p] = r;
        dad[r] = p;
        return;
      }
    }
    for (i = 1; i < F; i++)
      if ((cmp = key[i] - text_buf[p + i]) != 0) break;
    if (i > match_length) {
      match_position = p;
      if ((match_length = i) >= F) break;
    }
  }
  dad[r] = dad[p];
  lson[r] = lson[p];
  rson[r] = rson[p];
  dad[lson[p]] = r;
  dad[rson[p]] = r;
  if (rson[dad[p]] == p)
    rson[dad[p]] = r;
  else
    lson[dad[p]] = r;
  dad[p] = NIL;
}

/* Removes the string at p from its tree. */
static void delete_node(int p) {
  int q;

  if (dad[p] == NIL) return;
  if (rson[p] == NIL) {
    q = lson[p];
  } else if (lson[p] == NIL) {
    q = rson[p];
  } else {
    q = lson[p];
    if (rson[q] != NIL) {
      do {
        q = rson[q];
      } while (rson[q] != NIL);
      rson[dad[q]] = lson[q];
      dad[lson[q]] = dad[q];
      lson[q] = lson[p];
      dad[lson[p]] = q;
    }
    rson[q] = rson[p];
    dad[rson[p]] = q;
  }
  dad[q] = dad[p];
  if (rson[dad[p]] == p)
    rson[dad[p]] = q;
  else
    lson[dad[p]] = q;
  dad[p] = NIL;
}

static void put_u32(unsigned long v, FILE *out) {
  int k;
  for (k = 0; k < 4; k++) putc((int)(v >> (8 * k)) & 0xff, out);
}

/* Encodes in to out as an LZ entry; returns 0 when every byte went out. */
static int encode(FILE *in, FILE *out) {
  int i, c, len, r, s, last_match_length, code_buf_ptr;
  unsigned char code_buf[17], mask;
  unsigned long textsize = 0, codesize = 0;

  for (i = 0; i < 10; i++) putc(0, out); /* the header, written last */
  init_tree();
  code_buf[0] = 0;
  code_buf_ptr = mask = 1;
  s = 0;
  r = N - F;
  for (i = s; i < r; i++) text_buf[i] = 0;
  for (len = 0; len < F && (c = getc(in)) != EOF; len++) text_buf[r + len] = (unsigned char)c;
  textsize = (unsigned long)len;
  if (len > 0) {
    for (i = 1; i <= F; i++) insert_node(r - i);
    insert_node(r);
  }
  while (len > 0) {
    if (match_length > len) match_length = len;
    if (match_length <= THRESHOLD) {
      match_length = 1;
      code_buf[0] |= mask;
      code_buf[code_buf_ptr++] = text_buf[r];
    } else {
      code_buf[code_buf_ptr++] = (unsigned char)match_position;
      code_buf[code_buf_ptr++] =
          (unsigned char)(((match_position >> 4) & 0xf0) | (match_length - (THRESHOLD + 1)));
    }
    if ((mask <<= 1) == 0) {
      for (i = 0; i < code_buf_ptr; i++) putc(code_buf[i], out);
      codesize += (unsigned long)code_buf_ptr;
      code_buf[0] = 0;
      code_buf_ptr = mask = 1;
    }
    last_match_length = match_length;
    for (i = 0; i < last_match_length && (c = getc(in)) != EOF; i++) {
      delete_node(s);
      text_buf[s] = (unsigned char)c;
      if (s < F - 1) text_buf[s + N] = (unsigned char)c;
      s = (s + 1) & (N - 1);
      r = (r + 1) & (N - 1);
      insert_node(r);
    }
    textsize += (unsigned long)i;
    while (i++ < last_match_length) {
      delete_node(s);
      s = (s + 1) & (N - 1);
      r = (r + 1) & (N - 1);
      if (--len) insert_node(r);
    }
  }
  if (code_buf_ptr > 1) {
    for (i = 0; i < code_buf_ptr; i++) putc(code_buf[i], out);
    codesize += (unsigned long)code_buf_ptr;
  }
  if (fseek(out, 0, SEEK_SET) != 0) return 1;
  putc('L', out);
  putc('Z', out);
  put_u32(codesize, out);
  put_u32(textsize, out);
  return ferror(in) || ferror(out);
}

int main(int argc, char **argv) {
  char path[4096];
  int i, failed = 0;

  if (argc < 3) {
    fprintf(stderr, "usage: classic_encoder OUTDIR FILE...\n");
    return 1;
  }
  for (i = 2; i < argc; i++) {
    const char *name = strrchr(argv[i], '/');
    FILE *in, *out;
    name = name ? name + 1 : argv[i];
    if ((size_t)snprintf(path, sizeof path, "%s/%s", argv[1], name) >= sizeof path) return 1;
    if ((in = fopen(argv[i], "rb")) == NULL || (out = fopen(path, "wb")) == NULL) return 1;
    failed |= encode(in, out);
    fclose(in);
    failed |= fclose(out) != 0;
  }
  return failed;
}

/*
 * vanto-hexdump: prints a hex dump of the first bytes of a file, read through
 * a vanto-edit session and a segment.
 *
 *   vanto-hexdump [FILE [COUNT]]
 *
 * COUNT defaults to 256 bytes. Without FILE, a small sample file is written to
 * a fresh temporary directory, dumped, and removed again.
 */
#define _POSIX_C_SOURCE 200809L

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <vanto_edit.h>

enum { BYTES_PER_LINE = 16, CHUNK = 4096 };

static void print_line(int64_t offset, const unsigned char *bytes, int64_t n) {
  printf("%08llx ", (unsigned long long)offset);
  for (int64_t i = 0; i < BYTES_PER_LINE; ++i) {
    if (i == BYTES_PER_LINE / 2) putchar(' ');
    if (i < n) {
      printf(" %02x", bytes[i]);
    } else {
      fputs("   ", stdout);
    }
  }
  fputs("  |", stdout);
  for (int64_t i = 0; i < n; ++i) {
    putchar(bytes[i] >= 0x20 && bytes[i] < 0x7f ? bytes[i] : '.');
  }
  puts("|");
}

/* Dumps the first `count` bytes of `path`; returns 0 on success. */
static int dump(const char *path, int64_t count) {
  vanto_session_t *session = vanto_edit_create_session(path, NULL, NULL, 0);
  if (session == NULL) {
    fprintf(stderr, "vanto-hexdump: cannot open %s\n", path);
    return 1;
  }
  const int64_t size = vanto_session_get_computed_file_size(session);
  if (count > size) count = size;
  printf("%s: %lld bytes, showing %lld\n", path, (long long)size, (long long)count);

  vanto_segment_t *segment = vanto_segment_create(CHUNK);
  int rc = 0;
  for (int64_t offset = 0; offset < count; offset += CHUNK) {
    if (vanto_session_get_segment(session, segment, offset) != 0) {
      fprintf(stderr, "vanto-hexdump: cannot read %s at offset %lld\n", path, (long long)offset);
      rc = 1;
      break;
    }
    const unsigned char *data = vanto_segment_get_data(segment);
    int64_t length = vanto_segment_get_length(segment);
    if (length > count - offset) length = count - offset;
    for (int64_t i = 0; i < length; i += BYTES_PER_LINE) {
      const int64_t n = length - i < BYTES_PER_LINE ? length - i : BYTES_PER_LINE;
      print_line(offset + i, data + i, n);
    }
    if (length < CHUNK) break;
  }
  vanto_segment_destroy(segment);
  vanto_edit_destroy_session(session);
  return rc;
}

/* Writes the sample: a line of text followed by every byte value once. */
static int write_sample(const char *path) {
  FILE *f = fopen(path, "wb");
  if (f == NULL) return -1;
  static const char text[] = "vanto-edit sample\n";
  int ok = fwrite(text, 1, sizeof text - 1, f) == sizeof text - 1;
  for (int b = 0; ok && b < 256; ++b) ok = fputc(b, f) != EOF;
  return (fclose(f) == 0 && ok) ? 0 : -1;
}

int main(int argc, char **argv) {
  if (argc > 3 || (argc > 1 && strcmp(argv[1], "--help") == 0)) {
    fprintf(stderr, "usage: %s [FILE [COUNT]]\n", argv[0]);
    return 2;
  }
  int64_t count = 256;
  if (argc == 3) {
    char *end = NULL;
    count = strtoll(argv[2], &end, 0);
    if (*argv[2] == '\0' || *end != '\0' || count < 0) {
      fprintf(stderr, "vanto-hexdump: bad byte count: %s\n", argv[2]);
      return 2;
    }
  }
  if (argc > 1) return dump(argv[1], count);

  const char *tmp = getenv("TMPDIR");
  char dir[4096];
  snprintf(dir, sizeof dir, "%s/vanto-hexdump-XXXXXX", tmp != NULL && *tmp != '\0' ? tmp : "/tmp");
  if (mkdtemp(dir) == NULL) {
    fprintf(stderr, "vanto-hexdump: cannot create a temporary directory: %s\n", strerror(errno));
    return 1;
  }
  char sample[4200];
  snprintf(sample, sizeof sample, "%s/sample.bin", dir);
  int rc = 1;
  if (write_sample(sample) == 0) {
    rc = dump(sample, count);
  } else {
    fprintf(stderr, "vanto-hexdump: cannot write %s\n", sample);
  }
  remove(sample);
  rmdir(dir);
  return rc;
}

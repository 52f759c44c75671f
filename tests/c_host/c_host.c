/*
 * A plain C host: includes the umbrella header, links the shared library and
 * drives a few calls, checking what they return.
 *
 *   c_host DIRECTORY EXPECTED_PACKED_VERSION
 *
 * The sample file is written into DIRECTORY and removed at the end.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vanto_edit.h>

static int failures = 0;

#define CHECK(cond)                                                   \
  do {                                                                \
    if (!(cond)) {                                                    \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      ++failures;                                                     \
    }                                                                 \
  } while (0)

enum { SAMPLE_SIZE = 300 };

static unsigned char sample_byte(int64_t i) { return (unsigned char)(i * 7 + 3); }

static int create_events = 0;
static int other_events = 0;

static void on_event(const vanto_session_t *session, int32_t event, const void *event_ptr) {
  (void)session;
  (void)event_ptr;
  if (event == SESSION_EVENT_CREATE) {
    ++create_events;
  } else {
    ++other_events;
  }
}

/* Fills a segment at `offset` and compares it with the sample's bytes. */
static void check_read(const vanto_session_t *session, vanto_segment_t *segment, int64_t offset,
                       int64_t expected_length) {
  CHECK(vanto_session_get_segment(session, segment, offset) == 0);
  CHECK(vanto_segment_get_length(segment) == expected_length);
  const unsigned char *data = vanto_segment_get_data(segment);
  CHECK(data != NULL);
  if (data == NULL || vanto_segment_get_length(segment) != expected_length) return;
  for (int64_t i = 0; i < expected_length; ++i) {
    if (data[i] != sample_byte(offset + i)) {
      fprintf(stderr, "byte %lld: got %u, want %u\n", (long long)(offset + i), data[i],
              sample_byte(offset + i));
      ++failures;
      return;
    }
  }
  CHECK(data[expected_length] == 0);
}

int main(int argc, char **argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: %s DIRECTORY EXPECTED_PACKED_VERSION\n", argv[0]);
    return 2;
  }

  /* Library identity. */
  CHECK(vanto_version() == atoi(argv[2]));
  CHECK(vanto_libtype() != NULL && strcmp(vanto_libtype(), "shared") == 0);
  const char *license = vanto_license_get();
  CHECK(license != NULL && license == vanto_license_get());
  if (license != NULL) {
    const size_t n = strlen(license);
    CHECK(n > 1 && license[n - 1] == '\n');
  }

  /* A session on a file written here. */
  char path[4096];
  snprintf(path, sizeof path, "%s/c_host_sample.bin", argv[1]);
  FILE *f = fopen(path, "wb");
  if (f == NULL) {
    perror(path);
    return 1;
  }
  for (int64_t i = 0; i < SAMPLE_SIZE; ++i) fputc(sample_byte(i), f);
  if (fclose(f) != 0) {
    perror(path);
    return 1;
  }

  vanto_session_t *session = vanto_edit_create_session(path, on_event, NULL, SESSION_EVENT_ALL);
  CHECK(session != NULL);
  if (session != NULL) {
    CHECK(create_events == 1);
    CHECK(other_events == 0);
    CHECK(vanto_session_get_computed_file_size(session) == SAMPLE_SIZE);

    vanto_segment_t *segment = vanto_segment_create(64);
    CHECK(segment != NULL);
    if (segment != NULL) {
      check_read(session, segment, 0, 64);
      check_read(session, segment, 100, 64);
      check_read(session, segment, SAMPLE_SIZE - 20, 20); /* stops at the end */
      check_read(session, segment, SAMPLE_SIZE, 0);       /* at the end: nothing */
      CHECK(vanto_session_get_segment(session, segment, SAMPLE_SIZE + 1) != 0);
      vanto_segment_destroy(segment);
    }

    /* A small segment keeps its bytes inline; reading works the same. */
    vanto_segment_t *small = vanto_segment_create(5);
    CHECK(small != NULL);
    if (small != NULL) {
      check_read(session, small, 7, 5);
      vanto_segment_destroy(small);
    }
    vanto_edit_destroy_session(session);
  }

  /* A missing file gives no session. */
  char missing[4200];
  snprintf(missing, sizeof missing, "%s/no_such_file.bin", argv[1]);
  remove(missing);
  create_events = 0;
  CHECK(vanto_edit_create_session(missing, on_event, NULL, SESSION_EVENT_ALL) == NULL);
  CHECK(create_events == 0);

  remove(path);
  if (failures != 0) {
    fprintf(stderr, "c_host: %d check(s) failed\n", failures);
    return 1;
  }
  puts("c_host: all checks passed");
  return 0;
}

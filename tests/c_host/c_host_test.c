/* A host written in C: runs a Read job through the C interface of libqendix.so and checks the
 * events, where the invoice went, qendix_wait and the result codes. Exits non-zero on any
 * failure. Module folder, job lock, invoice folder and work directory lie in a private temp
 * folder that is removed at the end. */
#define _XOPEN_SOURCE 700

#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "qendix/qendix_c.h"

/* The result constants are integer constant expressions of type int in C. */
_Static_assert(QENDIX_E_BUSY < 0 && QENDIX_E_UNEXPECTED < 0 && QENDIX_S_FALSE == 1,
               "failure codes are negative ints");
_Static_assert(sizeof(QENDIX_E_BUSY) == sizeof(int), "results are int");

static int failures;

#define CHECK(cond)                                                      \
  do {                                                                   \
    if (!(cond)) {                                                       \
      fprintf(stderr, "%s:%d: failed: %s\n", __FILE__, __LINE__, #cond); \
      ++failures;                                                        \
    }                                                                    \
  } while (0)

#define CHECK_RC(call, want)                                                                  \
  do {                                                                                        \
    int rc_ = (call);                                                                         \
    if (rc_ != (want)) {                                                                      \
      fprintf(stderr, "%s:%d: %s gave 0x%08X, want 0x%08X (%s)\n", __FILE__, __LINE__, #call, \
              (unsigned)rc_, (unsigned)(want), qendix_last_error());                          \
      ++failures;                                                                             \
    }                                                                                         \
  } while (0)

struct event {
  int level, mclass, origin, code;
  char file[64];
};

/* Filled on the job's worker thread; read by main only after qendix_wait said the job ended. */
struct recorder {
  qendix* q;     /* the handle whose job delivers the events */
  qendix* other; /* a second handle, used only inside the callback */
  struct event events[32];
  int count;
  int busy_rc, self_wait_rc;
};

static void on_event(int level, int mclass, int origin, int code, const char* file, const char* msg,
                     void* payload) {
  struct recorder* r = payload;
  (void)msg;
  if (r->count == 0) {
    /* The job holds the job lock and this is its own worker thread. */
    r->busy_rc = qendix_start(r->other, "read");
    r->self_wait_rc = qendix_wait(r->q, -1);
  }
  if (r->count < 32) {
    struct event* e = &r->events[r->count];
    e->level = level;
    e->mclass = mclass;
    e->origin = origin;
    e->code = code;
    snprintf(e->file, sizeof e->file, "%s", file ? file : "");
  }
  ++r->count;
}

static int answer_no(const char* title, const char* text, void* payload) {
  (void)title;
  (void)text;
  (void)payload;
  return 0;
}

static int remove_entry(const char* path, const struct stat* st, int type, struct FTW* ftw) {
  (void)st;
  (void)type;
  (void)ftw;
  return remove(path);
}

static int write_file(const char* path, const char* content) {
  FILE* f = fopen(path, "w");
  if (!f) return 0;
  int ok = fputs(content, f) >= 0;
  return fclose(f) == 0 && ok;
}

static int exists(const char* path) {
  struct stat st;
  return stat(path, &st) == 0;
}

int main(void) {
  const char* tmp = getenv("TMPDIR");
  char root[512], module[600], lock[600], in[600], work[600], invoice[700], moved[700];
  snprintf(root, sizeof root, "%s/qendix-c-host-XXXXXX", tmp && *tmp ? tmp : "/tmp");
  if (!mkdtemp(root)) {
    perror("mkdtemp");
    return 2;
  }
  snprintf(module, sizeof module, "%s/module", root);
  snprintf(lock, sizeof lock, "%s/job.lock", root);
  snprintf(in, sizeof in, "%s/in", root);
  snprintf(work, sizeof work, "%s/work", root);
  snprintf(invoice, sizeof invoice, "%s/a.xml", in);
  snprintf(moved, sizeof moved, "%s/input/a.xml", work);
  if (mkdir(module, 0700) != 0 || mkdir(in, 0700) != 0 || mkdir(work, 0700) != 0 ||
      !write_file(invoice, "<?xml version=\"1.0\" encoding=\"UTF-8\"?><invoice/>\n")) {
    perror("setting up the temp folder");
    return 2;
  }
  setenv("QENDIX_MODULE_DIR", module, 1);
  setenv("QENDIX_LOCK_FILE", lock, 1);

  /* NULL arguments */
  CHECK_RC(qendix_open(NULL), QENDIX_E_POINTER);
  CHECK(qendix_last_error() != NULL && qendix_last_error()[0] != '\0');
  qendix_free(NULL);
  qendix_string_free(NULL);
  CHECK_RC(qendix_set(NULL, "debug", "true"), QENDIX_E_POINTER);
  CHECK_RC(qendix_start(NULL, "read"), QENDIX_E_POINTER);
  CHECK_RC(qendix_wait(NULL, 0), QENDIX_E_POINTER);

  struct recorder r;
  memset(&r, 0, sizeof r);
  CHECK_RC(qendix_open(&r.q), QENDIX_OK);
  CHECK_RC(qendix_open(&r.other), QENDIX_OK);
  if (!r.q || !r.other) return 1;
  qendix* q = r.q;

  CHECK_RC(qendix_wait(q, 0), QENDIX_OK); /* no job started through this handle */
  CHECK_RC(qendix_set(q, "inputDirectory", in), QENDIX_OK);
  CHECK_RC(qendix_set(q, "workDirectory", work), QENDIX_OK);
  CHECK_RC(qendix_set(q, "nonsense", "x"), QENDIX_E_INVALIDARG);
  CHECK_RC(qendix_set(q, "debug", "yes"), QENDIX_E_INVALIDARG);
  char* value = NULL;
  CHECK_RC(qendix_get(q, "inputDirectory", &value), QENDIX_OK);
  CHECK(value && strcmp(value, in) == 0);
  qendix_string_free(value);

  unsigned cookie = 0;
  CHECK_RC(qendix_advise(q, NULL, &r, &cookie), QENDIX_E_POINTER);
  CHECK_RC(qendix_advise(q, on_event, &r, &cookie), QENDIX_OK);
  CHECK(cookie != 0);
  CHECK_RC(qendix_start(q, "dance"), QENDIX_E_INVALIDARG);
  CHECK_RC(qendix_start(q, NULL), QENDIX_E_POINTER);

  CHECK_RC(qendix_start(q, "read"), QENDIX_OK);
  CHECK_RC(qendix_wait(q, -1), QENDIX_OK);
  CHECK(r.count >= 3 && r.count <= 32);
  if (r.count >= 3 && r.count <= 32) {
    const struct event* first = &r.events[0];
    const struct event* last = &r.events[r.count - 1];
    CHECK(first->origin == 0 && first->mclass == 2 && first->level == 1 && first->code == 0);
    CHECK(last->origin == 0 && last->mclass == 2 && last->level == 1 && last->code == 1);
    int copied = 0;
    for (int i = 1; i < r.count - 1; ++i)
      copied += r.events[i].code == 2 && strcmp(r.events[i].file, "a.xml") == 0;
    CHECK(copied == 1);
  }
  CHECK_RC(r.busy_rc, QENDIX_E_BUSY);
  CHECK_RC(r.self_wait_rc, QENDIX_E_UNEXPECTED);
  CHECK(exists(moved) && !exists(invoice));

  /* After unadvise the callback gets nothing from the next job. */
  CHECK_RC(qendix_unadvise(q, cookie), QENDIX_OK);
  CHECK_RC(qendix_unadvise(q, cookie), QENDIX_E_NOCONNECTION);
  int seen = r.count;
  CHECK_RC(qendix_start(q, "read"), QENDIX_OK);
  CHECK_RC(qendix_wait(q, 120000), QENDIX_OK);
  CHECK(r.count == seen);

  /* A prompt can be set, replaced and removed; a handle freed with one set disconnects it. */
  CHECK_RC(qendix_set_prompt(NULL, answer_no, NULL), QENDIX_E_POINTER);
  CHECK_RC(qendix_set_prompt(q, answer_no, NULL), QENDIX_OK);
  CHECK_RC(qendix_set_prompt(q, answer_no, &r), QENDIX_OK);
  CHECK_RC(qendix_set_prompt(q, NULL, NULL), QENDIX_OK);
  CHECK_RC(qendix_set_prompt(r.other, answer_no, NULL), QENDIX_OK);

  /* A handle freed with a callback still advised disconnects it. */
  CHECK_RC(qendix_advise(r.other, on_event, &r, &cookie), QENDIX_OK);
  qendix_free(r.other);
  qendix_free(q);

  nftw(root, remove_entry, 16, FTW_DEPTH | FTW_PHYS);
  if (failures) fprintf(stderr, "%d check(s) failed\n", failures);
  return failures ? 1 : 0;
}

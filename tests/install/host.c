/* A host built against an installed qendix with `pkg-config --cflags --libs qendix`: creates the
 * component, puts the invoice folder given as argv[1], prints the Trust Center it loaded and
 * frees it (which stores the settings). Exits non-zero on any failure. */
#include <stdio.h>

#include <qendix/qendix_c.h>

int main(int argc, char** argv) {
  qendix* q = NULL;
  char* tc = NULL;
  if (argc != 2) return 2;
  if (qendix_open(&q) != QENDIX_OK) {
    fprintf(stderr, "qendix_open: %s\n", qendix_last_error());
    return 1;
  }
  if (qendix_set(q, "inputDirectory", argv[1]) != QENDIX_OK ||
      qendix_get(q, "trustCenter", &tc) != QENDIX_OK) {
    fprintf(stderr, "property: %s\n", qendix_last_error());
    qendix_free(q);
    return 1;
  }
  printf("%s\n", tc ? tc : "(none)");
  qendix_string_free(tc);
  qendix_free(q);
  return 0;
}

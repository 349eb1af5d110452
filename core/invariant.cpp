#include <stdio.h>
#include <stdlib.h>

#include "core/base.h"

void invariant_failed(const char *condition, const char *file, int line) {
  fprintf(stderr, "%s:%d: invariant broken: %s\n", file, line, condition);
  fflush(stderr);
  abort();
}

// PLACEHOLDERS, to be deleted when the list, entry and image cache views land: weak stand-ins so
// the program links and runs before them. Each does the least that keeps the frame sound.
#include "app/app.h"

#define APP_WEAK __attribute__((weak))

APP_WEAK void view_rss_entry(app *, reader *) {}
APP_WEAK void view_atom_entry(app *, reader *) {}


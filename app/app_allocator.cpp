// The application's one general allocator; the program entry initialises it at start-up.
#include "app/image_slot.h"

allocator app_allocator;

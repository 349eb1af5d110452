// The platform layer's contract: files and directory listing, dates and time, the global log and
// the debug output. Everything that talks to the operating system for these lives behind it.
#pragma once

#include "platform/files.h"
#include "platform/dates.h"
#include "platform/log.h"
#include "platform/threads.h"
#include "platform/http.h"

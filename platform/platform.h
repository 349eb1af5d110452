// The platform layer's contract: files and directory listing, dates and time, the global log and
// the debug output, the command line and its arguments, known folders, starting programs, the
// quit signals, the worker threads and HTTP. Everything that talks to the operating system for
// these lives behind it.
#pragma once

#include "platform/files.h"
#include "platform/dates.h"
#include "platform/log.h"
#include "platform/threads.h"
#include "platform/http.h"
#include "platform/cmdline.h"
#include "platform/folders.h"
#include "platform/process.h"
#include "platform/durable.h"
#include "platform/desktop_entry.h"
#include "platform/file_chooser.h"

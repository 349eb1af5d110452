// HTTP and HTTPS downloads over libcurl. The UI thread opens the process-wide session at start-up
// with the user agent and closes it at shut-down; worker jobs open a URL, learn the announced body
// length, read the body into a buffer they provide and close the URL. Errors go to the sticky
// `http_error` word, whose names the callers print.
#pragma once

#include "core/buffer.h"

// ---- Errors ------------------------------------------------------------------------------

enum http_error_code : u32 {
  http_error_none = 0,
  http_error_internet_open = 1,                    // the session could not be set up
  http_error_internet_close = 2,                   // closing the session failed
  http_error_not_initialized = 3,                  // a URL is opened without a session
  http_error_file_not_opened = 4,                  // reading is asked without an open URL
  http_error_internet_open_url = 5,                // the URL could not be opened (also a status >= 400)
  http_error_internet_read_file = 6,               // the body could not be read whole
  http_error_internet_close_url = 7,               // closing the URL failed
  http_error_not_enough_storage = 8,               // the body is longer than the buffer (or the cap)
  http_error_file_storage_not_initialized = 9,     // the caller's buffer has no memory or size 0
  http_error_uri_is_not_zero_terminated = 10,      // never set
};
#define HTTP_ERROR_CODE_COUNT 11

// The code's name ("http_error_internet_open_url"); "http_error_unknown" past the table.
const char *http_error_name(u32 code);

// ---- Limits ------------------------------------------------------------------------------

// The URL and the user agent with their terminating zero must fit these bytes.
#define HTTP_TEXT_AREA_SIZE 4096
// No download is given more memory than this: a larger announced length fails at the open with
// http_error_not_enough_storage. It bounds the body as the caller gets it, after decompression.
#define HTTP_BODY_MAX MiB(64)

// How long a transfer may take before it ends in an error. Set on the UI thread while no
// download runs (tests shorten them); they hold until the session is closed.
struct http_options {
  u32 connect_timeout_ms;   // connecting, name lookup included
  u32 low_speed_bytes;      // a transfer slower than this many bytes per second...
  u32 low_speed_seconds;    // ...for this long is cut off (a stalled server ends here)
  u32 total_timeout_ms;     // the whole transfer, so a trickling endless body ends too
  u32 max_redirects;
};
http_options http_options_default();
#if QM_TEST_HOOKS
void http_options_set(http_options options);
#endif
http_options http_options_get();

// ---- Session -----------------------------------------------------------------------------

// Sets the session up once per process with the user agent; nothing when the word is set or the
// session is already open.
void http_init(buffer user_agent, u32 *error);
// Closes the session; nothing when it is not open. What held for the session ends with it: the
// next session starts with the default options and downloads again after an abandon.
void http_terminate(u32 *error);

// ---- Quitting ----------------------------------------------------------------------------

// Process-wide, any thread: from this call on every running transfer ends within a fraction of a
// second and every later open of the session fails at once (http_error_internet_open_url, or
// http_error_internet_read_file for a body being read), so the workers can be stopped at quit
// however slow the servers are.
void http_abandon_all();
#if QM_TEST_HOOKS
// Lets transfers run again (tests).
void http_abandon_clear();
#endif
bool http_abandoned();

// ---- Downloads ---------------------------------------------------------------------------

struct http_transfer;

struct http_file {
  http_transfer *handle;  // the open URL; null when the open failed
  // After the open: size = the announced Content-Length (0 when absent, not a plain
  // non-negative number, or counting compressed bytes that the read undoes), used 0, data null.
  // The caller then gives it data and size (the capacity to fill); after the read used = the
  // bytes received, decompressed.
  buffer content;
  u32 status;             // the final response's HTTP status, 0 when none arrived
};

// Connects, follows redirects and reads the final response's header; returns before any body
// byte is stored. A failure leaves a null handle. Every compression libcurl can undo is offered,
// and a body sent in one is undone while it is read; a body in a compression that cannot be
// undone fails the open.
http_file http_file_open(buffer url, u32 *error);
// Reads the body into content and closes the URL. Always closes a handle it is given, even when
// the word was set after the open.
void http_file_get(http_file *file, u32 *error);

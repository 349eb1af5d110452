// Link openers: how a link of an entry is opened, through the desktop's default handler or a
// program the user configured, at once or queued for later. Links come from feeds, so a link is
// opened only when it is an http, https or mailto URL without control characters (blanks around
// it dropped, blanks inside it encoded), and it always reaches the program as one argument of its
// own, never through a shell.
#pragma once

#include "reader/reader.h"

#define LINK_QUEUE_STEP 4096u

// ---- Checks ------------------------------------------------------------------------------

// True for an http:, https: or mailto: URL (scheme in any case) with no byte below 0x21 and no
// DEL: what may be handed to another program.
bool link_url_is_openable(buffer url);
// The link as it is handed on, appended to out: white space around it dropped and each blank
// after the host written "%20", as browsers read the links of a page ("https://a.example/a b c"
// opens "https://a.example/a%20b%20c"). Control bytes and a blank in the host are left as they
// are, for link_url_is_openable to refuse. The all-zero view (out unchanged) when it does not fit.
buffer link_url_prepare(buffer url, buffer *out);

// ---- Opening -----------------------------------------------------------------------------

// Opens one URL, made ready by link_url_prepare: with the opener's program when it has one (its
// command line, split by the desktop's quoting rules, then the URL as the last argument, or in
// place of "%u" in each argument without blanks that holds it, as in "--url=%u"; "%%" in such an
// argument is a literal '%', so "--fmt=%%u" passes "--fmt=%u"), otherwise with
// the default handler. A URL that may not be opened is refused with a log line. 1 when a program
// started.
u32 link_open_now(buffer url, const link_opener *opener);
// Opens every queued URL: all as arguments of one run of the opener's program, or one run per URL
// of the default handler or of a program that takes its link inside an argument. With free_after, the URLs that were handed to a program leave the
// queue; those refused or whose program did not start stay queued (logged), and the queue's block
// is freed once it is empty. Nothing for a null opener or an empty queue.
void link_queue_open(allocator *a, link_opener *opener, int free_after);
void link_queues_open_all(allocator *a, reader *r, int free_after);

// ---- The queue ---------------------------------------------------------------------------

// Appends the link made ready by link_url_prepare (after a space when the queue is not empty),
// growing the queue's block in the allocator to the next multiple of LINK_QUEUE_STEP when the
// link, a space and a terminator do not fit; a zero byte follows the text. False, with a log line,
// for a link that may not be opened or when the allocator has no room (the queue is then
// unchanged).
bool link_queue_append(allocator *a, link_opener *opener, buffer link);
// Removes one queued link given as a view of its word inside the queue text; a view that is not
// inside the queue changes nothing.
void link_queue_remove(link_opener *opener, buffer link);
// Empties the queue; its block is freed when it lies in the allocator (after a load it lies in
// the store's arena).
void link_queue_free(allocator *a, link_opener *opener);
u32 link_queue_count(const link_opener *opener);
u32 link_queues_count(const reader *r);

// ---- The default handler -----------------------------------------------------------------

#if QM_TEST_HOOKS
// The program that opens a URL with the desktop's default choice, one URL per run: "xdg-open".
// Tests put a stand-in there.
void link_set_default_handler(const char *program);
#endif
// The command line of the desktop's default program for a scheme ("https"): the Exec line of
// the desktop entry that the desktop's MIME settings name for x-scheme-handler/<scheme>, ready
// to be an opener's program. Appended to out; the all-zero buffer when there is none. Reads a
// few small files only, so the UI thread may ask.
buffer link_default_program(buffer scheme, buffer *out);

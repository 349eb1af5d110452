// Text to and from the system clipboard for the text box. The clipboard belongs to the window
// system connection, so these work once the window exists, on the UI thread.
#pragma once

#include "core/buffer.h"

// Appends the clipboard's text as UTF-8 to the end of out, within its free room (less one byte
// when a terminating zero is asked for); invalid bytes become U+FFFD and a character that does not
// fit ends the text. Returns the view of the appended text: size = length + 1 and used = length
// when terminated. Without text on the clipboard, or with no room for even the terminator, the
// result is all zero and out is unchanged.
buffer clipboard_get_text(buffer *out, bool zero_terminate);
// 1 when the clipboard now holds the text, else 0 (the text is not valid UTF-8, or the window
// system refused).
u32 clipboard_set_text(buffer text);

// The copy clipboard_get_text makes of the system's bytes, exposed for tests.
buffer clipboard_append_utf8(buffer *out, const u8 *text, u64 length, bool zero_terminate);

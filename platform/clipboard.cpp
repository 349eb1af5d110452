// The clipboard through GLFW, which owns the X selection on the window system connection.
#include "platform/clipboard.h"

#include <GLFW/glfw3.h>
#include <string.h>

// Length of the well-formed UTF-8 sequence at p (at most n bytes available), or 0 when the bytes
// there are not one: truncated, overlong, a surrogate or above U+10FFFF.
static u32 utf8_sequence_length(const u8 *p, u64 n) {
  u8 b = p[0];
  if (b < 0x80) return 1;
  u32 len = 0, min = 0, c = 0;
  if ((b & 0xE0) == 0xC0) {
    len = 2, min = 0x80, c = b & 0x1F;
  } else if ((b & 0xF0) == 0xE0) {
    len = 3, min = 0x800, c = b & 0x0F;
  } else if ((b & 0xF8) == 0xF0) {
    len = 4, min = 0x10000, c = b & 0x07;
  } else {
    return 0;
  }
  if (n < len) return 0;
  for (u32 i = 1; i < len; i++) {
    if ((p[i] & 0xC0) != 0x80) return 0;
    c = c << 6 | (p[i] & 0x3F);
  }
  if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return 0;
  return len;
}

buffer clipboard_append_utf8(buffer *out, const u8 *text, u64 length, bool zero_terminate) {
  u64 room = buffer_free_bytes(*out);
  // Asking for the terminator with no room at all must not leave "room - 1" wrapping around.
  if (zero_terminate) {
    if (room == 0) return buffer{};
    room--;
  }
  u8 *start = out->data + out->used;
  u64 written = 0;
  static const u8 replacement[3] = {0xEF, 0xBF, 0xBD};
  for (u64 i = 0; i < length;) {
    u32 n = utf8_sequence_length(text + i, length - i);
    const u8 *src = n ? text + i : replacement;
    u32 out_n = n ? n : 3;
    if (written + out_n > room) break;
    memcpy(start + written, src, out_n);
    written += out_n;
    i += n ? n : 1;
  }
  out->used += written;
  buffer view = buffer_make(written, written, start);
  if (zero_terminate) {
    start[written] = 0;
    out->used++;
    view.size = written + 1;
  }
  return view;
}

buffer clipboard_get_text(buffer *out, bool zero_terminate) {
  glfwGetError(nullptr);
  const char *text = glfwGetClipboardString(nullptr);
  if (glfwGetError(nullptr) != GLFW_NO_ERROR || !text) return buffer{};
  return clipboard_append_utf8(out, (const u8 *)text, strlen(text), zero_terminate);
}

u32 clipboard_set_text(buffer text) {
  for (u64 i = 0; i < text.used;) {
    u32 n = utf8_sequence_length(text.data + i, text.used - i);
    // A zero byte would cut the text short where the window system reads it.
    if (n == 0 || text.data[i] == 0) return 0;
    i += n;
  }
  // The window system takes a zero-terminated text and keeps its own copy.
  buffer copy = memory_alloc(text.used + 1, nullptr);
  if (!copy.data) return 0;
  if (text.used) memcpy(copy.data, text.data, text.used);
  copy.data[text.used] = 0;
  glfwGetError(nullptr);
  glfwSetClipboardString(nullptr, (const char *)copy.data);
  u32 ok = glfwGetError(nullptr) == GLFW_NO_ERROR ? 1 : 0;
  memory_free(&copy);
  return ok;
}

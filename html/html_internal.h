// The per-code-point steps of the input stream, inline so that the tokenizer's loops do not pay
// a call (and a profiler zone) for every character. The public hp_* functions wrap these.
#pragma once

#include "html/html.h"

#define HP_NO_CODE_POINT 0xFFFFFFFFu

u32 hp_decode_slow(hp_cursor *cursor, u32 encoding, int *err);
void hp_push_codepoint_slow(buffer *text, buffer *string, u32 code_point);

inline u32 hp_decode_inline(hp_cursor *cursor, u32 encoding, int *err) {
  if (*err) return HP_NO_CODE_POINT;
  if (cursor->pending != HP_NO_CODE_POINT) {
    u32 c = cursor->pending;
    cursor->pending = HP_NO_CODE_POINT;
    return c;
  }
  if (encoding == encoding_utf_8 && cursor->position < cursor->end && *cursor->position < 0x80) {
    cursor->column++;
    return *cursor->position++;
  }
  if (cursor->position >= cursor->end) {
    *err = html_tokenizer_error_eof;
    return HP_NO_CODE_POINT;
  }
  return hp_decode_slow(cursor, encoding, err);
}

inline void hp_update_line_inline(hp_cursor *cursor, u32 c) {
  if (c == '\r') {
    cursor->line++;
    cursor->cr_seen = 1;
    cursor->line_start = cursor->position;
    cursor->column = 0;
  } else if (c == '\n') {
    if (!cursor->cr_seen) cursor->line++;
    cursor->cr_seen = 0;
    cursor->line_start = cursor->position;
    cursor->column = 0;
  } else {
    cursor->cr_seen = 0;
  }
}

inline u32 hp_consume_inline(hp_stream *stream, int *err) {
  if (*err) return 0;
  stream->previous = stream->current;
  stream->previous_valid = 1;
  u32 c = hp_decode_inline(&stream->current, stream->encoding, err);
  if (*err) return c;
  hp_update_line_inline(&stream->current, c);
  return c;
}

inline u32 hp_lookahead_consume_inline(hp_stream *stream, int *err) {
  if (*err) return 0;
  u32 c = hp_decode_inline(&stream->lookahead, stream->encoding, err);
  if (*err) return c;
  hp_update_line_inline(&stream->lookahead, c);
  return c;
}

inline void hp_push_codepoint_inline(buffer *text, buffer *string, u32 c) {
  if (c < 0x80 && text->used < text->size) {
    if (!string->data) string->data = text->data + text->used;
    text->data[text->used++] = (u8)c;
    string->used++;
    string->size = string->used;
    return;
  }
  hp_push_codepoint_slow(text, string, c);
}

inline u8 hp_ascii_lower(u8 c) { return (c >= 'A' && c <= 'Z') ? (u8)(c + 32) : c; }

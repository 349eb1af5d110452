// Text layout over real DejaVu metrics: the advance rule, single lines against a model, caret
// round trips, ellipsis fitting, multi-line sizes, and word wrapping at every width over one and
// several segments, with long words, empty text and bytes that are not UTF-8.
#include "font_fixture.h"

#include <random>
#include <string>

#include "gfx/text_layout.h"

namespace {

struct layout_fixture : font_fixture {
  font *sans = nullptr;
  font *mono = nullptr;
  void SetUp() override {
    build(font_test_codepoints());
    sans = &collection->fonts[0];
    mono = &collection->fonts[3];
  }
};

// The advance rule written out from the glyph records.
f32 model_width(const font *f, const std::u32string &text) {
  f32 x = 0;
  const font_glyph *previous = nullptr;
  for (char32_t c : text) {
    const font_glyph *g = font_get_glyph(f, c);
    x += previous ? font_get_kerning(f, previous, c) * f->scale + g->advance
                  : (f->monospace ? 0 : -g->left) + g->advance;
    previous = g;
  }
  return x;
}

std::string utf8(const std::u32string &s) {
  std::string out;
  for (char32_t c : s) {
    if (c < 0x80) out += (char)c;
    else if (c < 0x800) out += {(char)(0xC0 | c >> 6), (char)(0x80 | (c & 63))};
    else out += {(char)(0xE0 | c >> 12), (char)(0x80 | (c >> 6 & 63)), (char)(0x80 | (c & 63))};
  }
  return out;
}

// Segments over an array of texts; the segment is the address of the current one.
struct segment_list {
  std::vector<buffer> parts;
  u64 moves = 0;  // steps to a following segment: the work of walking across seams
};
u32 next_segment(void **segment, u64 user, const char **next, const char **end, u32 stop) {
  segment_list *list = (segment_list *)user;
  buffer *current = (buffer *)*segment;
  if (!stop) {
    list->moves++;
    if (current + 1 >= list->parts.data() + list->parts.size()) return 0;
    current += 1;
  }
  *segment = current;
  *next = (const char *)current->data;
  *end = (const char *)current->data + current->used;
  return 1;
}

struct laid_out {
  std::vector<std::string> lines;  // the runs of each line joined
  std::string kept;                // every byte placed in a run
  u32 calls = 0;
  u64 moves = 0;  // segment steps, the layout's own and its word measures'
};

// Lays out the text split into parts at the given width, checking each run as it comes.
laid_out flow(const font *f, const std::vector<std::string> &parts, f32 width, u32 flags = TEXT_LAYOUT_SKIP_LEADING_BLANKS) {
  segment_list list;
  for (const std::string &p : parts) list.parts.push_back(string_from_bytes(p.data(), p.size()));
  text_layout layout = text_layout_make(10, 10 + width, next_segment);
  text_layout_iterator it = text_layout_iterator_make(&layout, list.parts.data(), (u64)&list);
  laid_out out;
  out.lines.emplace_back();
  u64 total = 0;
  for (const std::string &p : parts) total += p.size();
  for (;;) {
    text_layout_run run = text_layout_next_rect(&layout, &it, f, flags);
    ++out.calls;
    // Every call makes progress: more calls than bytes (plus line breaks) would be a loop.
    EXPECT_LE(out.calls, 2 * total + 2);
    if (out.calls > 2 * total + 2 || run.flags == 0) break;
    if (run.flags & text_layout_run_text) {
      EXPECT_LE(run.begin, run.end);
      EXPECT_LE(run.x0, run.x1 + 1e-3f);
      EXPECT_LE(run.x1, layout.line_x_max + 1e-3f);
      EXPECT_GE(run.x0, layout.line_x - 1e-3f);
      buffer *seg = (buffer *)run.segment;
      EXPECT_GE((const u8 *)run.begin, seg->data);
      EXPECT_LE((const u8 *)run.end, seg->data + seg->used);
      out.lines.back().append(run.begin, run.end);
      out.kept.append(run.begin, run.end);
    }
    if (run.flags & text_layout_run_line_break) {
      text_layout_new_line(&layout, &it, layout.line_x, layout.line_x_max);
      out.lines.emplace_back();
    }
  }
  out.moves = list.moves;
  return out;
}

std::string without_whitespace(const std::string &s) {
  std::string out;
  for (char c : s)
    if (c != ' ' && c != '\n' && c != '\r' && c != '\t') out += c;
  return out;
}

}  // namespace

TEST_F(layout_fixture, advance_rule_kerns_pairs_and_ignores_bearing_in_monospace) {
  std::string av = "AV";
  f32 pair = text_layout_single_line_size(sans, av.data(), av.data() + 2, TEXT_LAYOUT_NO_CODEPOINT, 0);
  f32 a = text_layout_single_line_size(sans, av.data(), av.data() + 1, TEXT_LAYOUT_NO_CODEPOINT, 0);
  f32 v = text_layout_single_line_size(sans, av.data() + 1, av.data() + 2, TEXT_LAYOUT_NO_CODEPOINT, 0);
  EXPECT_LT(pair, a + v);
  EXPECT_FLOAT_EQ(pair, model_width(sans, U"AV"));
  // A previous code point kerns the first one.
  f32 after_a = text_layout_single_line_size(sans, av.data() + 1, av.data() + 2, 'A', 0);
  EXPECT_FLOAT_EQ(a + after_a, pair);
  font_glyph *j = font_get_glyph(mono, 'j');
  std::string js = "j";
  EXPECT_FLOAT_EQ(text_layout_single_line_size(mono, js.data(), js.data() + 1, TEXT_LAYOUT_NO_CODEPOINT, 5), 5 + j->advance);
  font_glyph *sj = font_get_glyph(sans, 'j');
  EXPECT_FLOAT_EQ(text_layout_single_line_size(sans, js.data(), js.data() + 1, TEXT_LAYOUT_NO_CODEPOINT, 0), -sj->left + sj->advance);
}

TEST_F(layout_fixture, single_lines_match_the_model_and_stop_where_the_next_code_point_overflows) {
  std::mt19937 rng(5);
  const std::u32string alphabet = U"AVWaveToy .,;fiжЖΩω\u00e9\u0152\u2026";
  for (int round = 0; round < 300; ++round) {
    std::u32string text;
    for (int n = rng() % 30; n > 0; --n) text += alphabet[rng() % alphabet.size()];
    std::string bytes = utf8(text);
    const char *b = bytes.data(), *e = b + bytes.size();
    f32 whole = text_layout_single_line_size(sans, b, e, TEXT_LAYOUT_NO_CODEPOINT, 3);
    ASSERT_NEAR(whole, 3 + model_width(sans, text), 1e-3);
    f32 max_x = 3 + (f32)(rng() % 200);
    text_layout_line line = text_layout_single_line(sans, b, e, TEXT_LAYOUT_NO_CODEPOINT, 3, max_x, 0, nullptr,
                                                    nullptr, 0, nullptr);
    ASSERT_EQ(line.begin, b);
    ASSERT_EQ(line.end, line.next);
    ASSERT_LE(line.x1, max_x);
    // What was taken measures x1, and one more code point would not have fitted.
    ASSERT_NEAR(text_layout_single_line_size(sans, b, line.end, TEXT_LAYOUT_NO_CODEPOINT, 3), line.x1, 1e-3);
    if (line.end < e) {
      u64 more = 1;
      while (line.end + more < e && ((u8)line.end[more] & 0xC0) == 0x80) ++more;
      ASSERT_GT(text_layout_single_line_size(sans, b, line.end + more, TEXT_LAYOUT_NO_CODEPOINT, 3), max_x);
      text_layout_line over = text_layout_single_line(sans, b, e, TEXT_LAYOUT_NO_CODEPOINT, 3, max_x,
                                                      TEXT_LAYOUT_TAKE_OVERFLOWING, nullptr, nullptr, 0, nullptr);
      ASSERT_EQ(over.end, line.end + more);
    }
  }
}

TEST_F(layout_fixture, single_line_ends_at_cr_lf_and_reports_positions) {
  std::string text = "ab\r\ncd";
  u64 positions[] = {0, 1, 2, 3, 5};
  f32 xs[5] = {};
  u32 filled = 0;
  text_layout_line line = text_layout_single_line(sans, text.data(), text.data() + text.size(), TEXT_LAYOUT_NO_CODEPOINT,
                                                  0, 1000, 0, positions, xs, 5, &filled);
  EXPECT_EQ(line.end, text.data() + 2);
  EXPECT_EQ(line.next, text.data() + 4);
  EXPECT_EQ(filled, 3u);  // 0, 1 and 2 lie on the line
  EXPECT_EQ(xs[0], 0.0f);
  EXPECT_NEAR(xs[2], line.x1, 1e-4);
  EXPECT_EQ(line.last_code_point, 'b');
}

TEST_F(layout_fixture, caret_positions_round_trip_through_their_x) {
  std::string text = utf8(U"Wave жЖ AV\u00e9\u2026 fi.");
  const char *b = text.data(), *e = b + text.size();
  std::vector<u64> offsets;
  for (u64 k = 0; k <= text.size(); ++k)
    if (k == text.size() || ((u8)text[k] & 0xC0) != 0x80) offsets.push_back(k);
  std::vector<f32> xs(offsets.size());
  u32 filled = 0;
  text_layout_single_line(sans, b, e, TEXT_LAYOUT_NO_CODEPOINT, 7, 1e6f, 0, offsets.data(), xs.data(),
                          (u32)offsets.size(), &filled);
  ASSERT_EQ(filled, offsets.size());
  for (size_t i = 0; i < offsets.size(); ++i)
    EXPECT_EQ(text_layout_byte_at_position(sans, b, e, TEXT_LAYOUT_NO_CODEPOINT, 7, xs[i]), offsets[i]) << i;
  // Either side of the first glyph's middle.
  f32 middle = std::round(7 + (xs[1] - 7) / 2);
  EXPECT_EQ(text_layout_byte_at_position(sans, b, e, TEXT_LAYOUT_NO_CODEPOINT, 7, middle - 0.25f), 0u);
  EXPECT_EQ(text_layout_byte_at_position(sans, b, e, TEXT_LAYOUT_NO_CODEPOINT, 7, middle + 0.25f), 1u);
  EXPECT_EQ(text_layout_byte_at_position(sans, b, e, TEXT_LAYOUT_NO_CODEPOINT, 7, -100), 0u);
  EXPECT_EQ(text_layout_byte_at_position(sans, b, e, TEXT_LAYOUT_NO_CODEPOINT, 7, 1e6f), text.size());
  EXPECT_EQ(text_layout_byte_at_position(sans, b, b, TEXT_LAYOUT_NO_CODEPOINT, 7, 50), 0u);
}

TEST_F(layout_fixture, fitting_cuts_with_an_ellipsis_that_never_passes_the_box) {
  std::string text = "The quick brown fox jumps over the lazy dog";
  buffer t = string_from_bytes(text.data(), text.size());
  f32 whole = text_layout_single_line_size(sans, text.data(), text.data() + text.size(), TEXT_LAYOUT_NO_CODEPOINT, 0);
  u64 positions[] = {0, 4, 10, 20, 30, 40};
  for (f32 width = 0; width <= whole + 20; width += 0.5f) {
    f32 xs[6];
    u32 filled = 0;
    text_layout_line line = text_layout_fit_single_line(sans, t, TEXT_LAYOUT_NO_CODEPOINT, 5, 5 + width, positions,
                                                        xs, 6, &filled);
    ASSERT_LE(line.x1, 5 + width + 1e-3f) << width;
    for (u32 k = 0; k < filled; ++k) ASSERT_LE(positions[k], (u64)(line.end - text.data()));
    if (width >= whole) {
      ASSERT_EQ(line.end, text.data() + text.size());
      ASSERT_EQ(line.flags, 0u);
      ASSERT_EQ(filled, 6u);
    } else if (line.flags & text_layout_line_ellipsis) {
      ASSERT_GT(line.end, text.data());
      ASSERT_EQ(line.last_code_point, 0x2026);
      f32 kept = text_layout_single_line_size(sans, text.data(), line.end, TEXT_LAYOUT_NO_CODEPOINT, 5);
      ASSERT_GT(line.x1, kept);
    } else {
      // Too narrow for one character and the ellipsis.
      ASSERT_EQ(line.end, text.data());
      ASSERT_EQ(line.x1, 5.0f);
    }
  }
}

TEST_F(layout_fixture, text_size_counts_cr_lf_once) {
  f32 h = font_line_height(sans, 0);
  auto size = [&](const std::string &s) {
    return text_layout_text_size(sans, string_from_bytes(s.data(), s.size()), TEXT_LAYOUT_NO_CODEPOINT, 2, 3);
  };
  EXPECT_FLOAT_EQ(size("a\r\nb").y1, 3 + 2 * h);
  EXPECT_FLOAT_EQ(size("a\n\rb").y1, 3 + 3 * h);
  EXPECT_FLOAT_EQ(size("a\r\rb\n").y1, 3 + 4 * h);
  rect empty = size("");
  EXPECT_EQ(empty.y1, 3.0f);
  EXPECT_EQ(empty.x1, 2.0f);
  rect r = size("ab\nWWWW\nc");
  EXPECT_NEAR(r.x1, 2 + model_width(sans, U"WWWW"), 1e-3);
  EXPECT_EQ(r.x0, 2.0f);
}

TEST_F(layout_fixture, wrapping_at_every_width_keeps_every_word_in_order) {
  std::string text = "Wave to the lazy dog, AVAV fi; quick-brown fox\njumps  over\r\n the   wall.";
  f32 whole = text_layout_single_line_size(sans, text.data(), text.data() + text.size(), TEXT_LAYOUT_NO_CODEPOINT, 0);
  f32 widest_word = 0;
  for (const char *w : {"lazy", "dog,", "AVAV", "quick-brown", "jumps", "wall."})
    widest_word = std::max(widest_word, text_layout_single_line_size(sans, w, w + strlen(w), TEXT_LAYOUT_NO_CODEPOINT, 0));
  for (f32 width = 0; width <= whole + 30; width += 1) {
    laid_out out = flow(sans, {text}, width);
    if (width >= widest_word + 1) {
      // Nothing is dropped and no word is broken: runs break only at whitespace.
      ASSERT_EQ(without_whitespace(out.kept), without_whitespace(text)) << width;
      for (const std::string &line : out.lines)
        for (const char *w : {"quick-brown", "jumps"})
          if (line.find(std::string(w).substr(0, 3)) != std::string::npos) {
            ASSERT_NE(line.find(w), std::string::npos);
          }
    } else {
      // Narrow lines may drop code points wider than a line, but keep the rest in order.
      std::string kept = without_whitespace(out.kept), all = without_whitespace(text);
      size_t k = 0;
      for (char c : all)
        if (k < kept.size() && kept[k] == c) ++k;
      ASSERT_EQ(k, kept.size()) << width;
    }
    if (width >= whole) {
      ASSERT_EQ(out.lines.size(), 3u) << width;  // the two line ends in the text only
    }
  }
}

TEST_F(layout_fixture, segments_wrap_like_one_text) {
  std::string text = "Wave to the lazy dog, quick-brown fox jumps over the wall of AVAVAV.";
  std::mt19937 rng(9);
  for (int round = 0; round < 200; ++round) {
    std::vector<std::string> parts;
    size_t at = 0;
    while (at < text.size()) {
      size_t n = 1 + rng() % 12;
      parts.push_back(text.substr(at, n));
      at += n;
    }
    if (rng() % 2) parts.insert(parts.begin() + rng() % parts.size(), "");
    f32 width = 20 + (f32)(rng() % 200);
    laid_out split = flow(sans, parts, width);
    laid_out one = flow(sans, {text}, width);
    ASSERT_EQ(without_whitespace(split.kept), without_whitespace(one.kept)) << width;
    // Where every word fits a line, the seams change nothing: the same words on the same lines.
    f32 widest = 0;
    for (const char *w : {"quick-brown", "AVAVAV."})
      widest = std::max(widest, text_layout_single_line_size(sans, w, w + strlen(w), TEXT_LAYOUT_NO_CODEPOINT, 0));
    if (width >= widest + 1) {
      ASSERT_EQ(split.lines.size(), one.lines.size()) << width;
      for (size_t k = 0; k < one.lines.size(); ++k)
        ASSERT_EQ(without_whitespace(split.lines[k]), without_whitespace(one.lines[k])) << width << " line " << k;
    }
  }
}

TEST_F(layout_fixture, long_words_narrow_lines_and_zero_width_marks_terminate) {
  std::string word(20000, 'm');
  laid_out out = flow(sans, {word}, 100);
  ASSERT_EQ(out.kept, word);
  f32 m = font_get_glyph(sans, 'm')->advance;
  EXPECT_NEAR((f32)out.lines.size(), 20000 * m / 100, 20000 * m / 100 * 0.1 + 2);
  // Lines narrower than one glyph drop what cannot fit and still end.
  for (f32 width : {0.0f, 1.0f, 3.0f, -5.0f}) {
    laid_out narrow = flow(sans, {"mmm iii W"}, width);
    EXPECT_LE(narrow.calls, 40u);
  }
  // Combining marks have no advance: they always fit, even on a line of no width.
  std::string marks;
  for (int i = 0; i < 50; ++i) marks += "\xCC\x81";
  laid_out zero = flow(sans, {marks}, 0);
  EXPECT_LE(zero.calls, 120u);
}

// A word spread over many segments is measured at each seam to see whether it must move down.
// Marks of no advance never fill the line, so measuring afresh at every seam walked the rest of
// the word each time: segment steps must grow with the segments, not with their square.
TEST_F(layout_fixture, a_word_of_many_segments_of_no_advance_is_not_measured_again_at_each_seam) {
  for (const char *before : {"a ", ""}) {
    auto steps = [&](u64 n) {
      std::vector<std::string> parts = {before, "w"};
      for (u64 i = 0; i < n; i++) parts.push_back("\xCC\x81");
      parts.push_back("x");
      laid_out out = flow(sans, parts, 300);
      std::string all;
      for (const std::string &p : parts) all += p;
      EXPECT_EQ(out.kept, all);
      EXPECT_EQ(out.lines.size(), 1u);
      return out.moves;
    };
    const u64 n = 2000;
    u64 small = steps(n), large = steps(4 * n);
    EXPECT_LE(small, 3 * n) << before;
    EXPECT_LE(large, 4 * small + 8) << before;
  }
}

TEST_F(layout_fixture, empty_text_and_blank_text_end_at_once) {
  EXPECT_EQ(flow(sans, {""}, 100).calls, 1u);
  EXPECT_EQ(flow(sans, {"", "", ""}, 100).calls, 1u);
  laid_out blank = flow(sans, {"   \t  "}, 100);
  EXPECT_EQ(blank.calls, 1u);
  EXPECT_TRUE(blank.kept.empty());
}

TEST_F(layout_fixture, bytes_that_are_not_utf8_measure_as_replacement_characters_and_stay_inside) {
  const std::string replacement = "\xEF\xBF\xBD";
  for (std::string bad : {"\xFF", "\xC3", "\xE2\x82", "\xF0\x9F\x98", "\xED\xA0\x80", "\xC0\xAF"}) {
    // An exact-size copy: any read past it is an error the sanitizer sees.
    std::vector<char> bytes(bad.begin(), bad.end());
    const char *b = bytes.data(), *e = b + bytes.size();
    f32 width = text_layout_single_line_size(sans, b, e, TEXT_LAYOUT_NO_CODEPOINT, 0);
    std::u32string model(bytes.size(), 0xFFFD);
    EXPECT_NEAR(width, model_width(sans, model), 1e-3);
    EXPECT_EQ(text_layout_byte_at_position(sans, b, e, TEXT_LAYOUT_NO_CODEPOINT, 0, 1e6f), bytes.size());
    text_layout_line fit = text_layout_fit_single_line(sans, string_from_bytes(b, bytes.size()), TEXT_LAYOUT_NO_CODEPOINT,
                                                       0, 1e6f, nullptr, nullptr, 0, nullptr);
    EXPECT_EQ(fit.end, e);
    laid_out out = flow(sans, {std::string(b, e)}, 30);
    EXPECT_EQ(out.kept.size(), bytes.size());
  }
  (void)replacement;
}

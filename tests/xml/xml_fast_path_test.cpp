// The cursor's fast paths (ASCII runs, UTF-8 sequences, UTF-16 units, codec-decoded characters
// of other encodings) against the general path that decodes every code point through the
// encoding layer: over random documents, well-formed or not, both must build the same tree,
// leave the arenas at the same sizes and stop at the same error, line, column and byte.
#include <gtest/gtest.h>

#include <memory>
#include <random>

#include "tests/encoding/utf8_model.h"
#include "tests/xml/xml_test_util.h"
#include "xml/xml_internal.h"

namespace {

// A code point, or with this bit a raw unit written as it stands: a byte in the byte
// encodings, a 16-bit unit in UTF-16 (so lone surrogates and stray bytes can be placed).
constexpr u32 raw = 0x80000000u;

enum : u32 { enc_utf8 = 1, enc_utf16be = 38, enc_utf16le = 39 };

std::string encode(const std::vector<u32> &cps, u32 encoding) {
  std::string o;
  for (u32 v : cps) {
    bool is_raw = (v & raw) != 0;
    u32 c = v & ~raw;
    if (encoding == enc_utf16le || encoding == enc_utf16be) {
      auto unit = [&](u32 u) {
        if (encoding == enc_utf16le) o += (char)(u & 0xFF), o += (char)(u >> 8);
        else o += (char)(u >> 8), o += (char)(u & 0xFF);
      };
      if (is_raw) unit(c & 0xFFFF);
      else if (c >= 0x10000) unit(0xD800 + ((c - 0x10000) >> 10)), unit(0xDC00 + ((c - 0x10000) & 0x3FF));
      else unit(c);
      continue;
    }
    if (is_raw) o += (char)(c & 0xFF);
    else o += utf8_model_text({c});
  }
  return o;
}

struct doc_gen {
  std::mt19937 r;
  std::vector<u32> out;
  bool raw_units = true;  // false: only code points, the same document in every encoding
  u32 below(u32 n) { return (u32)(r() % n); }
  void put(const char *s) {
    while (*s) out.push_back((u8)*s++);
  }
  void put_cp(u32 c) { out.push_back(c); }
  // Characters that stop or pass the runs: line ends, non-ASCII of every length, non-Chars.
  void odd_char() {
    static const u32 cps[] = {'\n', '\r', '\t', 0xE9, 0x7FF, 0x20AC, 0x65E5, 0xFFFD, 0x1F600, 0x10FFFF, 0xFFFE, 0x1, 0xB7};
    u32 k = below(raw_units ? 17 : 13);
    if (k < 13) put_cp(cps[k]);
    else if (k == 13) put_cp(raw | 0xD800);  // lone high surrogate, or byte D8 without its tail
    else if (k == 14) put_cp(raw | 0xDC41);  // lone low surrogate, or byte 41
    else if (k == 15) put_cp(raw | 0xFF);
    else put_cp(raw | 0x9F);
  }
  void text(u32 n) {
    for (u32 i = 0; i < n; i++) {
      u32 k = below(40);
      if (k < 24) put_cp("abc xyz\tQ.-_:0"[below(14)]);
      else if (k < 31) odd_char();
      else if (k == 31) put(below(2) ? "&amp;" : "&lt;");
      else if (k == 32) put(below(2) ? "&#65;" : "&#x1F600;");
      else if (k == 33) put(below(3) ? "&foo;" : below(2) ? "&#0;" : "&#xD800;");
      else if (k == 34) put(below(2) ? "]]>" : "]]");
      else if (k == 35) put("\r\n");
      else if (k == 36) put(below(2) ? "&" : "&#;");
      else if (k == 37) put(below(2) ? ">" : "\"'");
      else put_cp(' ');
    }
  }
  void name() {
    u32 k = below(12);
    if (k == 0) put_cp(0xE9), put("t");
    else if (k == 1) put_cp(0x65E5), put_cp(0x672C);
    else if (k == 2) put("-bad");
    else {
      static const char *names[] = {"a", "item", "title", "content:encoded", "x_y.z-1", "b"};
      put(names[below(6)]);
    }
  }
  void attribute() {
    put_cp(below(8) ? ' ' : below(2) ? '\n' : '\t');
    name();
    put(below(10) ? "=" : " = ");
    u32 q = below(6) ? '"' : '\'';
    put_cp(q);
    text(below(30));
    if (below(20)) put_cp(q);
  }
  void element(u32 depth) {
    put("<");
    size_t name_start = out.size();
    name();
    std::vector<u32> start_name(out.begin() + (long)name_start, out.end());
    u32 attrs = below(4);
    for (u32 i = 0; i < attrs; i++) attribute();
    if (below(6) == 0) {
      put(below(10) ? "/>" : "/ >");
      return;
    }
    put(">");
    u32 items = below(6);
    for (u32 i = 0; i < items; i++) {
      u32 k = below(12);
      if (k < 5) text(below(60));
      else if (k < 7 && depth < 4) element(depth + 1);
      else if (k == 7) put("<!--"), text(below(20)), put(below(6) ? "-->" : "--->");
      else if (k == 8) put("<![CDATA["), text(below(30)), put(below(8) ? "]]>" : "]>");
      else if (k == 9) put("<?pi"), put(below(4) ? " " : ""), text(below(20)), put("?>");
      else if (k == 10) put("\r\n  ");
      else put("&#x20AC;");
    }
    put("</");
    if (below(15)) out.insert(out.end(), start_name.begin(), start_name.end());
    else name();
    put(below(10) ? ">" : " >");
  }
  std::vector<u32> document() {
    out.clear();
    if (below(4) == 0) put("<!-- c -->\n");
    element(0);
    if (below(4) == 0) put("\n<?pi x?>");
    if (below(6) == 0) text(3);
    if (below(8) == 0) out.resize(below((u32)out.size() + 1));  // truncated: end of input inside
    return out;
  }
};

struct outcome {
  xml_error error = 0;
  u32 line = 0, column = 0, after_cr = 0;
  s64 position = 0, line_start = 0;
  u64 nodes_used = 0, strings_used = 0;
  std::string tree, report;
  bool operator==(const outcome &o) const {
    return error == o.error && line == o.line && column == o.column && after_cr == o.after_cr &&
           position == o.position && line_start == o.line_start && nodes_used == o.nodes_used &&
           strings_used == o.strings_used && tree == o.tree && report == o.report;
  }
};

std::ostream &operator<<(std::ostream &os, const outcome &o) {
  return os << "error " << o.error << " at " << o.line << ":" << o.column << " byte " << o.position << " line start "
            << o.line_start << " arenas " << o.nodes_used << "/" << o.strings_used << "\n"
            << o.tree << "\n"
            << o.report;
}

// The document productions with the encoding forced and the fast paths on or off. The node
// arena ends where its memory ends, so one of a size that is no whole number of words starts
// unaligned.
outcome parse_with(const std::string &bytes, u32 encoding, bool fast, u64 string_bytes = 0, u64 node_bytes = 0) {
  // A node per input byte and four string bytes per input byte hold any document.
  if (node_bytes == 0) node_bytes = (bytes.size() + 2) * sizeof(xml_node);
  if (string_bytes == 0) string_bytes = 4 * bytes.size() + 16;
  static std::vector<u8> node_memory, string_memory;
  if (node_memory.size() < node_bytes) node_memory.resize(node_bytes);
  if (string_memory.size() < string_bytes) string_memory.resize(string_bytes);
  // Each arena ends where its memory ends, so a write past it is caught by the sanitizer.
  u8 *nodes = node_memory.data() + node_memory.size() - node_bytes;
  u8 *strings = string_memory.data() + string_memory.size() - string_bytes;
  // The input in an allocation of its own size, without the string's terminating zero: a read
  // past its end is caught too.
  std::unique_ptr<u8[]> copy(new u8[bytes.size() + 1]);
  u8 *data = copy.get() + 1;  // data + size is the end of the allocation
  memcpy(data, bytes.data(), bytes.size());
  xml_parser p;
  xml_error e = 0;
  buffer input = {bytes.size(), bytes.size(), data};
  xml_parser_init(&p, buffer{node_bytes, 0, nodes}, buffer{string_bytes, 0, strings}, input, &e);
  p.encoding = encoding;
  p.ascii_fast = 0;
  p.wide_fast = 0;
  if (fast) {
    p.ascii_fast = encoding != enc_utf16be && encoding != enc_utf16le;
    p.wide_fast = encoding == enc_utf16le ? 1 : encoding == enc_utf16be ? 2 : 0;
  }
  for (int round = 0; round < 2; round++) {
    while (!e) {
      xml_node *n = xml_parse_misc(&p, &p.cursor, &e);
      if (!n) break;
      xml_node_append_child(p.top, n, &e);
    }
    if (round == 0) xml_node_append_child(p.top, xml_parse_element(&p, &p.cursor, &e), &e);
  }
  if (!e && xml_has_more(&p, &p.cursor)) e = xml_error_expected_eof;
  outcome o;
  o.error = e;
  o.line = p.cursor.line;
  o.column = p.cursor.column;
  o.after_cr = p.cursor.after_cr;
  o.position = p.cursor.position - input.data;
  o.line_start = p.cursor.line_start - input.data;
  o.nodes_used = p.nodes.used;
  o.strings_used = p.strings.used;
  if (p.top) o.tree = xml_test_dump(p.top);
  u8 report[1024];
  buffer out = {sizeof report, 0, report};
  xml_print_error(&p, &e, &out);
  o.report = xml_test_str(out);
  return o;
}

TEST(xml_fast_path, random_documents_parse_alike_on_both_paths_in_every_encoding) {
  doc_gen g{std::mt19937(20240611u), {}};
  // UTF-8, both UTF-16s, and byte encodings whose non-ASCII bytes go through their codecs:
  // windows-1252 and ISO-8859-3 (single bytes, the second with bytes that are no character),
  // Shift_JIS and GBK (pairs), Big5 (pairs of two code points).
  const u32 encodings[] = {enc_utf8, enc_utf16le, enc_utf16be, 22, 4, 35, 30, 32};
  int failures = 0;
  for (int i = 0; i < 1500 && failures < 5; i++) {
    std::vector<u32> doc = g.document();
    for (u32 enc : encodings) {
      std::string bytes = encode(doc, enc);
      if ((enc == enc_utf16le || enc == enc_utf16be) && g.below(10) == 0) bytes += 'x';  // an odd last byte
      // Now and then an arena too small for the document, so the runs meet its end.
      u64 strings = g.below(5) == 0 ? 16 + g.below(400) : 0;
      outcome general = parse_with(bytes, enc, false, strings);
      outcome fast = parse_with(bytes, enc, true, strings);
      EXPECT_EQ(fast, general) << "encoding " << enc << " document " << i;
      if (!(fast == general)) failures++;
      if (enc == enc_utf8) {
        // The UTF-8 content loop in its SSE2 build too.
        xml_scan_narrow = true;
        outcome narrow = parse_with(bytes, enc, true, strings);
        xml_scan_narrow = false;
        EXPECT_EQ(narrow, general) << "SSE2, document " << i;
        if (!(narrow == general)) failures++;
      }
    }
  }
}

// Line ends as the tree holds them: a document reads as the same document with each CR LF pair
// and each lone CR written as one LF (the one way a CR reaches the tree is a character
// reference), on both paths and in every encoding. The lines and columns of an error are the
// same too, as CR LF, a lone CR and an LF each end one line; only byte offsets differ.
std::vector<u32> with_lf_line_ends(const std::vector<u32> &doc) {
  std::vector<u32> o;
  for (size_t i = 0; i < doc.size(); i++) {
    if (doc[i] != '\r') o.push_back(doc[i]);
    else if (i + 1 == doc.size() || doc[i + 1] != '\n') o.push_back('\n');
  }
  return o;
}

TEST(xml_fast_path, line_ends_read_as_one_lf_on_both_paths_in_every_encoding) {
  doc_gen g{std::mt19937(1312u), {}};
  const u32 encodings[] = {enc_utf8, enc_utf16le, enc_utf16be, 22, 4, 35, 30, 32};
  const char *forms[] = {"\r\n", "\r", "\r\r\n", "\n\r", "\r\n\r\n", " \r\n\t", "&#13;\r\n", "&#xD;\r"};
  int failures = 0;
  for (int i = 0; i < 800 && failures < 5; i++) {
    std::vector<u32> doc = g.document();
    // Line ends anywhere: in text, values, comments, tags, names and references alike.
    for (u32 k = g.below(6); k-- > 0;) {
      std::vector<u32> form;
      for (const char *f = forms[g.below(array_count(forms))]; *f; f++) form.push_back((u8)*f);
      doc.insert(doc.begin() + g.below((u32)doc.size() + 1), form.begin(), form.end());
    }
    std::vector<u32> lf = with_lf_line_ends(doc);
    for (u32 enc : encodings) {
      std::string bytes = encode(doc, enc), lf_bytes = encode(lf, enc);
      for (int mode = 0; mode < (enc == enc_utf8 ? 3 : 2); mode++) {
        xml_scan_narrow = mode == 2;
        outcome a = parse_with(bytes, enc, mode != 0), b = parse_with(lf_bytes, enc, mode != 0);
        xml_scan_narrow = false;
        bool same = a.error == b.error && a.line == b.line && a.column == b.column && a.tree == b.tree &&
                    a.nodes_used == b.nodes_used && a.strings_used == b.strings_used && a.report == b.report;
        EXPECT_TRUE(same) << "encoding " << enc << " mode " << mode << " document " << i << "\n" << a << "\n" << b;
        if (!same) failures++;
      }
    }
  }
}

TEST(xml_fast_path, utf16_documents_read_like_their_utf8_form) {
  doc_gen g{std::mt19937(77u), {}};
  g.raw_units = false;
  for (int i = 0; i < 1000; i++) {
    std::vector<u32> doc = g.document();
    if (doc.empty()) continue;  // two bytes of a byte order mark alone are not enough to detect
    xml_test_doc d8, dle, dbe;
    u64 nodes = (doc.size() + 2) * sizeof(xml_node), strings = 4 * doc.size() + 16;
    xml_test_parse(&d8, encode(doc, enc_utf8), nodes, strings);
    xml_test_parse(&dle, "\xFF\xFE" + encode(doc, enc_utf16le), nodes, strings);
    xml_test_parse(&dbe, "\xFE\xFF" + encode(doc, enc_utf16be), nodes, strings);
    for (xml_test_doc *d : {&dle, &dbe}) {
      ASSERT_EQ(d->error, d8.error) << i;
      if (d8.error == xml_error_invalid_encoding) continue;
      EXPECT_EQ(d->parser.cursor.line, d8.parser.cursor.line) << i;
      EXPECT_EQ(d->parser.cursor.column, d8.parser.cursor.column) << i;
      EXPECT_EQ(xml_test_dump(d->parser.top), xml_test_dump(d8.parser.top)) << i;
      u8 a[1024], b[1024];
      buffer ra = {sizeof a, 0, a}, rb = {sizeof b, 0, b};
      xml_print_error(&d->parser, &d->error, &ra);
      xml_print_error(&d8.parser, &d8.error, &rb);
      EXPECT_EQ(xml_test_str(ra), xml_test_str(rb)) << i;
    }
  }
}

// Every stop of the runs (a pair or a multi-byte sequence, broken ones, a non-Char, a line end,
// references) at every offset against their 16-byte blocks, in every context that runs, with
// the input whole, ending on an odd byte, or torn off.
TEST(xml_fast_path, runs_meet_every_stop_at_every_block_offset) {
  struct {
    const char *open, *close;
  } contexts[] = {{"<a>", "</a>"},     {"<a x='", "'/>"},          {"<a><!--", "--></a>"},
                  {"<a><![CDATA[", "]]></a>"}, {"<a><?p ", "?></a>"}, {"<a", "/>"}};
  const std::vector<u32> wide_tails[] = {{raw | 0xD83D, raw | 0xDE00},  // a pair: U+1F600
                                         {raw | 0xD83D, 'y'},           // a lone high surrogate
                                         {raw | 0xDE00, 'y'}};          // a lone low surrogate
  const std::vector<u32> byte_tails[] = {{raw | 0xF0, raw | 0x9F, 'y'},  // a sequence cut short
                                         {raw | 0xED, raw | 0xA0, raw | 0x80}};  // a surrogate
  const std::vector<u32> tails[] = {{0x1F600}, {0x20AC}, {0xE9}, {0xFFFF}, {'\r', '\n'}, {'\r', 'z'},
                                    {'\r', '\r', '\n', '\r'}, {'\n', '\r', '\n', 'z'},
                                    {'&', 'a', 'm', 'p', ';'}, {'&', '#', '6', '5', ';'},
                                    {'&', '#', 'x', 'D', '8', '0', '0', ';'}, {'&', 'q', 'u', 'o', 't'}};
  for (u32 enc : {enc_utf8, enc_utf16le, enc_utf16be}) {
    std::vector<std::vector<u32>> all(std::begin(tails), std::end(tails));
    if (enc == enc_utf8) all.insert(all.end(), std::begin(byte_tails), std::end(byte_tails));
    else all.insert(all.end(), std::begin(wide_tails), std::end(wide_tails));
    for (const auto &ctx : contexts) {
      for (const auto &tail : all) {
        for (u32 k = 0; k < 40; k++) {
          std::vector<u32> doc;
          for (const char *s = ctx.open; *s; s++) doc.push_back((u8)*s);
          for (u32 i = 0; i < k; i++) doc.push_back(i % 7 == 6 ? ' ' : 'a' + i % 26);
          doc.insert(doc.end(), tail.begin(), tail.end());
          for (const char *s = ctx.close; *s; s++) doc.push_back((u8)*s);
          std::string bytes = encode(doc, enc);
          for (u32 cut : {0u, 1u, 3u}) {
            std::string b = bytes.substr(0, bytes.size() - cut);
            EXPECT_EQ(parse_with(b, enc, true), parse_with(b, enc, false))
                << ctx.open << " offset " << k << " cut " << cut << " encoding " << enc;
          }
        }
      }
    }
  }
}

// Long runs that the bulk scans take: LFs, tabs and UTF-8 sequences of every length spread over
// several blocks of either width, then a stop, at every offset up to a few blocks in, in every
// context that runs. Lines, columns, line starts and the kept text must match the general path.
TEST(xml_fast_path, long_runs_count_lines_and_columns_across_blocks) {
  const char *contexts[][2] = {{"<a>", "</a>"}, {"<a x='", "'/>"}, {"<a><!--", "--></a>"},
                               {"<a><![CDATA[", "]]></a>"}, {"<a><?p ", "?></a>"}, {"<r>\n  <a>", "</a>\n</r>"}};
  // Short periods stop every block; long ones let whole blocks pass and leave the rest to a scan
  // that meets the sequences and LFs itself.
  std::vector<std::vector<u32>> fillers = {{'a', 'b', ' ', 'c', 'd', 'e'}, {'\n', ' ', ' ', 'x', 'y', 'z'},
                                           {0xE9, 'a', '\t', 0x65E5, 'b', 'c'}, {0x1F600, '\n', 0x7FF, 'q', '\n', 'r'},
                                           // two-byte sequences back to back, across block ends and after LFs
                                           {0x3B1, 0x3B2, 0xE9, 0x80, 0x7FF, ' '}, {0x430, '\n', 0x431, 0x432, 'k'},
                                           // CR LF pairs and lone CRs, which stop the blocks where they are
                                           {'a', '\r', '\n', 'b', '\r', 0xE9, 'c'}, {'\r', '\r', '\n', 'x', 'y', 'z', 'w', 'v'}};
  for (u32 period : {19u, 23u, 37u}) {
    std::vector<u32> f(period, 'm');
    f[period - 4] = 0xE9, f[period - 3] = '\n', f[period - 2] = 0x20AC, f[period / 2] = 0x1F600, f[3] = '\t';
    fillers.push_back(f);
  }
  const std::vector<u32> tails[] = {{'<'}, {'&', 'a', 'm', 'p', ';'}, {']'}, {'\r', '\n'}, {raw | 0xC3, 'x'},
                                    {0xFFFE}, {'-'}, {'?'}, {'\''},
                                    // broken two-byte forms: a lead twice, overlong, a lone continuation
                                    {raw | 0xC3, raw | 0xC3, raw | 0xA9}, {raw | 0xC0, raw | 0x80}, {raw | 0xC1, raw | 0xBF},
                                    {raw | 0xA9, 'x'}, {0xE9, raw | 0xA9}, {raw | 0xDF, raw | 0xC0},
                                    // brackets that end no CDATA section, and one that ends it early
                                    {']', ']', 'x', ']'}, {']', ']', ']', '>', 'y'}, {'\r'}};
  for (u32 round = 0; round < 4; round++) {
    bool narrow = round >= 2;
    u32 enc = round % 2 ? 22u : (u32)enc_utf8;
    xml_scan_narrow = narrow;
    for (const auto &ctx : contexts) {
      for (const auto &filler : fillers) {
        for (const auto &tail : tails) {
          for (u32 k = 0; k < 150; k += 1 + k / 16) {
            std::vector<u32> doc;
            for (const char *s = ctx[0]; *s; s++) doc.push_back((u8)*s);
            for (u32 i = 0; i < k; i++) doc.push_back(filler[(i + k) % filler.size()]);
            doc.insert(doc.end(), tail.begin(), tail.end());
            for (const char *s = ctx[1]; *s; s++) doc.push_back((u8)*s);
            std::string bytes = encode(doc, enc);
            EXPECT_EQ(parse_with(bytes, enc, true), parse_with(bytes, enc, false))
                << ctx[0] << " length " << k << " encoding " << enc << (narrow ? " SSE2" : "");
          }
        }
      }
    }
  }
  xml_scan_narrow = false;
}

// A run that fills the string arena to its last byte: every arena size against characters of
// every length right after a block, in every context that keeps text. The arena ends where its
// memory ends, so a byte written past it is caught.
TEST(xml_fast_path, runs_stop_at_the_last_byte_of_a_full_string_arena) {
  const char *contexts[][2] = {{"<a>", "</a>"}, {"<a x='", "'/>"}, {"<a><![CDATA[", "]]></a>"}, {"<a><!--", "--></a>"}};
  for (u32 enc : {(u32)enc_utf8, (u32)enc_utf16le, 22u, 35u}) {
    for (const auto &ctx : contexts) {
      for (u32 k = 0; k < 16; k++) {
        std::vector<u32> doc;
        for (const char *s = ctx[0]; *s; s++) doc.push_back((u8)*s);
        for (u32 i = 0; i < k; i++) doc.push_back('a' + i % 26);
        // Non-ASCII after ASCII, again and again: in the byte encodings raw bytes that the
        // codecs decode (windows-1252 letters, Shift_JIS pairs).
        for (u32 i = 0; i < 6; i++) {
          if (enc == enc_utf8 || enc == enc_utf16le) doc.push_back(i % 2 ? 0x20AC : 0x1F600);
          else doc.push_back(raw | 0xE9), doc.push_back(raw | (enc == 35 ? 0x82 : 0xEA)), doc.push_back(raw | 0xA0);
          for (u32 j = 0; j < 13; j++) doc.push_back('b');
          doc.push_back(i % 3 ? '&' : 'c'), doc.push_back('#'), doc.push_back('6'), doc.push_back('6'), doc.push_back(';');
        }
        for (const char *s = ctx[1]; *s; s++) doc.push_back((u8)*s);
        std::string bytes = encode(doc, enc);
        for (u64 room = 1; room <= 120; room++)
          EXPECT_EQ(parse_with(bytes, enc, true, room), parse_with(bytes, enc, false, room))
              << ctx[0] << " offset " << k << " arena " << room << " encoding " << enc;
      }
    }
  }
}

// A UTF-8 document parsed on the fast paths in both their builds (the processor's widest and
// SSE2 alone) and on the general path: all three alike.
void expect_utf8_alike(const std::string &bytes, const std::string &what, u64 string_bytes = 0, u64 node_bytes = 0) {
  outcome general = parse_with(bytes, enc_utf8, false, string_bytes, node_bytes);
  for (bool narrow : {false, true}) {
    xml_scan_narrow = narrow;
    outcome fast = parse_with(bytes, enc_utf8, true, string_bytes, node_bytes);
    xml_scan_narrow = false;
    EXPECT_EQ(fast, general) << what << (narrow ? " (SSE2)" : "");
  }
}

// Every well-formed and broken form of a UTF-8 sequence, after every number of bytes up to a few
// blocks, so that it lies anywhere in a block of either width and across the end of one, in every
// run the content loop reads (text, CDATA, attribute values), between other non-ASCII characters
// or ASCII ones. A block with a broken sequence anywhere is read byte by byte, so the good
// sequences before the bad one are tried too.
TEST(xml_fast_path, utf8_sequences_anywhere_in_a_block_read_alike) {
  const char *forms[] = {
      "\xC3\xA9", "\xDF\xBF", "\xE2\x82\xAC", "\xEF\xBF\xBD", "\xEF\xBF\xBC", "\xF0\x9F\x98\x80", "\xF4\x8F\xBF\xBF",
      // no Chars: U+FFFE and U+FFFF
      "\xEF\xBF\xBE", "\xEF\xBF\xBF",
      // overlong, surrogate, past U+10FFFF, leads that cannot start anything
      "\xC0\x80", "\xC1\xBF", "\xE0\x80\x80", "\xE0\x9F\xBF", "\xED\xA0\x80", "\xED\xBF\xBF", "\xF0\x80\x80\x80",
      "\xF0\x8F\xBF\xBF", "\xF4\x90\x80\x80", "\xF5\x80\x80\x80", "\xF8\x88\x80\x80\x80", "\xFF",
      // cut short, or a continuation byte too many or alone
      "\xE2\x82", "\xF0\x9F\x98", "\xC3", "\xC3\xA9\xA9", "\x80", "\xBF\xBF", "\xE2\x82\xAC\x80",
      // line ends beside them
      "\r\n", "\r", "\r\xC3\xA9", "\xE2\x82\xAC\r\n", "\xE2\x82\r\n", "\r\r\n\n"};
  const char *contexts[][2] = {{"<a>", "</a>"}, {"<a><![CDATA[", "]]></a>"}, {"<a b='", "'/>"}, {"<a b=\"", "\">x</a>"}};
  const char *fillers[] = {"abcdefg ", "\xC3\xA9t\xC3\xA9 ", "\xE6\x97\xA5\xE6\x9C\xAC ", "x\xF0\x9F\x98\x80"};
  for (const auto &ctx : contexts) {
    for (const char *filler : fillers) {
      for (const char *form : forms) {
        for (u32 k = 0; k < 70; k++) {
          std::string body;
          while (body.size() < k) body += filler;
          body.resize(k);  // may cut a filler character: then the run breaks there already
          std::string doc = std::string("<r>") + ctx[0] + body + form + "tail" + ctx[1] + "</r>";
          expect_utf8_alike(doc, std::string(ctx[0]) + " offset " + std::to_string(k));
        }
      }
    }
  }
}

// Broken UTF-8 in every text the content loop and the productions keep: one U+FFFD per maximal
// subpart, as the web's decoder gives, on the general path and the fast paths in both builds,
// after ASCII or two-byte text of every length so that it lies anywhere in a block.
TEST(xml_fast_path, broken_utf8_reads_as_one_replacement_per_maximal_subpart) {
  // The document around the text, and the tree around it.
  const char *contexts[][4] = {{"<a>", "</a>", "0(22<a>(19[", "]()))"},
                               {"<a><![CDATA[", "]]></a>", "0(22<a>(20[", "]()))"},
                               {"<a><!--", "--></a>", "0(22<a>(3[", "]()))"},
                               {"<a b='", "'/>", "0(22<a b=[", "]/>())"}};
  for (const std::vector<u8> &broken : utf8_broken_inputs()) {
    std::string want_broken = utf8_model_text(utf8_model(broken));
    for (const auto &ctx : contexts) {
      for (u32 k : {0u, 1u, 7u, 14u, 15u, 16u, 30u, 31u, 33u}) {
        std::string body;
        for (u32 i = 0; body.size() < k; i++) body += i % 3 ? "x" : "\xC3\xA9";
        body.resize(k);
        if (!body.empty() && ((u8)body.back() & 0xE0) == 0xC0) body.back() = 'y';
        std::string doc = ctx[0] + body + std::string(broken.begin(), broken.end()) + ctx[1];
        std::string want = ctx[2] + body + want_broken + ctx[3];
        for (int mode = 0; mode < 3; mode++) {
          xml_scan_narrow = mode == 2;
          outcome o = parse_with(doc, enc_utf8, mode != 0);
          xml_scan_narrow = false;
          EXPECT_EQ(o.error, 0u) << "mode " << mode << utf8_model_hex(broken);
          EXPECT_EQ(o.tree, want) << "mode " << mode << " " << ctx[0] << " offset " << k << utf8_model_hex(broken);
        }
      }
    }
  }
}

// Elements whose names the content loop leaves to the productions enter the loop once each. The
// walk back from the end that bounds its scans is made once a parse, not once an entry, so a long
// run of white space after the root is walked once whatever the number of such elements: the
// bytes walked grow with the document, at n elements and at 4n.
TEST(xml_fast_path, the_content_loop_walks_back_from_the_end_once_a_parse) {
  auto walked = [](u32 n) {
    std::string doc = "<r>";
    for (u32 i = 0; i < n; i++) doc += "<\xC3\xA9>x</\xC3\xA9>";
    doc += "</r>" + std::string(50 * n, '\n');
    xml_test_doc d;
    xml_test_parse(&d, doc, 4 * (u64)n * sizeof(xml_node) + MiB(1), 2 * doc.size());
    EXPECT_EQ(d.error, 0u);
    EXPECT_EQ(xml_test_root(&d)->last_child->type, xml_node_type_element);
    return d.parser.content_bound_steps;
  };
  u64 at_n = walked(2000), at_4n = walked(8000);
  EXPECT_GE(at_n, 50u * 2000);
  EXPECT_LE(at_4n, 4 * at_n + 64);
}

// A node arena whose free end is not on a word: the productions pad the first node, after which
// the content loop goes on alike.
TEST(xml_fast_path, a_node_arena_that_starts_unaligned_reads_alike) {
  std::string doc = "<r a='1'>\n  <b>x &amp; y</b><c/><d e=\"f\"><![CDATA[z]]></d>\n</r>";
  u64 nodes = 40 * sizeof(xml_node);
  for (u64 skew = 0; skew < 8; skew++) expect_utf8_alike(doc, "skew " + std::to_string(skew), 0, nodes - skew);
  expect_utf8_alike("<r></r>", "empty, skew 3", 0, 10 * sizeof(xml_node) - 3);
}

// Every size of the node arena, so that it fills at each node the loop makes (an element, an
// attribute in the middle of a tag, text, CDATA) and the productions report it where they would.
TEST(xml_fast_path, a_node_arena_that_fills_at_every_node_reads_alike) {
  std::string doc = "<r>\n <a x='1' y='2' z='3'>t</a><b/><![CDATA[c]]>&#65;<d><e f='g'>h</e></d>\n</r>";
  for (u64 n = 1; n <= 24; n++) expect_utf8_alike(doc, std::to_string(n) + " nodes", 0, n * sizeof(xml_node));
}

// Elements nested to the bound and one past it, opened by the content loop: the same error at the
// same place, whether the element is empty, has content, or attributes.
TEST(xml_fast_path, nesting_at_the_bound_reads_alike) {
  for (u32 depth : {XML_MAX_DEPTH - 1, XML_MAX_DEPTH, XML_MAX_DEPTH + 1}) {
    for (const char *innermost : {"<x/>", "<x>t</x>", "<x k='v'/>", "text"}) {
      std::string doc;
      for (u32 i = 0; i < depth; i++) doc += i % 2 ? "<a>" : "<b c='d'>";
      doc += innermost;
      for (u32 i = depth; i-- > 0;) doc += i % 2 ? "</a>" : "</b>";
      expect_utf8_alike(doc, "depth " + std::to_string(depth) + " " + innermost);
    }
  }
}

// End tags of names of every length up to a few blocks, well-formed or not: white space before
// ">", a name one byte longer or shorter, a different last byte, a byte above 0x7F after the
// name, the input ending inside the tag.
TEST(xml_fast_path, end_tags_of_every_name_length_read_alike) {
  for (u32 n = 1; n < 70; n++) {
    std::string name;
    for (u32 i = 0; i < n; i++) name += "abcdefghij-._:0"[i % 15];
    std::string start = "<r><" + name + " k='v'>text";
    const std::string ends[] = {"</" + name + ">",       "</" + name + " \n\t>",  "</" + name + "x>",
                                "</" + name.substr(0, n - 1) + ">", "</" + name.substr(0, n - 1) + "Q>",
                                "</" + name + "\xC3\xA9>", "</" + name + "/>"};
    for (const std::string &end : ends) {
      std::string doc = start + end + "</r>";
      expect_utf8_alike(doc, "name length " + std::to_string(n) + " " + end);
      for (u32 cut = 1; cut <= end.size() + 4; cut += 3) expect_utf8_alike(doc.substr(0, doc.size() - cut), "cut");
    }
  }
}

// Start tags the content loop reads, the input ending at every byte of them: after a name, an
// "=", a quote, inside and right after a value, inside "/>".
TEST(xml_fast_path, start_tags_cut_anywhere_read_alike) {
  const std::string tags[] = {"<item>", "<e a='1'>", "<link rel=\"alternate\" href='https://example.org/'/>",
                              "<x  y = \"z&amp;\" />", "<p q='\xC3\xA9'\t\n>"};
  for (const std::string &tag : tags) {
    std::string doc = "<r>\n  <a>t</a>" + tag;
    for (u32 keep = 0; keep <= tag.size(); keep++)
      expect_utf8_alike(doc.substr(0, doc.size() - tag.size() + keep), tag + " cut after " + std::to_string(keep));
  }
}

// Lines and columns where the productions take over from the content loop and hand back to it:
// every form of line end before and after an item they read (a comment, a processing
// instruction, an entity reference, text with a byte the loop does not take), and a document on
// one line.
TEST(xml_fast_path, lines_and_columns_across_hand_overs_read_alike) {
  const char *line_ends[] = {"", "\n", "\r", "\r\n", "\n\r", "\r\r\n"};
  const char *items[] = {"<!-- c -->", "<?p d?>", "&foo;", "x\x01y", "<![CDATA[a\r\nb]]>", "<e f='1\r\n2'/>", "\xC3\xA9"};
  for (const char *before : line_ends) {
    for (const char *after : line_ends) {
      for (const char *item : items) {
        std::string doc = std::string("<r>\n  <a>t") + before + item + after + "u</a>" + after + "<b>\xE6\x97\xA5</b>\n</r>";
        expect_utf8_alike(doc, "item " + std::string(item));
      }
    }
  }
  std::string line = "<?xml version='1.0'?><r>";
  for (u32 i = 0; i < 300; i++) line += "<i n='" + std::to_string(i) + "'>caf\xC3\xA9 &amp; \xE6\x97\xA5</i>";
  expect_utf8_alike(line + "</r>", "one line");
  expect_utf8_alike(line + "<!-- c -->\r</r>", "one line, a comment and a CR");
  expect_utf8_alike(line + "<i>\x02</i></r>", "one line, an error at its end");
}

// A tree that needs the node arena to commit more memory several times while the content loop
// runs: the loop stops, the reservation grows, and the tree and arena use are the general path's.
TEST(xml_fast_path, reserved_arenas_grow_under_the_content_loop) {
  std::string doc = "<r>";
  for (u32 i = 0; i < 6000; i++) doc += "<e a='" + std::to_string(i) + "'>a little text<f/></e>\n";
  doc += "</r>\n";
  xml_memory m;
  ASSERT_TRUE(xml_memory_reserve(&m, doc.size()));
  xml_parser p;
  xml_error e = 0;
  xml_parse_reserved(&p, &m, string_from_bytes(doc.data(), doc.size()), &e);
  outcome general = parse_with(doc, enc_utf8, false);
  ASSERT_EQ(e, 0u);
  ASSERT_EQ(general.error, 0u);
  EXPECT_GT(p.nodes.used, 4 * MiB(1));  // grown at least four times
  EXPECT_EQ(p.nodes.used, general.nodes_used);
  EXPECT_EQ(p.strings.used, general.strings_used);
  EXPECT_EQ(p.cursor.line, general.line);
  EXPECT_EQ(p.cursor.column, general.column);
  EXPECT_EQ(xml_test_dump(p.top), general.tree);
  xml_memory_release(&m);
}

// One start tag with more attributes than the node arena has room for when the content loop
// meets it: the arena grows, and the loop reads the tag again once, not once for every step of
// the growth. The bytes it reads again grow with the tag, at n attributes and at 4n.
TEST(xml_fast_path, a_start_tag_that_outgrows_the_node_arena_is_read_again_once) {
  auto reread = [](u32 n) {
    std::string doc = "<r><e";
    char attribute[32];
    for (u32 i = 0; i < n; i++) {
      snprintf(attribute, sizeof attribute, " a%07u='v'", i);
      doc += attribute;
    }
    doc += "/></r>";
    xml_memory m;
    EXPECT_TRUE(xml_memory_reserve(&m, doc.size()));
    xml_parser p;
    xml_error e = 0;
    xml_parse_reserved(&p, &m, string_from_bytes(doc.data(), doc.size()), &e);
    EXPECT_EQ(e, 0u);
    u32 attributes = 0;
    if (!e)
      for (xml_node *a = p.top->first_child->first_child->first_attribute; a; a = a->next) attributes++;
    EXPECT_EQ(attributes, n);
    u64 bytes = p.content_reread_bytes;
    xml_memory_release(&m);
    return bytes;
  };
  u64 at_n = reread(20000), at_4n = reread(80000);
  EXPECT_GT(at_n, 0u);
  EXPECT_LE(at_4n, 4 * at_n + 64);
}

// Text in single-byte encodings goes to the run decoder a stretch at a time: stretches of
// non-ASCII bytes of every length, with a byte the table has no character for (ISO-8859-3 has
// holes) anywhere in them, in every context that keeps text, and string arenas that fill at
// every byte of them.
TEST(xml_fast_path, single_byte_stretches_read_alike) {
  const char *contexts[][2] = {{"<a>", "</a>"}, {"<a x='", "'/>"}, {"<a><![CDATA[", "]]></a>"}, {"<a><!--", "--></a>"}};
  const u32 iso_8859_3 = 4, windows_1252 = 22, koi8_r = 16;
  for (u32 enc : {iso_8859_3, windows_1252, koi8_r}) {
    for (const auto &ctx : contexts) {
      for (u32 length = 1; length < 40; length += 3) {
        for (u32 hole = 0; hole <= length; hole += 5) {
          std::string doc = std::string(ctx[0]) + "ab\tc ";
          for (u32 i = 0; i < length; i++) doc += (char)(i == hole ? 0xA5 : 0xC0 + i % 30);
          doc += " de\nf";
          doc += ctx[1];
          std::string what = std::string(ctx[0]) + " encoding " + std::to_string(enc) + " length " + std::to_string(length);
          EXPECT_EQ(parse_with(doc, enc, true), parse_with(doc, enc, false)) << what;
          for (u64 room = 1; room < 2 * length + 16; room += 1 + room / 8)
            EXPECT_EQ(parse_with(doc, enc, true, room), parse_with(doc, enc, false, room)) << what << " arena " << room;
        }
      }
    }
  }
}

TEST(xml_fast_path, utf16_pairs_arrive_whole) {
  // The pair itself arrives whole in the text.
  std::string doc = encode({'<', 'a', '>', 'x', raw | 0xD83D, raw | 0xDE00, '<', '/', 'a', '>'}, enc_utf16le);
  xml_test_doc d;
  xml_test_parse(&d, "\xFF\xFE" + doc);
  ASSERT_EQ(d.error, 0u);
  EXPECT_EQ(xml_test_dump(d.parser.top), "0(22<a>(19[x\xF0\x9F\x98\x80]()))");
}

}  // namespace

// Parses the same feed documents with Quillmere's XML parser and three peers: expat (callbacks
// only, nothing built), libxml2 (a tree from xmlReadMemory) and pugixml (load_buffer). Prints
// MB/s per parser and document, then each peer's speed relative to ours. A windows-1251 feed is
// read by ours and libxml2 alone: the other two do not decode it.
//
//   xml_bench                  the benchmarks (Google Benchmark flags apply)
//   xml_bench --check FILE...  parses each file and prints "PATH ok" or
//                              "PATH error NAME LINE COLUMN"; a UTF-8 or UTF-16 file that
//                              parses is also read by expat, and where expat's tree is not
//                              ours, or expat refuses the file, the line says so
//   xml_bench --dump DIR       writes the generated documents to DIR/NAME.xml, a corpus as
//                              DIR/NAME_K.xml (for profiling one parse with --check under a tool)
#include <benchmark/benchmark.h>
#include <expat.h>
#include <libxml/parser.h>
#include <math.h>
#include <stdio.h>
#include <string.h>

#include <map>
#include <pugixml.hpp>
#include <string>
#include <vector>

#include "xml/xml.h"

// ---- Documents ---------------------------------------------------------------------------

// A fixed-seed generator, so every run measures the same bytes.
struct feed_random {
  u64 s;
  u32 next() {
    s = s * 6364136223846793005ull + 1442695040888963407ull;
    return (u32)(s >> 33);
  }
  u32 below(u32 n) { return next() % n; }
};

static const char *words_ascii[] = {"the", "feed", "reader", "update", "podcast", "episode", "news", "market",
                                    "weather", "release", "version", "notes", "about", "with", "from", "today"};
static const char *words_latin1[] = {"caf\xC3\xA9", "na\xC3\xAFve", "Z\xC3\xBCrich", "se\xC3\xB1or", "\xC3\xA0 la",
                                     "d\xC3\xA9j\xC3\xA0", "gar\xC3\xA7on", "\xC3\xB8re"};
static const char *words_wide[] = {"\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E", "\xCE\x95\xCE\xBB\xCE\xBB\xCE\xB7\xCE\xBD\xCE\xB9\xCE\xBA\xCE\xAC",
                                   "\xD0\xBD\xD0\xBE\xD0\xB2\xD0\xBE\xD1\x81\xD1\x82\xD0\xB8", "\xF0\x9F\x98\x80",
                                   "\xE2\x80\x94", "\xE2\x80\x9C" "quoted" "\xE2\x80\x9D"};

static const char *words_cyrillic[] = {"\xD0\xBD\xD0\xBE\xD0\xB2\xD0\xBE\xD1\x81\xD1\x82\xD0\xB8",
                                       "\xD0\xBF\xD0\xBE\xD0\xB3\xD0\xBE\xD0\xB4\xD0\xB0",
                                       "\xD1\x80\xD1\x8B\xD0\xBD\xD0\xBE\xD0\xBA",
                                       "\xD0\xB2\xD1\x8B\xD0\xBF\xD1\x83\xD1\x81\xD0\xBA",
                                       "\xD1\x81\xD0\xB5\xD0\xB3\xD0\xBE\xD0\xB4\xD0\xBD\xD1\x8F",
                                       "\xD0\x9B\xD0\xB5\xD0\xBD\xD1\x82\xD0\xB0",
                                       "\xD0\xB7\xD0\xB0\xD0\xBC\xD0\xB5\xD1\x82\xD0\xBA\xD0\xB8",
                                       "\xD1\x91\xD0\xBB\xD0\xBA\xD0\xB0"};

// Which words a sentence takes beside ASCII ones: a few Latin-1 and other scripts, Latin-1 alone,
// or mostly Cyrillic.
enum : u32 { words_mixed, words_latin1_only, words_mostly_cyrillic };

static std::string sentence(feed_random *r, u32 words, u32 kind) {
  std::string s;
  for (u32 i = 0; i < words; i++) {
    if (i) s += ' ';
    u32 k = r->below(20);
    if (kind == words_mostly_cyrillic) s += k < 14 ? words_cyrillic[r->below(array_count(words_cyrillic))]
                                                   : words_ascii[r->below(array_count(words_ascii))];
    else if (k < 2) s += words_latin1[r->below(array_count(words_latin1))];
    else if (k < 3 && kind == words_mixed) s += words_wide[r->below(array_count(words_wide))];
    else s += words_ascii[r->below(array_count(words_ascii))];
  }
  return s;
}

// An RSS 2.0 or Atom document of about target bytes in UTF-8.
static std::string make_feed(bool atom, u64 target, u64 seed, u32 words, const char *encoding_label) {
  feed_random r{seed};
  std::string d = std::string("<?xml version=\"1.0\" encoding=\"") + encoding_label + "\"?>\n";
  if (!atom) {
    d += "<rss version=\"2.0\" xmlns:content=\"http://purl.org/rss/1.0/modules/content/\">\n<channel>\n";
    d += "  <title>" + sentence(&r, 4, words) + "</title>\n  <link>https://example.org/</link>\n";
  } else {
    d += "<feed xmlns=\"http://www.w3.org/2005/Atom\">\n  <title type=\"text\">" + sentence(&r, 4, words) +
         "</title>\n  <id>urn:uuid:60a76c80-d399-11d9-b93C-0003939e0af6</id>\n";
  }
  for (u32 n = 0; d.size() < target; n++) {
    std::string num = std::to_string(n);
    if (!atom) {
      d += "  <item>\n    <title>" + sentence(&r, 6, words) + " &amp; more #" + num + "</title>\n";
      d += "    <link>https://example.org/items/" + num + "?a=1&amp;b=2</link>\n";
      d += "    <guid isPermaLink=\"false\">item-" + num + "</guid>\n";
      d += "    <pubDate>Mon, 0" + std::to_string(1 + n % 9) + " Jan 2024 10:00:00 +0000</pubDate>\n";
      d += "    <description>&lt;p&gt;" + sentence(&r, 30, words) + " &lt;a href=&quot;https://example.org/" +
           num + "&quot;&gt;link&lt;/a&gt; &#8212; &#x2026;&lt;/p&gt;</description>\n";
      d += "    <content:encoded><![CDATA[<p>" + sentence(&r, 60, words) + "</p><img src=\"x.png\"/>]]></content:encoded>\n";
      d += "    <enclosure url=\"https://example.org/ep" + num + ".mp3\" length=\"" + std::to_string(r.next()) +
           "\" type=\"audio/mpeg\"/>\n  </item>\n";
    } else {
      d += "  <entry>\n    <title>" + sentence(&r, 6, words) + "</title>\n";
      d += "    <link rel=\"alternate\" href=\"https://example.org/e/" + num + "\"/>\n";
      d += "    <id>tag:example.org,2024:" + num + "</id>\n    <updated>2024-01-01T10:00:00Z</updated>\n";
      d += "    <summary type=\"html\">&lt;b&gt;" + sentence(&r, 20, words) + "&lt;/b&gt;</summary>\n";
      d += "    <content type=\"xhtml\"><div xmlns=\"http://www.w3.org/1999/xhtml\"><p>" + sentence(&r, 40, words) +
           " <a href=\"https://example.org/\">a &lt;link&gt;</a></p><p><em>" + sentence(&r, 10, words) +
           "</em></p></div></content>\n  </entry>\n";
    }
  }
  d += atom ? "</feed>\n" : "</channel>\n</rss>\n";
  return d;
}

// UTF-8 text whose characters are all below U+0100, as Latin-1 bytes.
static std::string to_latin1(const std::string &s) {
  std::string o;
  for (size_t i = 0; i < s.size(); i++) {
    u8 b = (u8)s[i];
    if (b < 0x80) o += (char)b;
    else o += (char)(((b & 0x1F) << 6) | ((u8)s[++i] & 0x3F));
  }
  return o;
}

// UTF-8 text of ASCII and the Russian letters (U+0401, U+0410..U+044F, U+0451) as windows-1251.
static std::string to_windows_1251(const std::string &s) {
  std::string o;
  for (size_t i = 0; i < s.size(); i++) {
    u8 b = (u8)s[i];
    if (b < 0x80) {
      o += (char)b;
      continue;
    }
    u32 cp = ((b & 0x1F) << 6) | ((u8)s[++i] & 0x3F);
    o += (char)(cp == 0x401 ? 0xA8 : cp == 0x451 ? 0xB8 : 0xC0 + (cp - 0x410));
  }
  return o;
}

static std::string to_utf16le(const std::string &s) {
  std::string o = "\xFF\xFE";
  for (size_t i = 0; i < s.size();) {
    u8 b = (u8)s[i];
    u32 c, n = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
    c = n == 1 ? b : n == 2 ? b & 0x1F : n == 3 ? b & 0xF : b & 7;
    for (u32 k = 1; k < n; k++) c = c << 6 | ((u8)s[i + k] & 0x3F);
    i += n;
    auto unit = [&](u32 u) { o += (char)(u & 0xFF), o += (char)(u >> 8); };
    if (c >= 0x10000) unit(0xD800 + ((c - 0x10000) >> 10)), unit(0xDC00 + ((c - 0x10000) & 0x3FF));
    else unit(c);
  }
  return o;
}

// One benchmark's input: a single document, or a corpus parsed one document after another.
struct bench_doc {
  const char *name;
  std::vector<std::string> parts;
  u64 bytes = 0;
};
static std::vector<bench_doc> docs;

static void add_doc(const char *name, std::vector<std::string> parts) {
  bench_doc d{name, std::move(parts)};
  for (const std::string &s : d.parts) d.bytes += s.size();
  docs.push_back(std::move(d));
}

// The same feed as servers send it in other shapes: without indentation, with CR LF line ends,
// or with a style sheet and a comment before the root.
static std::string reshape(std::string d, u32 shape) {
  if (shape == 1) {
    std::string o;
    for (size_t i = 0; i < d.size(); i++) {
      if (d[i] == '\n' && i > 40) {  // keep the line after the declaration
        while (i + 1 < d.size() && d[i + 1] == ' ') i++;
        continue;
      }
      o += d[i];
    }
    return o;
  }
  if (shape == 2) {
    std::string o;
    for (char ch : d) o += ch == '\n' ? std::string("\r\n") : std::string(1, ch);
    return o;
  }
  if (shape == 3) {
    size_t after = d.find("?>") + 3;
    d.insert(after, "<?xml-stylesheet type=\"text/xsl\" href=\"/feed.xsl\"?>\n<!-- generated by the site -->\n");
  }
  return d;
}

// Feeds as a reader fetches them: many documents of 5 to 200 KB, RSS and Atom, in every shape.
static std::vector<std::string> make_corpus() {
  std::vector<std::string> out;
  feed_random r{77};
  const u32 count = 64;
  for (u32 i = 0; i < count; i++) {
    u64 target = (u64)(5e3 * pow(40.0, (double)i / (count - 1)));
    out.push_back(reshape(make_feed(r.below(3) == 0, target, 100 + i, words_mixed, "utf-8"), r.below(4)));
  }
  return out;
}

static void make_docs() {
  add_doc("rss_1MB", {make_feed(false, 1 << 20, 1, words_mixed, "utf-8")});
  add_doc("atom_1MB", {make_feed(true, 1 << 20, 2, words_mixed, "utf-8")});
  add_doc("rss_5MB", {make_feed(false, 5 << 20, 3, words_mixed, "utf-8")});
  add_doc("rss_100KB", {make_feed(false, 100 << 10, 4, words_mixed, "utf-8")});
  add_doc("feeds_5KB_200KB", make_corpus());
  // Expat knows ISO-8859-1 but not the windows-1252 label; the text avoids 0x80..0x9F, where
  // the two differ, so every parser reads the same characters.
  add_doc("rss_latin1_1MB", {to_latin1(make_feed(false, 1 << 20, 5, words_latin1_only, "ISO-8859-1"))});
  add_doc("rss_utf16_1MB", {to_utf16le(make_feed(false, 1 << 20, 6, words_mixed, "UTF-16"))});
  // Expat and pugixml do not decode windows-1251: only libxml2 is measured beside ours.
  add_doc("rss_cp1251_1MB", {to_windows_1251(make_feed(false, 1 << 20, 7, words_mostly_cyrillic, "windows-1251"))});
}

// ---- Parsers -----------------------------------------------------------------------------

static xml_memory quill_memory;

static void bm_quillmere(benchmark::State &state, const bench_doc *d) {
  for (auto _ : state) {
    for (const std::string &s : d->parts) {
      xml_parser p;
      xml_error e = 0;
      xml_parse_reserved(&p, &quill_memory, string_from_bytes(s.data(), s.size()), &e);
      if (e) state.SkipWithError((const char *)xml_error_name(e).data);
      benchmark::DoNotOptimize(p.top);
    }
  }
  state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)d->bytes);
}

static void XMLCALL expat_start(void *, const XML_Char *, const XML_Char **) {}
static void XMLCALL expat_end(void *, const XML_Char *) {}
static void XMLCALL expat_text(void *, const XML_Char *, int) {}

static void bm_expat(benchmark::State &state, const bench_doc *d) {
  for (auto _ : state) {
    for (const std::string &s : d->parts) {
      XML_Parser p = XML_ParserCreate(nullptr);
      XML_SetElementHandler(p, expat_start, expat_end);
      XML_SetCharacterDataHandler(p, expat_text);
      if (XML_Parse(p, s.data(), (int)s.size(), 1) != XML_STATUS_OK) state.SkipWithError("expat failed");
      XML_ParserFree(p);
    }
  }
  state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)d->bytes);
}

static void bm_libxml2(benchmark::State &state, const bench_doc *d) {
  for (auto _ : state) {
    for (const std::string &s : d->parts) {
      xmlDocPtr doc = xmlReadMemory(s.data(), (int)s.size(), "feed.xml", nullptr, XML_PARSE_NONET);
      if (!doc) state.SkipWithError("libxml2 failed");
      xmlFreeDoc(doc);
    }
  }
  state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)d->bytes);
}

static void bm_pugixml(benchmark::State &state, const bench_doc *d) {
  for (auto _ : state) {
    for (const std::string &s : d->parts) {
      pugi::xml_document doc;
      pugi::xml_parse_result r = doc.load_buffer(s.data(), s.size());
      if (!r) state.SkipWithError("pugixml failed");
      benchmark::DoNotOptimize(doc.first_child());
    }
  }
  state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)d->bytes);
}

// ---- Ratios ------------------------------------------------------------------------------

// Keeps every run's throughput so the ratios can be printed after the console table.
struct ratio_reporter : benchmark::ConsoleReporter {
  std::map<std::string, std::map<std::string, double>> speed;  // document -> parser -> MB/s
  void ReportRuns(const std::vector<Run> &runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run &r : runs) {
      // With repetitions only the medians count: a run that another program slowed moves them least.
      bool median = r.run_type == Run::RT_Aggregate && r.aggregate_name == "median";
      if (r.error_occurred || (r.run_type != Run::RT_Iteration && !median)) continue;
      if (r.run_type == Run::RT_Iteration && r.repetitions > 1) continue;
      std::string name = r.run_name.function_name;
      size_t slash = name.find('/');
      if (slash == std::string::npos) continue;
      auto it = r.counters.find("bytes_per_second");
      if (it != r.counters.end()) speed[name.substr(slash + 1)][name.substr(0, slash)] = it->second / 1e6;
    }
  }
};

// ---- Trees compared with expat (--check) --------------------------------------------------

// A document's content in a form both parsers give: elements with their attributes in order,
// text with adjacent pieces joined (character data, CDATA sections, references), comments and
// processing instructions. White space outside the root, declarations and the document type are
// left out: expat reports none of them as content.
struct tree_text {
  std::string out, text;
  void flush() {
    if (!text.empty()) out += "T[" + text + "]", text.clear();
  }
};

static std::string text_of(buffer b) { return std::string((const char *)b.data, b.used); }

static void tree_of_ours(const xml_node *n, tree_text *t) {
  switch (n->type) {
    case xml_node_type_element:
      t->flush();
      t->out += "<" + text_of(n->name);
      for (const xml_node *a = n->first_attribute; a; a = a->next) t->out += " " + text_of(a->name) + "=[" + text_of(a->value) + "]";
      t->out += ">";
      for (const xml_node *c = n->first_child; c; c = c->next) tree_of_ours(c, t);
      t->flush();
      t->out += "</>";
      break;
    case xml_node_type_character_data:
    case xml_node_type_cdata_section:
    case xml_node_type_reference: t->text += text_of(n->text); break;
    case xml_node_type_comment: t->flush(), t->out += "C[" + text_of(n->text) + "]"; break;
    case xml_node_type_processing_instruction:
      t->flush(), t->out += "P[" + text_of(n->target) + " " + text_of(n->data) + "]";
      break;
    case xml_node_type_document:
      for (const xml_node *c = n->first_child; c; c = c->next) tree_of_ours(c, t);
      break;
    default: break;
  }
}

static void XMLCALL tree_start(void *u, const XML_Char *name, const XML_Char **atts) {
  tree_text *t = (tree_text *)u;
  t->flush();
  t->out += std::string("<") + name;
  for (u32 i = 0; atts[i]; i += 2) t->out += std::string(" ") + atts[i] + "=[" + atts[i + 1] + "]";
  t->out += ">";
}
static void XMLCALL tree_end(void *u, const XML_Char *) {
  tree_text *t = (tree_text *)u;
  t->flush();
  t->out += "</>";
}
static void XMLCALL tree_chars(void *u, const XML_Char *s, int n) { ((tree_text *)u)->text.append(s, (size_t)n); }
static void XMLCALL tree_comment(void *u, const XML_Char *s) {
  tree_text *t = (tree_text *)u;
  t->flush();
  t->out += std::string("C[") + s + "]";
}
static void XMLCALL tree_pi(void *u, const XML_Char *target, const XML_Char *data) {
  tree_text *t = (tree_text *)u;
  t->flush();
  t->out += std::string("P[") + target + " " + data + "]";
}

// ", expat ..." when expat refuses the bytes or reads another tree from them; empty when alike.
static std::string compare_with_expat(const std::string &bytes, const xml_parser &p) {
  tree_text ours, theirs;
  tree_of_ours(p.top, &ours);
  XML_Parser x = XML_ParserCreate(nullptr);
  XML_SetUserData(x, &theirs);
  XML_SetElementHandler(x, tree_start, tree_end);
  XML_SetCharacterDataHandler(x, tree_chars);
  XML_SetCommentHandler(x, tree_comment);
  XML_SetProcessingInstructionHandler(x, tree_pi);
  bool parsed = XML_Parse(x, bytes.data(), (int)bytes.size(), 1) == XML_STATUS_OK;
  std::string note;
  if (!parsed) {
    note = std::string(", expat refuses it: ") + XML_ErrorString(XML_GetErrorCode(x));
  } else if (theirs.out != ours.out) {
    size_t k = 0;
    while (k < ours.out.size() && k < theirs.out.size() && ours.out[k] == theirs.out[k]) k++;
    size_t from = k > 40 ? k - 40 : 0;
    note = ", expat's tree differs at " + std::to_string(k) + ": ours ..." + ours.out.substr(from, 80) +
           "... expat's ..." + theirs.out.substr(from, 80) + "...";
  }
  XML_ParserFree(x);
  return note;
}

static int check_files(int argc, char **argv) {
  for (int i = 2; i < argc; i++) {
    FILE *f = fopen(argv[i], "rb");
    std::string bytes;
    if (f) {
      char chunk[65536];
      size_t n;
      while ((n = fread(chunk, 1, sizeof chunk, f)) > 0) bytes.append(chunk, n);
      fclose(f);
    } else {
      printf("%s error cannot_open 0 0\n", argv[i]);
      continue;
    }
    // Reserved for this file's size, so a document of any length gets the room it needs.
    xml_memory m;
    if (!xml_memory_reserve(&m, bytes.size())) {
      printf("%s error out_of_memory 0 0\n", argv[i]);
      continue;
    }
    xml_parser p;
    xml_error e = 0;
    xml_parse_reserved(&p, &m, string_from_bytes(bytes.data(), bytes.size()), &e);
    if (!e) {
      // Expat decodes UTF-8 and UTF-16 as we do; its other encodings are not the web's.
      bool comparable = p.encoding == XML_ENCODING_UTF8 || p.encoding == XML_ENCODING_UTF16LE ||
                        p.encoding == XML_ENCODING_UTF16BE;
      std::string note = comparable ? compare_with_expat(bytes, p) : std::string();
      printf("%s ok%s\n", argv[i], note.c_str());
    } else {
      buffer name = xml_error_name(e);
      u32 line = e == xml_error_invalid_encoding ? 0 : p.cursor.line;
      u32 column = e == xml_error_invalid_encoding ? 0 : p.cursor.column;
      printf("%s error %.*s %u %u\n", argv[i], (int)name.used, (const char *)name.data, line, column);
    }
    xml_memory_release(&m);
  }
  return 0;
}

static int dump_docs(const char *dir) {
  make_docs();
  for (const bench_doc &d : docs) {
    for (size_t k = 0; k < d.parts.size(); k++) {
      std::string path = std::string(dir) + "/" + d.name + (d.parts.size() > 1 ? "_" + std::to_string(k) : "") + ".xml";
      FILE *f = fopen(path.c_str(), "wb");
      if (!f) return 1;
      bool ok = fwrite(d.parts[k].data(), 1, d.parts[k].size(), f) == d.parts[k].size();
      fclose(f);
      if (!ok) return 1;
    }
  }
  return 0;
}

int main(int argc, char **argv) {
  if (argc >= 2 && strcmp(argv[1], "--check") == 0) return check_files(argc, argv);
  if (argc == 3 && strcmp(argv[1], "--dump") == 0) return dump_docs(argv[2]);
  make_docs();
  if (!xml_memory_reserve(&quill_memory, 8 << 20)) return 1;
  for (const bench_doc &d : docs) {
    bool cp1251 = strcmp(d.name, "rss_cp1251_1MB") == 0;
    benchmark::RegisterBenchmark((std::string("quillmere/") + d.name).c_str(), bm_quillmere, &d);
    if (!cp1251) benchmark::RegisterBenchmark((std::string("expat/") + d.name).c_str(), bm_expat, &d);
    benchmark::RegisterBenchmark((std::string("libxml2/") + d.name).c_str(), bm_libxml2, &d);
    if (!cp1251) benchmark::RegisterBenchmark((std::string("pugixml/") + d.name).c_str(), bm_pugixml, &d);
  }
  benchmark::Initialize(&argc, argv);
  ratio_reporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  printf("\n%-16s %10s %10s %10s %10s   %s\n", "document", "quillmere", "expat", "libxml2", "pugixml",
         "quillmere / expat, libxml2, pugixml");
  for (auto &[doc, s] : reporter.speed) {
    double q = s["quillmere"];
    // A peer not measured on a document (it cannot decode its encoding) shows a dash.
    auto column = [&](const char *peer, int width) {
      if (s[peer] > 0) printf(" %*.0f", width, s[peer]);
      else printf(" %*s", width, "-");
    };
    auto ratio = [&](const char *peer) {
      if (s[peer] > 0) printf(" %.2fx", q / s[peer]);
      else printf("     -");
    };
    printf("%-16s %8.0f MB/s", doc.c_str(), q);
    column("expat", 6), column("libxml2", 10), column("pugixml", 10);
    printf("  ");
    ratio("expat"), ratio("libxml2"), ratio("pugixml");
    printf("\n");
  }
  benchmark::Shutdown();
  xml_memory_release(&quill_memory);
  return 0;
}

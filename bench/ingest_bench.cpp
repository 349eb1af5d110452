// The XML parse inside the ingest path against the parser alone, on two corpora.
//
// The first: generated RSS and Atom documents of 5 to 200 KB, parsed again and again by
// feed_parse, as the program parses its downloads, and by xml_parse_reserved into memory
// reserved once. The items sit in an element that feed parsing ignores, so the store does next
// to nothing and the two differ only by what the ingest path adds to the parse (its memory, the
// document step, the walk of the channel).
//
// The second looks like real feeds: documents of 5 KB to 5 MB in random order, RSS and Atom,
// entries with 1 to 20 KB of HTML, dates, unique ids, categories and authors, every entry kept in
// the store. Each pass empties the store in place and takes every document as a new feed, sorting
// its entries as the program does. The run ends with what the two cost against each other, and
// the minor page faults a pass after the first takes per MB of input.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "bench/bench_reader.h"
#include "reader/save.h"

namespace {

const char *const words[] = {"the", "feed", "reader", "update", "news", "market", "release", "notes",
                             "about", "with", "from", "today", "café", "Zürich", "日本語", "новости"};

std::string words_of(std::mt19937 &rng, int n) { return bench_sentence(rng, n, words); }

std::string make_document(std::mt19937 &rng, bool atom, size_t bytes) {
  std::string d = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n";
  d += atom ? "<feed xmlns=\"http://www.w3.org/2005/Atom\">\n  <title>Generated</title>\n  <id>urn:x</id>\n"
            : "<rss version=\"2.0\">\n  <channel>\n    <title>Generated</title>\n    <link>https://example.org/</link>\n";
  d += "  <archive>\n";
  for (int i = 0; d.size() < bytes; ++i) {
    std::string n = std::to_string(i), day = std::to_string(10 + i % 18);
    if (atom) {
      d += "  <entry>\n    <title>" + words_of(rng, 6) + "</title>\n    <link rel=\"alternate\" href=\"https://example.org/e/" +
           n + "\"/>\n    <id>tag:example.org,2023:" + n + "</id>\n    <updated>2023-05-" + day +
           "T10:00:00Z</updated>\n    <author><name>A " + n + "</name></author>\n    <summary type=\"html\">&lt;p&gt;" +
           words_of(rng, 40 + rng() % 120) + "&lt;/p&gt;</summary>\n  </entry>\n";
    } else {
      d += "    <item>\n      <title>" + words_of(rng, 6) + "</title>\n      <link>https://example.org/i/" + n +
           "</link>\n      <description>&lt;p&gt;" + words_of(rng, 40 + rng() % 120) +
           "&lt;/p&gt;</description>\n      <guid>https://example.org/i/" + n + "</guid>\n      <pubDate>Mon, " +
           day + " May 2023 10:00:00 GMT</pubDate>\n      <category>topic " + std::to_string(i % 9) +
           "</category>\n    </item>\n";
    }
  }
  return d + (atom ? "  </archive>\n</feed>\n" : "  </archive>\n  </channel>\n</rss>\n");
}

struct corpus {
  std::vector<std::string> documents;
  u64 bytes = 0;
  corpus() {
    std::mt19937 rng(7);
    for (int i = 0; i < 64; ++i) {
      size_t size = 5000 + (size_t)(rng() % 195000);
      documents.push_back(make_document(rng, i % 2, size));
      bytes += documents.back().size();
    }
  }
};

corpus &the_corpus() {
  static corpus c;
  return c;
}

buffer text_of(const std::string &s) { return buffer{s.size(), s.size(), (u8 *)s.data()}; }

// The parser alone over the documents, into the one reservation.
void parse_all(benchmark::State &state, xml_memory *m, const std::vector<std::string> &documents) {
  for (const std::string &d : documents) {
    xml_parser p;
    xml_error e = 0;
    xml_parse_reserved(&p, m, text_of(d), &e);
    if (e) state.SkipWithError("parse error");
    benchmark::DoNotOptimize(p.top);
  }
}

void ingest_xml_parser_alone(benchmark::State &state) {
  corpus &c = the_corpus();
  xml_memory m;
  if (!xml_memory_reserve(&m, MiB(1))) {
    state.SkipWithError("no memory");
    return;
  }
  for (auto _ : state) parse_all(state, &m, c.documents);
  xml_memory_release(&m);
  state.SetBytesProcessed((s64)c.bytes * (s64)state.iterations());
}

void ingest_feed_parse(benchmark::State &state) {
  corpus &c = the_corpus();
  bench_reader store(MiB(16));
  store.reset();
  reader &r = store.r;
  buffer &scratch = store.scratch;
  // The first fetch of every feed, outside the timing: the runs below are updates with nothing new.
  std::vector<u32> ids;
  for (const std::string &d : c.documents) {
    u32 e = 0;
    feed *f = feed_parse(&scratch, &r, text_of(d), string_lit("https://example.org/feed"), nullptr, &e);
    ids.push_back(f ? f->id : 0);
  }
  for (auto _ : state) {
    for (size_t i = 0; i < c.documents.size(); ++i) {
      u32 e = 0;
      feed_parse(&scratch, &r, text_of(c.documents[i]), string_lit("https://example.org/feed"),
                 reader_find_feed(&r, ids[i]), &e);
      if (e) state.SkipWithError("feed error");
    }
  }
  state.SetBytesProcessed((s64)c.bytes * (s64)state.iterations());
}

// ---- A corpus that looks like real feeds -------------------------------------------------

const char *const html_words[] = {"the", "a", "feed", "reader", "update", "weather", "market", "release", "notes",
                                  "about", "with", "from", "today", "people", "report", "council", "season", "city",
                                  "café", "Zürich", "naïve", "São", "Paulo", "über", "—", "日本語", "новости"};

// HTML of about the given size, as blogs and news sites write entries: paragraphs with links,
// emphasis, images and references.
std::string html_of(std::mt19937 &rng, size_t bytes) {
  std::string h;
  while (h.size() < bytes) {
    h += "<p>" + bench_sentence(rng, 12 + (int)(rng() % 20), html_words);
    switch (rng() % 5) {
      case 0: h += " <a href=\"https://example.org/story/" + std::to_string(rng() % 100000) + "?ref=feed&amp;s=1\">" +
                   bench_sentence(rng, 3, html_words) + "</a>"; break;
      case 1: h += " <em>" + bench_sentence(rng, 4, html_words) + "</em> &amp; <strong>more</strong>"; break;
      case 2: h += "</p>\n<p><img src=\"https://cdn.example.org/img/" + std::to_string(rng() % 100000) +
                   ".jpg\" alt=\"" + bench_sentence(rng, 3, html_words) + "\" width=\"640\" height=\"360\"/>"; break;
      case 3: h += " &#8220;" + bench_sentence(rng, 5, html_words) + "&#8221;"; break;
      default: break;
    }
    h += " " + bench_sentence(rng, 10 + (int)(rng() % 30), html_words) + ".</p>\n";
  }
  return h;
}

// The three characters that would end the element, written as references.
std::string escaped(const std::string &text) {
  std::string e;
  e.reserve(text.size() + text.size() / 8);
  for (char c : text) {
    if (c == '<') e += "&lt;";
    else if (c == '>') e += "&gt;";
    else if (c == '&') e += "&amp;";
    else e += c;
  }
  return e;
}

// Entry i of a feed is i hours older than entry 0.
date entry_date(int i) { return date_add(date{2024, 6, 30, 12, 0, 0, 0}, 0, 0, 0, -i, 0, 0); }

std::string real_rss(std::mt19937 &rng, int feed, size_t bytes) {
  static const char *const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  bool cdata = feed % 2;  // half the feeds send their HTML in CDATA sections, half escaped
  std::string site = "https://site" + std::to_string(feed) + ".example.org";
  std::string d = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<rss version=\"2.0\" "
                  "xmlns:content=\"http://purl.org/rss/1.0/modules/content/\">\n<channel>\n  <title>" +
                  bench_sentence(rng, 4, html_words) + "</title>\n  <link>" + site + "/</link>\n  <description>" +
                  bench_sentence(rng, 12, html_words) + "</description>\n  <language>en-us</language>\n"
                  "  <generator>Generator 6.4</generator>\n  <category>News</category>\n";
  for (int i = 0; d.size() < bytes; ++i) {
    date t = entry_date(i);
    char when[64];
    std::snprintf(when, sizeof when, "%02u %s %04u %02u:%02u:00 +0000", t.day, months[t.month - 1], t.year, t.hour,
                  t.minute);
    std::string n = std::to_string(i);
    std::string html = html_of(rng, std::min<size_t>(1000 + rng() % 19000, std::max<size_t>(1000, bytes / 2)));
    d += "  <item>\n    <title>" + bench_sentence(rng, 8, html_words) + "</title>\n    <link>" + site + "/posts/" + n +
         "</link>\n    <guid isPermaLink=\"false\">" + site + "/?p=" + n + "</guid>\n    <pubDate>" + when +
         "</pubDate>\n    <author>editor@example.org (Editor " + std::to_string(i % 5) + ")</author>\n";
    for (u32 k = 0, m = 1 + rng() % 4; k < m; ++k)
      d += "    <category>" + std::string(html_words[rng() % 18]) + "</category>\n";
    if (cdata) {
      d += "    <description>" + escaped(bench_sentence(rng, 30, html_words)) + "</description>\n"
           "    <content:encoded><![CDATA[" + html + "]]></content:encoded>\n";
    } else {
      d += "    <description>" + escaped(html) + "</description>\n";
    }
    d += "  </item>\n";
  }
  return d + "</channel>\n</rss>\n";
}

std::string real_atom(std::mt19937 &rng, int feed, size_t bytes) {
  std::string site = "https://blog" + std::to_string(feed) + ".example.org";
  std::string d = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<feed xmlns=\"http://www.w3.org/2005/Atom\">\n"
                  "  <title type=\"text\">" + bench_sentence(rng, 4, html_words) + "</title>\n  <subtitle>" +
                  bench_sentence(rng, 10, html_words) + "</subtitle>\n  <id>" + site + "/</id>\n"
                  "  <link rel=\"alternate\" type=\"text/html\" href=\"" + site + "/\"/>\n"
                  "  <link rel=\"self\" type=\"application/atom+xml\" href=\"" + site + "/feed.atom\"/>\n"
                  "  <updated>2024-06-30T12:00:00Z</updated>\n  <author><name>Blog owner</name></author>\n";
  for (int i = 0; d.size() < bytes; ++i) {
    date t = entry_date(i);
    char when[64];
    std::snprintf(when, sizeof when, "%04u-%02u-%02uT%02u:%02u:00Z", t.year, t.month, t.day, t.hour, t.minute);
    std::string n = std::to_string(i);
    std::string html = html_of(rng, std::min<size_t>(1000 + rng() % 19000, std::max<size_t>(1000, bytes / 2)));
    d += "  <entry>\n    <title type=\"html\">" + bench_sentence(rng, 8, html_words) + "</title>\n"
         "    <link rel=\"alternate\" type=\"text/html\" href=\"" + site + "/" + n + ".html\"/>\n"
         "    <link rel=\"replies\" type=\"text/html\" href=\"" + site + "/" + n + ".html#comments\"/>\n"
         "    <id>tag:" + site.substr(8) + ",2024:post-" + n + "</id>\n    <published>" + when +
         "</published>\n    <updated>" + when + "</updated>\n    <author><name>Writer " + std::to_string(i % 4) +
         "</name><uri>" + site + "/about</uri></author>\n";
    for (u32 k = 0, m = 1 + rng() % 4; k < m; ++k)
      d += "    <category term=\"" + std::string(html_words[rng() % 18]) + "\" scheme=\"" + site + "/tags\"/>\n";
    d += "    <summary type=\"text\">" + escaped(bench_sentence(rng, 30, html_words)) + "</summary>\n"
         "    <content type=\"html\">" + escaped(html) + "</content>\n  </entry>\n";
  }
  return d + "</feed>\n";
}

struct real_corpus {
  std::vector<std::string> documents;
  u64 bytes = 0;
  size_t largest = 0;
  real_corpus() {
    // Sizes spread evenly in their logarithm from 5 KB to 5 MB, then shuffled: the small feeds
    // most people follow, with a few archives among them.
    const int n = 40;
    std::mt19937 rng(2024);
    std::vector<size_t> sizes;
    for (int i = 0; i < n; ++i) sizes.push_back((size_t)(5000.0 * std::pow(1000.0, i / (double)(n - 1))));
    std::shuffle(sizes.begin(), sizes.end(), rng);
    for (int i = 0; i < n; ++i) {
      documents.push_back(i % 2 ? real_atom(rng, i, sizes[i]) : real_rss(rng, i, sizes[i]));
      bytes += documents.back().size();
      largest = std::max(largest, documents.back().size());
    }
  }
};

real_corpus &the_real_corpus() {
  static real_corpus c;
  return c;
}

u64 minor_faults() {
  rusage u = {};
  getrusage(RUSAGE_SELF, &u);
  return (u64)u.ru_minflt;
}

// Seconds of one pass over the real corpus, for the summary.
double real_xml_seconds = 0, real_feed_seconds = 0, real_faults_per_mb = -1;

void ingest_real_xml_parse_reserved(benchmark::State &state) {
  real_corpus &c = the_real_corpus();
  xml_memory m;
  if (!xml_memory_reserve(&m, c.largest)) {
    state.SkipWithError("no memory");
    return;
  }
  double seconds = 0;
  for (auto _ : state) {
    auto begin = std::chrono::steady_clock::now();
    parse_all(state, &m, c.documents);
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  }
  xml_memory_release(&m);
  real_xml_seconds = seconds / (double)state.iterations();
  state.SetBytesProcessed((s64)c.bytes * (s64)state.iterations());
}

// Every document as a new feed into an emptied store, its entries sorted after it.
u64 real_pass(reader &r, buffer &scratch, const real_corpus &c, u32 *errors) {
  u64 stored = 0;
  for (size_t i = 0; i < c.documents.size(); ++i) {
    std::string url = "https://example.org/feeds/" + std::to_string(i) + ".xml";
    u32 e = 0;
    feed *f = feed_parse(&scratch, &r, text_of(c.documents[i]), text_of(url), nullptr, &e);
    *errors += e != 0;
    if (f) reader_sort_feed_entries(&r, f);
    stored += f ? f->entry_count : 0;
  }
  return stored;
}

void ingest_real_feed_parse(benchmark::State &state) {
  real_corpus &c = the_real_corpus();
  bench_reader store(MiB(16));
  store.reset();
  reader &r = store.r;
  u32 errors = 0;
  // The first pass faults in what every later one reuses.
  u64 stored = real_pass(r, store.scratch, c, &errors);
  u64 faults = 0;
  double seconds = 0;
  for (auto _ : state) {
    state.PauseTiming();
    reader_reset(&r);
    r.generation = 1;
    u64 before = minor_faults();
    auto begin = std::chrono::steady_clock::now();
    state.ResumeTiming();
    stored = real_pass(r, store.scratch, c, &errors);
    state.PauseTiming();
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    faults += minor_faults() - before;
    state.ResumeTiming();
  }
  if (errors) state.SkipWithError("feed error");
  real_feed_seconds = seconds / (double)state.iterations();
  real_faults_per_mb = (double)faults / (double)state.iterations() / ((double)c.bytes / 1e6);
  state.counters["entries"] = (double)stored;
  state.counters["faults/MB"] = real_faults_per_mb;
  state.SetBytesProcessed((s64)c.bytes * (s64)state.iterations());
}

}  // namespace

BENCHMARK(ingest_xml_parser_alone)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(ingest_feed_parse)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(ingest_real_xml_parse_reserved)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(ingest_real_feed_parse)->Unit(benchmark::kMillisecond)->UseRealTime();

int main(int argc, char **argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  std::printf("\ncorpus: %zu documents, %.1f MB\n", the_corpus().documents.size(), the_corpus().bytes / 1e6);
  if (real_xml_seconds > 0 && real_feed_seconds > 0) {
    real_corpus &c = the_real_corpus();
    std::printf("real corpus: %zu documents, %.1f MB, 5 KB to %.1f MB\n", c.documents.size(), c.bytes / 1e6,
                c.largest / 1e6);
    std::printf("feed_parse into the store / xml_parse_reserved alone: %.3f (target at least 0.2)\n",
                real_xml_seconds / real_feed_seconds);
    std::printf("minor page faults per MB of input on a later pass: %.1f (target at most 64)\n", real_faults_per_mb);
  }
  benchmark::Shutdown();
  return 0;
}

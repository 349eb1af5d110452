// Feed parsing into the store: generated RSS 2.0 and Atom documents from 100 KB to 5 MB as a
// first fetch and as an update that brings a tenth of new items, and the whole path from files
// to the store for 200 feeds of 50 items.
#include <benchmark/benchmark.h>
#include <stdio.h>
#include <unistd.h>

#include <random>
#include <string>
#include <vector>

#include "bench/bench_reader.h"

namespace {

const char *const words[] = {"the", "feed", "reader", "update", "podcast", "episode", "news", "market",
                             "weather", "release", "version", "notes", "about", "with", "from", "today",
                             "café", "Zürich", "naïve", "日本語", "новости", "—"};

std::string sentence(std::mt19937 &rng, int n) { return bench_sentence(rng, n, words); }

// Item i is dated i hours before a fixed point, so lower indices are newer.
std::string rss_date(int i) {
  static const char *const days[] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
  int day = 28 - (i / 24) % 28, hour = 23 - i % 24, month = 12 - (i / (24 * 28)) % 12;
  static const char *const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  char text[64];
  snprintf(text, sizeof text, "%s, %02d %s 2023 %02d:15:00 GMT", days[day % 7], day, months[month - 1], hour);
  return text;
}

std::string iso_date(int i) {
  int day = 28 - (i / 24) % 28, hour = 23 - i % 24, month = 12 - (i / (24 * 28)) % 12;
  char text[64];
  snprintf(text, sizeof text, "2023-%02d-%02dT%02d:15:00Z", month, day, hour);
  return text;
}

std::string rss_item(std::mt19937 &rng, int i, bool categories) {
  std::string s = "    <item>\n      <title>" + sentence(rng, 6) + "</title>\n";
  s += "      <link>https://example.org/items/" + std::to_string(i) + "</link>\n";
  s += "      <description>&lt;p&gt;" + sentence(rng, 60) + " &amp;amp; " + sentence(rng, 40) +
       "&lt;/p&gt;</description>\n";
  s += "      <guid>https://example.org/items/" + std::to_string(i) + "</guid>\n";
  s += "      <pubDate>" + rss_date(i) + "</pubDate>\n";
  if (categories && i % 2) s += "      <category>topic " + std::to_string(i % 20) + "</category>\n";
  return s + "    </item>\n";
}

std::string atom_entry(std::mt19937 &rng, int i) {
  std::string s = "  <entry>\n    <title>" + sentence(rng, 6) + "</title>\n";
  s += "    <link rel=\"alternate\" href=\"https://example.org/entries/" + std::to_string(i) + "\"/>\n";
  s += "    <id>tag:example.org,2023:" + std::to_string(i) + "</id>\n";
  s += "    <updated>" + iso_date(i) + "</updated>\n";
  s += "    <author><name>Author " + std::to_string(i % 7) + "</name></author>\n";
  s += "    <summary type=\"html\">&lt;p&gt;" + sentence(rng, 60) + "&lt;/p&gt;</summary>\n";
  s += "    <content type=\"html\"><![CDATA[<p>" + sentence(rng, 40) + "</p>]]></content>\n";
  return s + "  </entry>\n";
}

// Items first..first+count of one endless, seeded sequence: the same index always gives the
// same item, so an update that starts earlier repeats the items it shares with the first fetch.
std::string make_document(bool atom, int first, int count, bool categories = true) {
  std::string d = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n";
  d += atom ? "<feed xmlns=\"http://www.w3.org/2005/Atom\">\n  <title>Generated</title>\n  <id>urn:x</id>\n"
            : "<rss version=\"2.0\">\n  <channel>\n    <title>Generated</title>\n    <link>https://example.org/</link>\n";
  for (int i = first; i < first + count; ++i) {
    std::mt19937 rng(1000003u * (unsigned)i + 17u);
    d += atom ? atom_entry(rng, i) : rss_item(rng, i, categories);
  }
  return d + (atom ? "</feed>\n" : "  </channel>\n</rss>\n");
}

int items_for_bytes(bool atom, size_t bytes) {
  size_t one = make_document(atom, 0, 20).size() / 20;
  return (int)(bytes / one) + 1;
}

struct bench_store : bench_reader {
  bench_store() : bench_reader(MiB(16)) {}
  // The document parsed as the feed at url (f, or a new one when null), its entries sorted.
  feed *parse(buffer document, buffer url, feed *f) {
    u32 error = 0;
    f = feed_parse(&scratch, &r, document, url, f, &error);
    if (f) reader_sort_feed_entries(&r, f);
    return f;
  }
  feed *parse(const std::string &document, feed *f) {
    return parse(buffer{document.size(), document.size(), (u8 *)document.data()}, string_lit("https://example.org/feed"), f);
  }
  // An empty store for the next iteration, outside the time measured.
  void reset_untimed(benchmark::State &state) {
    state.PauseTiming();
    reset();
    state.ResumeTiming();
  }
};

// The update alone is timed: each iteration starts from an empty store given the first document.
void time_update(benchmark::State &state, const std::string &first, const std::string &update, int items) {
  bench_store s;
  u64 added = 0;
  for (auto _ : state) {
    state.PauseTiming();
    s.reset();
    u32 id = s.parse(first, nullptr)->id;
    s.r.generation = 2;
    u32 before = reader_find_feed(&s.r, id)->entry_count;
    state.ResumeTiming();
    feed *f = s.parse(update, reader_find_feed(&s.r, id));
    added += f->entry_count - before;
  }
  state.counters["items"] = items;
  state.counters["new"] = (double)added / (double)state.iterations();
}

void feed_parse_first_fetch(benchmark::State &state, bool atom) {
  int count = items_for_bytes(atom, (size_t)state.range(0) * 1024);
  std::string document = make_document(atom, 0, count);
  bench_store s;
  u64 stored = 0;
  for (auto _ : state) {
    s.reset_untimed(state);
    feed *f = s.parse(document, nullptr);
    stored += f ? f->entry_count : 0;
  }
  state.counters["items"] = count;
  state.counters["stored"] = (double)stored / (double)state.iterations();
  state.counters["entries/s"] = benchmark::Counter((double)count * (double)state.iterations(), benchmark::Counter::kIsRate);
  state.SetBytesProcessed((s64)document.size() * (s64)state.iterations());
}

void feed_parse_update(benchmark::State &state, bool atom) {
  int count = items_for_bytes(atom, (size_t)state.range(0) * 1024);
  int fresh = count / 10 + 1;
  std::string first = make_document(atom, fresh, count), update = make_document(atom, 0, count);
  time_update(state, first, update, count);
  state.counters["entries/s"] = benchmark::Counter((double)count * (double)state.iterations(), benchmark::Counter::kIsRate);
  state.SetBytesProcessed((s64)update.size() * (s64)state.iterations());
}

// An update whose items are all old: dated before the feed's newest date (at_newest false), or at
// that date and known by their link, title and date (no guid). Descriptions plain, or CDATA mixed
// with text, which the parser gathers piece by piece. Such items are dropped before they are built,
// so the update costs little more than their dates (and keys).
std::string old_items_document(int count, bool cdata, bool at_newest, bool with_newest) {
  std::string d = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<rss version=\"2.0\"><channel><title>Old</title>\n";
  if (with_newest)
    d += "<item><title>Newest</title><link>https://example.org/newest</link><guid>newest</guid>"
         "<pubDate>Sun, 31 Dec 2023 12:00:00 GMT</pubDate></item>\n";
  for (int i = 0; i < count; ++i) {
    std::mt19937 rng(7919u * (unsigned)i + 3u);
    std::string text = sentence(rng, 60);
    d += "<item><title>" + sentence(rng, 6) + " " + std::to_string(i) + "</title><link>https://example.org/old/" +
         std::to_string(i) + "</link><description>";
    d += cdata ? "<![CDATA[<p>" + text.substr(0, text.size() / 2) + "</p>]]> and " +
                     "<![CDATA[<p>" + text.substr(text.size() / 2) + "</p>]]>"
               : text;
    d += "</description><pubDate>" + std::string(at_newest ? "Sun, 31 Dec 2023 12:00:00 GMT" : rss_date(i + 24)) +
         "</pubDate></item>\n";
  }
  return d + "</channel></rss>\n";
}

void feed_parse_update_of_old_items(benchmark::State &state, bool cdata, bool at_newest) {
  int count = (int)state.range(0);
  // At the newest date the first fetch stores the items themselves; before it, a newer item sets
  // the feed's newest date.
  std::string first = old_items_document(count, cdata, at_newest, !at_newest);
  std::string update = old_items_document(count, cdata, at_newest, false);
  time_update(state, first, update, count);
  state.SetBytesProcessed((s64)update.size() * (s64)state.iterations());
}

// Files on disk to the store, as the program's fetch of local files and its parse go: read each
// file, parse it as a new feed, sort its entries.
void feed_parse_whole_path(benchmark::State &state) {
  const int feeds = 200, items = 50;
  char folder[] = "/tmp/feed_bench_XXXXXX";
  if (!mkdtemp(folder)) {
    state.SkipWithError("no temporary folder");
    return;
  }
  std::vector<std::string> paths;
  for (int k = 0; k < feeds; ++k) {
    std::string path = std::string(folder) + "/feed" + std::to_string(k) + ".xml";
    std::string document = make_document(false, k * items, items);
    FILE *f = fopen(path.c_str(), "wb");
    fwrite(document.data(), 1, document.size(), f);
    fclose(f);
    paths.push_back(path);
  }
  bench_store s;
  u64 stored = 0;
  for (auto _ : state) {
    s.reset_untimed(state);
    for (const std::string &path : paths) {
      u32 error = 0;
      buffer document = file_read_all(buffer{path.size(), path.size(), (u8 *)path.data()}, 0, &error);
      std::string url = "file://" + path;
      s.parse(document, buffer{url.size(), url.size(), (u8 *)url.data()}, nullptr);
      file_content_free(&document);
    }
    stored += s.r.entries.entry_count;
  }
  for (const std::string &path : paths) unlink(path.c_str());
  rmdir(folder);
  state.counters["feeds"] = feeds;
  state.counters["stored"] = (double)stored / (double)state.iterations();
  state.counters["entries/s"] =
      benchmark::Counter((double)feeds * items * (double)state.iterations(), benchmark::Counter::kIsRate);
}

}  // namespace

BENCHMARK_CAPTURE(feed_parse_first_fetch, rss, false)->Arg(100)->Arg(1024)->Arg(5 * 1024)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(feed_parse_first_fetch, atom, true)->Arg(100)->Arg(1024)->Arg(5 * 1024)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(feed_parse_update, rss, false)->Arg(100)->Arg(1024)->Arg(5 * 1024)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(feed_parse_update, atom, true)->Arg(100)->Arg(1024)->Arg(5 * 1024)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(feed_parse_update_of_old_items, older_plain, false, false)->Arg(2000)->Arg(8000)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(feed_parse_update_of_old_items, older_cdata, true, false)->Arg(2000)->Arg(8000)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(feed_parse_update_of_old_items, known_at_newest_plain, false, true)->Arg(2000)->Arg(8000)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(feed_parse_update_of_old_items, known_at_newest_cdata, true, true)->Arg(2000)->Arg(8000)->Unit(benchmark::kMillisecond);
BENCHMARK(feed_parse_whole_path)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();

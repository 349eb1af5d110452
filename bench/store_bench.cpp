// The store at the size of years of reading: 1,000 generated feeds of 100 entries each (half RSS,
// half Atom), every entry with 1-2 KB of HTML, two categories, an author and, for Atom, two
// links. Measured: the first ingest from memory, the same feeds again with a tenth new entries,
// a save with its fsync, a load, the resident memory the loaded store takes, and how much slower
// the last feed of the first ingest goes than the first one. QM_STORE_BENCH_FEEDS sets another
// number of feeds.
//
// Then the store at a million entries (1,000 feeds of 1,000 entries, the same documents) against
// the disk: its load beside reading the file into memory, its save beside writing the same bytes
// with an fsync, and the peak resident memory while saving beside what the loaded store holds.
// QM_STORE_BENCH_MILLION=0 leaves it out (it takes about 5 GB and a minute);
// QM_STORE_BENCH_MILLION_FEEDS sets another number of feeds of 1,000 entries.
#include <benchmark/benchmark.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <random>
#include <string>
#include <vector>

#include "bench/bench_reader.h"
#include "platform/durable.h"
#include "reader/save.h"

namespace {

const int entries_per_feed = 100;
const int new_per_update = entries_per_feed / 10;

int feed_count() {
  const char *n = getenv("QM_STORE_BENCH_FEEDS");
  int v = n ? atoi(n) : 0;
  return v > 0 ? v : 1000;
}

const char *const words[] = {"the",    "feed",    "reader", "update", "podcast", "episode",  "news",
                             "market", "weather", "release", "notes", "about",   "with",     "from",
                             "today",  "café",    "Zürich", "naïve",  "council", "election", "—"};

std::string sentence(std::mt19937 &rng, int n) { return bench_sentence(rng, n, words); }

// 1-2 KB of escaped HTML: paragraphs, a link and an image.
std::string html_body(std::mt19937 &rng) {
  std::string s;
  size_t target = 1024 + rng() % 1024;
  while (s.size() < target) {
    s += "&lt;p&gt;" + sentence(rng, 20) + " &lt;a href=&quot;https://example.org/a/" + std::to_string(rng() % 9999) +
         "&quot;&gt;" + sentence(rng, 3) + "&lt;/a&gt; " + sentence(rng, 15) + "&lt;/p&gt;";
    if (rng() % 3 == 0) s += "&lt;img src=&quot;https://img.example.org/" + std::to_string(rng() % 99999) + ".jpg&quot;/&gt;";
  }
  return s;
}

// Entry i of a feed is dated i hours after a fixed start, so higher indices are newer.
void entry_date(int i, int *month, int *day, int *hour) {
  *hour = i % 24;
  *day = 1 + (i / 24) % 28;
  *month = 1 + (i / (24 * 28)) % 12;
}

std::string rss_date(int i) {
  static const char *const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  int m, d, h;
  entry_date(i, &m, &d, &h);
  char text[64];
  snprintf(text, sizeof text, "%02d %s 2024 %02d:15:00 GMT", d, months[m - 1], h);
  return text;
}

std::string iso_date(int i) {
  int m, d, h;
  entry_date(i, &m, &d, &h);
  char text[64];
  snprintf(text, sizeof text, "2024-%02d-%02dT%02d:15:00Z", m, d, h);
  return text;
}

// Categories come from a vocabulary the feeds share, authors from a few per feed.
std::string category_term(std::mt19937 &rng) { return "topic " + std::to_string(rng() % 2000); }

std::string rss_item(int feed, int i) {
  std::mt19937 rng(1000003u * (unsigned)i + 7919u * (unsigned)feed + 17u);
  std::string id = std::to_string(feed) + "/" + std::to_string(i);
  std::string s = "    <item>\n      <title>" + sentence(rng, 7) + "</title>\n";
  s += "      <link>https://example.org/" + id + "</link>\n";
  s += "      <guid>https://example.org/" + id + "</guid>\n";
  s += "      <pubDate>" + rss_date(i) + "</pubDate>\n";
  s += "      <author>writer" + std::to_string(rng() % 4) + "@example.org</author>\n";
  s += "      <category>" + category_term(rng) + "</category>\n";
  s += "      <category>" + category_term(rng) + "</category>\n";
  s += "      <description>" + html_body(rng) + "</description>\n";
  return s + "    </item>\n";
}

std::string atom_entry(int feed, int i) {
  std::mt19937 rng(1000003u * (unsigned)i + 7919u * (unsigned)feed + 17u);
  std::string id = std::to_string(feed) + "/" + std::to_string(i);
  std::string s = "  <entry>\n    <title>" + sentence(rng, 7) + "</title>\n";
  s += "    <id>tag:example.org,2024:" + id + "</id>\n";
  s += "    <updated>" + iso_date(i) + "</updated>\n";
  s += "    <published>" + iso_date(i) + "</published>\n";
  s += "    <author><name>Writer " + std::to_string(feed) + "." + std::to_string(rng() % 4) + "</name></author>\n";
  s += "    <link rel=\"alternate\" type=\"text/html\" href=\"https://example.org/" + id + "\"/>\n";
  s += "    <link rel=\"replies\" type=\"application/atom+xml\" href=\"https://example.org/" + id + "/comments\"/>\n";
  s += "    <category term=\"" + category_term(rng) + "\"/>\n";
  s += "    <category term=\"" + category_term(rng) + "\"/>\n";
  s += "    <content type=\"html\">" + html_body(rng) + "</content>\n";
  return s + "  </entry>\n";
}

// Entries first .. first + count - 1 of the feed, newest first as feeds list them.
std::string make_document(int feed, int first, int count) {
  bool atom = feed % 2;
  std::string name = "Feed " + std::to_string(feed);
  std::string d = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n";
  d += atom ? "<feed xmlns=\"http://www.w3.org/2005/Atom\">\n  <title>" + name + "</title>\n  <id>urn:feed:" +
                  std::to_string(feed) + "</id>\n  <updated>2024-01-01T00:00:00Z</updated>\n"
            : "<rss version=\"2.0\">\n  <channel>\n    <title>" + name +
                  "</title>\n    <link>https://example.org/</link>\n    <description>Generated</description>\n";
  for (int i = first + count - 1; i >= first; --i) d += atom ? atom_entry(feed, i) : rss_item(feed, i);
  return d + (atom ? "</feed>\n" : "  </channel>\n</rss>\n");
}

u64 resident_bytes() {
  FILE *f = fopen("/proc/self/statm", "r");
  unsigned long size = 0, resident = 0;
  if (f) {
    if (fscanf(f, "%lu %lu", &size, &resident) != 2) resident = 0;
    fclose(f);
  }
  return (u64)resident * (u64)sysconf(_SC_PAGESIZE);
}

buffer text_of(const std::string &s) { return buffer{s.size(), s.size(), (u8 *)s.data()}; }

struct bench_world : bench_reader {
  std::vector<std::string> first, update, urls;
  u64 first_bytes = 0, update_bytes = 0;
  std::vector<u32> ids;
  std::vector<double> feed_seconds;
  std::string folder, path;
  u64 file_bytes = 0;

  bench_world() : bench_reader(MiB(64)) {
    int n = feed_count();
    for (int f = 0; f < n; ++f) {
      first.push_back(make_document(f, 0, entries_per_feed));
      update.push_back(make_document(f, new_per_update, entries_per_feed));
      urls.push_back("https://example.org/feeds/" + std::to_string(f) + ".xml");
      first_bytes += first.back().size();
      update_bytes += update.back().size();
    }
    char t[] = "/tmp/qm_store_bench_XXXXXX";
    folder = mkdtemp(t);
    path = folder + "/feed_data_20240101_000000.bin";
  }
  ~bench_world() {
    unlink(path.c_str());
    rmdir(folder.c_str());
  }
  feed *ingest(const std::string &document, const std::string &url, feed *f) {
    return ingest_download(text_of(document), text_of(url), f);
  }
  void ingest_first() {
    reset();
    ids.clear();
    feed_seconds.clear();
    for (size_t k = 0; k < first.size(); ++k) {
      auto t0 = std::chrono::steady_clock::now();
      feed *f = ingest(first[k], urls[k], nullptr);
      feed_seconds.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
      ids.push_back(f ? f->id : 0);
    }
  }
  void ingest_update() {
    r.generation += 1;
    for (size_t k = 0; k < update.size(); ++k) ingest(update[k], urls[k], ids[k] ? reader_find_feed(&r, ids[k]) : nullptr);
  }
};

bench_world &world() {
  static bench_world w;
  return w;
}

// The mean of ten feeds' times at the start and at the end of the first ingest.
double late_over_early(const std::vector<double> &t) {
  size_t n = t.size() < 20 ? t.size() / 2 : 10;
  if (n == 0) return 0;
  double early = 0, late = 0;
  for (size_t i = 0; i < n; ++i) early += t[i], late += t[t.size() - 1 - i];
  return early > 0 ? late / early : 0;
}

void BM_first_ingest(benchmark::State &state) {
  bench_world &w = world();
  for (auto _ : state) w.ingest_first();
  state.counters["feeds"] = (double)w.first.size();
  state.counters["entries"] = (double)w.r.entries.entry_count;
  state.counters["atom_links"] = (double)w.r.atom_links.entry_count;
  state.counters["links"] = (double)w.r.links.entry_count;
  state.counters["entries/s"] =
      benchmark::Counter((double)w.first.size() * entries_per_feed * (double)state.iterations(), benchmark::Counter::kIsRate);
  state.counters["last/first"] = late_over_early(w.feed_seconds);
  state.SetBytesProcessed((s64)w.first_bytes * (s64)state.iterations());
}

void BM_update_ingest(benchmark::State &state) {
  bench_world &w = world();
  u64 before = 0, after = 0;
  for (auto _ : state) {
    state.PauseTiming();
    w.ingest_first();
    before = w.r.entries.entry_count;
    state.ResumeTiming();
    w.ingest_update();
    after = w.r.entries.entry_count;
  }
  state.counters["new"] = (double)(after - before);
  state.counters["entries/s"] =
      benchmark::Counter((double)w.update.size() * entries_per_feed * (double)state.iterations(), benchmark::Counter::kIsRate);
  state.SetBytesProcessed((s64)w.update_bytes * (s64)state.iterations());
}

void BM_save(benchmark::State &state) {
  bench_world &w = world();
  if (w.r.entries.entry_count == 0) w.ingest_first();
  for (auto _ : state) {
    u32 error = 0;
    reader_write(&w.r, text_of(w.path), &error);
    if (error) state.SkipWithError("write failed");
  }
  u32 error = 0;
  w.file_bytes = file_size_bytes((const u8 *)w.path.data(), w.path.size(), &error);
  state.counters["entries"] = (double)w.r.entries.entry_count;
  state.counters["file_MB"] = (double)w.file_bytes / 1e6;
  state.SetBytesProcessed((s64)w.file_bytes * (s64)state.iterations());
}

void BM_load(benchmark::State &state) {
  bench_world &w = world();
  if (!w.file_bytes) {
    state.SkipWithError("no save file: run BM_save first");
    return;
  }
  // The ingested store goes first, so the resident memory measured is the loaded store's.
  reader_destroy(&w.r);
  u64 resident = 0;
  u32 entries = 0;
  for (auto _ : state) {
    state.PauseTiming();
    u64 before = resident_bytes();
    reader loaded = {};
    u32 error = 0;
    reader_init(&loaded, &error);
    loaded.codepoints = &w.set;
    state.ResumeTiming();
    bool ok = reader_read(&loaded, text_of(w.path), &error);
    state.PauseTiming();
    if (!ok) state.SkipWithError("read failed");
    resident = resident_bytes() - before;
    entries = loaded.entries.entry_count;
    reader_destroy(&loaded);
    state.ResumeTiming();
  }
  state.counters["entries"] = entries;
  state.counters["resident_MB"] = (double)resident / 1e6;
  state.counters["resident/file"] = (double)resident / (double)w.file_bytes;
  state.SetBytesProcessed((s64)w.file_bytes * (s64)state.iterations());
}

// What an empty store costs in resident memory: its reservations commit nothing until used.
void BM_empty_store(benchmark::State &state) {
  u64 resident = 0;
  for (auto _ : state) {
    u64 before = resident_bytes();
    reader r = {};
    u32 error = 0;
    reader_init(&r, &error);
    resident = resident_bytes() - before;
    reader_destroy(&r);
  }
  state.counters["resident_KB"] = (double)resident / 1e3;
}

// ---- A million entries against the disk ----------------------------------------------------

int million_feed_count() {
  const char *n = getenv("QM_STORE_BENCH_MILLION_FEEDS");
  int v = n ? atoi(n) : 0;
  return v > 0 ? v : 1000;
}

// The peak resident memory since the last reset, and the reset itself (Linux's clear_refs 5).
u64 peak_resident_bytes() {
  FILE *f = fopen("/proc/self/status", "r");
  u64 kib = 0;
  char line[256];
  while (f && fgets(line, sizeof line, f))
    if (sscanf(line, "VmHWM: %lu kB", (unsigned long *)&kib) == 1) break;
  if (f) fclose(f);
  return kib * 1024;
}
void peak_resident_reset() {
  if (FILE *f = fopen("/proc/self/clear_refs", "w")) {
    fputs("5", f);
    fclose(f);
  }
}

double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// The process's processor time so far, in the program's own code and in the system's (page
// faults, copies into and out of the page cache): the machine's load and its disk leave them be.
struct processor_time {
  double user, system;
};
processor_time processor_time_now() {
  rusage u = {};
  getrusage(RUSAGE_SELF, &u);
  return {u.ru_utime.tv_sec + u.ru_utime.tv_usec / 1e6, u.ru_stime.tv_sec + u.ru_stime.tv_usec / 1e6};
}

// What the disk and the page cache allow: the whole file read into a fresh block, and the same
// bytes read as cat does, in pieces into one small buffer.
double read_whole_seconds(const std::string &path) {
  auto t0 = std::chrono::steady_clock::now();
  u32 error = 0;
  buffer content = file_read_all(text_of(path), 0, &error);
  double s = seconds_since(t0);
  file_content_free(&content);
  return error ? 0 : s;
}
double read_pieces_seconds(const std::string &path) {
  auto t0 = std::chrono::steady_clock::now();
  u32 error = 0;
  platform_file f = file_open(text_of(path), 0, 0, &error);
  u64 size = file_size_of_handle(f, &error);
  static u8 piece[1 << 17];
  for (u64 at = 0; at < size && !error; at += sizeof piece)
    file_read_at(f, at, std::min<u64>(sizeof piece, size - at), piece, &error);
  file_close(f, &error);
  return seconds_since(t0);
}
// The bytes written to a new file in 16 MiB pieces and forced to the disk, as dd conv=fsync does.
double write_synced_seconds(const buffer &bytes, const std::string &path) {
  auto t0 = std::chrono::steady_clock::now();
  u32 error = 0;
  platform_file f = file_open(text_of(path), 1, 1, &error);
  for (u64 at = 0; at < bytes.used && !error; at += MiB(16))
    file_write_at(f, at, std::min<u64>(MiB(16), bytes.used - at), bytes.data + at, &error);
  file_sync(f, &error);
  file_close(f, &error);
  double s = seconds_since(t0);
  unlink(path.c_str());
  return s;
}

struct million_world : bench_reader {
  std::string folder, path, copy;
  u64 file_bytes = 0;
  u32 entries = 0;

  million_world() : bench_reader(MiB(64)) {
    char t[] = "/tmp/qm_million_bench_XXXXXX";
    folder = mkdtemp(t);
    path = folder + "/feed_data_20240101_000000.bin";
    copy = folder + "/copy.bin";
    reset();
    // Documents made and parsed one at a time: only the store stays.
    const int per_feed = 1000;
    for (int f = 0; f < million_feed_count(); ++f)
      ingest_download(text_of(make_document(f, 0, per_feed)),
                      text_of("https://example.org/feeds/" + std::to_string(f) + ".xml"), nullptr);
    entries = r.entries.entry_count;
    u32 error = 0;
    reader_write(&r, text_of(path), &error);
    file_bytes = error ? 0 : file_size(text_of(path), &error);
    // The store parsing built goes: what stays resident below is the loaded one's.
    reader_destroy(&r);
    r = reader{};
  }
  ~million_world() {
    unlink(path.c_str());
    unlink(copy.c_str());
    rmdir(folder.c_str());
  }
};

// Load against reading the file, then save against writing its bytes, each the best of three
// taken alternately; the peak resident memory of each save against the loaded store's.
void BM_million_load_and_save(benchmark::State &state) {
  million_world w;
  if (!w.file_bytes) {
    state.SkipWithError("the million-entry store was not written");
    return;
  }
  double load = 1e9, read_whole = 1e9, read_pieces = 1e9, save = 1e9, write = 1e9;
  processor_time load_time = {}, save_time = {};
  u64 loaded_resident = 0, save_peak = 0;
  for (auto _ : state) {
    for (int round = 0; round < 3; ++round) {
      read_whole = std::min(read_whole, read_whole_seconds(w.path));
      read_pieces = std::min(read_pieces, read_pieces_seconds(w.path));
      u64 before = resident_bytes();
      u32 error = 0;
      reader_init(&w.r, &error);
      w.r.codepoints = &w.set;
      auto t0 = std::chrono::steady_clock::now();
      processor_time p0 = processor_time_now();
      bool ok = reader_read(&w.r, text_of(w.path), &error);
      double s = seconds_since(t0);
      processor_time p1 = processor_time_now();
      if (s < load) load = s, load_time = {p1.user - p0.user, p1.system - p0.system};
      if (!ok || w.r.entries.entry_count != w.entries) {
        state.SkipWithError("the load failed");
        return;
      }
      loaded_resident = resident_bytes() - before;
      if (round < 2) reader_destroy(&w.r), w.r = reader{};
    }
    // The loaded store is saved over its own file; the reference writes the same bytes beside it.
    u64 base = resident_bytes() - loaded_resident;
    for (int round = 0; round < 3; ++round) {
      u32 error = 0;
      buffer bytes = file_read_all(text_of(w.path), 0, &error);
      write = std::min(write, write_synced_seconds(bytes, w.copy));
      file_content_free(&bytes);
      peak_resident_reset();
      auto t0 = std::chrono::steady_clock::now();
      processor_time p0 = processor_time_now();
      reader_write(&w.r, text_of(w.path), &error);
      double s = seconds_since(t0);
      processor_time p1 = processor_time_now();
      if (s < save) save = s, save_time = {p1.user - p0.user, p1.system - p0.system};
      if (error) {
        state.SkipWithError("the save failed");
        return;
      }
      save_peak = std::max(save_peak, peak_resident_bytes() - base);
    }
  }
  state.counters["entries"] = w.entries;
  state.counters["file_MB"] = (double)w.file_bytes / 1e6;
  state.counters["load_s"] = load;
  state.counters["read_whole_s"] = read_whole;
  state.counters["read_pieces_s"] = read_pieces;
  state.counters["load/read_whole"] = load / read_whole;
  state.counters["load/read_pieces"] = load / read_pieces;
  state.counters["load_user_s"] = load_time.user;
  state.counters["load_system_s"] = load_time.system;
  state.counters["save_user_s"] = save_time.user;
  state.counters["save_system_s"] = save_time.system;
  state.counters["save_s"] = save;
  state.counters["write_fsync_s"] = write;
  state.counters["save/write_fsync"] = save / write;
  state.counters["loaded_MB"] = (double)loaded_resident / 1e6;
  state.counters["save_peak_MB"] = (double)save_peak / 1e6;
  state.counters["save_peak/loaded"] = (double)save_peak / (double)loaded_resident;
}

bool million_wanted() {
  const char *v = getenv("QM_STORE_BENCH_MILLION");
  return !v || strcmp(v, "0") != 0;
}

}  // namespace

BENCHMARK(BM_empty_store)->Iterations(1);
BENCHMARK(BM_first_ingest)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_update_ingest)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_save)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_load)->Unit(benchmark::kMillisecond)->Iterations(3);

int main(int argc, char **argv) {
  benchmark::Initialize(&argc, argv);
  if (million_wanted())
    benchmark::RegisterBenchmark("BM_million_load_and_save", BM_million_load_and_save)
        ->Iterations(1)
        ->Unit(benchmark::kSecond);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}

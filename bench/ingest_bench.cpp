// The XML parse inside the ingest path against the parser alone: a corpus of generated RSS and
// Atom documents of 5 to 200 KB, parsed again and again by feed_parse, as the program parses its
// downloads, and by xml_parse_reserved into memory reserved once. The items sit in an element
// that feed parsing ignores, so the store does next to nothing and the two differ only by what
// the ingest path adds to the parse (its memory, the document step, the walk of the channel).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "bench/bench_reader.h"

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

void ingest_xml_parser_alone(benchmark::State &state) {
  corpus &c = the_corpus();
  xml_memory m;
  if (!xml_memory_reserve(&m, MiB(1))) {
    state.SkipWithError("no memory");
    return;
  }
  for (auto _ : state) {
    for (const std::string &d : c.documents) {
      xml_parser p;
      xml_error e = 0;
      xml_parse_reserved(&p, &m, text_of(d), &e);
      if (e) state.SkipWithError("parse error");
      benchmark::DoNotOptimize(p.top);
    }
  }
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

}  // namespace

BENCHMARK(ingest_xml_parser_alone)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(ingest_feed_parse)->Unit(benchmark::kMillisecond)->UseRealTime();

int main(int argc, char **argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  std::printf("\ncorpus: %zu documents, %.1f MB\n", the_corpus().documents.size(), the_corpus().bytes / 1e6);
  benchmark::Shutdown();
  return 0;
}

// Save and load of a store of 200 feeds and 10,000 entries, 50 per feed (store_bench measures a
// large store), each entry with a title, a link, a guid and a description of about 1 KiB, half the feeds RSS
// and half Atom. Throughput counts the file's bytes each way.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "reader/save.h"
#include "tests/support/test_store.h"

namespace {

struct bench_store : test_store {
  std::string folder;
  std::string path;
  u64 file_size = 0;

  bench_store() {
    std::string body;
    for (int i = 0; i < 16; ++i) body += "<p>Quillmere caf\xC3\xA9 entry body text, line " + std::to_string(i) + ".</p>";
    r.generation = 1;
    for (u32 f = 0; f < 200; ++f) {
      u32 type = f % 2 ? feed_type_atom : feed_type_rss;
      feed *fd = reader_new_feed(&r, type);
      std::string url = "https://example.org/feeds/" + std::to_string(f) + ".xml";
      fd->url = reader_add_string(&r, string_from_bytes(url.data(), url.size()));
      reader_feed_url_changed(&r, fd);
      reader_new_meta(&r, fd->id);
      for (u32 k = 0; k < 50; ++k) {
        entry *e = reader_new_entry(&r);
        e->type = type;
        std::string tag = std::to_string(f) + "/" + std::to_string(k);
        std::string title = "Entry title " + tag, link = "https://example.org/e/" + tag, desc = body + tag;
        buffer t = reader_add_string(&r, string_from_bytes(title.data(), title.size()));
        buffer l = reader_add_string(&r, string_from_bytes(link.data(), link.size()));
        buffer d = reader_add_string(&r, string_from_bytes(desc.data(), desc.size()));
        if (type == feed_type_rss) {
          e->rss.title = t, e->rss.link = l, e->rss.guid = l, e->rss.description = d;
        } else {
          e->atom.title = t, e->atom.atom_id = l, e->atom.content = d;
        }
        reader_attach_entry(&r, fd, e);
      }
    }
    char t[] = "/tmp/qm_save_bench_XXXXXX";
    folder = mkdtemp(t);
    path = folder + "/feed_data_20240101_000000.bin";
    u32 error = 0;
    reader_write(&r, string_from_bytes(path.data(), path.size()), &error);
    file_size = file_size_bytes((const u8 *)path.data(), path.size(), &error);
  }
  ~bench_store() {
    unlink(path.c_str());
    rmdir(folder.c_str());
  }
};

bench_store &store() {
  static bench_store s;
  return s;
}

void BM_save(benchmark::State &state) {
  bench_store &s = store();
  for (auto _ : state) {
    u32 error = 0;
    reader_write(&s.r, string_from_bytes(s.path.data(), s.path.size()), &error);
    if (error) state.SkipWithError("write failed");
  }
  state.SetBytesProcessed((s64)(state.iterations() * s.file_size));
  state.counters["file_MB"] = (double)s.file_size / 1e6;
}
BENCHMARK(BM_save)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_save_image_only(benchmark::State &state) {
  bench_store &s = store();
  for (auto _ : state) {
    buffer image = reader_write_image(&s.r);
    benchmark::DoNotOptimize(image.data);
    memory_free(&image);
  }
  state.SetBytesProcessed((s64)(state.iterations() * s.file_size));
}
BENCHMARK(BM_save_image_only)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_load(benchmark::State &state) {
  bench_store &s = store();
  test_store loaded;
  reader &r = loaded.r;
  for (auto _ : state) {
    u32 read_error = 0;
    if (!reader_read(&r, string_from_bytes(s.path.data(), s.path.size()), &read_error)) state.SkipWithError("load failed");
    state.PauseTiming();
    reader_reset(&r);
    state.ResumeTiming();
  }
  state.SetBytesProcessed((s64)(state.iterations() * s.file_size));
}
BENCHMARK(BM_load)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();

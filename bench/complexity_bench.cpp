// Work that must grow with its input and no faster. Each adversarial shape runs at n and 4n
// items (n = 10,000 unless its input has a smaller cap) and reports t(4n) / t(n), which stays
// near 4 for linear work (target: at most 5). Times are the thread's CPU time, the best of the
// runs. The feed documents that were measured in the
// field run at their own sizes, through feed_parse into a fresh store as a first fetch does
// (then the settings record and the sort), each with its target time. A table of everything
// closes the output.
//
//   complexity_bench                              all shapes
//   complexity_bench --benchmark_filter=html      the HTML shapes alone
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "bench/bench_fetch.h"
#include "bench/bench_reader.h"
#include "gfx/font.h"
#include "gfx/text_layout.h"
#include "html/html.h"
#include "platform/desktop_entry.h"
#include "profiler/profiler.h"
#include "reader/fetch.h"
#include "reader/save.h"
#include "reader/url.h"
#include "tests/ui/ui_test_support.h"
#include "ui/ui.h"
#include "ui/undo.h"

namespace {

const u64 N = 10000;

buffer text_of(const std::string &s) { return buffer{s.size(), s.size(), (u8 *)s.data()}; }

std::string repeat(const std::string &s, u64 n) {
  std::string out;
  out.reserve(s.size() * n);
  for (u64 i = 0; i < n; i++) out += s;
  return out;
}

// The thread's own CPU time: on a machine others are using too, time spent waiting for a core
// does not count against a shape.
f64 seconds_now() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return (f64)t.tv_sec + (f64)t.tv_nsec * 1e-9;
}

// ---- The two kinds of case ---------------------------------------------------------------

// One run of a shape: what must be made fresh before it (not timed), the work (timed), and
// what must be put back after it (not timed).
struct job {
  std::function<void()> setup;
  std::function<void()> run;
  std::function<void()> finish = nullptr;
};
using make_job = std::function<job(u64 n)>;

struct ratio_row {
  std::string name;
  u64 n;
  f64 small, large;  // best seconds at n and 4n
};
struct table_row {
  std::string name;
  f64 seconds;  // best
  f64 target;
  std::string note;
};
std::vector<ratio_row> ratio_rows;
std::vector<table_row> table_rows;

f64 timed(job &j) {
  if (j.setup) j.setup();
  f64 t0 = seconds_now();
  j.run();
  f64 t = seconds_now() - t0;
  if (j.finish) j.finish();
  return t;
}

void register_ratio(const std::string &name, u64 n, make_job make) {
  benchmark::RegisterBenchmark(("ratio/" + name).c_str(), [name, n, make](benchmark::State &state) {
    job small = make(n), large = make(4 * n);
    f64 best_small = 1e300, best_large = 1e300;
    for (auto _ : state) {
      f64 a = timed(small), b = timed(large);
      best_small = std::min(best_small, a);
      best_large = std::min(best_large, b);
      state.SetIterationTime(a + b);
    }
    state.counters["n"] = (f64)n;
    state.counters["ms_n"] = best_small * 1e3;
    state.counters["ms_4n"] = best_large * 1e3;
    state.counters["ratio"] = best_large / best_small;
    ratio_rows.push_back({name, n, best_small, best_large});
  })->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);
}

void register_table(const std::string &name, f64 target, std::function<job()> make,
                    std::function<std::string()> note = nullptr, u64 runs = 3) {
  benchmark::RegisterBenchmark(("table/" + name).c_str(), [name, target, make, note](benchmark::State &state) {
    job j = make();
    f64 best = 1e300;
    for (auto _ : state) {
      f64 t = timed(j);
      best = std::min(best, t);
      state.SetIterationTime(t);
    }
    state.counters["s"] = best;
    state.counters["target_s"] = target;
    table_rows.push_back({name, best, target, note ? note() : std::string()});
  })->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations((benchmark::IterationCount)runs);
}

// ---- Feeds -------------------------------------------------------------------------------

std::string rss(const std::string &items, const std::string &after = "") {
  return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<rss version=\"2.0\"><channel><title>Shape</title>"
         "<link>https://example.org/</link>\n" +
         items + "</channel></rss>\n" + after;
}

std::string items_of(u64 first, u64 count, const char *element, const char *prefix) {
  std::string s;
  s.reserve(count * 64);
  for (u64 i = first; i < first + count; i++)
    s += std::string("<item><") + element + ">" + prefix + std::to_string(i) + "</" + element + "></item>\n";
  return s;
}

std::string guid_only(u64 n) { return rss(items_of(0, n, "guid", "https://example.org/g/")); }
std::string link_only(u64 n) { return rss(items_of(0, n, "link", "https://example.org/l/")); }
std::string title_only(u64 n) { return rss(items_of(0, n, "title", "Title number ")); }

// Elements with a non-ASCII name inside one description, then a long run of white space after
// the root: the XML loop's end-of-input bound sees that run.
std::string elements_then_newlines(u64 elements, u64 newlines) {
  return rss("<item><title>One</title><description>" + repeat("<\xC3\xA9>x</\xC3\xA9>", elements) +
                 "</description></item>\n",
             std::string(newlines, '\n'));
}

struct feed_store {
  bench_reader store{MiB(5)};  // the program's scratch size
};

// A first fetch of the document into a fresh store, as the frame loop handles it.
job first_fetch(std::string document) {
  auto s = std::make_shared<feed_store>();
  auto d = std::make_shared<std::string>(std::move(document));
  return job{[s] { s->store.reset(); },
             [s, d] { s->store.ingest_download(text_of(*d), string_lit("https://example.org/feed"), nullptr); }};
}

// Five updates of one feed, 10,000 more link-only items each; the first is the first fetch.
struct five_updates {
  std::vector<std::string> documents;
  // Each update's best time over the runs: one run's steps of a few milliseconds are at the
  // mercy of the machine, and the ratio of two of them doubly so.
  f64 step[5] = {1e300, 1e300, 1e300, 1e300, 1e300};
  feed_store s;
  five_updates() {
    for (u64 k = 1; k <= 5; k++) documents.push_back(rss(items_of(0, 10000 * k, "link", "https://example.org/l/")));
  }
  void run() {
    s.store.reset();
    reader *r = &s.store.r;
    u32 id = 0;
    for (u64 k = 0; k < 5; k++) {
      f64 t0 = seconds_now();
      if (k) r->generation += 1;
      feed *f = s.store.ingest_download(text_of(documents[k]), string_lit("https://example.org/feed"),
                                        id ? reader_find_feed(r, id) : nullptr);
      if (f) id = f->id;
      step[k] = std::min(step[k], seconds_now() - t0);
    }
  }
};

// ---- HTML --------------------------------------------------------------------------------

// Tokens, the lenient tree and one walk of it, as the entry display parses and draws an entry.
struct html_parse {
  std::string input;
  buffer block = {};
  explicit html_parse(std::string s) : input(std::move(s)) {
    html_tokens probe = {};
    probe.token_count = (input.size() + 1) / 2 + 1;
    probe.attribute_total = input.size();
    probe.text_arena.used = 4 * input.size();
    u64 need = hp_tokenizer_memory_size(text_of(input)) + hp_tree_construction_memory_size(&probe) +
               hp_tree_traversal_memory_size(probe.token_count + 1) + 64;
    block = memory_alloc(need, nullptr);
  }
  ~html_parse() { memory_free(&block); }
  u64 run() {
    block.used = 0;
    int err = 0;
    html_tokens tokens;
    hp_tokenizer(&tokens, &block, text_of(input), 0, &err);
    html_tree tree;
    hp_tree_construction(&tree, &block, &tokens, 1, &err);
    if (err) return 0;
    html_tree_traversal t;
    hp_tree_traversal_init(&t, &block, tree.nodes, tree.node_count, &err);
    u64 visits = 0;
    while (!err && hp_tree_traversal_has_next(&t)) {
      benchmark::DoNotOptimize(hp_tree_traversal_get_node(&t));
      hp_tree_traversal_advance(&t);
      visits++;
    }
    return visits;
  }
};

make_job html_shape(std::function<std::string(u64)> generate) {
  return [generate](u64 n) {
    auto p = std::make_shared<html_parse>(generate(n));
    return job{nullptr, [p] { benchmark::DoNotOptimize(p->run()); }};
  };
}

// Every attribute an input element allows besides the global ones, then a few global ones.
const char *const input_attributes[] = {
    "accept", "alt", "autocomplete", "autofocus", "checked", "dirname", "disabled", "form", "formaction",
    "formenctype", "formmethod", "formnovalidate", "formtarget", "height", "list", "max", "maxlength", "min",
    "minlength", "multiple", "name", "pattern", "placeholder", "readonly", "required", "size", "src", "step",
    "type", "value", "width", "class", "id", "lang", "title", "style", "dir", "hidden", "tabindex", "onclick"};

void register_html() {
  register_ratio("html unclosed formatting elements", N, html_shape([](u64 n) {
    const char *tags[] = {"<b>", "<i>", "<u>", "<em>", "<strong>", "<span>", "<a href=x>"};
    std::string s;
    for (u64 i = 0; i < n; i++) s += std::string(tags[i % 7]) + "x";
    return s;
  }));
  register_ratio("html end tags of elements not open, over a deep stack", N, html_shape([](u64 n) {
    return repeat("<i>", n) + "x" + repeat("</b>", n);
  }));
  register_ratio("html misnested pairs", N, html_shape([](u64 n) { return repeat("<b><i>x</b></i>", n); }));
  register_ratio("html misnested end tags closing down a deep stack", N, html_shape([](u64 n) {
    return repeat("<b><i>x", n) + repeat("</b>", n);
  }));
  register_ratio("html deep tables", N, html_shape([](u64 n) {
    return repeat("<table><tr><td>", n) + "x" + repeat("</td></tr></table>", n);
  }));
  register_ratio("html deep divs", N, html_shape([](u64 n) { return repeat("<div>", n) + "x" + repeat("</div>", n); }));
  register_ratio("html one attribute repeated", N, html_shape([](u64 n) { return "<div" + repeat(" class=a", n) + ">x</div>"; }));
  register_ratio("html every allowed attribute, repeated", N, html_shape([](u64 n) {
    std::string s = "<input";
    for (u64 i = 0; i < n; i++) s += std::string(" ") + input_attributes[i % 40] + "=a";
    return s + ">";
  }));
  register_ratio("html unknown attributes", N, html_shape([](u64 n) { return "<div" + repeat(" zzz=a", n) + ">x</div>"; }));
  register_ratio("html attributes on many elements", N, html_shape([](u64 n) {
    return repeat("<img src=a alt=b width=1 height=2 class=c id=d title=e>", n);
  }));
  register_ratio("html named references", N, html_shape([](u64 n) { return repeat("&amp;", n); }));
  register_ratio("html long named references", N, html_shape([](u64 n) { return repeat("&CounterClockwiseContourIntegral;", n); }));
  register_ratio("html numeric references", N, html_shape([](u64 n) { return repeat("&#x1F600;&#65;", n); }));
  register_ratio("html unknown references", N, html_shape([](u64 n) { return repeat("&zzzzzzzz;", n); }));
  register_ratio("html references in attribute values", N, html_shape([](u64 n) {
    return "<a href=\"" + repeat("&amp;&#65;", n) + "\">x</a>";
  }));
  register_ratio("html wide element", N, html_shape([](u64 n) { return "<p>" + repeat("<br>x", n) + "</p>"; }));
  register_ratio("html raw text with partial end tags", N, html_shape([](u64 n) {
    return "<script>" + repeat("</scrip<", n) + "</script>";
  }));
  register_ratio("html comment of dashes", N, html_shape([](u64 n) { return "<!--" + repeat("-x<!-", n) + "-->"; }));
  register_ratio("html whitespace runs", N, html_shape([](u64 n) { return "<p>" + repeat("a \n\t ", n) + "</p>"; }));
  register_ratio("html unknown tags", N, html_shape([](u64 n) { return repeat("<center>x</center>", n); }));
}

// ---- XML ---------------------------------------------------------------------------------

// One start tag in a feed's channel with n attributes, parsed as a first fetch parses it: the
// node arena grows many times while the tag is read.
std::string attributes_in_one_tag(u64 n) {
  std::string attributes;
  attributes.reserve(n * 14);
  char one[32];
  for (u64 i = 0; i < n; i++) {
    snprintf(one, sizeof one, " a%07llu=\"v\"", (unsigned long long)i);
    attributes += one;
  }
  return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<rss version=\"2.0\"><channel" + attributes +
         "><title>Shape</title><link>https://example.org/</link>\n<item><title>One</title></item></channel></rss>\n";
}

void register_xml() {
  register_ratio("xml: one start tag with n attributes", 25 * N,
                 [](u64 n) { return first_fetch(attributes_in_one_tag(n)); });
}

// ---- Dates and URLs ----------------------------------------------------------------------

make_job repeated_work(std::function<std::function<void()>(u64)> make) {
  return [make](u64 n) { return job{nullptr, make(n)}; };
}

void register_dates_and_urls() {
  register_ratio("dates: RFC 822, one per item", N, repeated_work([](u64 n) {
    return [n] {
      std::string d = "Sat, 07 Sep 2002 09:42:31 +0200";
      for (u64 i = 0; i < n; i++) benchmark::DoNotOptimize(feed_parse_date_rfc822(text_of(d)));
    };
  }));
  register_ratio("dates: ISO 8601, one per item", N, repeated_work([](u64 n) {
    return [n] {
      std::string d = "2003-12-13T18:30:02.25+01:00";
      for (u64 i = 0; i < n; i++) benchmark::DoNotOptimize(feed_parse_date_iso8601(text_of(d)));
    };
  }));
  register_ratio("dates: RFC 822 after a long run of blanks", 100 * N, repeated_work([](u64 n) {
    auto d = std::make_shared<std::string>(std::string(n, ' ') + "Sat, 07 Sep 2002 09:42:31 GMT");
    return [d] { benchmark::DoNotOptimize(feed_parse_date_rfc822(text_of(*d))); };
  }));
  register_ratio("dates: ISO 8601 with a long fraction", 100 * N, repeated_work([](u64 n) {
    auto d = std::make_shared<std::string>("2003-12-13T18:30:02." + std::string(n, '7') + "Z");
    return [d] { benchmark::DoNotOptimize(feed_parse_date_iso8601(text_of(*d))); };
  }));

  auto url_shape = [](std::function<std::string(u64)> base, std::function<std::string(u64)> reference) {
    return repeated_work([base, reference](u64 n) {
      auto b = std::make_shared<std::string>(base(n));
      auto r = std::make_shared<std::string>(reference(n));
      auto out = std::make_shared<std::vector<u8>>(2 * (b->size() + r->size()) + 64);
      return [b, r, out] {
        buffer o = buffer{out->size(), 0, out->data()};
        benchmark::DoNotOptimize(url_resolve(text_of(*b), text_of(*r), &o).used);
      };
    });
  };
  register_ratio("url: dot segments climbing a deep base", N,
                 url_shape([](u64 n) { return "https://example.org/" + repeat("seg/", n); },
                           [](u64 n) { return repeat("../", n) + "x"; }));
  register_ratio("url: dot segments inside the reference", N,
                 url_shape([](u64) { return std::string("https://example.org/a/b"); },
                           [](u64 n) { return repeat("a/./b/../", n) + "x"; }));
  register_ratio("url: segments made and dropped in turn", N,
                 url_shape([](u64) { return std::string("https://example.org/a/b"); },
                           [](u64 n) { return repeat("longsegment/..", n); }));
  register_ratio("url: long query and fragment", 10 * N,
                 url_shape([](u64 n) { return "https://example.org/p?" + std::string(n, 'q'); },
                           [](u64 n) { return "?" + std::string(n, 'r') + "#" + std::string(n, 'f'); }));
}

// ---- Desktop entries, list files and save files ------------------------------------------

std::string temp_folder(const char *what) {
  std::string t = std::string("/tmp/qm_complexity_") + what + "_XXXXXX";
  std::vector<char> b(t.begin(), t.end());
  b.push_back(0);
  return mkdtemp(b.data());
}

void write_file(const std::string &path, const std::string &bytes) {
  FILE *f = fopen(path.c_str(), "wb");
  if (!f) return;
  fwrite(bytes.data(), 1, bytes.size(), f);
  fclose(f);
}

// A home of its own with one mimeapps.list of n lines and one installed entry; the look-up
// goes through every line.
struct desktop_home {
  std::string home = temp_folder("desktop");
  explicit desktop_home(const std::string &list) {
    mkdir((home + "/config").c_str(), 0700);
    mkdir((home + "/data").c_str(), 0700);
    mkdir((home + "/data/applications").c_str(), 0700);
    write_file(home + "/config/mimeapps.list", list);
    write_file(home + "/data/applications/found.desktop", "[Desktop Entry]\nType=Application\nExec=found %u\n");
  }
  ~desktop_home() {
    unlink((home + "/config/mimeapps.list").c_str());
    unlink((home + "/data/applications/found.desktop").c_str());
    for (const char *d : {"/config", "/data/applications", "/data", ""}) rmdir((home + d).c_str());
  }
};

make_job desktop_shape(std::function<std::string(u64)> list) {
  return [list](u64 n) {
    auto folder = std::make_shared<desktop_home>(list(n));
    std::string home = folder->home;
    // The look-up reads these; the rest of the program (fontconfig among it) gets them back.
    auto saved = std::make_shared<std::vector<std::pair<std::string, std::string>>>();
    return job{[home, saved] {
                 saved->clear();
                 const char *names[] = {"HOME", "XDG_CONFIG_HOME", "XDG_CONFIG_DIRS", "XDG_DATA_HOME", "XDG_DATA_DIRS",
                                        "XDG_CURRENT_DESKTOP"};
                 for (const char *name : names) {
                   const char *v = getenv(name);
                   saved->push_back({name, v ? std::string(1, '=') + v : std::string()});
                 }
                 setenv("HOME", home.c_str(), 1);
                 setenv("XDG_CONFIG_HOME", (home + "/config").c_str(), 1);
                 setenv("XDG_CONFIG_DIRS", (home + "/none").c_str(), 1);
                 setenv("XDG_DATA_HOME", (home + "/data").c_str(), 1);
                 setenv("XDG_DATA_DIRS", (home + "/none").c_str(), 1);
                 unsetenv("XDG_CURRENT_DESKTOP");
               },
               [] {
                 u8 area[4096];
                 buffer out = buffer_make(sizeof area, 0, area);
                 benchmark::DoNotOptimize(desktop_default_command(string_lit("x/y"), &out).used);
               },
               [saved, folder] {
                 // An unset variable was saved empty, a set one with '=' before its value.
                 for (auto &[name, value] : *saved) {
                   if (value.empty()) unsetenv(name.c_str());
                   else setenv(name.c_str(), value.c_str() + 1, 1);
                 }
               }};
  };
}

// A list file of its own, read into the fetch side as the program wires it.
struct list_setup {
  bench_fetch fetch;
  std::string folder, path;
  list_setup(const std::string &list) {
    folder = temp_folder("list");
    path = folder + "/list.txt";
    write_file(path, list);
  }
  ~list_setup() {
    unlink(path.c_str());
    rmdir(folder.c_str());
  }
};

make_job list_shape(std::function<std::string(u64)> list) {
  return [list](u64 n) {
    auto s = std::make_shared<list_setup>(list(n));
    return job{[s] { s->fetch.finish(); },
               [s] {
                 u32 error = 0;
                 benchmark::DoNotOptimize(
                     app_add_feeds_from_file(&s->fetch.context, &s->fetch.store.r, text_of(s->path), &error));
               }};
  };
}

// A store of n entries (one feed of them all, or one feed each) as a save image, loaded back.
struct save_setup {
  bench_reader store{MiB(1)};
  buffer image = {};
  save_setup(u64 entries, u64 per_feed) {
    store.reset();
    reader *r = &store.r;
    feed *f = nullptr;
    for (u64 i = 0; i < entries; i++) {
      if (i % per_feed == 0) {
        f = reader_new_feed(r, feed_type_rss);
        std::string url = "https://example.org/feed/" + std::to_string(i);
        f->url = reader_add_string(r, text_of(url));
        reader_feed_url_changed(r, f);
        reader_new_meta(r, f->id);
      }
      entry *e = reader_new_entry(r);
      e->type = feed_type_rss;
      std::string link = "https://example.org/e/" + std::to_string(i), title = "Entry " + std::to_string(i);
      e->rss.link = e->rss.guid = reader_add_string(r, text_of(link));
      e->rss.title = reader_add_string(r, text_of(title));
      e->rss.description = reader_add_string(r, text_of("<p>Some text of the entry " + title + ".</p>"));
      reader_attach_entry(r, f, e);
    }
    image = reader_write_image(r);
    store.reset();
  }
  ~save_setup() { memory_free(&image); }
};

// per_feed 0: one feed of them all.
make_job save_shape(u64 per_feed) {
  return [per_feed](u64 n) {
    auto s = std::make_shared<save_setup>(n, per_feed ? per_feed : n);
    return job{[s] { reader_reset(&s->store.r); },
               [s] { benchmark::DoNotOptimize(reader_read_bytes(&s->store.r, s->image.data, s->image.used)); }};
  };
}

void register_files() {
  register_ratio("desktop entry: list of other types", N, desktop_shape([](u64 n) {
    return "[Default Applications]\n" + repeat("a/b=c;\n", n) + "x/y=found.desktop;\n";
  }));
  register_ratio("desktop entry: the type listed again and again, nothing installed", N, desktop_shape([](u64 n) {
    return "[Default Applications]\n" + repeat("x/y=m;\n", n);
  }));
  register_ratio("desktop entry: removed associations", N, desktop_shape([](u64 n) {
    return "[Removed Associations]\n" + repeat("x/y=m;\n", n) + "[Added Associations]\n" + repeat("x/y=m;\n", n);
  }));
  register_ratio("list file: one URL again and again", N, list_shape([](u64 n) { return repeat("https://example.org/feed\n", n); }));
  register_ratio("list file: blank lines", N, list_shape([](u64 n) { return repeat("  \t \r\n", n) + "https://example.org/f\n"; }));
  register_ratio("list file: more URLs than slots", N, list_shape([](u64 n) {
    std::string s;
    for (u64 i = 0; i < n; i++) s += "https://example.org/f/" + std::to_string(i) + "\n";
    return s;
  }));
  register_ratio("save load: one feed of n entries", N, save_shape(0));
  // The store holds at most 10,000 feeds.
  register_ratio("save load: n/4 feeds of four entries", N, save_shape(4));
}

// ---- Text layout -------------------------------------------------------------------------

struct layout_fonts {
  font_collection *fonts = nullptr;
  font *sans = nullptr;
  // The base list and a combining accent, which has no advance; the fonts keep using it.
  std::vector<u32> list = std::vector<u32>(FONT_BASE_CODEPOINT_COUNT);
  layout_fonts() {
    font_base_codepoints(list.data());
    list.push_back(0x301);
    u32 error = 0;
    fonts = font_collection_create_default(16, list.data(), (u32)list.size(), &error);
    if (fonts && fonts->font_count > 1) sans = &fonts->fonts[1];
    else if (fonts) sans = &fonts->fonts[0];
  }
};

layout_fonts &the_fonts() {
  static layout_fonts f;
  return f;
}

// Segments of one flow: texts laid out one after another, as the runs of a paragraph.
struct segments {
  std::vector<std::string> texts;
  std::vector<buffer> views;
  void finish() {
    views.clear();
    for (std::string &t : texts) views.push_back(text_of(t));
  }
};

u32 segment_next(void **segment, u64 user, const char **next, const char **end, u32 stay) {
  segments *s = (segments *)user;
  buffer *b = (buffer *)*segment;
  if (!stay) {
    if (!b || b + 1 >= s->views.data() + s->views.size()) return 0;
    b++;
    *segment = b;
  }
  if (!b) return 0;
  *next = (const char *)b->data;
  *end = (const char *)b->data + b->used;
  return 1;
}

// Lays the segments out at 600 pixels as a flow does, every run and line break.
u64 flow_segments(segments *s) {
  font *f = the_fonts().sans;
  if (!f || s->views.empty()) return 0;
  text_layout layout = text_layout_make(0, 600, segment_next);
  text_layout_iterator it = text_layout_iterator_make(&layout, s->views.data(), (u64)s);
  u64 runs = 0;
  for (u64 guard = 0; guard < (1ull << 26); guard++) {
    text_layout_run run = text_layout_next_rect(&layout, &it, f, TEXT_LAYOUT_SKIP_LEADING_BLANKS);
    if (run.flags == 0) break;
    runs++;
    if (run.flags & text_layout_run_line_break) text_layout_new_line(&layout, &it, 0, 600);
  }
  return runs;
}

make_job flow_shape(std::function<void(segments *, u64)> fill) {
  return [fill](u64 n) {
    auto s = std::make_shared<segments>();
    fill(s.get(), n);
    s->finish();
    return job{nullptr, [s] { benchmark::DoNotOptimize(flow_segments(s.get())); }};
  };
}

make_job line_shape(std::function<void(const std::string &)> work, std::function<std::string(u64)> text) {
  return [work, text](u64 n) {
    auto t = std::make_shared<std::string>(text(n));
    return job{nullptr, [work, t] { work(*t); }};
  };
}

void register_text_layout() {
  const std::string accent = "\xCC\x81";  // U+0301
  register_ratio("text layout: a very long line of words", N, flow_shape([](segments *s, u64 n) {
    s->texts.push_back(repeat("word ", n));
  }));
  register_ratio("text layout: one word longer than many lines", N, flow_shape([](segments *s, u64 n) {
    s->texts.push_back(std::string(n, 'w'));
  }));
  register_ratio("text layout: one word over n segments", N, flow_shape([](segments *s, u64 n) {
    for (u64 i = 0; i < n; i++) s->texts.push_back("w");
  }));
  register_ratio("text layout: words over n segments", N, flow_shape([](segments *s, u64 n) {
    for (u64 i = 0; i < n; i++) s->texts.push_back(i % 5 == 4 ? "w " : "w");
  }));
  register_ratio("text layout: accents without advance over n segments", N, flow_shape([accent](segments *s, u64 n) {
    s->texts.push_back("w");
    for (u64 i = 0; i < n; i++) s->texts.push_back(accent);
  }));
  register_ratio("text layout: accents without advance over n segments after a word", N, flow_shape([accent](segments *s, u64 n) {
    s->texts.push_back("a ");
    s->texts.push_back("w");
    for (u64 i = 0; i < n; i++) s->texts.push_back(accent);
  }));
  register_ratio("text layout: accents without advance in one word", N, flow_shape([accent](segments *s, u64 n) {
    s->texts.push_back(repeat("w" + repeat(accent, 50), n / 50 + 1));
  }));
  register_ratio("text layout: single line", 10 * N, line_shape([](const std::string &t) {
    font *f = the_fonts().sans;
    if (f) benchmark::DoNotOptimize(text_layout_single_line(f, t.data(), t.data() + t.size(), -1, 0, 1e30f, 0, nullptr, nullptr, 0, nullptr));
  }, [](u64 n) { return repeat("word ", n); }));
  register_ratio("text layout: fit with ellipsis", 10 * N, line_shape([](const std::string &t) {
    font *f = the_fonts().sans;
    if (f) benchmark::DoNotOptimize(text_layout_fit_single_line(f, text_of(t), -1, 0, 1e30f, nullptr, nullptr, 0, nullptr));
  }, [](u64 n) { return repeat("word ", n); }));
  register_ratio("text layout: text size of many lines", 10 * N, line_shape([](const std::string &t) {
    font *f = the_fonts().sans;
    if (f) benchmark::DoNotOptimize(text_layout_text_size(f, text_of(t), -1, 0, 0));
  }, [](u64 n) { return repeat("word\r\n", n); }));
  register_ratio("text layout: byte at a position past the end", 10 * N, line_shape([](const std::string &t) {
    font *f = the_fonts().sans;
    if (f) benchmark::DoNotOptimize(text_layout_byte_at_position(f, t.data(), t.data() + t.size(), -1, 0, 1e30f));
  }, [](u64 n) { return repeat("word ", n); }));
}

// ---- The text box ------------------------------------------------------------------------

const ui_id box_id = 0x5000;

// A box holding a long text, active, with the frames of a short script of keys: typing,
// caret moves by code point and by word, Home and End, deletion, undo and redo.
struct box_setup : ui_fixture {
  std::vector<u8> memory;
  buffer text;
  std::string initial;
  u32 time = 1000;
  explicit box_setup(std::string start, u64 room = 4096) : memory(start.size() + room), initial(std::move(start)) {
    text = buffer{memory.size(), 0, memory.data()};
    w->double_click_ms = 500;
    w->double_click_width = w->double_click_height = 4;
    ctx->fonts = the_fonts().fonts;
  }
  void build() {
    frame([&](ui_context *c) {
      ui_node *root = ui_node_create(c, UI_ID_NONE, ui_size_pixels_make(800), ui_size_pixels_make(600), ui_node_flag_stack_x);
      ui_parent_push(c, root);
      ui_textbox(c, box_id, &text);
      ui_parent_pop(c);
    });
  }
  void key(u8 code, u8 modifiers = 0, u32 codepoint = 0) {
    u8 byte = (u8)codepoint;  // ASCII only
    ui_test_key(w.get(), code, modifiers, time, codepoint, &byte, codepoint ? 1 : 0);
  }
  void start() {
    memcpy(memory.data(), initial.data(), initial.size());
    text.used = initial.size();
    build();
    ui_node *outer = ui_find_current(ctx.get(), box_id);
    if (!outer) return;
    rect r = outer->rect;
    s32 y = (s32)((r.y0 + r.y1) / 2);
    input_on_mouse_move(w.get(), (s32)r.x0 + 3, y, time);
    input_on_mouse_button(w.get(), key_mouse_left, true, time);
    input_on_mouse_button(w.get(), key_mouse_left, false, time);
    build();
    key(key_end);
    build();
  }
  void script() {
    const u8 ctrl = input_modifier_control, shift = input_modifier_shift;
    for (u32 frame = 0; frame < 16; frame++) {
      time += 20;
      for (char c : std::string("typed")) key(0, 0, (u32)c);
      key(key_left);
      key(key_left, ctrl);
      key(key_right, shift);
      key(key_right, ctrl);
      key(key_backspace);
      key(key_delete);
      key(key_backspace, ctrl);
      if (frame % 4 == 1) key(key_home);
      if (frame % 4 == 3) key(key_end);
      key(letter('Z'), ctrl);
      key(letter('Z'), ctrl | shift);
      build();
    }
  }
  static u8 letter(char c) { return (u8)(key_a + (c - 'A')); }
};

make_job box_shape(std::function<std::string(u64)> text) {
  return [text](u64 n) {
    auto b = std::make_shared<box_setup>(text(n));
    return job{[b] { b->start(); }, [b] { b->script(); }};
  };
}

// Typing into a box that already holds a long text, one frame per key: each frame measures
// the whole text once, so the frames grow with the text and the typing alone must not.
make_job typing_shape() {
  return [](u64 n) {
    auto b = std::make_shared<box_setup>(std::string(50000, 'x'), n + 64);
    return job{[b] { b->start(); },
               [b, n] {
                 for (u64 i = 0; i < n; i++) {
                   b->time += 5;  // within the undo pause: one record for the whole run
                   b->key(0, 0, 'a' + (u32)(i % 26));
                   if (i % 32 == 31) b->build();
                 }
                 b->build();
               }};
  };
}

// One run of typing at the end of a text, merged into one undo record as the box records it.
make_job undo_shape() {
  return [](u64 n) {
    auto f = std::make_shared<ui_fixture>();
    auto memory = std::make_shared<std::vector<u8>>(n + 16);
    return job{[f] { ui_undo_store_forget(ui_undo_store_of(f->ctx.get()), 1); },
               [f, memory, n] {
                 ui_undo_store s = ui_undo_store_of(f->ctx.get());
                 u64 caret = 0, anchor = 0;
                 f32 scroll = 0;
                 ui_undo_target t = {1, &caret, &anchor, &scroll};
                 buffer text = buffer{memory->size(), 0, memory->data()};
                 for (u64 i = 0; i < n; i++) {
                   u8 c = (u8)('a' + i % 26);
                   ui_undo_record *r = ui_undo_store_record_edit(s, t, text, text.data + i, text.data + i, buffer{1, 1, &c});
                   text.data[text.used++] = c;
                   caret = anchor = text.used;
                   ui_undo_store_record_finish(r, t);
                 }
               }};
  };
}

void register_text_box() {
  register_ratio("undo: one typing run of n characters", 10 * N, undo_shape());
  register_ratio("text box: keys and frames over a long text", 25 * N, box_shape([](u64 n) { return repeat("word ", n / 5); }));
  register_ratio("text box: keys and frames over a long word", 25 * N, box_shape([](u64 n) { return std::string(n, 'w'); }));
  register_ratio("text box: typing n characters into a long text", N / 4, typing_shape());
}

// ---- Updates of items known without a unique id ------------------------------------------

// Items without a guid that share their title (each with its own link), and items with neither
// a guid, a link nor a title whose texts are equal: the update sends them all again, and every
// one is looked up among the entries stored before.
std::string untitled_items(u64 n) {
  std::string s;
  s.reserve(n * 72);
  for (u64 i = 0; i < n; i++)
    s += "<item><title>Untitled</title><link>https://e.example/" + std::to_string(i) + "</link></item>\n";
  return rss(s);
}
// Items all dated at the feed's newest date, each with a guid of its own and the same title, half
// with one link and half with none: sent again, every one is looked up by its guid and by its link
// and title among the entries stored before.
std::string same_date_items(u64 n) {
  std::string s;
  s.reserve(n * 160);
  for (u64 i = 0; i < n; i++)
    s += "<item><title>Daily</title>" + std::string(i % 2 ? "<link>https://e.example/</link>" : "") +
         "<guid>https://e.example/" + std::to_string(i) + "</guid><pubDate>Mon, 01 Jan 2024 00:00:00 GMT</pubDate></item>\n";
  return rss(s);
}
std::string equal_text_items(u64 n) { return rss(repeat("<item><description>The same text</description></item>\n", n)); }

// The first fetch is made fresh before each run; the update of the same document is timed.
make_job update_again(std::function<std::string(u64)> generate) {
  return [generate](u64 n) {
    auto s = std::make_shared<feed_store>();
    auto d = std::make_shared<std::string>(generate(n));
    auto id = std::make_shared<u32>(0);
    return job{[s, d, id] {
                 s->store.reset();
                 feed *f = s->store.ingest_download(text_of(*d), string_lit("https://example.org/feed"), nullptr);
                 *id = f ? f->id : 0;
                 s->store.r.generation += 1;
               },
               [s, d, id] {
                 reader *r = &s->store.r;
                 s->store.ingest_download(text_of(*d), string_lit("https://example.org/feed"), reader_find_feed(r, *id));
               }};
  };
}

void register_feed_updates() {
  register_ratio("feed update: items without a guid sharing one title", N, update_again(untitled_items));
  register_ratio("feed update: items with only an equal text", N, update_again(equal_text_items));
  register_ratio("feed update: items at the newest date sharing a title and a link", N, update_again(same_date_items));
}

// ---- The measured documents --------------------------------------------------------------

void register_feeds() {
  register_ratio("feed: guid-only items", N, [](u64 n) { return first_fetch(guid_only(n)); });
  register_ratio("feed: link-only items", N, [](u64 n) { return first_fetch(link_only(n)); });
  register_ratio("feed: title-only items", N, [](u64 n) { return first_fetch(title_only(n)); });
  register_ratio("xml: non-ASCII elements, then a run of newlines", N,
                 [](u64 n) { return first_fetch(elements_then_newlines(n, 50 * n)); });

  register_table("50,000 items with only a guid", 1, [] { return first_fetch(guid_only(50000)); });
  register_table("20,000 items with only a link", 1, [] { return first_fetch(link_only(20000)); });
  register_table("20,000 items with only a title", 1, [] { return first_fetch(title_only(20000)); });
  register_table("20,000 <\xC3\xA9>x</\xC3\xA9> in one description, then 1,000,000 newlines", 1,
                 [] { return first_fetch(elements_then_newlines(20000, 1000000)); });
  register_table("16,000 items with only a guid (comparison)", 1, [] { return first_fetch(guid_only(16000)); });
  static five_updates updates;
  register_table("five updates, 10,000 more link-only items each", 2,
                 [] { return job{nullptr, [] { updates.run(); }}; },
                 [] {
                   char note[160];
                   snprintf(note, sizeof note, "fifth/first %.2f (target at most 6): %.0f %.0f %.0f %.0f %.0f ms",
                            updates.step[4] / updates.step[0], updates.step[0] * 1e3, updates.step[1] * 1e3,
                            updates.step[2] * 1e3, updates.step[3] * 1e3, updates.step[4] * 1e3);
                   return std::string(note);
                 },
                 10);
}

void print_summary() {
  std::printf("\n%-70s %9s %10s %10s %7s\n", "shape", "n", "t(n) ms", "t(4n) ms", "ratio");
  for (const ratio_row &r : ratio_rows) {
    f64 ratio = r.large / r.small;
    std::printf("%-70s %9llu %10.3f %10.3f %7.2f%s\n", r.name.c_str(), (unsigned long long)r.n, r.small * 1e3,
                r.large * 1e3, ratio, ratio > 5 ? "  over 5" : "");
  }
  std::printf("\n%-70s %10s %8s\n", "document", "time s", "target");
  for (const table_row &r : table_rows) {
    std::printf("%-70s %10.3f %8.0f%s\n", r.name.c_str(), r.seconds, r.target, r.seconds > r.target ? "  over" : "");
    if (!r.note.empty()) std::printf("    %s\n", r.note.c_str());
  }
}

}  // namespace

int main(int argc, char **argv) {
  profiler_install_disabled();
  the_fonts();  // found with the environment as the program starts with it
  register_feeds();
  register_feed_updates();
  register_html();
  register_xml();
  register_dates_and_urls();
  register_files();
  register_text_layout();
  register_text_box();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  print_summary();
  benchmark::Shutdown();
  return 0;
}

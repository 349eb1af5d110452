// The HTML parser: tokenizing plus tree construction against gumbo on the same generated entry
// documents, and two dumps for checking the parser by eye or against other parsers:
//   html_bench --tokens FILE...   the token stream, one JSON array per token
//   html_bench --tree FILE...     the tree as the debug dump prints it
#include <benchmark/benchmark.h>
#include <gumbo.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "bench/bench_summary.h"
#include "core/core.h"
#include "html/html.h"
#include "platform/log.h"

namespace {

// ---- Dumps -------------------------------------------------------------------------------

bool read_file(const char *path, std::string *out) {
  FILE *f = fopen(path, "rb");
  if (!f) return false;
  char chunk[65536];
  size_t n;
  out->clear();
  while ((n = fread(chunk, 1, sizeof chunk, f)) > 0) out->append(chunk, n);
  fclose(f);
  return true;
}

// read_file, saying on stderr when the file cannot be read.
bool read_file_or_say(const char *path, std::string *out) {
  if (read_file(path, out)) return true;
  fprintf(stderr, "cannot read %s\n", path);
  return false;
}

void json_string(std::string *out, const u8 *data, u64 n) {
  out->push_back('"');
  for (u64 i = 0; i < n; i++) {
    u8 c = data[i];
    switch (c) {
    case '"': *out += "\\\""; break;
    case '\\': *out += "\\\\"; break;
    case '\n': *out += "\\n"; break;
    case '\r': *out += "\\r"; break;
    case '\t': *out += "\\t"; break;
    case '\f': *out += "\\f"; break;
    case '\b': *out += "\\b"; break;
    default:
      if (c < 0x20) {
        char hex[8];
        snprintf(hex, sizeof hex, "\\u%04x", c);
        *out += hex;
      } else {
        out->push_back((char)c);
      }
    }
  }
  out->push_back('"');
}

void json_string(std::string *out, buffer s) { json_string(out, s.data, s.used); }

// Tokens with enough room for any input: the tokenizer's own bound.
struct parsed {
  buffer block;
  html_tokens tokens;
  int err;
};

parsed tokenize_file(const std::string &bytes, u32 options) {
  parsed p = {};
  buffer input = string_from_bytes(bytes.data(), bytes.size());
  u64 need = hp_tokenizer_memory_size(input);
  html_tokens probe = {};
  probe.token_count = (bytes.size() + 1) / 2 + 1;
  probe.attribute_total = bytes.size();
  probe.text_arena.used = 4 * bytes.size();
  need += hp_tree_construction_memory_size(&probe) + 64;
  p.block = memory_alloc(need, nullptr);
  hp_tokenizer(&p.tokens, &p.block, input, options, &p.err);
  return p;
}

int dump_tokens(int argc, char **argv) {
  for (int i = 2; i < argc; i++) {
    std::string bytes;
    if (!read_file_or_say(argv[i], &bytes)) return 1;
    parsed p = tokenize_file(bytes, 0);
    std::string out;
    std::string characters;
    bool have_characters = false;
    auto flush = [&]() {
      if (!have_characters) return;
      out += "[\"Character\", ";
      json_string(&out, (const u8 *)characters.data(), characters.size());
      out += "]\n";
      characters.clear();
      have_characters = false;
    };
    for (u64 k = 0; k < p.tokens.token_count; k++) {
      const html_token *t = &p.tokens.first_token[k];
      if (t->type == html_token_text || t->type == html_token_cdata) {
        characters.append((const char *)t->string.data, t->string.used);
        have_characters = true;
        continue;
      }
      flush();
      switch (t->type) {
      case html_token_start_tag: {
        out += "[\"StartTag\", ";
        json_string(&out, t->string);
        out += ", {";
        bool first = true;
        for (u64 a = 0; a < t->attribute_count; a++) {
          // A repeated name keeps its first value, as browsers do.
          bool repeated = false;
          for (u64 b = 0; b < a; b++)
            if (string_equal(t->attributes[a].name, t->attributes[b].name)) repeated = true;
          if (repeated) continue;
          if (!first) out += ", ";
          first = false;
          json_string(&out, t->attributes[a].name);
          out += ": ";
          json_string(&out, t->attributes[a].value);
        }
        out += "}";
        if (t->self_closing) out += ", true";
        out += "]\n";
        break;
      }
      case html_token_end_tag:
        out += "[\"EndTag\", ";
        json_string(&out, t->string);
        out += "]\n";
        break;
      case html_token_comment:
        out += "[\"Comment\", ";
        json_string(&out, t->string);
        out += "]\n";
        break;
      case html_token_doctype:
        out += t->string.size ? "[\"DOCTYPE\", \"html\", null, \"about:legacy-compat\", true]\n"
                              : "[\"DOCTYPE\", \"html\", null, null, true]\n";
        break;
      default: break;
      }
    }
    flush();
    if (p.err) {
      char line[256];
      snprintf(line, sizeof line, "[\"error\", %d, \"%s\", %u, %u]\n", p.err, html_parser_error_name((u32)p.err),
               p.tokens.error_line, p.tokens.error_column);
      out += line;
    }
    fwrite(out.data(), 1, out.size(), stdout);
    memory_free(&p.block);
  }
  return 0;
}

void print_log() {
  buffer chunks[64];
  u32 n = log_chunk_list(chunks, 64);
  for (u32 i = 0; i < n && i < 64; i++) fwrite(chunks[i].data, 1, chunks[i].used, stdout);
}

int dump_tree(int argc, char **argv) {
  for (int i = 2; i < argc; i++) {
    std::string bytes;
    if (!read_file_or_say(argv[i], &bytes)) return 1;
    parsed p = tokenize_file(bytes, 0);
    html_tree tree;
    int err = 0;
    hp_tree_construction(&tree, &p.block, &p.tokens, 1, &err);
    if (!err) hp_print_tree(&tree);
    memory_free(&p.block);
  }
  print_log();
  return 0;
}

// ---- Documents ---------------------------------------------------------------------------

struct generator {
  u64 state;
  u64 next() {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
  }
  u64 below(u64 n) { return next() % n; }
};

const char *const words[] = {
    "the", "reader", "feed", "entry", "quiet", "morning", "river", "stone", "garden", "window", "light",
    "paper", "café", "naïve", "résumé", "über", "straße", "data", "parser", "table", "list", "image", "link",
    "городе", "東京", "—", "“quoted”", "a", "of", "and", "to", "in", "is", "for", "on", "with", "as"};
const char *const entities[] = {"&amp;", "&lt;", "&gt;", "&quot;", "&eacute;", "&#8212;", "&#x2019;", "&nbsp;",
                                "&copy;", "&hellip;"};

void sentence(generator *g, std::string *out) {
  u64 n = 6 + g->below(14);
  for (u64 i = 0; i < n; i++) {
    if (i) out->push_back(i % 9 == 8 ? '\n' : ' ');
    u64 r = g->below(40);
    if (r == 0) {
      *out += entities[g->below(array_count(entities))];
    } else if (r == 1) {
      *out += "<a href=\"https://example.com/articles/";
      *out += std::to_string(g->below(100000));
      *out += "?ref=feed&amp;page=2\" title=\"More\">";
      *out += words[g->below(array_count(words))];
      *out += "</a>";
    } else if (r == 2) {
      *out += "<em>";
      *out += words[g->below(array_count(words))];
      *out += "</em>";
    } else if (r == 3) {
      *out += "<strong>";
      *out += words[g->below(array_count(words))];
      *out += "</strong>";
    } else if (r == 4) {
      *out += "<code>x &lt; y</code>";
    } else {
      *out += words[g->below(array_count(words))];
    }
  }
  *out += ". ";
}

std::string document(u64 seed, u64 target) {
  generator g = {seed * 0x9E3779B97F4A7C15ull + 1};
  std::string out = "<div class=\"entry\">\n";
  while (out.size() < target) {
    switch (g.below(8)) {
    case 0:
    case 1:
    case 2:
      out += "<p>";
      for (u64 i = 0, n = 1 + g.below(5); i < n; i++) sentence(&g, &out);
      out += "</p>\n";
      break;
    case 3:
      out += "<p><img src=\"https://cdn.example.com/img/";
      out += std::to_string(g.below(1000000));
      out += ".jpg\" alt=\"A picture\" width=\"640\" height=\"480\"><br>\n";
      sentence(&g, &out);
      out += "</p>\n";
      break;
    case 4: {
      out += g.below(2) ? "<ul>\n" : "<ol>\n";
      bool ordered = out[out.size() - 3] == 'o';
      for (u64 i = 0, n = 2 + g.below(6); i < n; i++) {
        out += "  <li>";
        sentence(&g, &out);
        out += "</li>\n";
      }
      out += ordered ? "</ol>\n" : "</ul>\n";
      break;
    }
    case 5: {
      out += "<table border=\"1\">\n<thead><tr><th>Name</th><th>Value</th><th>Note</th></tr></thead>\n<tbody>\n";
      for (u64 i = 0, n = 2 + g.below(10); i < n; i++) {
        out += "<tr><td>";
        out += words[g.below(array_count(words))];
        out += "</td><td>";
        out += std::to_string(g.below(100000));
        out += "</td><td>";
        sentence(&g, &out);
        out += "</td></tr>\n";
      }
      out += "</tbody>\n</table>\n";
      break;
    }
    case 6:
      out += "<h2 id=\"s";
      out += std::to_string(g.below(1000));
      out += "\">";
      sentence(&g, &out);
      out += "</h2>\n<blockquote cite=\"https://example.org/\"><p>";
      sentence(&g, &out);
      out += "</p></blockquote>\n";
      break;
    default:
      out += "<pre><code>for (int i = 0; i &lt; n; i++) {\n    total += values[i];\n}\n</code></pre>\n";
      break;
    }
  }
  out += "</div>\n";
  return out;
}

// Entry-sized documents from 2 KB to 200 KB, spaced evenly on a log scale.
const std::vector<std::string> &documents() {
  static std::vector<std::string> docs;
  if (!docs.empty()) return docs;
  const u64 count = 24;
  double size = 2048;
  double factor = 1.2218;  // 2 KB * factor^23 is about 200 KB
  for (u64 i = 0; i < count; i++) {
    docs.push_back(document(i + 1, (u64)size));
    size *= factor;
  }
  return docs;
}

u64 documents_bytes() {
  u64 total = 0;
  for (const std::string &d : documents()) total += d.size();
  return total;
}

// ---- Benchmarks --------------------------------------------------------------------------

void BM_html_quillmere(benchmark::State &state) {
  const std::vector<std::string> &docs = documents();
  u64 largest = 0;
  for (const std::string &d : docs) largest = d.size() > largest ? d.size() : largest;
  parsed sizing = {};
  std::string big(largest, 'x');
  buffer input = string_from_bytes(big.data(), big.size());
  html_tokens probe = {};
  probe.token_count = (largest + 1) / 2 + 1;
  probe.attribute_total = largest;
  probe.text_arena.used = 4 * largest;
  u64 need = hp_tokenizer_memory_size(input) + hp_tree_construction_memory_size(&probe) + 64;
  sizing.block = memory_alloc(need, nullptr);
  u64 nodes = 0;
  for (auto _ : state) {
    for (const std::string &d : docs) {
      sizing.block.used = 0;
      int err = 0;
      html_tokens tokens;
      hp_tokenizer(&tokens, &sizing.block, string_from_bytes(d.data(), d.size()), hp_option_input_is_utf8, &err);
      html_tree tree;
      hp_tree_construction(&tree, &sizing.block, &tokens, 1, &err);
      if (err) state.SkipWithError("parse failed");
      nodes += tree.node_count;
      benchmark::DoNotOptimize(tree.nodes);
    }
  }
  state.SetBytesProcessed((s64)(state.iterations() * documents_bytes()));
  state.counters["nodes_per_run"] = (double)nodes / (double)state.iterations();
  memory_free(&sizing.block);
}
BENCHMARK(BM_html_quillmere)->Unit(benchmark::kMillisecond);

void BM_html_gumbo(benchmark::State &state) {
  const std::vector<std::string> &docs = documents();
  for (auto _ : state) {
    for (const std::string &d : docs) {
      GumboOutput *output = gumbo_parse_with_options(&kGumboDefaultOptions, d.data(), d.size());
      benchmark::DoNotOptimize(output->root);
      gumbo_destroy_output(&kGumboDefaultOptions, output);
    }
  }
  state.SetBytesProcessed((s64)(state.iterations() * documents_bytes()));
}
BENCHMARK(BM_html_gumbo)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char **argv) {
  // The dump flags are ours; Google Benchmark would reject them.
  if (argc >= 2 && strcmp(argv[1], "--tokens") == 0) return dump_tokens(argc, argv);
  if (argc >= 2 && strcmp(argv[1], "--tree") == 0) return dump_tree(argc, argv);
  benchmark::Initialize(&argc, argv);
  summary_reporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  auto ours = reporter.times.find("BM_html_quillmere");
  auto theirs = reporter.times.find("BM_html_gumbo");
  if (ours != reporter.times.end() && theirs != reporter.times.end() && ours->second > 0) {
    double mb = (double)documents_bytes() / 1e6;
    printf("\n%u documents, %.2f MB per run\n", (unsigned)documents().size(), mb);
    printf("quillmere %.1f MB/s, gumbo %.1f MB/s, speed ratio %.2fx\n", mb / (ours->second / 1e3),
           mb / (theirs->second / 1e3), theirs->second / ours->second);
  }
  benchmark::Shutdown();
  return 0;
}

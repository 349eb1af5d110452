// Decode throughput of the codecs against glibc's iconv over the same ~10 MB of text per
// encoding. The texts are built from a fixed seed: ASCII words mixed with characters of each
// encoding's common repertoire, written as the byte sequences that decode to them (each one
// checked with our decoder; iconv must then read the whole text too).
#include <benchmark/benchmark.h>
#include <iconv.h>

#include <cstdio>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "encoding/encoding.h"

namespace {

constexpr u64 text_size = 10u << 20;

struct subject {
  const char *name;
  u32 encoding;
  const char *iconv_name;
  std::vector<u8> text;
};

// The valid sequences of an encoding whose leads lie in [lead_first, lead_last].
std::vector<std::vector<u8>> pairs(u32 encoding, u32 lead_first, u32 lead_last) {
  std::vector<std::vector<u8>> out;
  for (u32 lead = lead_first; lead <= lead_last; lead++) {
    for (u32 trail = 0x40; trail <= 0xFE; trail++) {
      u8 in[2] = {(u8)lead, (u8)trail};
      u32 cp, second, error = 0;
      u8 count;
      iso_2022_jp_state state{};
      encoding_decode(encoding, in, in + 2, &cp, &second, &count, &state, &error);
      if (!error && count == 2 && second == encoding_no_code_point) out.push_back({in[0], in[1]});
    }
  }
  return out;
}

std::vector<u8> utf8_of(u32 cp) {
  u8 out[4];
  u8 count = 0;
  u32 error = 0;
  utf8_encode(out, out + 4, cp, &count, &error);
  return std::vector<u8>(out, out + count);
}

// ASCII words separated by spaces, with a share of "other" sequences dropped between them.
std::vector<u8> make_text(const std::vector<std::vector<u8>> &other, u32 other_percent, u32 seed) {
  std::mt19937 rng(seed);
  std::vector<u8> text;
  text.reserve(text_size + 16);
  while (text.size() < text_size) {
    if (rng() % 100 < other_percent) {
      const std::vector<u8> &s = other[rng() % other.size()];
      text.insert(text.end(), s.begin(), s.end());
    } else {
      u32 r = rng() % 32;
      text.push_back(r < 5 ? ' ' : r == 5 ? ',' : r == 6 ? '\n' : (u8)('a' + rng() % 26));
    }
  }
  return text;
}

std::vector<subject> &subjects() {
  static std::vector<subject> all;
  if (!all.empty()) return all;
  // UTF-8: Latin accents, CJK ideographs and some emoji among the ASCII.
  std::vector<std::vector<u8>> utf8_other;
  for (u32 cp = 0xC0; cp <= 0xFF; cp++) utf8_other.push_back(utf8_of(cp));
  for (u32 cp = 0x4E00; cp < 0x4E00 + 3000; cp++) utf8_other.push_back(utf8_of(cp));
  for (u32 cp = 0x1F600; cp < 0x1F640; cp++) utf8_other.push_back(utf8_of(cp));
  all.push_back({"UTF-8", encoding_utf_8, "UTF-8", make_text(utf8_other, 30, 1)});
  std::vector<std::vector<u8>> latin;
  for (u32 b = 0xC0; b <= 0xFF; b++) latin.push_back({(u8)b});
  latin.push_back({0x80});
  latin.push_back({0x93});
  all.push_back({"windows-1252", encoding_windows_1252, "CP1252", make_text(latin, 8, 2)});
  // Kana and level-1 kanji; Hangul syllables; GB2312 hanzi; common Big5 hanzi.
  std::vector<std::vector<u8>> sjis = pairs(encoding_shift_jis, 0x82, 0x83);
  for (auto &p : pairs(encoding_shift_jis, 0x88, 0x98)) sjis.push_back(p);
  all.push_back({"Shift_JIS", encoding_shift_jis, "SHIFT_JIS", make_text(sjis, 60, 3)});
  std::vector<std::vector<u8>> hangul;
  for (auto &p : pairs(encoding_euc_kr, 0xB0, 0xC8))
    if (p[1] >= 0xA1) hangul.push_back(p);
  all.push_back({"EUC-KR", encoding_euc_kr, "EUC-KR", make_text(hangul, 60, 4)});
  std::vector<std::vector<u8>> gb;
  for (auto &p : pairs(encoding_gb18030, 0xB0, 0xF7))
    if (p[1] >= 0xA1) gb.push_back(p);
  all.push_back({"gb18030", encoding_gb18030, "GB18030", make_text(gb, 60, 5)});
  std::vector<std::vector<u8>> big5 = pairs(encoding_big5, 0xA4, 0xC6);
  all.push_back({"Big5", encoding_big5, "BIG5", make_text(big5, 60, 6)});
  return all;
}

std::map<std::string, double> &rates() {
  static std::map<std::string, double> r;
  return r;
}

void record(benchmark::State &state, const std::string &key, u64 bytes) {
  state.SetBytesProcessed((int64_t)(bytes * state.iterations()));
  state.counters["MB/s"] = benchmark::Counter((double)bytes * state.iterations() / 1e6,
                                              benchmark::Counter::kIsRate);
  (void)key;
}

void record_ours(benchmark::State &state, const subject &s, const char *counter, u64 produced, u64 errors) {
  if (errors) state.SkipWithError("our decoder met errors in the text");
  state.counters[counter] = (double)produced;
  record(state, std::string("ours ") + s.name, s.text.size());
}

// One code point per call, as the parsers' general paths decode.
void bm_ours(benchmark::State &state, u32 which) {
  subject &s = subjects()[which];
  std::vector<u32> out(s.text.size() + 1);
  u64 produced = 0, errors = 0;
  for (auto _ : state) {
    const u8 *at = s.text.data(), *end = at + s.text.size();
    u32 *o = out.data();
    iso_2022_jp_state st{};
    const u32 encoding = s.encoding;
    // The error word is cleared only after an error, as a caller that substitutes U+FFFD does.
    u32 cp, second, error = 0;
    u8 count;
    for (;;) {
      u8 n = encoding_decode(encoding, at, end, &cp, &second, &count, &st, &error);
      if (error) {
        if (error == encoding_error_end_of_input) break;
        errors++;
        error = 0;
        cp = 0xFFFD;
      }
      *o++ = cp;
      at += n;
    }
    produced = (u64)(o - out.data());
    benchmark::DoNotOptimize(out.data());
  }
  record_ours(state, s, "code_points", produced, errors);
}

// Runs, with one call of the dispatch wherever a run stops (U+FFFD for an error, or the
// stateful encoding's next code point), as a caller that converts whole texts does. Unit is u32
// (code points, like iconv's WCHAR_T) or u8 (UTF-8).
template <typename Unit>
void bm_runs(benchmark::State &state, u32 which) {
  subject &s = subjects()[which];
  std::vector<Unit> out(4 * s.text.size() + 16);
  u64 produced = 0, errors = 0;
  for (auto _ : state) {
    const u8 *at = s.text.data(), *end = at + s.text.size();
    Unit *o = out.data(), *o_end = out.data() + out.size();
    iso_2022_jp_state st{};
    while (at < end) {
      u64 written;
      if constexpr (sizeof(Unit) == 4)
        at += encoding_decode_run(s.encoding, at, end, o, o_end, &written);
      else
        at += encoding_decode_run_utf8(s.encoding, at, end, o, o_end, &written);
      o += written;
      if (at >= end) break;
      u32 cp, second, error = 0;
      u8 count;
      at += encoding_decode(s.encoding, at, end, &cp, &second, &count, &st, &error);
      if (error == encoding_error_end_of_input) break;
      if (error) {
        errors++;
        cp = 0xFFFD;
      }
      if constexpr (sizeof(Unit) == 4) {
        *o++ = cp;
      } else {
        u8 n = 0;
        u32 e = 0;
        utf8_encode(o, o_end, cp, &n, &e);
        o += n;
      }
    }
    produced = (u64)(o - out.data());
    benchmark::DoNotOptimize(out.data());
  }
  record_ours(state, s, "units", produced, errors);
}

void bm_iconv(benchmark::State &state, u32 which, const char *target) {
  subject &s = subjects()[which];
  iconv_t cd = iconv_open(target, s.iconv_name);
  if (cd == (iconv_t)-1) {
    state.SkipWithError("iconv_open failed");
    return;
  }
  std::vector<u32> out(s.text.size() + 1);
  u64 produced = 0;
  for (auto _ : state) {
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    char *in = (char *)s.text.data();
    size_t in_left = s.text.size();
    char *o = (char *)out.data();
    size_t out_left = out.size() * 4;  // room for UTF-8 too: at most 4 bytes per input byte
    size_t r = iconv(cd, &in, &in_left, &o, &out_left);
    if (r == (size_t)-1 || in_left) {
      state.SkipWithError("iconv stopped inside the text");
      break;
    }
    produced = (u64)(o - (char *)out.data());
    benchmark::DoNotOptimize(out.data());
  }
  iconv_close(cd);
  state.counters["out_bytes"] = (double)produced;
  record(state, std::string("iconv ") + s.name, s.text.size());
}

// Prints each run's MB/s as it finishes and keeps it for the table of ratios: the median when
// the runs are repeated (--benchmark_repetitions), the one run otherwise.
class ratio_reporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run> &runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run &run : runs) {
      auto it = run.counters.find("MB/s");
      if (it == run.counters.end() || run.error_occurred) continue;
      std::string name = run.run_name.str();
      if (run.run_type == Run::RT_Aggregate) {
        if (run.aggregate_name != "median") continue;
        medians_.insert(name);
      } else if (medians_.count(name)) {
        continue;
      }
      rates()[name] = it->second.value;
    }
  }

 private:
  std::set<std::string> medians_;
};

}  // namespace

int main(int argc, char **argv) {
  benchmark::Initialize(&argc, argv);
  for (u32 i = 0; i < subjects().size(); i++) {
    std::string name = subjects()[i].name;
    auto add = [](const std::string &n, auto fn, u32 which) {
      benchmark::RegisterBenchmark(n.c_str(), fn, which)->Unit(benchmark::kMillisecond);
    };
    add("decode/ours/" + name, bm_ours, i);
    add("decode/runs/" + name, bm_runs<u32>, i);
    add("decode/iconv/" + name, [](benchmark::State &st, u32 w) { bm_iconv(st, w, "WCHAR_T"); }, i);
    add("to_utf8/runs/" + name, bm_runs<u8>, i);
    add("to_utf8/iconv/" + name, [](benchmark::State &st, u32 w) { bm_iconv(st, w, "UTF-8"); }, i);
  }
  ratio_reporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  auto rate = [](const std::string &key) {
    auto it = rates().find(key);
    return it == rates().end() ? 0.0 : it->second;
  };
  auto ratio = [](double a, double b) { return b > 0 ? a / b : 0.0; };
  // Code points: one per call, runs, iconv to WCHAR_T; then UTF-8 out: runs, iconv to UTF-8.
  std::printf("\n%-14s %10s %10s %10s %7s %7s | %10s %10s %7s\n", "encoding", "one MB/s",
              "runs MB/s", "iconv", "one/ic", "runs/ic", "utf8 runs", "iconv", "ratio");
  for (subject &s : subjects()) {
    std::string n = s.name;
    double one = rate("decode/ours/" + n), runs = rate("decode/runs/" + n),
           peer = rate("decode/iconv/" + n), runs8 = rate("to_utf8/runs/" + n),
           peer8 = rate("to_utf8/iconv/" + n);
    std::printf("%-14s %10.1f %10.1f %10.1f %6.2fx %6.2fx | %10.1f %10.1f %6.2fx\n", s.name, one,
                runs, peer, ratio(one, peer), ratio(runs, peer), runs8, peer8, ratio(runs8, peer8));
  }
  benchmark::Shutdown();
  return 0;
}

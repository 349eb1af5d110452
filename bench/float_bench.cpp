// Shortest float text against the standard library on the same random doubles (random bit
// patterns, so every exponent). Each iteration converts the whole set; the counter reports
// nanoseconds per value. The last benchmark prints the ratios against std::to_chars.
#include <benchmark/benchmark.h>
#include <stdio.h>
#include <string.h>

#include <charconv>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "core/core.h"

namespace {

const std::vector<f64> &values() {
  static std::vector<f64> v = [] {
    std::vector<f64> out;
    std::mt19937_64 rng(123456789);
    while (out.size() < 100000) {
      u64 bits = rng();
      f64 d;
      memcpy(&d, &bits, 8);
      if (d == d && d - d == 0) out.push_back(d);  // finite
    }
    return out;
  }();
  return v;
}

std::map<std::string, double> ns_per_value;

template <class F>
void run(benchmark::State &state, const char *name, F convert) {
  const std::vector<f64> &v = values();
  static u8 out[2048];
  u64 total = 0;
  for (auto _ : state) {
    for (f64 d : v) total += convert(out, d);
    benchmark::DoNotOptimize(total);
    benchmark::ClobberMemory();
  }
  state.counters["ns/value"] = benchmark::Counter((double)state.iterations() * v.size(),
                                                  benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  state.SetItemsProcessed((s64)(state.iterations() * v.size()));
  (void)name;
}

void BM_quillmere_scientific(benchmark::State &state) {
  run(state, "quillmere scientific", [](u8 *out, f64 d) { return format_double(out, 2048, d, 0, ' ', 0, format_scientific); });
}
void BM_quillmere_fixed(benchmark::State &state) {
  run(state, "quillmere fixed", [](u8 *out, f64 d) { return format_double(out, 2048, d, 0, ' ', 0, 0); });
}
void BM_quillmere_decimal_only(benchmark::State &state) {
  run(state, "quillmere decimal only", [](u8 *, f64 d) {
    double_decimal r = double_to_decimal(d, 0);
    return r.significand + (u64)r.exponent;
  });
}
void BM_to_chars_shortest(benchmark::State &state) {
  run(state, "to_chars", [](u8 *out, f64 d) {
    return (u64)(std::to_chars((char *)out, (char *)out + 2048, d).ptr - (char *)out);
  });
}
void BM_to_chars_scientific(benchmark::State &state) {
  run(state, "to_chars scientific", [](u8 *out, f64 d) {
    return (u64)(std::to_chars((char *)out, (char *)out + 2048, d, std::chars_format::scientific).ptr - (char *)out);
  });
}
void BM_snprintf_17g(benchmark::State &state) {
  run(state, "snprintf", [](u8 *out, f64 d) { return (u64)snprintf((char *)out, 2048, "%.17g", d); });
}

BENCHMARK(BM_quillmere_scientific);
BENCHMARK(BM_quillmere_fixed);
BENCHMARK(BM_quillmere_decimal_only);
BENCHMARK(BM_to_chars_shortest);
BENCHMARK(BM_to_chars_scientific);
BENCHMARK(BM_snprintf_17g);

// Google Benchmark's reporter gives each line; this one adds the ratios at the end.
class ratio_reporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run> &runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run &r : runs) {
      ns_per_value[r.benchmark_name()] = r.GetAdjustedCPUTime() / (double)values().size();
    }
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    double base = ns_per_value["BM_to_chars_shortest"];
    if (base <= 0) return;
    printf("\nns per value and time relative to std::to_chars (shortest); below 1 is faster:\n");
    for (auto &[name, ns] : ns_per_value) printf("  %-28s %8.2f ns  %6.2fx\n", name.c_str(), ns, ns / base);
  }
};

}  // namespace

int main(int argc, char **argv) {
  benchmark::Initialize(&argc, argv);
  ratio_reporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}

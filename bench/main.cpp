// Runs the benchmarks, then prints every measured path beside its yardstick (pairs.hpp).
//
// Unless told otherwise, each benchmark runs five times, all runs shuffled together, so a path and
// its floor share the machine's moods; the table takes the median of the five.

#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "pairs.hpp"

namespace vostrel::bench {
namespace {

std::vector<ScalePair>& registered_scales() {
  static std::vector<ScalePair> pairs;
  return pairs;
}

}  // namespace

bool compare_scales(std::string family, std::string small_args, std::string large_args) {
  registered_scales().push_back({std::move(family), std::move(small_args), std::move(large_args)});
  return true;
}

const std::vector<ScalePair>& scale_pairs() {
  return registered_scales();
}

bool agree(benchmark::State& state, ByteView ours, ByteView floor, std::string_view what) {
  if (std::ranges::equal(ours, floor)) return true;
  state.SkipWithError(("the floor's " + std::string(what) + " differs from the library's").c_str());
  return false;
}

namespace {

using Run = benchmark::BenchmarkReporter::Run;

struct Figure {
  std::tuple<std::int64_t, std::int64_t> order{};
  std::vector<double> ns;
  std::vector<double> item_ns;
  double median_ns = 0;
  double median_item_ns = 0;
  bool has_median = false;
  std::string error;

  double per_call() const { return has_median ? median_ns : median_of(ns); }
  // Per counted item where the benchmark counts items, else per call.
  double per_item() const {
    if (has_median) return median_item_ns > 0 ? median_item_ns : median_ns;
    return item_ns.empty() ? median_of(ns) : median_of(item_ns);
  }

  static double median_of(std::vector<double> values) {
    if (values.empty()) return 0;
    std::ranges::sort(values);
    const std::size_t mid = values.size() / 2;
    return values.size() % 2 == 1 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
  }
};

std::string key_of(const Run& run) {
  const auto& name = run.run_name;
  return name.args.empty() ? name.function_name : name.function_name + "/" + name.args;
}

std::string duration(double ns) {
  char text[32];
  if (ns < 1e3) {
    std::snprintf(text, sizeof text, "%.1f ns", ns);
  } else if (ns < 1e6) {
    std::snprintf(text, sizeof text, "%.2f us", ns / 1e3);
  } else if (ns < 1e9) {
    std::snprintf(text, sizeof text, "%.2f ms", ns / 1e6);
  } else {
    std::snprintf(text, sizeof text, "%.2f s", ns / 1e9);
  }
  return text;
}

// The path a yardstick stands beside, and what kind of yardstick it is; nothing for a path.
std::optional<std::pair<std::string, std::string>> yardstick_of(const std::string& function,
                                                                const std::string& args) {
  const auto with_args = [&](std::string name) { return args.empty() ? name : name + "/" + args; };
  static constexpr std::string_view kFloor = "_floor";
  if (function.ends_with(kFloor)) {
    return std::pair{with_args(function.substr(0, function.size() - kFloor.size())),
                     std::string("floor")};
  }
  if (const auto bare = function.find("_bare_"); bare != std::string::npos) {
    return std::pair{with_args(function.substr(0, bare)), function.substr(bare + 1)};
  }
  return std::nullopt;
}

class PairReporter : public benchmark::ConsoleReporter {
 public:
  explicit PairReporter(OutputOptions options) : ConsoleReporter(options) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) record(run);
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    print_pairs();
    print_scales();
  }

 private:
  void record(const Run& run) {
    const std::string key = key_of(run);
    if (!figures_.contains(key)) {
      names_[key] = {run.run_name.function_name, run.run_name.args};
    }
    Figure& figure = figures_[key];
    figure.order = {run.family_index, run.per_family_instance_index};
    if (run.error_occurred) {
      figure.error = run.error_message;
      return;
    }
    const double to_ns = 1e9 / benchmark::GetTimeUnitMultiplier(run.time_unit);
    const double ns = run.GetAdjustedRealTime() * to_ns;
    const auto items = run.counters.find("items_per_second");
    const double item_ns =
        items != run.counters.end() && items->second.value > 0 ? 1e9 / items->second.value : 0;
    if (run.run_type == Run::RT_Iteration) {
      figure.ns.push_back(ns);
      if (item_ns > 0) figure.item_ns.push_back(item_ns);
    } else if (run.aggregate_name == "median") {
      figure.has_median = true;
      figure.median_ns = ns;
      figure.median_item_ns = item_ns;
    }
  }

  std::vector<std::string> in_order() const {
    std::vector<std::string> keys;
    for (const auto& [key, figure] : figures_) keys.push_back(key);
    std::ranges::sort(keys, {}, [&](const std::string& key) { return figures_.at(key).order; });
    return keys;
  }

  std::string figure_text(const Figure& figure) const {
    return figure.error.empty() ? duration(figure.per_call()) : "failed";
  }

  void print_pairs() {
    std::map<std::string, std::vector<std::pair<std::string, std::string>>> yardsticks;
    for (const std::string& key : in_order()) {
      const auto& [function, args] = names_.at(key);
      if (const auto ours = yardstick_of(function, args)) {
        yardsticks[ours->first].emplace_back(key, ours->second);
      }
    }
    std::vector<std::string> alone;
    // std::cout stays in step with stdio, so these lines follow the console report.
    std::FILE* out = stdout;
    std::fprintf(out, "\n%-52s %12s %12s %7s  %s\n", "path (median real time per call)", "ours",
                 "yardstick", "ratio", "which");
    for (const std::string& key : in_order()) {
      const auto& [function, args] = names_.at(key);
      if (yardstick_of(function, args)) continue;
      const auto found = yardsticks.find(key);
      if (found == yardsticks.end()) {
        if (!is_scaled(key)) alone.push_back(key);
        continue;
      }
      const Figure& ours = figures_.at(key);
      for (const auto& [yardstick_key, which] : found->second) {
        const Figure& yardstick = figures_.at(yardstick_key);
        std::string ratio = "-";
        if (ours.error.empty() && yardstick.error.empty() && yardstick.per_call() > 0) {
          char text[16];
          std::snprintf(text, sizeof text, "%.2f", ours.per_call() / yardstick.per_call());
          ratio = text;
        }
        std::fprintf(out, "%-52s %12s %12s %7s  %s\n", key.c_str(), figure_text(ours).c_str(),
                     figure_text(yardstick).c_str(), ratio.c_str(), which.c_str());
        if (!yardstick.error.empty()) std::fprintf(out, "    %s\n", yardstick.error.c_str());
      }
      yardsticks.erase(found);
    }
    for (const auto& [key, orphans] : yardsticks) {
      for (const auto& [yardstick_key, which] : orphans) {
        std::fprintf(out, "%-52s %12s %12s %7s  %s\n", key.c_str(), "not run",
                     figure_text(figures_.at(yardstick_key)).c_str(), "-", which.c_str());
      }
    }
    if (!alone.empty()) {
      std::fprintf(out, "\nwithout a yardstick:");
      for (const std::string& key : alone) std::fprintf(out, " %s", key.c_str());
      std::fprintf(out, "\n");
    }
  }

  bool is_scaled(const std::string& key) const {
    return std::ranges::any_of(scale_pairs(), [&](const ScalePair& pair) {
      return key == pair.family + "/" + pair.small_args ||
             key == pair.family + "/" + pair.large_args;
    });
  }

  void print_scales() {
    if (scale_pairs().empty()) return;
    std::FILE* out = stdout;
    std::fprintf(out, "\n%-40s %12s %12s %12s %7s  %s\n", "scale (median real time)", "args",
                 "small", "large", "ratio", "per");
    for (const ScalePair& pair : scale_pairs()) {
      const auto small = figures_.find(pair.family + "/" + pair.small_args);
      const auto large = figures_.find(pair.family + "/" + pair.large_args);
      if (small == figures_.end() || large == figures_.end()) continue;
      const Figure& a = small->second;
      const Figure& b = large->second;
      const bool per_item = !a.item_ns.empty() || a.median_item_ns > 0;
      std::string ratio = "-";
      if (a.error.empty() && b.error.empty() && a.per_item() > 0) {
        char text[16];
        std::snprintf(text, sizeof text, "%.2f", b.per_item() / a.per_item());
        ratio = text;
      }
      const std::string args = pair.small_args + ":" + pair.large_args;
      std::fprintf(out, "%-40s %12s %12s %12s %7s  %s\n", pair.family.c_str(), args.c_str(),
                   a.error.empty() ? duration(a.per_item()).c_str() : "failed",
                   b.error.empty() ? duration(b.per_item()).c_str() : "failed", ratio.c_str(),
                   per_item ? "item" : "call");
    }
  }

  std::map<std::string, Figure> figures_;
  std::map<std::string, std::pair<std::string, std::string>> names_;
};

}  // namespace
}  // namespace vostrel::bench

int main(int argc, char** argv) {
  // glibc moves its mmap and trim thresholds up each time a mapped block is freed, so whether a
  // fresh buffer faulted in new pages depended on what had run before: the two sides of a pair
  // differed by half. Held fixed, a block of up to 512 KiB (a media chunk) comes back from the heap
  // warm, a larger one and the chunks of a 64 MiB file are fresh pages, whatever ran before.
  mallopt(M_MMAP_THRESHOLD, 512 << 10);
  mallopt(M_TRIM_THRESHOLD, 4 << 20);
  // Defaults first: flags given on the command line come later and win.
  std::vector<char*> args{argv[0]};
  std::string defaults[] = {"--benchmark_repetitions=5",
                            "--benchmark_enable_random_interleaving=true",
                            "--benchmark_display_aggregates_only=true"};
  for (std::string& flag : defaults) args.push_back(flag.data());
  bool console = true;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg.starts_with("--benchmark_format=") && arg != "--benchmark_format=console") {
      console = false;
    }
    args.push_back(argv[i]);
  }
  int count = static_cast<int>(args.size());
  args.push_back(nullptr);
  benchmark::Initialize(&count, args.data());
  if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;
  if (!console) {
    benchmark::RunSpecifiedBenchmarks();
  } else {
    const auto options = isatty(STDOUT_FILENO) ? benchmark::ConsoleReporter::OO_ColorTabular
                                               : benchmark::ConsoleReporter::OO_Tabular;
    vostrel::bench::PairReporter reporter(options);
    benchmark::RunSpecifiedBenchmarks(&reporter);
  }
  benchmark::Shutdown();
  return 0;
}

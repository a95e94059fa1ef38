// Times the hard-link registry and the name pattern matcher on their own,
// away from the file system.
//
// The registry runs are what a walk of a large tree asks of it: every
// recorded file added (its path copied), then the whole group report walked
// and the registry released. Files come two or three names to an identity,
// with the names of one file far apart in the walk, as links spread over a
// tree. After the runs the program prints how the time grows with ten times
// the files; the report is meant to stay linear.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <map>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "paths/name_pattern.h"
#include "scan/hard_link_registry.h"

namespace quorrex {
namespace {

constexpr uint32_t kStateA = 0x51A72024u;  // fixed random state for the workloads
constexpr uint64_t kVolume = 0x2A5C9E01u;

struct Recorded {
  std::u16string path;
  uint32_t links = 0;
  uint32_t indexLow = 0;
  uint32_t indexHigh = 0;
};

std::u16string Widen(std::string_view text) {
  return std::u16string(text.begin(), text.end());
}

// `files` recorded names in walk order: identities of two or three names (a
// few with one more link outside the walked tree), the names of one identity
// scattered over the whole walk, paths of 50 to 110 characters.
const std::vector<Recorded>& Workload(size_t files) {
  static std::map<size_t, std::vector<Recorded>> made;
  auto found = made.find(files);
  if (found != made.end()) return found->second;

  std::mt19937_64 random(kStateA);
  std::vector<uint32_t> owner;  // the identity of every name
  owner.reserve(files);
  for (uint32_t identity = 0; owner.size() < files; ++identity) {
    const size_t names = identity % 2 == 0 ? 2 : 3;
    for (size_t i = 0; i < names && owner.size() < files; ++i) owner.push_back(identity);
  }
  std::shuffle(owner.begin(), owner.end(), random);

  static const char* const kFolders[] = {"src",   "lib",    "include", "assets", "build",
                                         "tests", "vendor", "share",   "photos", "backup"};
  static const char* const kExtensions[] = {".c", ".so", ".json", ".jpg", ".tar.gz", ".txt"};
  std::vector<Recorded> list(files);
  char text[256];
  for (size_t i = 0; i < files; ++i) {
    const uint32_t identity = owner[i];
    const auto depth = static_cast<int>(2 + random() % 5);
    int at = std::snprintf(text, sizeof text, "/home/build/projects/p%02u",
                           static_cast<unsigned>(random() % 40));
    for (int d = 0; d < depth; ++d) {
      at += std::snprintf(text + at, sizeof text - static_cast<size_t>(at), "/%s_%u",
                          kFolders[random() % 10], static_cast<unsigned>(random() % 100));
    }
    std::snprintf(text + at, sizeof text - static_cast<size_t>(at), "/file_%07zu%s", i,
                  kExtensions[random() % 6]);
    list[i].path = Widen(text);
    // Inode numbers as a busy volume hands them out: large and scattered.
    const uint64_t index = 0x1000000ull + uint64_t{identity} * 7919u + (identity % 13);
    list[i].indexLow = static_cast<uint32_t>(index);
    list[i].indexHigh = static_cast<uint32_t>(index >> 32);
    list[i].links = (identity % 2 == 0 ? 2 : 3) + (identity % 17 == 0 ? 1 : 0);
  }
  return made.emplace(files, std::move(list)).first->second;
}

void BM_RegistryRecordAndReport(benchmark::State& state) {
  const auto files = static_cast<size_t>(state.range(0));
  const std::vector<Recorded>& work = Workload(files);
  uint32_t groups = 0;
  for (auto _ : state) {
    HardLinkRegistry list;
    for (const Recorded& r : work) {
      list.Add(r.links, FileId{kVolume, (uint64_t{r.indexHigh} << 32) | r.indexLow}, r.path, u'/');
    }
    size_t printed = 0;
    groups = list.ForEachGroup(
        [&printed](uint32_t count, const FileId&, std::span<const std::u16string_view> paths) {
          for (const std::u16string_view path : paths) printed += path.size() + count;
        });
    benchmark::DoNotOptimize(printed);
    list.Clear();
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(files));
  state.SetComplexityN(static_cast<int64_t>(files));
  state.counters["groups"] = groups;
  {
    HardLinkRegistry list;
    for (const Recorded& r : work) {
      list.Add(r.links, FileId{kVolume, (uint64_t{r.indexHigh} << 32) | r.indexLow}, r.path, u'/');
    }
    state.counters["bytes/name"] =
        static_cast<double>(list.BytesHeld()) / static_cast<double>(files);
  }
}
BENCHMARK(BM_RegistryRecordAndReport)
    ->Arg(10'000)
    ->Arg(100'000)
    ->Arg(1'000'000)
    ->Unit(benchmark::kMillisecond)
    ->Complexity(benchmark::oN);

// The group report alone, on a registry filled beforehand.
void BM_RegistryReportOnly(benchmark::State& state) {
  const auto files = static_cast<size_t>(state.range(0));
  HardLinkRegistry list;
  for (const Recorded& r : Workload(files)) {
    list.Add(r.links, FileId{kVolume, (uint64_t{r.indexHigh} << 32) | r.indexLow}, r.path, u'/');
  }
  for (auto _ : state) {
    size_t printed = 0;
    list.ForEachGroup(
        [&printed](uint32_t count, const FileId&, std::span<const std::u16string_view> paths) {
          for (const std::u16string_view path : paths) printed += path.size() + count;
        });
    benchmark::DoNotOptimize(printed);
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(files));
  state.SetComplexityN(static_cast<int64_t>(files));
}
BENCHMARK(BM_RegistryReportOnly)
    ->Arg(10'000)
    ->Arg(100'000)
    ->Arg(1'000'000)
    ->Unit(benchmark::kMillisecond)
    ->Complexity(benchmark::oN);

// Names as a folder of a source tree or a photo library holds them.
const std::vector<std::u16string>& Names() {
  static const std::vector<std::u16string> names = [] {
    static const char* const kStems[] = {"main",     "index",     "README", "util",  "report_07",
                                         "IMG_2041", "thumbnail", "libfoo", "setup", "core"};
    static const char* const kExtensions[] = {".c",   ".h",      ".DLL", ".dll",  ".txt",
                                              ".JPG", ".tar.gz", "",     ".so.6", ".json"};
    std::vector<std::u16string> out;
    std::mt19937 random(kStateA);
    for (int i = 0; i < 1000; ++i) {
      std::string name = kStems[random() % 10];
      if (random() % 3 == 0) {
        name += '_';
        name += std::to_string(random() % 1000);
      }
      name += kExtensions[random() % 10];
      out.push_back(Widen(name));
    }
    return out;
  }();
  return names;
}

void MatchAll(benchmark::State& state, std::u16string pattern) {
  const std::vector<std::u16string>& names = Names();
  size_t matched = 0;
  for (auto _ : state) {
    matched = 0;
    for (const std::u16string& name : names) matched += MatchNamePattern(pattern, name) ? 1 : 0;
    benchmark::DoNotOptimize(matched);
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(names.size()));
  state.counters["matched"] = static_cast<double>(matched);
}

void RegisterPatterns() {
  static const char* const kPatterns[] = {"*",         "*.dll",      "*.tar.gz", "report_??.txt",
                                          "IMG_*.jpg", "*a*b*c*d*e", "readme",   "l*o*.s?.6"};
  for (const char* pattern : kPatterns) {
    const std::string label = std::string("BM_MatchNamePattern/\"") + pattern + "\"";
    benchmark::RegisterBenchmark(label.c_str(), MatchAll, Widen(pattern));
  }
}

// Keeps the time per run of the registry benchmarks, to print the growth
// from one size to the next once all have run. Both the wall time and the
// process's CPU time are shown: on a shared machine the first also carries
// the waits for a core.
class GrowthReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& reports) override {
    for (const Run& run : reports) {
      if (run.run_type != Run::RT_Iteration || run.error_occurred || run.iterations == 0) {
        continue;
      }
      if (run.complexity_n <= 0) continue;
      const auto iterations = static_cast<double>(run.iterations);
      times_[run.run_name.function_name][run.complexity_n] = {
          run.real_accumulated_time / iterations, run.cpu_accumulated_time / iterations};
    }
    ConsoleReporter::ReportRuns(reports);
  }

  void PrintGrowth() const {
    for (const auto& [name, bySize] : times_) {
      std::printf("\n%s: time per run (wall, CPU)\n", name.c_str());
      const std::pair<const int64_t, Times>* previous = nullptr;
      for (const auto& entry : bySize) {
        std::printf("  %9lld files  %10.3f ms %10.3f ms", static_cast<long long>(entry.first),
                    entry.second.wall * 1e3, entry.second.cpu * 1e3);
        if (previous != nullptr) {
          const double files = static_cast<double>(entry.first) / previous->first;
          const double wall = entry.second.wall / previous->second.wall;
          const double cpu = entry.second.cpu / previous->second.cpu;
          std::printf("   x%.0f files: x%.2f wall, x%.2f CPU (linear: at most x%.0f)%s", files,
                      wall, cpu, files * 1.2, cpu <= files * 1.2 ? "" : "  MISSED");
        }
        std::printf("\n");
        previous = &entry;
      }
    }
  }

 private:
  struct Times {
    double wall = 0;
    double cpu = 0;
  };
  std::map<std::string, std::map<int64_t, Times>> times_;
};

}  // namespace
}  // namespace quorrex

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  quorrex::RegisterPatterns();
  quorrex::GrowthReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintGrowth();
  benchmark::Shutdown();
  return 0;
}

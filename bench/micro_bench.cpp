// korvex-microbench - Google Benchmark timings of the routines a plugin run spends its time
// in: lookupMap on a dense and a small TARN map, checkRegexList over pattern lists of
// growing length, and session_in_list over administrator lists of 10 and 500 entries. The
// data comes from the benchmark's generator, written to a private temporary directory.
#include <benchmark/benchmark.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "bench/bench_data.h"
#include "lists/list_files.h"
#include "lists/list_paths.h"
#include "plugin/checks/reverse_dns.h"
#include "tarn/tarn_map.h"

namespace {

namespace fs = std::filesystem;
using namespace korvex;

void silent(int, const char*, ...) {}

// The generated files, made once and removed at exit.
class Workspace {
 public:
  Workspace() {
    char pattern[] = "/tmp/korvex-microbench.XXXXXX";
    const char* made = mkdtemp(pattern);
    if (made == nullptr) std::abort();
    root_ = made;
    std::ifstream in(KORVEX_PUBLISHED_LIST);
    std::ostringstream text;
    text << in.rdbuf();
    published_ = bench::published_expressions(text.str());
  }
  ~Workspace() {
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }
  Workspace(const Workspace&) = delete;
  Workspace& operator=(const Workspace&) = delete;

  const std::string& root() const { return root_; }
  const std::vector<std::string>& published() const { return published_; }

 private:
  std::string root_;
  std::vector<std::string> published_;
};

Workspace& workspace() {
  static Workspace instance;
  return instance;
}

void write_file(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  out.close();
  if (!out) std::abort();
}

std::string lines_of(const std::vector<std::string>& lines, const std::string& header = "") {
  std::string text = header;
  for (const auto& line : lines) text += line + "\n";
  return text;
}

// The first map of the full plan (dense), or a small one.
std::string map_file(bool dense) {
  const auto plan = bench::full_plan();
  const auto& layout = dense ? plan.maps.front() : plan.maps.back();
  const std::string path = workspace().root() + "/" + layout.name;
  if (!fs::exists(path)) {
    const auto bytes = bench::build_map(layout);
    write_file(path, std::string(bytes.begin(), bytes.end()));
  }
  return path;
}

void BM_lookupMap(benchmark::State& state) {
  const std::string path = map_file(state.range(0) != 0);
  const int descriptor = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (descriptor < 0) {
    state.SkipWithError("cannot open the map");
    return;
  }
  std::mt19937 random(7);
  std::vector<std::uint32_t> addresses(4096);
  for (auto& address : addresses) address = htonl(static_cast<std::uint32_t>(random()));
  std::size_t next = 0;
  const CheckContext context;
  for (auto _ : state) {
    benchmark::DoNotOptimize(lookupMap(context.system_log, descriptor, addresses[next++ % addresses.size()]));
  }
  (void)close(descriptor);
}
BENCHMARK(BM_lookupMap)->ArgName("dense")->Arg(1)->Arg(0);

void BM_checkRegexList(benchmark::State& state) {
  const auto lines = static_cast<int>(state.range(0));
  const std::string path = workspace().root() + "/dyna-" + std::to_string(lines) + ".regexes";
  write_file(path, lines_of(bench::dynamic_host_patterns(workspace().published(), lines, 3001),
                             "# benchmark data\n"));
  const CheckContext context;
  for (auto _ : state) {
    benchmark::DoNotOptimize(checkRegexList(context, path, bench::kCleanHost, silent));
  }
}
BENCHMARK(BM_checkRegexList)->ArgName("lines")->Arg(100)->Arg(1000)->Arg(10000)->Unit(
    benchmark::kMillisecond);

// Arguments: list id (1 sender whitelist, 2 exempt IPs) and the number of entries.
void BM_session_in_list(benchmark::State& state) {
  const int list = static_cast<int>(state.range(0));
  const int entries = static_cast<int>(state.range(1));
  const std::string directory =
      workspace().root() + "/lists-" + std::to_string(list) + "-" + std::to_string(entries);
  fs::create_directories(directory);
  const auto path = list_file_path(directory, list);
  if (!path) {
    state.SkipWithError("unknown list");
    return;
  }
  write_file(*path, lines_of(list == kExemptIpsList ? bench::ip_list_entries(entries, 2002, "")
                                                    : bench::address_list_entries(entries, 2001, "")));
  const std::optional<std::string> ip = bench::kCleanIp;
  const std::optional<std::string> sender = bench::kCleanSender;
  const std::optional<std::string> recipient = bench::kRecipient;
  for (auto _ : state) {
    benchmark::DoNotOptimize(session_in_list(ip, sender, recipient, list, directory));
  }
}
BENCHMARK(BM_session_in_list)
    ->ArgNames({"list", "entries"})
    ->Args({kFromWhitelistList, 10})
    ->Args({kFromWhitelistList, 500})
    ->Args({kExemptIpsList, 10})
    ->Args({kExemptIpsList, 500})
    ->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();

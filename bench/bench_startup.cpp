// Whole-process time of the vizmira command: start-up matters for `about`, `params` and
// small renders, which a script may run thousands of times. Run: build/bin/vizmira_startup_bench
#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

extern char** environ;

namespace {

// Runs the command with its output thrown away; false when it fails.
bool Run(std::vector<std::string> args) {
  args.insert(args.begin(), VIZMIRA_CLI);
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t pid;
  const int spawned = posix_spawn(&pid, VIZMIRA_CLI, &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  int status = 0;
  return spawned == 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
         WEXITSTATUS(status) == 0;
}

std::string Temp(const std::string& name) {
  return (std::filesystem::temp_directory_path() / ("vizmira-startup-" + name)).string();
}

void BM_About(benchmark::State& state) {
  for (auto _ : state)
    if (!Run({"about"})) state.SkipWithError("vizmira about failed");
}

void BM_ParamsJson(benchmark::State& state) {
  for (auto _ : state)
    if (!Run({"params", "--json"})) state.SkipWithError("vizmira params failed");
}

void BM_Render64(benchmark::State& state) {
  const std::string card = Temp("card.png"), out = Temp("out.png");
  if (!Run({"testcard", card, "--size", "64x64"})) state.SkipWithError("no test card");
  for (auto _ : state)
    if (!Run({"render", card, out})) state.SkipWithError("vizmira render failed");
  std::filesystem::remove(card);
  std::filesystem::remove(out);
}

BENCHMARK(BM_About)->Unit(benchmark::kMillisecond)->UseRealTime()->Repetitions(5)->ReportAggregatesOnly();
BENCHMARK(BM_ParamsJson)->Unit(benchmark::kMillisecond)->UseRealTime()->Repetitions(5)->ReportAggregatesOnly();
BENCHMARK(BM_Render64)->Unit(benchmark::kMillisecond)->UseRealTime()->Repetitions(5)->ReportAggregatesOnly();

}  // namespace

BENCHMARK_MAIN();

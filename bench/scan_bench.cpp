// Benchmarks of the scan in the host simulator.
//
//   addoncard_bench                     Google Benchmark timings of the scans
//   addoncard_bench --counts            one line per scan shape: calls of each
//                                       platform service, bytes the driver copied,
//                                       pool blocks it asked for, pool bytes it
//                                       holds after the scan, microseconds (tab-separated)
//   addoncard_bench --scan CARDS QUESTIONS
//                                       one scan and nothing else, for callgrind
//                                       (bench::RunScan is the function to collect)
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/scan_scenario.h"
#include "driver/card_inventory.h"
#include "sim/sim.h"
#include "support/work_counters.h"

namespace {

const bench::ScanShape SHAPES[] = {
    {1, 10},  {1, 100},  {1, 500},  {1, 1024}, {4, 40},    {4, 100},
    {4, 500}, {4, 1024}, {10, 100}, {10, 500}, {10, 1024},
};

// The services the table reports, as the simulator names them.
const char *const SERVICES[] = {
    "HiiString.NewString",           "HiiString.SetString",
    "HiiString.GetString",           "HiiDatabase.ExportPackageLists",
    "HiiDatabase.UpdatePackageList", "ConfigRouting.ExtractConfig",
    "RuntimeServices.GetVariable",   "RuntimeServices.SetVariable",
    "HiiString.GetLanguages",
};

void ScanBenchmark(benchmark::State &State) {
  const bench::ScanShape Shape = {static_cast<unsigned>(State.range(0)),
                                  static_cast<unsigned>(State.range(1))};
  for (auto _ : State) {
    State.PauseTiming();
    bench::PrepareScan(Shape);
    State.ResumeTiming();
    bench::RunScan();
  }
  State.counters["questions"] = static_cast<double>(MirroredQuestionCount);
  State.counters["per_question"] =
      benchmark::Counter(static_cast<double>(Shape.Questions),
                         benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void RegisterScans() {
  for (const bench::ScanShape &Shape : SHAPES)
    benchmark::RegisterBenchmark(("scan/" + bench::ShapeName(Shape)).c_str(), ScanBenchmark)
        ->Args({Shape.Cards, Shape.Questions})
        ->Unit(benchmark::kMillisecond);
}

// Counts of one scan of Shape, on a line.
void PrintCounts(const bench::ScanShape &Shape) {
  bench::PrepareScan(Shape);
  sim::ResetServiceCallCounts();
  DriverWorkCounters = {};
  const auto Start = std::chrono::steady_clock::now();
  bench::RunScan();
  const auto Elapsed = std::chrono::steady_clock::now() - Start;
  const DRIVER_WORK_COUNTERS Work = DriverWorkCounters;
  std::printf("%u\t%u\t%u", Shape.Cards, Shape.Questions, static_cast<unsigned>(MirroredQuestionCount));
  for (const char *Service : SERVICES) std::printf("\t%zu", sim::ServiceCallCount(Service));
  std::printf(
      "\t%llu\t%llu\t%lld\t%lld\n", static_cast<unsigned long long>(Work.BytesCopied),
      static_cast<unsigned long long>(Work.PoolAllocations),
      static_cast<long long>(sim::HeldBytes()) - static_cast<long long>(bench::PoolBytesBeforeDriver()),
      static_cast<long long>(std::chrono::duration_cast<std::chrono::microseconds>(Elapsed).count()));
}

void PrintAllCounts() {
  std::printf("cards\tquestions\tmirrored");
  for (const char *Service : SERVICES) std::printf("\t%s", std::strchr(Service, '.') + 1);
  std::printf("\tBytesCopied\tPoolAllocations\tPoolHeldAfter\tMicroseconds\n");
  for (const bench::ScanShape &Shape : SHAPES) PrintCounts(Shape);
}

}  // namespace

int main(int argc, char **argv) {
  if (argc == 2 && std::strcmp(argv[1], "--counts") == 0) {
    PrintAllCounts();
    return 0;
  }
  if (argc == 4 && std::strcmp(argv[1], "--scan") == 0) {
    const bench::ScanShape Shape = {static_cast<unsigned>(std::atoi(argv[2])),
                                    static_cast<unsigned>(std::atoi(argv[3]))};
    bench::PrepareScan(Shape);
    bench::RunScan();
    std::printf("%u mirrored\n", static_cast<unsigned>(MirroredQuestionCount));
    return 0;
  }
  RegisterScans();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}

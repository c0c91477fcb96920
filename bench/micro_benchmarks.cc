// Micro-benchmarks of the pieces a scoring run spends its time in: reading an
// annotation file, the overlap tests, the assignment solver and the matching
// of one frame.
//
//   build/bench/bench/talmira_micro_benchmarks [--benchmark_filter=REGEX]
#include <benchmark/benchmark.h>
#include <stdio.h>  // fmemopen

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "annotation/quor_records.h"
#include "annotation/sequence_reader.h"
#include "scoring/analysis/paired_bootstrap.h"
#include "scoring/matching/assignment_solver.h"
#include "scoring/matching/box_overlap.h"
#include "scoring/matching/frame_matching.h"

namespace {

constexpr std::array<std::string_view, 10> kClassNames = {
    "Car",  "Truck", "Tractor-Trailor", "Bus",    "Container",
    "Boat", "Plane", "Helicopter",      "Person", "Cyclist"};

// Mostly cars, a few of everything else.
std::string_view drawClass(std::mt19937_64& random) {
  const auto u = std::uniform_int_distribution<int>(0, 99)(random);
  if (u < 70) return kClassNames[0];
  if (u < 78) return kClassNames[1];
  if (u < 82) return kClassNames[3];
  if (u < 88) return kClassNames[8];
  return kClassNames[2 + static_cast<std::size_t>(u) % 8];
}

// An upright box of `className` with its top left corner at (x, y).
QuorTarget uprightBox(int32_t x, int32_t y, int32_t width, int32_t height,
                      std::string_view className, float confidence = 1.0f) {
  return makeTarget(x, y, x + width, y, x + width, y + height, x, y + height, className, false,
                    confidence, false);
}

// ---------------------------------------------------------------------------
// Reading

// An annotation file of `records` records, 20 boxes per frame, as a detector
// would write it.
std::string makeAnnotationText(std::size_t records) {
  std::mt19937_64 random(7);
  std::uniform_int_distribution<int32_t> position(0, 1500);
  std::uniform_int_distribution<int32_t> size(30, 120);
  std::uniform_int_distribution<int32_t> confidence(0, 9999);
  std::string text = "Frame,X1,Y1,X2,Y2,X3,Y3,X4,Y4,Type,FlagA,FlagB,Confidence,Text,Number\n";
  text.reserve(records * 80);
  for (std::size_t i = 0; i < records; ++i) {
    const int32_t x = position(random), y = position(random);
    const int32_t w = size(random), h = size(random) / 2;
    const std::string c = std::to_string(confidence(random));
    text += std::to_string(i / 20 + 1) + ',' + std::to_string(x) + ',' + std::to_string(y) + ',' +
            std::to_string(x + w) + ',' + std::to_string(y) + ',' + std::to_string(x + w) + ',' +
            std::to_string(y + h) + ',' + std::to_string(x) + ',' + std::to_string(y + h) + ',' +
            std::string(drawClass(random)) + ",FALSE,FALSE,0." + c + ",det,0\n";
  }
  return text;
}

void BM_ReadSequenceFile(benchmark::State& state) {
  const auto records = static_cast<std::size_t>(state.range(0));
  std::string text = makeAnnotationText(records);
  for (auto _ : state) {
    std::FILE* stream = fmemopen(text.data(), text.size(), "r");
    if (stream == nullptr) {
      state.SkipWithError("fmemopen failed");
      break;
    }
    QuorSequence sequence;
    std::string error;
    if (readSequenceFile(stream, sequence, "memory.csv", &error) != 0) {
      state.SkipWithError(error.c_str());
      break;
    }
    benchmark::DoNotOptimize(sequence.frames.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(records));
}
BENCHMARK(BM_ReadSequenceFile)->Arg(100'000)->Unit(benchmark::kMillisecond);

// ---------------------------------------------------------------------------
// Overlap tests

// Pairs of boxes near each other: some overlap enough to match, some a
// little, some not at all.
struct BoxPairs {
  std::vector<QuorTarget> first, second;
  explicit BoxPairs(std::size_t count, int32_t secondSize) {
    std::mt19937_64 random(11);
    std::uniform_int_distribution<int32_t> position(0, 2000);
    std::uniform_int_distribution<int32_t> size(30, 120);
    std::uniform_int_distribution<int32_t> shift(-60, 60);
    for (std::size_t i = 0; i < count; ++i) {
      const int32_t x = position(random), y = position(random);
      const int32_t w = size(random), h = size(random);
      first.push_back(uprightBox(x, y, w, h, "Car"));
      const int32_t other = secondSize > 0 ? secondSize : size(random);
      second.push_back(uprightBox(x + shift(random), y + shift(random), other, other, "Car"));
    }
  }
};

void BM_ScorePair(benchmark::State& state) {
  const BoxPairs pairs(4096, 0);
  for (auto _ : state) {
    int32_t sum = 0;
    for (std::size_t i = 0; i < pairs.first.size(); ++i) {
      sum += scorePair(pairs.first[i], pairs.second[i], 0.2f, false, false);
    }
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(pairs.first.size()));
}
BENCHMARK(BM_ScorePair);

void BM_RegionCovers(benchmark::State& state) {
  const BoxPairs pairs(4096, 200);  // the second of each pair is a 200-pixel region
  for (auto _ : state) {
    int32_t sum = 0;
    for (std::size_t i = 0; i < pairs.first.size(); ++i) {
      sum += regionCovers(pairs.first[i], pairs.second[i]) ? 1 : 0;
    }
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(pairs.first.size()));
}
BENCHMARK(BM_RegionCovers);

// ---------------------------------------------------------------------------
// Assignment

// An n x n matrix of 0 and -1, -1 marking the pairs that match: each row has
// a few, near the diagonal, as boxes of a crowded stretch of a frame would.
void BM_SolveAssignment(benchmark::State& state) {
  const auto n = static_cast<int32_t>(state.range(0));
  const auto size = static_cast<std::size_t>(n);
  std::mt19937_64 random(13);
  std::uniform_int_distribution<int32_t> near(-3, 3);
  std::vector<double> cells(size * size, 0.0);
  for (int32_t row = 0; row < n; ++row) {
    for (int k = 0; k < 3; ++k) {
      const int32_t column = std::clamp(row + near(random), 0, n - 1);
      cells[static_cast<std::size_t>(row) * size + static_cast<std::size_t>(column)] = -1.0;
    }
  }
  std::vector<const double*> rows(size);
  for (std::size_t row = 0; row < size; ++row) rows[row] = cells.data() + row * size;
  std::vector<int32_t> rowAssignment(size), columnAssignment(size);
  std::vector<double> rowDual(size), columnDual(size);
  for (auto _ : state) {
    const double total =
        solveAssignment(n, rows.data(), rowAssignment.data(), columnAssignment.data(),
                        rowDual.data(), columnDual.data());
    benchmark::DoNotOptimize(total);
  }
  state.SetComplexityN(n);
}
BENCHMARK(BM_SolveAssignment)->Arg(16)->Arg(64)->Arg(256)->Complexity();

// ---------------------------------------------------------------------------
// Frame matching

// A ground-truth frame of `boxes` boxes spread over an image whose side grows
// with the square root of the count, a few don't-care regions, and a
// detector's frame: 90% of the boxes found with a few pixels of error, 10%
// false alarms, 3% with the wrong class.
struct FrameWorkload {
  std::vector<QuorTarget> truths, systems, regions;
  QuorFrame truthFrame{1};
  QuorFrame systemFrame{1};

  explicit FrameWorkload(std::size_t boxes) {
    std::mt19937_64 random(17);
    const auto side = static_cast<int32_t>(60.0 * std::sqrt(static_cast<double>(boxes)) + 1000.0);
    std::uniform_int_distribution<int32_t> position(0, side - 120);
    std::uniform_int_distribution<int32_t> length(33, 60);
    std::uniform_int_distribution<int32_t> jitter(-3, 3);
    std::uniform_int_distribution<int32_t> percent(0, 99);
    std::uniform_int_distribution<int32_t> confidence(0, 10000);
    truths.reserve(boxes);
    systems.reserve(boxes + boxes / 10 + 1);
    for (std::size_t i = 0; i < boxes; ++i) {
      const int32_t x = position(random), y = position(random);
      const int32_t l = length(random), w = l / 2;
      const bool upright = percent(random) < 50;
      truths.push_back(uprightBox(x, y, upright ? w : l, upright ? l : w, drawClass(random)));
      if (percent(random) < 2) truths.back().markA = true;
      if (percent(random) < 10) continue;
      const std::string_view name = percent(random) < 3 ? drawClass(random) : truths.back().name();
      systems.push_back(uprightBox(x + jitter(random), y + jitter(random),
                                   (upright ? w : l) + jitter(random),
                                   (upright ? l : w) + jitter(random), name,
                                   static_cast<float>(confidence(random)) / 10000.0f));
    }
    for (std::size_t i = 0; i < boxes / 10; ++i) {
      systems.push_back(uprightBox(position(random), position(random), length(random),
                                   length(random) / 2, drawClass(random),
                                   static_cast<float>(confidence(random)) / 20000.0f));
    }
    for (std::size_t i = 0; i < 1 + boxes / 2000; ++i) {
      regions.push_back(uprightBox(position(random), position(random), 200, 150, "DCR"));
    }
    for (const QuorTarget& t : truths) truthFrame.targets.push_back(&t);
    for (const QuorTarget& r : regions) truthFrame.regions.push_back(&r);
    for (const QuorTarget& s : systems) systemFrame.targets.push_back(&s);
  }
  FrameWorkload(const FrameWorkload&) = delete;
  FrameWorkload& operator=(const FrameWorkload&) = delete;
};

void BM_EvaluateFrame(benchmark::State& state) {
  FrameWorkload workload(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    evaluateFrame(workload.truthFrame, &workload.systemFrame, false, false);
    benchmark::DoNotOptimize(workload.truthFrame.fnCount);
  }
  state.counters["FN"] = workload.truthFrame.fnCount;
  state.counters["FP"] = workload.truthFrame.fpCount;
  state.SetItemsProcessed(state.iterations() * state.range(0));
  state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_EvaluateFrame)->Arg(20)->Arg(1000)->Arg(5000)->Unit(benchmark::kMicrosecond);

// ---------------------------------------------------------------------------
// Paired bootstrap

// 10,000 resamples over 1,000 units in which every class has objects, misses
// and false alarms of both detectors (the widest a unit's counts get), on 1
// and 2 threads: the cost `talmira compare` adds to the scoring.
void BM_PairedBootstrap(benchmark::State& state) {
  std::mt19937_64 random(5);
  std::uniform_int_distribution<int64_t> objects(5, 60), errors(0, 6);
  std::vector<UnitCounts> units(1000);
  for (UnitCounts& unit : units) {
    for (std::size_t slot = 0; slot < kClassCount; ++slot) {
      PairedClassCounts c;
      c.gtA = c.gtB = objects(random);
      c.fnA = errors(random);
      c.fpA = errors(random);
      c.fnB = errors(random);
      c.fpB = errors(random);
      unit.append(slot, c);
    }
  }
  const BootstrapOptions options{10'000, 1, 0.95, static_cast<unsigned>(state.range(0))};
  for (auto _ : state) {
    benchmark::DoNotOptimize(pairedBootstrap(units, kClassCount, options)[0].low);
  }
  state.SetItemsProcessed(state.iterations() * 10'000);
}
BENCHMARK(BM_PairedBootstrap)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();

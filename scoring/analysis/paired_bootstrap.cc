#include "scoring/analysis/paired_bootstrap.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <thread>

namespace {

// Where a class's sums sit in a packed row; -1 for a column that is 0 in
// every unit. Most datasets use a few of the eleven classes, and the two
// detectors' GTs are the same column unless their thresholds cut the ground
// truth differently: packing only what varies keeps the inner loop short.
struct ClassColumns {
  std::array<int32_t, 6> at{-1, -1, -1, -1, -1, -1};  // gtA, fnA, fpA, gtB, fnB, fpB
};

std::array<int64_t, 6> valuesOf(const PairedClassCounts& c) {
  return {c.gtA, c.fnA, c.fpA, c.gtB, c.fnB, c.fpB};
}

struct PackedUnits {
  std::size_t width = 0;
  std::vector<int64_t> rows;  // units.size() rows of `width`
  std::array<ClassColumns, kClassCount> columns;
  // The same rows in 32 bits, when a resample's sums fit in them (a unit's
  // counts times the units): half the memory to walk, twice the additions
  // per instruction. Empty otherwise.
  std::vector<int32_t> narrowRows;
};

PackedUnits pack(const std::vector<UnitCounts>& units) {
  PackedUnits packed;
  for (std::size_t slot = 0; slot < kClassCount; ++slot) {
    std::array<bool, 6> used{};
    bool sameGt = true;
    for (const UnitCounts& unit : units) {
      const auto values = valuesOf(unit[slot]);
      for (std::size_t v = 0; v < 6; ++v) used[v] = used[v] || values[v] != 0;
      sameGt = sameGt && unit[slot].gtA == unit[slot].gtB;
    }
    ClassColumns& columns = packed.columns[slot];
    for (std::size_t v = 0; v < 6; ++v) {
      if (v == 3 && sameGt) {
        columns.at[3] = columns.at[0];
      } else if (used[v]) {
        columns.at[v] = static_cast<int32_t>(packed.width++);
      }
    }
  }
  packed.rows.reserve(units.size() * packed.width);
  for (const UnitCounts& unit : units) {
    for (std::size_t slot = 0; slot < kClassCount; ++slot) {
      const auto values = valuesOf(unit[slot]);
      const ClassColumns& columns = packed.columns[slot];
      for (std::size_t v = 0; v < 6; ++v) {
        // A shared GT column is written once, from A.
        if (columns.at[v] >= 0 && !(v == 3 && columns.at[3] == columns.at[0])) {
          packed.rows.push_back(values[v]);
        }
      }
    }
  }
  // Counts are never negative, so the largest sum a resample can make is
  // the largest value times the units drawn.
  const int64_t largest =
      packed.rows.empty() ? 0 : *std::max_element(packed.rows.begin(), packed.rows.end());
  constexpr int64_t kNarrowLimit = int64_t{1} << 31;
  if (largest < kNarrowLimit / static_cast<int64_t>(std::max<std::size_t>(units.size(), 1))) {
    packed.narrowRows.assign(packed.rows.begin(), packed.rows.end());
  }
  return packed;
}

template <typename Sum>
int64_t sumAt(const std::vector<Sum>& sums, int32_t column) {
  return column >= 0 ? static_cast<int64_t>(sums[static_cast<std::size_t>(column)]) : 0;
}

// Resamples [first, last): each one's difference per class into
// differences[slot][r]. `rows` are the packed rows in the width of `Sum`.
template <typename Sum>
void resampleRange(const PackedUnits& packed, const Sum* rows, std::size_t unitCount, uint64_t seed,
                   uint64_t first, uint64_t last,
                   std::array<std::vector<double>, kClassCount>& differences) {
  SplitMix64 generator(seed);
  generator.skip(first * unitCount);
  std::vector<Sum> sums(packed.width);
  const std::size_t width = packed.width;
  for (uint64_t r = first; r < last; ++r) {
    std::fill(sums.begin(), sums.end(), Sum{0});
    for (std::size_t draw = 0; draw < unitCount; ++draw) {
      const Sum* row = rows + generator.below(unitCount) * width;
      for (std::size_t column = 0; column < width; ++column) sums[column] += row[column];
    }
    for (std::size_t slot = 0; slot < kClassCount; ++slot) {
      const auto& at = packed.columns[slot].at;
      const double a = nmodtaDouble(sumAt(sums, at[0]), sumAt(sums, at[1]), sumAt(sums, at[2]));
      const double b = nmodtaDouble(sumAt(sums, at[3]), sumAt(sums, at[4]), sumAt(sums, at[5]));
      differences[slot][r] = b - a;
    }
  }
}

void resampleRange(const PackedUnits& packed, std::size_t unitCount, uint64_t seed, uint64_t first,
                   uint64_t last, std::array<std::vector<double>, kClassCount>& differences) {
  if (!packed.narrowRows.empty()) {
    resampleRange(packed, packed.narrowRows.data(), unitCount, seed, first, last, differences);
  } else {
    resampleRange(packed, packed.rows.data(), unitCount, seed, first, last, differences);
  }
}

}  // namespace

PairedClassCounts& PairedClassCounts::operator+=(const PairedClassCounts& other) {
  gtA += other.gtA;
  fnA += other.fnA;
  fpA += other.fpA;
  gtB += other.gtB;
  fnB += other.fnB;
  fpB += other.fpB;
  return *this;
}

UnitCounts sumUnits(const std::vector<UnitCounts>& units) {
  UnitCounts total{};
  for (const UnitCounts& unit : units) {
    for (std::size_t slot = 0; slot < kClassCount; ++slot) total[slot] += unit[slot];
  }
  return total;
}

double nmodtaDouble(int64_t gt, int64_t fn, int64_t fp) {
  constexpr double kFloor = nmodtaFloor;
  if (gt == 0) return fp == 0 ? 1.0 : kFloor;
  const double value = 1.0 - static_cast<double>(fn + fp) / static_cast<double>(gt);
  return value < kFloor ? kFloor : value;
}

uint64_t intervalRank(uint64_t resamples, double level) {
  constexpr int64_t kWhole = 1'000'000'000;
  const int64_t levelUnits =
      level > 0.0 && level < 1.0 ? std::llround(level * static_cast<double>(kWhole)) : 0;
  // A level that rounds to 0 would put the lower end above the upper one.
  if (levelUnits < 1) throw std::invalid_argument("the level is not in (0, 1) at nine decimals");
  // R (1 - L) / 2 in whole numbers: R is at most kMaxResamples, so the
  // product stays far inside 64 bits.
  const auto outside = static_cast<unsigned __int128>(resamples) *
                       static_cast<uint64_t>(std::clamp<int64_t>(kWhole - levelUnits, 0, kWhole));
  return static_cast<uint64_t>(outside / (2 * static_cast<uint64_t>(kWhole)));
}

std::array<ClassBootstrap, kClassCount> pairedBootstrap(const std::vector<UnitCounts>& units,
                                                        const BootstrapOptions& options) {
  const uint64_t resamples = options.resamples;
  if (resamples < 1 || resamples > kMaxResamples) {
    throw std::invalid_argument("the number of resamples is not from 1 to " +
                                std::to_string(kMaxResamples));
  }
  const uint64_t k = intervalRank(resamples, options.level);
  std::array<std::vector<double>, kClassCount> differences;
  for (std::vector<double>& d : differences) d.assign(resamples, 0.0);
  if (!units.empty()) {
    const PackedUnits packed = pack(units);
    const uint64_t threads =
        std::clamp<uint64_t>(options.threads, 1, std::max<uint64_t>(1, resamples / 64));
    const auto rangeOf = [&](uint64_t part) { return resamples * part / threads; };
    // Declared after everything its threads read, so that it joins them
    // before any of that goes; each thread gets its range by value.
    std::vector<std::jthread> pool;
    for (uint64_t part = 1; part < threads; ++part) {
      pool.emplace_back([&, first = rangeOf(part), last = rangeOf(part + 1)] {
        resampleRange(packed, units.size(), options.seed, first, last, differences);
      });
    }
    resampleRange(packed, units.size(), options.seed, 0, rangeOf(1), differences);
  }
  std::array<ClassBootstrap, kClassCount> result;
  for (std::size_t slot = 0; slot < kClassCount; ++slot) {
    std::vector<double>& d = differences[slot];
    ClassBootstrap& out = result[slot];
    const auto above = std::count_if(d.begin(), d.end(), [](double v) { return v > 0.0; });
    const auto below = std::count_if(d.begin(), d.end(), [](double v) { return v < 0.0; });
    out.bBetter = static_cast<double>(above) / static_cast<double>(resamples);
    out.aBetter = static_cast<double>(below) / static_cast<double>(resamples);
    const auto lowAt = d.begin() + static_cast<std::ptrdiff_t>(k);
    std::nth_element(d.begin(), lowAt, d.end());
    out.low = *lowAt;
    const auto highAt = d.begin() + static_cast<std::ptrdiff_t>(resamples - 1 - k);
    std::nth_element(d.begin(), highAt, d.end());
    out.high = *highAt;
  }
  return result;
}

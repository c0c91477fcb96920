#include "scoring/analysis/paired_bootstrap.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <stdexcept>
#include <thread>

namespace {

// A class's six sums: gtA, fnA, fpA, gtB, fnB, fpB.
constexpr std::size_t kValues = 6;
constexpr std::size_t kGtA = 0, kGtB = 3;

std::array<int64_t, kValues> valuesOf(const PairedClassCounts& c) {
  return {c.gtA, c.fnA, c.fpA, c.gtB, c.fnB, c.fpB};
}

// Where a class's sums sit among a resample's sums; -1 for a value that is
// 0 in every unit. Most classes of a set have no boxes in a comparison, and
// the two detectors' GTs are the same sum unless their thresholds cut the
// ground truth differently: summing only what varies keeps the work of a
// resample to the classes compared.
struct ClassColumns {
  uint32_t row = 0;
  std::array<int32_t, kValues> at{-1, -1, -1, -1, -1, -1};
  bool sharedGt() const { return at[kGtB] >= 0 && at[kGtB] == at[kGtA]; }
};

// What the units hold of each row of the set: the values that are not 0 in
// some unit, and whether the two GTs ever differ.
struct RowUse {
  uint8_t used = 0;  // bit v: value v
  bool gtDiffers = false;
};

// However few differences are to be held, this format's classes are
// resampled at once, as they always have been.
constexpr std::size_t kFewestClassesAtOnce = kClassCount;

// One batch of classes, their values per unit in the form that sums fastest:
// rows of `width` (dense) when most values are not 0, otherwise each unit's
// values that are not 0 with their columns (sparse, as a set of a thousand
// classes gives: a unit holds the few it has boxes of).
struct PackedUnits {
  std::vector<ClassColumns> classes;
  std::size_t width = 0;
  bool sparse = false;
  std::vector<std::size_t> starts;  // sparse: unit u's values are [starts[u], starts[u + 1])
  std::vector<uint32_t> columns;    // sparse: the column of each value
  std::vector<int64_t> values;
  // The same values in 32 bits, when a resample's sums fit in them (a
  // unit's counts times the units): half the memory to walk, twice the
  // additions per instruction. Empty otherwise.
  std::vector<int32_t> narrowValues;
};

// The values of unit `unit` of the batch's classes (rows from `first` to
// `last`, both in), by class, with the batch's class of each row at
// `batchOf[row]`.
template <typename Visit>
void forEachValue(const UnitCounts& unit, const PackedUnits& packed, uint32_t first, uint32_t last,
                  const std::vector<int32_t>& batchOf, Visit visit) {
  const auto& entries = unit.entries();
  auto at = std::lower_bound(entries.begin(), entries.end(), first,
                             [](const UnitCounts::Entry& e, uint32_t row) { return e.row < row; });
  for (; at != entries.end() && at->row <= last; ++at) {
    const ClassColumns& columns = packed.classes[static_cast<std::size_t>(batchOf[at->row])];
    const auto values = valuesOf(at->counts);
    for (std::size_t v = 0; v < kValues; ++v) {
      // A shared GT column is written once, from A.
      if (columns.at[v] >= 0 && !(v == kGtB && columns.sharedGt())) {
        visit(static_cast<std::size_t>(columns.at[v]), values[v]);
      }
    }
  }
}

PackedUnits pack(const std::vector<UnitCounts>& units, std::span<const uint32_t> rows,
                 const std::vector<RowUse>& use, std::vector<int32_t>& batchOf) {
  PackedUnits packed;
  for (const uint32_t row : rows) {
    batchOf[row] = static_cast<int32_t>(packed.classes.size());
    ClassColumns columns;
    columns.row = row;
    for (std::size_t v = 0; v < kValues; ++v) {
      if (v == kGtB && !use[row].gtDiffers) {
        columns.at[kGtB] = columns.at[kGtA];
      } else if ((use[row].used >> v) & 1) {
        columns.at[v] = static_cast<int32_t>(packed.width++);
      }
    }
    packed.classes.push_back(columns);
  }
  const uint32_t first = rows.front(), last = rows.back();
  std::size_t nonZero = 0;
  int64_t largest = 0;
  for (const UnitCounts& unit : units) {
    forEachValue(unit, packed, first, last, batchOf, [&](std::size_t, int64_t value) {
      nonZero += value != 0 ? 1 : 0;
      largest = std::max(largest, value);
    });
  }
  // A sparse value costs an index and a scattered addition; a dense one an
  // addition the compiler can do several at a time.
  packed.sparse = nonZero * 4 < units.size() * packed.width;
  if (packed.sparse) {
    packed.starts.reserve(units.size() + 1);
    packed.columns.reserve(nonZero);
    packed.values.reserve(nonZero);
    for (const UnitCounts& unit : units) {
      packed.starts.push_back(packed.values.size());
      forEachValue(unit, packed, first, last, batchOf, [&](std::size_t column, int64_t value) {
        if (value == 0) return;
        packed.columns.push_back(static_cast<uint32_t>(column));
        packed.values.push_back(value);
      });
    }
    packed.starts.push_back(packed.values.size());
  } else {
    packed.values.assign(units.size() * packed.width, 0);
    for (std::size_t u = 0; u < units.size(); ++u) {
      int64_t* const row = packed.values.data() + u * packed.width;
      forEachValue(units[u], packed, first, last, batchOf,
                   [&](std::size_t column, int64_t value) { row[column] = value; });
    }
  }
  // Counts are never negative, so the largest sum a resample can make is
  // the largest value times the units drawn.
  constexpr int64_t kNarrowLimit = int64_t{1} << 31;
  if (largest < kNarrowLimit / static_cast<int64_t>(std::max<std::size_t>(units.size(), 1))) {
    packed.narrowValues.assign(packed.values.begin(), packed.values.end());
  }
  return packed;
}

template <typename Sum>
int64_t sumAt(const std::vector<Sum>& sums, int32_t column) {
  return column >= 0 ? static_cast<int64_t>(sums[static_cast<std::size_t>(column)]) : 0;
}

// Resamples [first, last): the difference of the batch's class k in
// resample r into differences[k * resamples + r]. `values` are the packed
// values in the width of `Sum`.
template <typename Sum, bool kSparse>
void resampleRange(const PackedUnits& packed, const Sum* values, std::size_t unitCount,
                   uint64_t seed, uint64_t first, uint64_t last, uint64_t resamples,
                   double* differences) {
  SplitMix64 generator(seed);
  generator.skip(first * unitCount);
  std::vector<Sum> sums(packed.width);
  const std::size_t width = packed.width;
  const std::size_t* const starts = packed.starts.data();
  const uint32_t* const columns = packed.columns.data();
  for (uint64_t r = first; r < last; ++r) {
    std::fill(sums.begin(), sums.end(), Sum{0});
    for (std::size_t draw = 0; draw < unitCount; ++draw) {
      const std::size_t unit = generator.below(unitCount);
      if constexpr (kSparse) {
        for (std::size_t at = starts[unit]; at < starts[unit + 1]; ++at) {
          sums[columns[at]] += values[at];
        }
      } else {
        const Sum* row = values + unit * width;
        for (std::size_t column = 0; column < width; ++column) sums[column] += row[column];
      }
    }
    for (std::size_t k = 0; k < packed.classes.size(); ++k) {
      const auto& at = packed.classes[k].at;
      const double a = nmodtaDouble(sumAt(sums, at[0]), sumAt(sums, at[1]), sumAt(sums, at[2]));
      const double b = nmodtaDouble(sumAt(sums, at[3]), sumAt(sums, at[4]), sumAt(sums, at[5]));
      differences[k * resamples + r] = b - a;
    }
  }
}

void resampleRange(const PackedUnits& packed, std::size_t unitCount, uint64_t seed, uint64_t first,
                   uint64_t last, uint64_t resamples, double* differences) {
  const bool narrow = !packed.narrowValues.empty();
  const int32_t* const narrowValues = packed.narrowValues.data();
  const int64_t* const wideValues = packed.values.data();
  if (packed.sparse && narrow) {
    resampleRange<int32_t, true>(packed, narrowValues, unitCount, seed, first, last, resamples,
                                 differences);
  } else if (packed.sparse) {
    resampleRange<int64_t, true>(packed, wideValues, unitCount, seed, first, last, resamples,
                                 differences);
  } else if (narrow) {
    resampleRange<int32_t, false>(packed, narrowValues, unitCount, seed, first, last, resamples,
                                  differences);
  } else {
    resampleRange<int64_t, false>(packed, wideValues, unitCount, seed, first, last, resamples,
                                  differences);
  }
}

}  // namespace

ClassBootstrap summariseDifferences(std::span<double> d, uint64_t k) {
  ClassBootstrap out;
  const auto resamples = static_cast<double>(d.size());
  const auto above = std::count_if(d.begin(), d.end(), [](double v) { return v > 0.0; });
  const auto below = std::count_if(d.begin(), d.end(), [](double v) { return v < 0.0; });
  out.bBetter = static_cast<double>(above) / resamples;
  out.aBetter = static_cast<double>(below) / resamples;
  const auto lowAt = d.begin() + static_cast<std::ptrdiff_t>(k);
  std::nth_element(d.begin(), lowAt, d.end());
  out.low = *lowAt;
  const auto highAt = d.end() - 1 - static_cast<std::ptrdiff_t>(k);
  std::nth_element(d.begin(), highAt, d.end());
  out.high = *highAt;
  return out;
}

PairedClassCounts& PairedClassCounts::operator+=(const PairedClassCounts& other) {
  gtA += other.gtA;
  fnA += other.fnA;
  fpA += other.fpA;
  gtB += other.gtB;
  fnB += other.fnB;
  fpB += other.fpB;
  return *this;
}

std::vector<PairedClassCounts> sumUnits(const std::vector<UnitCounts>& units, std::size_t rows) {
  std::vector<PairedClassCounts> total(rows);
  for (const UnitCounts& unit : units) unit.addInto(total);
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

std::vector<ClassBootstrap> pairedBootstrap(const std::vector<UnitCounts>& units, std::size_t rows,
                                            const BootstrapOptions& options) {
  const uint64_t resamples = options.resamples;
  if (resamples < 1 || resamples > kMaxResamples) {
    throw std::invalid_argument("the number of resamples is not from 1 to " +
                                std::to_string(kMaxResamples));
  }
  const uint64_t k = intervalRank(resamples, options.level);
  // A class without counts in any unit differs by 0 in every resample: its
  // row stays as it is made here.
  std::vector<ClassBootstrap> result(rows);
  std::vector<RowUse> use(rows);
  for (const UnitCounts& unit : units) {
    for (const UnitCounts::Entry& entry : unit.entries()) {
      const auto values = valuesOf(entry.counts);
      RowUse& row = use[entry.row];
      for (std::size_t v = 0; v < kValues; ++v) {
        row.used |= static_cast<uint8_t>((values[v] != 0 ? 1u : 0u) << v);
      }
      row.gtDiffers = row.gtDiffers || entry.counts.gtA != entry.counts.gtB;
    }
  }
  std::vector<uint32_t> counted;
  for (std::size_t row = 0; row < rows; ++row) {
    if (use[row].used != 0) counted.push_back(static_cast<uint32_t>(row));
  }
  if (units.empty() || counted.empty()) return result;

  const std::size_t atOnce = std::max<std::size_t>(
      kFewestClassesAtOnce, static_cast<std::size_t>(options.heldDifferences / resamples));
  const uint64_t threads =
      std::clamp<uint64_t>(options.threads, 1, std::max<uint64_t>(1, resamples / 64));
  const auto rangeOf = [&](uint64_t part) { return resamples * part / threads; };
  std::vector<int32_t> batchOf(rows, -1);
  std::vector<double> differences;
  for (std::size_t begin = 0; begin < counted.size(); begin += atOnce) {
    const std::span<const uint32_t> batch =
        std::span(counted).subspan(begin, std::min(atOnce, counted.size() - begin));
    const PackedUnits packed = pack(units, batch, use, batchOf);
    differences.assign(batch.size() * resamples, 0.0);
    {
      // Declared after everything its threads read, so that it joins them
      // before any of that goes; each thread gets its range by value.
      std::vector<std::jthread> pool;
      for (uint64_t part = 1; part < threads; ++part) {
        pool.emplace_back([&, first = rangeOf(part), last = rangeOf(part + 1)] {
          resampleRange(packed, units.size(), options.seed, first, last, resamples,
                        differences.data());
        });
      }
      resampleRange(packed, units.size(), options.seed, 0, rangeOf(1), resamples,
                    differences.data());
    }
    for (std::size_t c = 0; c < batch.size(); ++c) {
      result[batch[c]] =
          summariseDifferences(std::span(differences).subspan(c * resamples, resamples), k);
    }
  }
  return result;
}

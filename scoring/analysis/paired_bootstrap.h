// Is detector B better than detector A, or is the difference noise? A paired
// bootstrap over units (sequences, or blocks of frames) that both detectors
// were scored on. Every count adds up over units, so a resample is a sum of
// per-unit counts: nothing is matched again, and the per-unit counts are all
// the bootstrap needs.
//
// The procedure is fixed to the bit, so that anyone can reproduce every
// number from the per-unit counts: a SplitMix64 generator, a draw among n
// units from the high half of a 128-bit product, resamples drawn one after
// the other, NMODTA in double precision.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <thread>
#include <vector>

#include "scoring/counts/class_scores.h"

/// SplitMix64: each call adds kGamma to the state (mod 2^64) and returns the
/// state mixed. The state after k calls is seed + k * kGamma, so a thread can
/// start at any call without making the calls before it.
class SplitMix64 {
 public:
  static constexpr uint64_t kGamma = 0x9E3779B97F4A7C15ULL;

  explicit SplitMix64(uint64_t seed) : state_(seed) {}

  uint64_t next() {
    state_ += kGamma;
    uint64_t z = state_;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }
  /// A draw among `n` units (n >= 1): the high 64 bits of next() * n.
  uint64_t below(uint64_t n) {
    return static_cast<uint64_t>((static_cast<unsigned __int128>(next()) * n) >> 64);
  }
  /// Moves on by `calls` calls without making them.
  void skip(uint64_t calls) { state_ += calls * kGamma; }

 private:
  uint64_t state_;
};

/// One class's counts on one unit, for both detectors, each at its own
/// threshold (the threshold applies to the ground truth too, so each has its
/// own GT; they differ only when the ground truth has confidences between
/// the two thresholds).
struct PairedClassCounts {
  int64_t gtA = 0;
  int64_t fnA = 0;
  int64_t fpA = 0;
  int64_t gtB = 0;
  int64_t fnB = 0;
  int64_t fpB = 0;
  PairedClassCounts& operator+=(const PairedClassCounts& other);
  bool operator==(const PairedClassCounts&) const = default;
};

/// Counts of some rows of a class set, rows ascending, each row once; a row
/// left out counts nothing. A unit (a few frames, or a sequence) holds the
/// few classes it has boxes of, whatever the set's size.
template <typename Counts>
class SparseRows {
 public:
  struct Entry {
    uint32_t row = 0;
    Counts counts{};
    bool operator==(const Entry&) const = default;
  };

  /// The rows of `dense` (row k at k) that count anything.
  static SparseRows of(std::span<const Counts> dense) {
    SparseRows rows;
    for (std::size_t row = 0; row < dense.size(); ++row) rows.append(row, dense[row]);
    return rows;
  }
  /// Adds a row after every row held; one that counts nothing is left out.
  void append(std::size_t row, const Counts& counts) {
    if (!(counts == Counts{})) entries_.push_back({static_cast<uint32_t>(row), counts});
  }
  /// The counts of `row`.
  Counts at(std::size_t row) const {
    const auto found =
        std::lower_bound(entries_.begin(), entries_.end(), row,
                         [](const Entry& entry, std::size_t r) { return entry.row < r; });
    return found != entries_.end() && found->row == row ? found->counts : Counts{};
  }
  /// Adds every row held into `dense` (row k at k, as many as the set's rows).
  void addInto(std::vector<Counts>& dense) const {
    for (const Entry& entry : entries_) dense[entry.row] += entry.counts;
  }
  const std::vector<Entry>& entries() const { return entries_; }
  bool operator==(const SparseRows&) const = default;

 private:
  std::vector<Entry> entries_;
};

/// Every class's counts on one unit, by row of the class set compared in.
using UnitCounts = SparseRows<PairedClassCounts>;

/// Every class's counts summed over `units`, a row for each of `rows`.
std::vector<PairedClassCounts> sumUnits(const std::vector<UnitCounts>& units, std::size_t rows);

/// NMODTA in double precision: 1 - (FN + FP) / GT, never below nmodtaFloor;
/// 1 without objects and false alarms, nmodtaFloor without objects but with
/// false alarms.
double nmodtaDouble(int64_t gt, int64_t fn, int64_t fp);

/// The resamples at most one run makes (their differences are kept, a double
/// per class that has counts).
inline constexpr uint64_t kMaxResamples = 10'000'000;

struct BootstrapOptions {
  uint64_t resamples = 10'000;  // R, at least 1
  uint64_t seed = 1;            // the generator's starting state
  double level = 0.95;          // L, strictly between 0 and 1
  unsigned threads = 1;         // the result does not depend on it
  /// The most differences kept at once (a double each, 128 MiB): classes
  /// past them are resampled again with the same draws, eleven classes or
  /// more at a time. The result does not depend on it.
  uint64_t heldDifferences = uint64_t{1} << 24;
};

/// k = floor(R (1 - L) / 2), with the level taken to nine decimals (so that
/// 0.9 is nine tenths, not the double just below it): the interval's ends
/// are the (k+1)-th smallest and the (k+1)-th largest difference. Throws
/// std::invalid_argument for a level that is not above 0 at nine decimals or
/// not below 1.
uint64_t intervalRank(uint64_t resamples, double level);

/// What the resamples say about one class.
struct ClassBootstrap {
  double low = 0.0;      // the (k+1)-th smallest difference NMODTA_B - NMODTA_A
  double high = 0.0;     // the (k+1)-th largest
  double bBetter = 0.0;  // the share of resamples with a difference above 0
  double aBetter = 0.0;  // below 0
};

/// The interval and the shares of one quantity's differences B - A over the
/// resamples (`differences` are reordered): the (k+1)-th smallest and the
/// (k+1)-th largest, and the shares above and below 0.
ClassBootstrap summariseDifferences(std::span<double> differences, uint64_t k);

/// The draws of a paired bootstrap over `units` units, for measures other
/// than NMODTA: for each resample r from 0 to options.resamples - 1, the
/// number of times each unit was drawn (SplitMix64 from options.seed,
/// below(units) per draw, resample after resample), told to
/// `visit(r, weights)`. The resamples are shared among options.threads
/// threads, each calling its own copy of `visit` (which may so keep scratch
/// space in a mutable lambda); every r is visited once whatever the count.
template <class Visit>
void forEachResample(std::size_t units, const BootstrapOptions& options, const Visit& visit) {
  const uint64_t resamples = options.resamples;
  if (resamples == 0) return;
  const uint64_t threads = std::clamp<uint64_t>(options.threads, 1, resamples);
  const auto rangeOf = [&](uint64_t part) { return resamples * part / threads; };
  const auto work = [&](uint64_t first, uint64_t last) {
    Visit own = visit;
    SplitMix64 generator(options.seed);
    generator.skip(first * units);
    std::vector<uint32_t> weights(units);
    for (uint64_t r = first; r < last; ++r) {
      std::fill(weights.begin(), weights.end(), 0u);
      for (std::size_t draw = 0; draw < units; ++draw) ++weights[generator.below(units)];
      own(r, std::span<const uint32_t>(weights));
    }
  };
  std::vector<std::jthread> pool;
  for (uint64_t part = 1; part < threads; ++part) {
    pool.emplace_back(work, rangeOf(part), rangeOf(part + 1));
  }
  work(0, rangeOf(1));
}

/// The paired bootstrap: resample 1 draws n = units.size() units in turn
/// (SplitMix64 from options.seed, below(n) each), then resample 2, up to R;
/// the same draws serve every class and both detectors. In a resample each
/// detector's GT, FN and FP are summed over the drawn units and the
/// difference is nmodtaDouble(B) - nmodtaDouble(A). Without units every
/// difference is 0, as it is for a class without counts in any unit. A row
/// for each of `rows` (every unit's rows are below it). Resamples may be
/// shared among `options.threads` threads; the result is the same.
std::vector<ClassBootstrap> pairedBootstrap(const std::vector<UnitCounts>& units, std::size_t rows,
                                            const BootstrapOptions& options);

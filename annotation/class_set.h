// The classes a sequence is scored in: names in order, as the dataset that
// wrote the files names them, after the row "All" that takes every class.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "annotation/quor_records.h"

/// The row that takes every class; first in every set.
inline constexpr std::string_view kEveryClass = "All";

class ClassSet {
 public:
  /// This format's ten classes: the rows All, Car, Truck, ..., Cyclist.
  static std::shared_ptr<const ClassSet> standard();
  /// A set of the given class names, in order. Throws std::invalid_argument
  /// with problemWith()'s text when they cannot make one.
  static std::shared_ptr<const ClassSet> of(std::vector<std::string> names);
  /// What keeps `names` from being a set's classes (an empty name, a name
  /// given twice, "All", "DCR" or "DCF", more than kMaxClasses), as one
  /// line; nothing when they can be one.
  static std::optional<std::string> problemWith(std::span<const std::string> names);
  static constexpr std::size_t kMaxClasses = 60000;

  /// The rows: "All", then every class in order.
  std::size_t rows() const { return names_.size() + 1; }
  std::string_view row(std::size_t at) const {
    return at == 0 ? kEveryClass : std::string_view(names_[at - 1]);
  }
  /// The classes, "All" left out.
  const std::vector<std::string>& names() const { return names_; }
  /// The class code of row `at` (1 and up) as the targets bear it.
  uint16_t code(std::size_t at) const { return codes_[at - 1]; }
  /// The row of a class name, or nothing ("All" is row 0).
  std::optional<std::size_t> rowOf(std::string_view name) const;
  /// Whether this is the standard set, whose rows every output of this
  /// format has always given.
  bool isStandard() const { return standard_; }
  bool operator==(const ClassSet& other) const { return names_ == other.names_; }

  explicit ClassSet(std::vector<std::string> names);

 private:
  std::vector<std::string> names_;
  std::vector<uint16_t> codes_;
  std::vector<int32_t> rowByCode_;  // -1 where a code has no row
  bool standard_ = false;
};

using ClassSetPtr = std::shared_ptr<const ClassSet>;

/// The set a sequence is scored in: its own, or the standard one.
const ClassSet& classesOf(const QuorSequence& sequence);
/// The set a pair is scored in: the ground truth's classes, followed by
/// those only the system's file names (in its order).
ClassSetPtr pairClasses(const QuorSequence& groundTruth, const QuorSequence& system);

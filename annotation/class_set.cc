#include "annotation/class_set.h"

#include <stdexcept>
#include <unordered_set>
#include <utility>

ClassSet::ClassSet(std::vector<std::string> names) : names_(std::move(names)) {
  codes_.reserve(names_.size());
  for (const std::string& name : names_) {
    const uint16_t code = classCodeOf(name);
    codes_.push_back(code);
    if (code >= rowByCode_.size()) rowByCode_.resize(std::size_t{code} + 1, -1);
    rowByCode_[code] = static_cast<int32_t>(codes_.size());
  }
  standard_ = names_.size() == knownClasses.size();
  for (std::size_t at = 0; standard_ && at < names_.size(); ++at) {
    standard_ = names_[at] == knownClasses[at];
  }
}

std::shared_ptr<const ClassSet> ClassSet::standard() {
  static const std::shared_ptr<const ClassSet> set = [] {
    std::vector<std::string> names(knownClasses.begin(), knownClasses.end());
    return std::make_shared<const ClassSet>(std::move(names));
  }();
  return set;
}

std::shared_ptr<const ClassSet> ClassSet::of(std::vector<std::string> names) {
  if (const std::optional<std::string> problem = problemWith(names)) {
    throw std::invalid_argument(*problem);
  }
  return std::make_shared<const ClassSet>(std::move(names));
}

std::optional<std::string> ClassSet::problemWith(std::span<const std::string> names) {
  if (names.size() > kMaxClasses) {
    return "more than " + std::to_string(kMaxClasses) + " classes";
  }
  std::unordered_set<std::string_view> seen;
  for (const std::string& name : names) {
    if (name.empty()) return std::string("a class has an empty name");
    if (name == kEveryClass || name == kRegionClass || name == "DCF") {
      return "\"" + name + "\" cannot name a class: it has a meaning of its own";
    }
    if (!seen.insert(name).second) return "two classes are named \"" + name + "\"";
  }
  return std::nullopt;
}

std::optional<std::size_t> ClassSet::rowOf(std::string_view name) const {
  if (name == kEveryClass) return 0;
  const int32_t code = findClassCode(name);
  if (code < 0 || static_cast<std::size_t>(code) >= rowByCode_.size()) return std::nullopt;
  const int32_t row = rowByCode_[static_cast<std::size_t>(code)];
  if (row < 0) return std::nullopt;
  return static_cast<std::size_t>(row);
}

const ClassSet& classesOf(const QuorSequence& sequence) {
  return sequence.classes ? *sequence.classes : *ClassSet::standard();
}

ClassSetPtr pairClasses(const QuorSequence& groundTruth, const QuorSequence& system) {
  const ClassSetPtr truth = groundTruth.classes ? groundTruth.classes : ClassSet::standard();
  const ClassSet& other = classesOf(system);
  if (truth.get() == &other || *truth == other) return truth;
  std::vector<std::string> names = truth->names();
  bool added = false;
  for (const std::string& name : other.names()) {
    if (!truth->rowOf(name)) {
      names.push_back(name);
      added = true;
    }
  }
  if (!added) return truth;
  return std::make_shared<const ClassSet>(std::move(names));
}

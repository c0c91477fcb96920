#include "scoring/analysis/sequence_explanation.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <thread>
#include <utility>

#include "annotation/selection.h"
#include "scoring/counts/class_scores.h"
#include "scoring/counts/sequence_evaluation.h"

namespace {

// What the workers of one explanation share: a filter for each row of the
// set, "All" first, the index that finds those a frame pair needs, and the
// slot in the confusion matrix of each class code.
class ClassRows {
 public:
  ClassRows(ClassSetPtr classes, float confidence)
      : classes_(std::move(classes)),
        filters_(classFilters(*classes_, confidence)),
        index_(filters_) {
    const ClassSet& set = *classes_;
    for (std::size_t row = 1; row < set.rows(); ++row) {
      const uint16_t code = set.code(row);
      if (code >= slots_.size()) slots_.resize(std::size_t{code} + 1, kNoSlot);
      slots_[code] = static_cast<uint32_t>(row - 1);
    }
    // The rows of each class code, when every row but All's takes one class
    // at All's threshold: then the classes All takes name the rows.
    byCode_ = true;
    std::size_t codes = 0;
    for (std::size_t row = 1; row < filters_.size(); ++row) {
      const TargetFilter& filter = filters_[row];
      byCode_ = byCode_ && !filter.everyClass() && filter.threshold() == filters_[0].threshold();
      if (filter.classCode() >= 0) {
        codes = std::max(codes, static_cast<std::size_t>(filter.classCode()) + 1);
      }
    }
    codeStarts_.assign(codes + 1, 0);
    for (std::size_t row = 1; row < filters_.size(); ++row) {
      if (filters_[row].classCode() >= 0) {
        ++codeStarts_[static_cast<std::size_t>(filters_[row].classCode()) + 1];
      }
    }
    for (std::size_t code = 0; code < codes; ++code) codeStarts_[code + 1] += codeStarts_[code];
    codeRows_.resize(codeStarts_[codes]);
    std::vector<uint32_t> next(codeStarts_.begin(), codeStarts_.end() - 1);
    for (std::size_t row = 1; row < filters_.size(); ++row) {
      if (filters_[row].classCode() >= 0) {
        codeRows_[next[static_cast<std::size_t>(filters_[row].classCode())]++] =
            static_cast<uint32_t>(row);
      }
    }
  }

  const ClassSetPtr& classes() const { return classes_; }
  std::size_t rows() const { return filters_.size(); }
  const TargetFilter& filter(std::size_t row) const { return filters_[row]; }
  /// The class rows (1 and up) that may take a box of the frames, in order.
  void rowsFor(const QuorFrame& truth, const QuorFrame* partner, std::vector<uint32_t>& out) const {
    index_.filtersFor(truth, partner, 1, filters_.size(), out);
  }
  /// The class rows (1 and up) that may take a box the matching of All
  /// takes, whose class codes are `codes`: false, with nothing written,
  /// unless every class row takes one class at All's threshold.
  bool rowsOf(const std::vector<int32_t>& codes, std::vector<uint32_t>& out) const {
    if (!byCode_) return false;
    out.clear();
    for (const int32_t code : codes) {
      const auto at = static_cast<std::size_t>(code);
      if (at + 1 >= codeStarts_.size()) continue;
      out.insert(out.end(), codeRows_.begin() + codeStarts_[at],
                 codeRows_.begin() + codeStarts_[at + 1]);
    }
    return true;
  }
  /// The row or column of a class code in the confusion matrix: none for a
  /// class the set lacks.
  std::size_t confusionSlot(uint16_t code) const {
    const uint32_t slot = code < slots_.size() ? slots_[code] : kNoSlot;
    return slot == kNoSlot ? classes_->names().size() : slot;
  }

 private:
  static constexpr uint32_t kNoSlot = UINT32_MAX;
  ClassSetPtr classes_;
  std::vector<TargetFilter> filters_;
  FilterIndex index_;
  std::vector<uint32_t> slots_;                  // by class code
  bool byCode_ = false;                          // whether rowsOf() may answer
  std::vector<uint32_t> codeStarts_, codeRows_;  // code c's rows: [starts[c], starts[c + 1])
};

// The counts and causes one worker adds up.
struct ExplanationPart {
  explicit ExplanationPart(const ClassRows& rows)
      : classes(rows.rows()), confusion(rows.rows() - 1) {}
  std::vector<ClassExplanation> classes;
  Confusion confusion;

  void addTo(Explanation& whole) const {
    for (std::size_t slot = 0; slot < classes.size(); ++slot) whole.classes[slot] += classes[slot];
    whole.confusion += confusion;
  }
};

// Adds one matching of a frame pair to its class, and returns the frame's counts.
FrameSummary addMatching(const QuorFrame& truth, const std::vector<ExplainedBox>& truths,
                         const std::vector<ExplainedBox>& systems, ClassExplanation& into) {
  FrameSummary frame{truth.frameNumber, truth.firstLine};
  for (const ExplainedBox& b : truths) {
    if (b.kind == BoxEventKind::kExcluded) continue;
    ++frame.gt;
    if (b.kind == BoxEventKind::kMatch) {
      into.pairs.add(b.overlap, b.iou);
    } else {
      ++frame.fn;
      ++into.misses.at(static_cast<std::size_t>(b.cause));
    }
  }
  for (const ExplainedBox& b : systems) {
    if (b.kind == BoxEventKind::kMatch) {
      ++frame.det;
    } else if (b.kind == BoxEventKind::kFalseAlarm) {
      ++frame.det;
      ++frame.fp;
      ++into.falseAlarms.at(static_cast<std::size_t>(b.cause));
    }
  }
  into.gt += frame.gt;
  into.det += frame.det;
  into.fn += frame.fn;
  into.fp += frame.fp;
  return frame;
}

void addConfusion(const FrameExplainer& explainer, const ClassRows& rows, Confusion& confusion) {
  const QuorFrame& truth = explainer.truthFrame();
  const QuorFrame* partner = explainer.partnerFrame();
  const std::size_t none = confusion.none();
  for (const ExplainedBox& b : explainer.allTruths()) {
    const std::size_t row =
        rows.confusionSlot(truth.targets[static_cast<std::size_t>(b.box)]->classCode);
    switch (b.kind) {
      case BoxEventKind::kMatch:
        confusion.add(row, rows.confusionSlot(
                               partner->targets[static_cast<std::size_t>(b.partner)]->classCode));
        break;
      case BoxEventKind::kMiss:
        confusion.add(row, none);
        break;
      default:
        ++confusion.excluded;
        break;
    }
  }
  for (const ExplainedBox& b : explainer.allSystems()) {
    switch (b.kind) {
      case BoxEventKind::kFalseAlarm:
        confusion.add(
            none, rows.confusionSlot(partner->targets[static_cast<std::size_t>(b.box)]->classCode));
        break;
      case BoxEventKind::kSetAside:
        ++confusion.setAside;
        break;
      case BoxEventKind::kInRegion:
        ++confusion.droppedInRegion;
        break;
      default:  // matches are counted with their objects
        break;
    }
  }
}

// Explains frame pairs for All and the classes their boxes bear, with
// working memory kept from pair to pair; one per thread.
class PairExplainer {
 public:
  PairExplainer(const ClassRows& rows, const ExplainOptions& options)
      : rows_(rows), explainer_(options.confidence, options.near) {}

  FrameSummary add(const QuorFrame& truth, const QuorFrame* partner, ExplanationPart& part) {
    explainer_.start(truth, partner);
    const FrameSummary frame =
        addMatching(truth, explainer_.allTruths(), explainer_.allSystems(), part.classes[0]);
    addConfusion(explainer_, rows_, part.confusion);
    // A class of which neither frame holds a box adds nothing, nor does one
    // of which All's matching takes none when it matched them all at once.
    const std::vector<int32_t>* shared = explainer_.sharedClasses();
    if (shared == nullptr || !rows_.rowsOf(*shared, present_)) {
      rows_.rowsFor(truth, partner, present_);
    }
    for (const uint32_t row : present_) {
      explainer_.explain(rows_.filter(row));
      addMatching(truth, explainer_.truths(), explainer_.systems(), part.classes[row]);
    }
    return frame;
  }

 private:
  const ClassRows& rows_;
  FrameExplainer explainer_;
  std::vector<uint32_t> present_;
};

// Most errors first, then file order.
bool worse(const FrameSummary& a, const FrameSummary& b) {
  return a.errors() != b.errors() ? a.errors() > b.errors() : a.line < b.line;
}

// Keeps the frames that can still be among the worst of the sequence: a
// frame that kWorstFrameCount frames of the same worker beat cannot.
void keepIfBad(std::vector<FrameSummary>& kept, const FrameSummary& frame) {
  if (frame.errors() == 0) return;
  kept.push_back(frame);
  if (kept.size() >= 4 * kWorstFrameCount) {
    std::sort(kept.begin(), kept.end(), worse);
    kept.resize(kWorstFrameCount);
  }
}

constexpr std::size_t kFramesPerItem = 64;

}  // namespace

void PairStats::add(float overlap, float iou) {
  ++count;
  // Whole numbers of units already (see the header); the half only rounds
  // what would not be, without a library call per pair. Scaling by the power
  // of two 1 / kUnit is exact, so the product is the quotient.
  constexpr double kUnitsPerOne = 67108864.0;  // 2^26
  overlapUnits += static_cast<int64_t>(static_cast<double>(overlap) * kUnitsPerOne + 0.5);
  iouUnits += static_cast<int64_t>(static_cast<double>(iou) * kUnitsPerOne + 0.5);
  ++histogram[binOf(overlap)];
}

double PairStats::meanOverlap() const {
  if (count == 0) return std::numeric_limits<double>::quiet_NaN();
  return static_cast<double>(overlapUnits) * kUnit / static_cast<double>(count);
}

double PairStats::meanIou() const {
  if (count == 0) return std::numeric_limits<double>::quiet_NaN();
  return static_cast<double>(iouUnits) * kUnit / static_cast<double>(count);
}

std::size_t PairStats::binOf(float overlap) {
  static constexpr std::array<float, kOverlapBins - 1> kUpperEdges = {0.3f, 0.4f, 0.5f, 0.6f,
                                                                      0.7f, 0.8f, 0.9f};
  // The edges it reaches, counted without a branch: overlaps fall anywhere,
  // and a loop that stops at the first edge above one mispredicts often.
  std::size_t bin = 0;
  for (const float edge : kUpperEdges) bin += static_cast<std::size_t>(overlap >= edge);
  return bin;
}

PairStats& PairStats::operator+=(const PairStats& other) {
  count += other.count;
  overlapUnits += other.overlapUnits;
  iouUnits += other.iouUnits;
  for (std::size_t bin = 0; bin < kOverlapBins; ++bin) histogram[bin] += other.histogram[bin];
  return *this;
}

std::optional<double> ClassExplanation::cost(int64_t errors) const {
  if (gt == 0) return std::nullopt;
  return static_cast<double>(errors) / static_cast<double>(gt);
}

ClassExplanation& ClassExplanation::operator+=(const ClassExplanation& other) {
  gt += other.gt;
  det += other.det;
  fn += other.fn;
  fp += other.fp;
  for (std::size_t c = 0; c < kMissCauseCount; ++c) misses[c] += other.misses[c];
  for (std::size_t c = 0; c < kFalseAlarmCauseCount; ++c) falseAlarms[c] += other.falseAlarms[c];
  pairs += other.pairs;
  return *this;
}

Confusion::Confusion(std::size_t classes) : classes_(classes) {
  if (dense()) dense_.assign(size() * size(), 0);
}

int64_t Confusion::at(std::size_t truth, std::size_t system) const {
  const std::size_t key = truth * size() + system;
  if (dense()) return dense_[key];
  const auto found = sparse_.find(key);
  return found == sparse_.end() ? 0 : found->second;
}

void Confusion::add(std::size_t truth, std::size_t system, int64_t count) {
  const std::size_t key = truth * size() + system;
  if (dense()) {
    dense_[key] += count;
  } else if (count != 0) {
    sparse_[key] += count;
  }
}

std::vector<Confusion::Cell> Confusion::nonZero() const {
  std::vector<Cell> cells;
  const std::size_t n = size();
  if (dense()) {
    for (std::size_t key = 0; key < dense_.size(); ++key) {
      if (dense_[key] != 0) cells.push_back({key / n, key % n, dense_[key]});
    }
    return cells;
  }
  cells.reserve(sparse_.size());
  for (const auto& [key, count] : sparse_) {
    if (count != 0) cells.push_back({key / n, key % n, count});
  }
  std::sort(cells.begin(), cells.end(), [](const Cell& a, const Cell& b) {
    return a.truth != b.truth ? a.truth < b.truth : a.system < b.system;
  });
  return cells;
}

std::vector<std::vector<int64_t>> Confusion::square() const {
  std::vector<std::vector<int64_t>> rows(size(), std::vector<int64_t>(size(), 0));
  for (const Cell& cell : nonZero()) rows[cell.truth][cell.system] = cell.count;
  return rows;
}

Confusion& Confusion::operator+=(const Confusion& other) {
  if (other.classes_ != classes_) {
    throw std::logic_error("confusion matrices of different class sets cannot be added");
  }
  if (dense()) {
    for (std::size_t key = 0; key < dense_.size(); ++key) dense_[key] += other.dense_[key];
  } else {
    for (const auto& [key, count] : other.sparse_) {
      if (count != 0) sparse_[key] += count;
    }
  }
  setAside += other.setAside;
  excluded += other.excluded;
  droppedInRegion += other.droppedInRegion;
  return *this;
}

bool Confusion::operator==(const Confusion& other) const {
  return classes_ == other.classes_ && setAside == other.setAside && excluded == other.excluded &&
         droppedInRegion == other.droppedInRegion &&
         (dense() ? dense_ == other.dense_ : nonZero() == other.nonZero());
}

Explanation::Explanation() : Explanation(ClassSet::standard()) {}

Explanation::Explanation(ClassSetPtr set)
    : classSet(std::move(set)), classes(classSet->rows()), confusion(classSet->names().size()) {}

std::vector<FrameSummary> worstFrames(const std::vector<FrameSummary>& frames, std::size_t count) {
  std::vector<FrameSummary> worst;
  for (const FrameSummary& frame : frames) {
    if (frame.errors() > 0) worst.push_back(frame);
  }
  // Stable: frames of equal errors stay in file order whatever their lines.
  std::stable_sort(worst.begin(), worst.end(), [](const FrameSummary& a, const FrameSummary& b) {
    return a.errors() > b.errors();
  });
  if (worst.size() > count) worst.resize(count);
  return worst;
}

Explanation explainSequences(const QuorSequence& groundTruth, const QuorSequence& system,
                             const ExplainOptions& options) {
  return explainSequences(groundTruth, system, pairClasses(groundTruth, system), options);
}

Explanation explainSequences(const QuorSequence& groundTruth, const QuorSequence& system,
                             ClassSetPtr classes, const ExplainOptions& options) {
  const ClassRows rows(std::move(classes), options.confidence);
  Explanation result(rows.classes());
  const std::size_t frameCount = groundTruth.frames.size();
  result.frames = static_cast<int64_t>(frameCount);
  const std::vector<int32_t> partners = pairFrames(groundTruth, system);
  std::vector<FrameSummary> timeline(frameCount);
  const std::size_t itemCount = (frameCount + kFramesPerItem - 1) / kFramesPerItem;
  const std::size_t workers =
      std::max<std::size_t>(1, std::min<std::size_t>(options.threads, itemCount));
  std::vector<ExplanationPart> parts(workers, ExplanationPart(rows));
  std::atomic<std::size_t> nextItem{0};
  // Each frame's summary goes to its own slot, so the timeline is in file
  // order whichever thread explained it.
  const auto work = [&](std::size_t worker) {
    PairExplainer explainer(rows, options);
    for (std::size_t item; (item = nextItem.fetch_add(1)) < itemCount;) {
      const std::size_t end = std::min(frameCount, (item + 1) * kFramesPerItem);
      for (std::size_t at = item * kFramesPerItem; at < end; ++at) {
        const int32_t partner = partners[at];
        timeline[at] = explainer.add(
            groundTruth.frames[at],
            partner >= 0 ? &system.frames[static_cast<std::size_t>(partner)] : nullptr,
            parts[worker]);
      }
    }
  };
  {
    std::vector<std::jthread> pool;
    for (std::size_t worker = 1; worker < workers; ++worker) pool.emplace_back(work, worker);
    work(0);
  }
  for (const ExplanationPart& part : parts) part.addTo(result);
  result.timeline =
      options.everyFrame ? std::move(timeline) : worstFrames(timeline, kWorstFrameCount);
  return result;
}

StreamedExplanation explainWhileReading(StreamedInput& groundTruth, StreamedInput& system,
                                        const ExplainOptions& options) {
  struct Explainer : FramePairVisitor {
    Explainer(const ClassRows& rows, const ExplainOptions& o, std::size_t workers)
        : options(o), parts(workers, ExplanationPart(rows)), frames(workers) {
      for (std::size_t worker = 0; worker < workers; ++worker) explainers.emplace_back(rows, o);
    }
    void pair(std::size_t worker, const QuorFrame& truth, const QuorFrame* partner) override {
      const FrameSummary frame = explainers[worker].add(truth, partner, parts[worker]);
      if (options.everyFrame) {
        frames[worker].push_back(frame);
      } else {
        keepIfBad(frames[worker], frame);
      }
    }
    void unpaired(const QuorFrame&) override {}

    const ExplainOptions& options;
    std::vector<PairExplainer> explainers;
    std::vector<ExplanationPart> parts;
    std::vector<std::vector<FrameSummary>> frames;
  };
  const std::size_t workers = std::max(1u, options.threads);
  // Files of this format: its ten classes.
  const ClassRows rows(ClassSet::standard(), options.confidence);
  Explainer explainer(rows, options, workers);
  StreamedExplanation result;
  result.inOrder = visitFramesWhileReading(groundTruth, system, explainer, options.threads,
                                           result.explanation.frames);
  if (!result.inOrder) return result;
  for (const ExplanationPart& part : explainer.parts) part.addTo(result.explanation);
  std::vector<FrameSummary>& timeline = result.explanation.timeline;
  for (std::vector<FrameSummary>& part : explainer.frames) {
    timeline.insert(timeline.end(), part.begin(), part.end());
    part = {};
  }
  // Workers took frames in turns: their lines put them back in file order.
  std::sort(timeline.begin(), timeline.end(),
            [](const FrameSummary& a, const FrameSummary& b) { return a.line < b.line; });
  if (!options.everyFrame) timeline = worstFrames(timeline, kWorstFrameCount);
  return result;
}

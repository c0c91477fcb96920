// In-memory records of an annotation file: the sequence, its frames and the
// boxes (targets) and don't-care regions they list.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

/// Object types kept as ordinary targets, in the order they are searched.
inline constexpr std::array<std::string_view, 10> knownClasses = {
    "Car",  "Truck", "Tractor-Trailor", "Bus",    "Container",
    "Boat", "Plane", "Helicopter",      "Person", "Cyclist"};

/// The type of a don't-care region.
inline constexpr std::string_view kRegionClass = "DCR";

/// Object type names are held in targets as small codes: codes 0 to 9 are
/// the known classes in table order and 10 is "DCR"; any other name gets a
/// code of its own the first time it is seen. Two targets have the same
/// name exactly when they have the same code.
uint16_t classCodeOf(std::string_view name);
/// The code of a known class or of "DCR", or -1 for any other name.
int32_t fixedClassCode(std::string_view name);
/// The code of `name` when it has one, or -1; registers nothing.
int32_t findClassCode(std::string_view name);
/// The NUL-terminated name of a code; the text lives as long as the program.
const char* classNameOf(uint16_t code);

// One box or don't-care region of an annotation file. Targets are created by
// the reader, owned by the TargetStore of the sequence it filled, and shared
// (never copied) by every selection made from that sequence.
//
// Long videos hold millions of targets, and the memory they take is most of
// the run's memory and much of its time (first touching memory is not free),
// so the record holds only what the scoring reads, in 32 bytes: the bounding
// rectangle (every overlap test works on it), the size the region test
// divides by (computed once from the corners), the confidence, the flags and
// the object type as a code. The corners themselves are not kept.
struct QuorTarget {
  // Bounding rectangle: smallest and largest x and y over the four corners.
  int32_t minX = 0, minY = 0, maxX = 0, maxY = 0;
  // The length of side 1-2 times that of side 2-3, each the double square
  // root of the exact squared difference: a turned box's own area.
  double sideProduct = 0.0;
  float confidence = 0.0f;
  uint16_t classCode = 0;  // the object type, as classCodeOf() gives it
  bool markB = false;
  bool markA = false;

  /// The object type, for example "Car"; "DCR" for a don't-care region.
  const char* className() const { return classNameOf(classCode); }
  std::string_view name() const { return className(); }
};

/// Length of the side from (xa, ya) to (xb, yb) in double precision, from
/// the exact differences.
inline double sideLength(int32_t xa, int32_t ya, int32_t xb, int32_t yb) {
  const double dx = static_cast<double>(static_cast<int64_t>(xa) - xb);
  const double dy = static_cast<double>(static_cast<int64_t>(ya) - yb);
  return std::sqrt(dx * dx + dy * dy);
}

/// sideLength(x1, y1, x2, y2) * sideLength(x2, y2, x3, y3), the same value:
/// both roots are taken at once, as a reader makes millions of boxes and
/// would otherwise wait for one root after the other.
inline double sideProduct(int32_t x1, int32_t y1, int32_t x2, int32_t y2, int32_t x3, int32_t y3) {
#if defined(__SSE2__)
  const __m128d dx = _mm_set_pd(static_cast<double>(static_cast<int64_t>(x2) - x3),
                                static_cast<double>(static_cast<int64_t>(x1) - x2));
  const __m128d dy = _mm_set_pd(static_cast<double>(static_cast<int64_t>(y2) - y3),
                                static_cast<double>(static_cast<int64_t>(y1) - y2));
  const __m128d sides = _mm_sqrt_pd(_mm_add_pd(_mm_mul_pd(dx, dx), _mm_mul_pd(dy, dy)));
  return _mm_cvtsd_f64(sides) * _mm_cvtsd_f64(_mm_unpackhi_pd(sides, sides));
#else
  return sideLength(x1, y1, x2, y2) * sideLength(x2, y2, x3, y3);
#endif
}

/// Fills a target from the eight corner coordinates in file order
/// (x1, y1, x2, y2, x3, y3, x4, y4): its bounding rectangle and side product.
inline void fillTarget(QuorTarget& target, int32_t x1, int32_t y1, int32_t x2, int32_t y2,
                       int32_t x3, int32_t y3, int32_t x4, int32_t y4, uint16_t classCode,
                       bool markB, float confidence, bool markA) {
  target.sideProduct = sideProduct(x1, y1, x2, y2, x3, y3);
  target.classCode = classCode;
  target.markB = markB;
  target.confidence = confidence;
  target.markA = markA;
  target.minX = std::min({x1, x2, x3, x4});
  target.maxX = std::max({x1, x2, x3, x4});
  target.minY = std::min({y1, y2, y3, y4});
  target.maxY = std::max({y1, y2, y3, y4});
}

/// The same, as a new target.
inline QuorTarget makeTarget(int32_t x1, int32_t y1, int32_t x2, int32_t y2, int32_t x3, int32_t y3,
                             int32_t x4, int32_t y4, uint16_t classCode, bool markB,
                             float confidence, bool markA) {
  QuorTarget target;
  fillTarget(target, x1, y1, x2, y2, x3, y3, x4, y4, classCode, markB, confidence, markA);
  return target;
}

/// The same with the object type given by name.
QuorTarget makeTarget(int32_t x1, int32_t y1, int32_t x2, int32_t y2, int32_t x3, int32_t y3,
                      int32_t x4, int32_t y4, std::string_view className, bool markB,
                      float confidence, bool markA);

/// Owns the targets of a read sequence. Targets are stored in large chunks
/// of fixed capacity, so their addresses never change once added.
class TargetStore {
 public:
  TargetStore() = default;
  TargetStore(const TargetStore&) = delete;
  TargetStore& operator=(const TargetStore&) = delete;
  /// A store moved from is empty and can be filled again.
  TargetStore(TargetStore&& other) noexcept { *this = std::move(other); }
  TargetStore& operator=(TargetStore&& other) noexcept;

  /// Stores a copy of `target`; its address never changes.
  const QuorTarget* add(const QuorTarget& target) {
    QuorTarget& added = addBlank();
    added = target;
    return &added;
  }
  /// Stores a default target for the caller to fill in place (a reader's
  /// usual way: a target built aside and copied in costs a reload of it).
  QuorTarget& addBlank() {
    // Every target of a file goes through here: the usual case stays inline.
    if (room_ == 0) startNextChunk();
    --room_;
    ++size_;
    return *std::construct_at(next_++);
  }
  std::size_t size() const { return size_; }
  /// Forgets every target, keeping the memory for the targets added next:
  /// pointers to the old ones must no longer be used.
  void clear();

 private:
  struct ReleaseMemory {
    void operator()(QuorTarget* chunk) const;
  };
  using Chunk = std::unique_ptr<QuorTarget, ReleaseMemory>;

  void startNextChunk();

  std::vector<Chunk> chunks_;
  std::size_t current_ = 0;     // the chunk being filled, when there is one
  QuorTarget* next_ = nullptr;  // its next free slot
  std::size_t room_ = 0;        // free slots left in it
  std::size_t size_ = 0;
};

/// The overlap ratio a pair of boxes must reach to match.
inline constexpr float kDefaultOverlapThreshold = 0.2f;
/// Part of a target that a don't-care region must cover to drop it (0.33 in
/// single precision).
inline constexpr float kDefaultRegionCover = 0.33f;

/// How the overlap of two boxes is measured: the intersection of their
/// rectangles over the smallest rectangle enclosing both (this format's
/// measure), or over their union (IoU).
enum class OverlapMeasure : uint8_t { kEnclosing, kIou };
/// The confidence a box must reach to be kept by a selection, unless set.
inline constexpr float kDefaultConfidenceThreshold = 0.2f;

/// The confidence of a box whose file gives it none (a detection of the MOT
/// family whose score is -1): above every threshold, so that every
/// selection, every row of a sweep and every ranking takes it, and no
/// threshold can leave it out as it would a box scored -1. It is no score:
/// a sequence read from such a file says that an infinite confidence is
/// none (QuorSequence::infinityMeansNoScore), its readers refuse an infinite
/// score written as such, and writers print no number for it.
inline constexpr float kNoConfidence = std::numeric_limits<float>::infinity();

/// One frame of a sequence. The lists refer to targets owned elsewhere.
struct QuorFrame {
  explicit QuorFrame(uint32_t number) : frameNumber(number) {}

  uint32_t frameNumber;    // only ever compared for equality
  uint64_t firstLine = 0;  // the line of the record that started it (the header is line 1)
  // Where that record's line starts in the file, in bytes from its start
  // (0 when the frame was not read from a file of this format), so that
  // the frame can be read again without the lines before it.
  uint64_t firstByte = 0;
  std::vector<const QuorTarget*> targets;  // boxes, in file order
  std::vector<const QuorTarget*> regions;  // don't-care regions ("DCR"), in file order
  // Counts the frame matching leaves on a ground-truth frame.
  int32_t gtCount = 0;
  int32_t gtExcluded = 0;
  int32_t detCount = 0;
  int32_t detExcluded = 0;
  int32_t fpCount = 0;
  int32_t fnCount = 0;
  // The matching's rules, on a ground-truth frame: the smallest overlap
  // that counts as a match, how overlap is measured, and the part of a
  // system box a region must cover to drop it. A selection takes them from
  // the frame it selects from.
  float overlapThreshold = kDefaultOverlapThreshold;
  float regionCoverRatio = kDefaultRegionCover;
  OverlapMeasure overlapMeasure = OverlapMeasure::kEnclosing;

  /// Makes this an empty frame numbered `number`, as if new, keeping the
  /// memory of its lists.
  void restart(uint32_t number) {
    frameNumber = number;
    firstLine = 0;
    firstByte = 0;
    targets.clear();
    regions.clear();
    gtCount = gtExcluded = detCount = detExcluded = fpCount = fnCount = 0;
    overlapThreshold = kDefaultOverlapThreshold;
    regionCoverRatio = kDefaultRegionCover;
    overlapMeasure = OverlapMeasure::kEnclosing;
  }
  /// Takes the matching's rules of `other`.
  void takeRulesOf(const QuorFrame& other) {
    overlapThreshold = other.overlapThreshold;
    regionCoverRatio = other.regionCoverRatio;
    overlapMeasure = other.overlapMeasure;
  }
};

class ClassSet;

/// An annotation file, or one class's selection from it.
class QuorSequence {
 public:
  QuorSequence() = default;
  QuorSequence(const QuorSequence&) = delete;
  QuorSequence& operator=(const QuorSequence&) = delete;
  virtual ~QuorSequence() = default;

  // Totals of one class evaluation, meaningful on a ground-truth selection.
  int32_t gtTotal = 0;
  int32_t detTotal = 0;
  int32_t fpTotal = 0;
  int32_t fnTotal = 0;
  float confidenceThreshold = kDefaultConfidenceThreshold;  // smallest a selection keeps
  bool keepMarkA = false;                                   // when set, markA sets nothing aside
  bool keepMarkB = false;                                   // when set, markB sets nothing aside
  std::vector<QuorFrame> frames;                            // in the order they were appended
  // The targets a reader created for this sequence; empty in a selection,
  // whose frames point at the targets of its source.
  TargetStore targetStore;
  // The classes the file names, in the dataset's order, when it brings its
  // own (another dataset's file); null for this format's ten.
  std::shared_ptr<const ClassSet> classes;
  // Read from a file whose format writes -1 for a box without a score (the
  // detections of the MOT family): a confidence of kNoConfidence is such a
  // box's, never a score of the file. False for this format, where "inf" is
  // a score like any other.
  bool infinityMeansNoScore = false;

  /// Whether `target`, one of this sequence's, was given no score.
  bool hasNoScore(const QuorTarget& target) const {
    return infinityMeansNoScore && target.confidence == kNoConfidence;
  }

  /// Makes this an empty sequence again, keeping the memory of its frame
  /// list, target store and frames' lists for the next filling.
  void clear() noexcept;

  /// A frame list holding `items`, in the memory of a list the last clear()
  /// kept when there is one: a reader filling the same sequence again and
  /// again then allocates nothing per frame. A kept list is used only where
  /// it is at most about twice the size needed.
  std::vector<const QuorTarget*> newList(std::span<const QuorTarget* const> items);

 private:
  std::vector<std::vector<const QuorTarget*>> spareLists_;
};

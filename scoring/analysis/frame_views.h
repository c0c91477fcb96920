// What a person looking at a sequence frame by frame needs: the errors of
// every frame (for a timeline), the frames worth looking at, and for each of
// those every box of the pair with what became of it and why, as the
// scoring itself decides (the class's matching and FrameExplainer's causes).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "annotation/quor_records.h"
#include "annotation/selection.h"
#include "annotation/sequence_reader.h"
#include "scoring/analysis/sequence_events.h"
#include "scoring/counts/streaming_evaluation.h"
#include "scoring/matching/box_overlap.h"

/// Which frames a view holds.
struct FrameChoice {
  enum class Kind : uint8_t {
    kErrors,  // frames with a miss or a false alarm, the worst first past `count`
    kAll,     // every frame
    kWorst,   // the `count` frames with the most errors
    kRange,   // frames numbered first to last
  };
  Kind kind = Kind::kErrors;
  std::size_t count = 1000;  // kErrors, kWorst: the most frames held
  uint32_t first = 0;        // kRange
  uint32_t last = 0;         // kRange
};

/// Reads "errors", "all", "worst:N" (N >= 1) or "A-B" (frame numbers, A <= B);
/// nothing for any other text.
std::optional<FrameChoice> parseFrameChoice(std::string_view text);

/// One ground-truth frame's errors for the class viewed.
/// (A frame's counts fit 32 bits: its boxes are counted in 32 bits. A long
/// video holds one of these for every frame.)
struct FrameErrors {
  int32_t fn = 0;
  int32_t fp = 0;
  int64_t errors() const { return int64_t{fn} + fp; }
};

/// The FN and FP of every ground-truth frame, in file order, for `filter`'s
/// class as the class scoring counts them (evaluateFramePair), on `threads`
/// threads; the result does not depend on them.
std::vector<FrameErrors> frameErrors(const QuorSequence& groundTruth, const QuorSequence& system,
                                     const std::vector<int32_t>& partners,
                                     const TargetFilter& filter, unsigned threads = 1);

/// The positions (into the ground truth's frames, ascending) of the frames
/// `choice` picks, from every frame's number and errors. `leftOut` receives
/// how many frames with errors kErrors could not hold.
std::vector<std::size_t> chooseFrames(std::span<const uint32_t> frameNumbers,
                                      const std::vector<FrameErrors>& errors,
                                      const FrameChoice& choice, std::size_t* leftOut = nullptr);
/// The same for the frames of `groundTruth`.
std::vector<std::size_t> chooseFrames(const QuorSequence& groundTruth,
                                      const std::vector<FrameErrors>& errors,
                                      const FrameChoice& choice, std::size_t* leftOut = nullptr);

/// One box or don't-care region of a frame pair in a view.
struct ViewBox {
  bool systemSide = false;
  bool region = false;    // a don't-care region of the ground-truth frame
  bool takesPart = true;  // false: the class's selection does not take it (below
                          // the confidence, or of another class)
  int32_t box = 0;        // its position in its frame's targets (or regions), as read
  BoxEventKind kind = BoxEventKind::kMatch;  // when it takes part
  int32_t partner = -1;                      // as BoxEvent::partner
  int8_t cause = -1;                         // as BoxEvent::cause
  float overlap = 0.0f;                      // as BoxEvent::overlap
};

/// A ground-truth frame and its system frame, every box of both.
struct FrameView {
  std::size_t truthFrame = 0;  // position in the ground truth's frames viewed
  int32_t systemFrame = -1;    // position in the system's frames; -1 when none
  std::size_t position = 0;    // position in the whole ground truth (the timeline's)
  FrameErrors errors;
  int64_t gt = 0;   // ground-truth boxes the class's selection takes
  int64_t det = 0;  // system boxes it takes
  /// Ground-truth boxes in list order, then its regions, then the system
  /// frame's boxes in list order.
  std::vector<ViewBox> boxes;
};

/// Explains the frames at `positions` (into the ground truth's frames) for
/// `filter`'s class, as forEachBoxEvent() would for those frames: the same
/// events, partners, causes and overlaps, plus the boxes the selection does
/// not take and the regions. `partners` is pairFrames() of the pair.
std::vector<FrameView> viewFrames(const QuorSequence& groundTruth, const QuorSequence& system,
                                  const std::vector<int32_t>& partners,
                                  const std::vector<std::size_t>& positions,
                                  const TargetFilter& filter, float near = kDefaultNearThreshold);

/// Whether a record's four corners make more than its bounding rectangle (a
/// turned box, or one whose sides are not the rectangle's): only then are
/// its corners worth drawing.
bool isTurned(const QuorTarget& target);

/// The corners as read of some records of a file, by line (ascending).
class CornersByLine {
 public:
  void add(uint64_t line, const std::array<int32_t, 8>& corners) {
    lines_.push_back(line);
    corners_.push_back(corners);
  }
  std::optional<std::array<int32_t, 8>> find(uint64_t line) const;
  std::size_t size() const { return lines_.size(); }

 private:
  std::vector<uint64_t> lines_;
  std::vector<std::array<int32_t, 8>> corners_;
};

/// A view made while the files are read, holding only its frames.
struct StreamedView {
  /// False when a file's frame numbers went back somewhere: then nothing
  /// else is set, and the view must be made from the whole files.
  bool inOrder = true;
  std::vector<FrameErrors> errors;  // every ground-truth frame's, in file order
  std::size_t leftOut = 0;          // as chooseFrames() tells it
  /// The frames held (their truthFrame and systemFrame are positions in
  /// the two sequences below, their position one in the whole ground truth).
  std::vector<FrameView> frames;
  /// The ground truth's frames held, and the system frames of their
  /// numbers, with where their records came from.
  std::unique_ptr<QuorSequence> groundTruth;
  std::unique_ptr<QuorSequence> system;
  ReadDetails truthLines;
  ReadDetails systemLines;
  /// The corners as read of the turned records held (isTurned()).
  CornersByLine truthCorners;
  CornersByLine systemCorners;
};

/// What viewFrames() makes of the frames `choice` picks, for `filter`'s
/// class, with the frame errors and choice of frameErrors() and
/// chooseFrames(), but without holding either file whole: the files are
/// read once while the errors of every frame are counted on `threads`
/// threads (as evaluateClassesWhileReading() reads them), and once more for
/// the frames picked, opened again by their inputs' names: each of those is
/// read from where the first read found it (readRecordRuns()), the lines of
/// the other frames left alone. A read that fails sets its input's status
/// and message (the first read's refusals, so the same as a whole read's;
/// "changed while it was read" when the second read finds a file other
/// than the first did); then the view is not to be used.
StreamedView viewFramesWhileReading(StreamedInput& groundTruth, StreamedInput& system,
                                    const TargetFilter& filter, const FrameChoice& choice,
                                    float near = kDefaultNearThreshold, unsigned threads = 1);

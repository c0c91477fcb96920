// What a person looking at a sequence frame by frame needs: the errors of
// every frame (for a timeline), the frames worth looking at, and for each of
// those every box of the pair with what became of it and why, as the
// scoring itself decides (the class's matching and FrameExplainer's causes).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "annotation/quor_records.h"
#include "annotation/selection.h"
#include "scoring/box_overlap.h"
#include "scoring/sequence_events.h"

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
struct FrameErrors {
  int64_t fn = 0;
  int64_t fp = 0;
  int64_t errors() const { return fn + fp; }
};

/// The FN and FP of every ground-truth frame, in file order, for `filter`'s
/// class as the class scoring counts them (evaluateFramePair), on `threads`
/// threads; the result does not depend on them.
std::vector<FrameErrors> frameErrors(const QuorSequence& groundTruth, const QuorSequence& system,
                                     const std::vector<int32_t>& partners,
                                     const TargetFilter& filter, unsigned threads = 1);

/// The positions (into the ground truth's frames, ascending) of the frames
/// `choice` picks. `leftOut` receives how many frames with errors kErrors
/// could not hold.
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
  std::size_t truthFrame = 0;  // position in the ground truth's frames
  int32_t systemFrame = -1;    // position in the system's frames; -1 when none
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

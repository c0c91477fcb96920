// The page of `talmira view`: the boxes of both files drawn frame by frame,
// one self-contained HTML file (inline CSS, SVG and script), and the SVG of
// one frame alone (the Python module's draw_frame).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "annotation/class_set.h"
#include "annotation/quor_records.h"
#include "annotation/sequence_reader.h"
#include "scoring/analysis/frame_views.h"
#include "talmira/track_events.h"

namespace talmira {

/// The four corners of a record as its file gives them (x1, y1, ..., x4, y4),
/// by its side and line; nothing when they are not known (the box is then
/// drawn as its bounding rectangle).
using CornersOf =
    std::function<std::optional<std::array<int32_t, 8>>(bool systemSide, uint64_t line)>;

/// The pair being drawn, with where its records came from.
struct ViewSource {
  const QuorSequence& groundTruth;
  const QuorSequence& system;
  const ReadDetails& truthLines;
  const ReadDetails& systemLines;
  CornersOf corners;  // may be empty
};

/// A frame's picture: an address (relative to the page, or a data: URI)
/// and its size in the frame's pixel coordinates.
struct FramePicture {
  std::string href;
  int width = 0;
  int height = 0;
};

/// One frame as SVG in its pixel coordinates: each box of the pair as its
/// quadrilateral, an element carrying data-side (gt or sys), data-line,
/// data-event (the events command's names; "none" for a box the class's
/// selection does not take, drawn only when `faint`), data-class,
/// data-confidence, data-cause, data-overlap and data-partner; the pairs
/// joined by lines; the don't-care regions hatched. `standalone` makes a
/// document of its own (namespace, style, the picture as an <image>);
/// otherwise the SVG is made to lie over an <img> of the picture in a page.
std::string renderFrameSvg(const ViewSource& source, const FrameView& view,
                           const FramePicture* picture, bool standalone, bool faint = true);

/// What the page shows.
struct ViewPage {
  std::string groundTruthPath;
  std::string systemPath;
  ClassSetPtr classSet = ClassSet::standard();  // the pair's (pairClasses())
  std::string className = "All";
  float confidence = 0.0f;
  std::string framesText;           // the --frames text
  std::vector<FrameErrors> errors;  // every ground-truth frame's, for the timeline
  std::vector<FrameView> frames;    // the frames held
  std::size_t leftOut = 0;          // frames with errors not held
  /// Parallel to `frames` when pictures were asked for (nothing: that
  /// frame's picture is missing); empty otherwise.
  std::vector<std::optional<FramePicture>> pictures;
  std::string producedBy;
};

/// The page: the inputs, a timeline strip of every frame's FN and FP
/// (binned to at most kTimelineColumns columns, the shown frame marked, a
/// click jumps to the held frame nearest), the frame shown (one at a time;
/// right and left arrows, n and p for the next and previous frame with an
/// error), its number, line and counts, a class filter (the classes of the
/// pair's set that boxes held bear, by name), a toggle for the
/// boxes the selection does not take, and a readout of the box under the
/// pointer. Without scripts the first frame is shown.
std::string renderViewPage(const ViewSource& source, const ViewPage& page);

/// What the page of `talmira view --track` shows.
struct TrackViewPage {
  const FollowedTracks* followed = nullptr;
  std::string framesText;           // the --frames text
  std::vector<FrameErrors> errors;  // every frame's (1 to the length), the classes' summed
  std::vector<int64_t> switches;    // every frame's identity switches
  std::vector<uint32_t> frames;     // the frame numbers held, ascending
  std::size_t leftOut = 0;          // frames with errors not held
  /// Parallel to `frames` when pictures were asked for; empty otherwise.
  std::vector<std::optional<FramePicture>> pictures;
  std::string producedBy;
};

/// One frame of followed tracks as SVG: each ground-truth box (solid) in
/// its track's colour, each tracker box (dashed) in the colour of the
/// track it is matched to, a false alarm orange, each labelled with its
/// identity; elements with data-side, data-line, data-event, data-class,
/// data-id, data-partner and data-overlap as `talmira events --track` has
/// them; each identity switch ringed, an element with data-switch,
/// data-line (the ground-truth box), data-gt-id, data-from, data-to.
std::string renderTrackFrameSvg(const TrackViewPage& page, uint32_t frame,
                                const FramePicture* picture);

/// The page: as renderViewPage()'s, with the switches marked on the
/// timeline and `s` and `S` (shift) stepping to the next and previous held
/// frame with a switch.
std::string renderTrackViewPage(const TrackViewPage& page);

}  // namespace talmira

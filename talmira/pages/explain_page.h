// The page of `talmira explain --report`: why a detector lost points, in one
// self-contained HTML file (inline CSS and SVG, a little inline script,
// nothing fetched from a network).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "scoring/analysis/sequence_explanation.h"
#include "talmira/writers/explain_report.h"

namespace talmira {

/// The most columns the timeline strip has: a long video's frames are summed
/// into this many, so the page stays small whatever the video's length.
inline constexpr std::size_t kTimelineColumns = 2000;

/// One column of the timeline strip: the frames at positions first to last
/// (inclusive) of the timeline, and the sums of their misses and false alarms.
struct TimelineColumn {
  std::size_t first = 0;
  std::size_t last = 0;
  int64_t fn = 0;
  int64_t fp = 0;
};

/// The frames (anything with `fn` and `fp`), in their order, cut into
/// min(frames, maxColumns) runs of consecutive frames whose lengths differ
/// by at most one; no columns without frames (or with maxColumns 0).
template <typename Frame>
std::vector<TimelineColumn> binTimeline(const std::vector<Frame>& frames,
                                        std::size_t maxColumns = kTimelineColumns) {
  const std::size_t n = frames.size();
  const std::size_t columns = std::min(n, maxColumns);
  std::vector<TimelineColumn> bins(columns);
  // Column k takes the frames from floor(k n / c) up to the next column's
  // first: runs of floor(n / c) or one more, in order, none empty as c <= n.
  std::size_t first = 0;
  for (std::size_t k = 0; k < columns; ++k) {
    const std::size_t next =
        (k + 1 == columns) ? n : (k + 1) * (n / columns) + ((k + 1) * (n % columns)) / columns;
    TimelineColumn& column = bins[k];
    column.first = first;
    column.last = next - 1;
    for (std::size_t i = first; i < next; ++i) {
      column.fn += frames[i].fn;
      column.fp += frames[i].fp;
    }
    first = next;
  }
  return bins;
}

/// The page: the inputs and what produced it (`producedBy`, e.g. the command
/// line); per class with objects or false alarms its counts and a bar of the
/// points it lost, split by cause (misses and false alarms apart); the
/// confusion matrix of All as a shaded table, and the boxes left out of it;
/// the timeline of All's misses and false alarms along the video (binned, see
/// binTimeline) with the worst frames marked and listed; each class's pair
/// overlaps as a histogram with their mean overlap and IoU. The report's
/// timeline should hold every frame (ExplainOptions::everyFrame); the worst
/// frames are picked from it.
std::string renderExplainPage(const ExplainReport& report, const std::string& producedBy);

}  // namespace talmira

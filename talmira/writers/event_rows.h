// The rows of `talmira events`, as values: the command writes them as CSV and
// the Python module hands them to pandas, from the same walk.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "annotation/quor_records.h"
#include "annotation/selection.h"
#include "annotation/sequence_reader.h"
#include "scoring/analysis/sequence_events.h"
#include "talmira/track_events.h"

namespace talmira {

/// One box's event, with the lines of the records involved (the header is
/// line 1).
struct EventRow {
  std::optional<uint64_t> truthFrameLine;  // the first record of the ground-truth frame judged
  uint32_t frame = 0;                      // the box's frame number
  bool systemSide = false;
  uint64_t line = 0;  // the box's record
  const QuorTarget* box = nullptr;
  BoxEventKind kind = BoxEventKind::kMatch;
  std::optional<uint64_t> partnerLine;  // the partner box's or covering region's record
  int8_t cause = -1;                    // as BoxEvent::cause
  float overlap = 0.0f;                 // as BoxEvent::overlap (NaN: none)
};

/// The name of an event in the CSV: match, miss, excluded, false_alarm,
/// set_aside, in_region, unpaired_frame.
const char* eventName(BoxEventKind kind);

/// The name of a row's cause: a miss's or a false alarm's; null for any other row.
const char* causeName(const EventRow& row);

/// The CSV's first line, with its line end.
inline constexpr const char* kEventsHeader =
    "gt_frame_line,frame,side,line,class,confidence,event,partner_line,cause,overlap\n";

/// Visits the row of every box of `filter`'s selection, in forEachBoxEvent()'s
/// order. The details are the reader's for each sequence.
void forEachEventRow(const QuorSequence& groundTruth, const ReadDetails& truthLines,
                     const QuorSequence& system, const ReadDetails& systemLines,
                     const TargetFilter& filter, const std::function<void(const EventRow&)>& visit,
                     float near = kDefaultNearThreshold);

/// The whole CSV, header first.
std::string renderEventsCsv(const QuorSequence& groundTruth, const ReadDetails& truthLines,
                            const QuorSequence& system, const ReadDetails& systemLines,
                            const TargetFilter& filter, float near = kDefaultNearThreshold);

/// The CSV's first line for tracks (`talmira events --track`): the columns
/// above, then the identities and a switch's or fragmentation's previous
/// match.
inline constexpr const char* kTrackEventsHeader =
    "gt_frame_line,frame,side,line,class,confidence,event,partner_line,cause,overlap,"
    "gt_id,sys_id,previous_sys_id,previous_frame,previous_line,unmatched_frames\n";

/// The whole CSV of followed tracks, header first: each class's rows in
/// turn, frame by frame (gt_frame_line and cause empty; the confidence
/// empty where none is given).
std::string renderTrackEventsCsv(const FollowedTracks& followed);

}  // namespace talmira

#include "talmira/writers/event_rows.h"

#include <cmath>

#include "scoring/analysis/error_causes.h"
#include "talmira/cli_common.h"
#include "talmira/writers/ap_report.h"

namespace talmira {

const char* eventName(BoxEventKind kind) {
  switch (kind) {
    case BoxEventKind::kMatch:
      return "match";
    case BoxEventKind::kMiss:
      return "miss";
    case BoxEventKind::kExcluded:
      return "excluded";
    case BoxEventKind::kFalseAlarm:
      return "false_alarm";
    case BoxEventKind::kSetAside:
      return "set_aside";
    case BoxEventKind::kInRegion:
      return "in_region";
    case BoxEventKind::kUnpairedFrame:
      break;
  }
  return "unpaired_frame";
}

const char* causeName(const EventRow& row) {
  if (row.cause < 0) return nullptr;
  const auto cause = static_cast<std::size_t>(row.cause);
  if (row.kind == BoxEventKind::kMiss) return missCauseNames.at(cause);
  if (row.kind == BoxEventKind::kFalseAlarm) return falseAlarmCauseNames.at(cause);
  return nullptr;
}

void forEachEventRow(const QuorSequence& groundTruth, const ReadDetails& truthLines,
                     const QuorSequence& system, const ReadDetails& systemLines,
                     const TargetFilter& filter, const std::function<void(const EventRow&)>& visit,
                     float near) {
  forEachBoxEvent(
      groundTruth, system, filter,
      [&](const BoxEvent& event) {
        const auto truthFrame = static_cast<std::size_t>(event.truthFrame);
        const auto systemFrame = static_cast<std::size_t>(event.systemFrame);
        const QuorFrame& frame =
            event.systemSide ? system.frames[systemFrame] : groundTruth.frames[truthFrame];
        const ReadDetails& lines = event.systemSide ? systemLines : truthLines;
        const std::size_t frameAt = event.systemSide ? systemFrame : truthFrame;
        EventRow row;
        if (event.truthFrame >= 0) row.truthFrameLine = truthLines.frameLine(truthFrame);
        row.frame = frame.frameNumber;
        row.systemSide = event.systemSide;
        row.line = lines.targetLines(frameAt)[static_cast<std::size_t>(event.box)];
        row.box = frame.targets[static_cast<std::size_t>(event.box)];
        row.kind = event.kind;
        row.cause = event.cause;
        row.overlap = event.overlap;
        if (event.partner >= 0) {
          const auto partner = static_cast<std::size_t>(event.partner);
          if (event.kind == BoxEventKind::kInRegion) {
            row.partnerLine = truthLines.regionLines(truthFrame)[partner];
          } else if (event.systemSide) {
            row.partnerLine = truthLines.targetLines(truthFrame)[partner];
          } else {
            row.partnerLine = systemLines.targetLines(systemFrame)[partner];
          }
        }
        visit(row);
      },
      near);
}

std::string renderEventsCsv(const QuorSequence& groundTruth, const ReadDetails& truthLines,
                            const QuorSequence& system, const ReadDetails& systemLines,
                            const TargetFilter& filter, float near) {
  std::string csv = kEventsHeader;
  const auto addRow = [&](const EventRow& row) {
    if (row.truthFrameLine) csv += std::to_string(*row.truthFrameLine);
    csv += ',';
    csv += std::to_string(row.frame);
    csv += row.systemSide ? ",sys," : ",gt,";
    csv += std::to_string(row.line);
    csv += ',';
    csv += csvField(row.box->name());
    csv += ',';
    // A box its file gave no score (a MOT-family -1, taken at every
    // threshold) has no number to show: its cell is empty.
    if (!(row.systemSide ? system : groundTruth).hasNoScore(*row.box)) {
      csv += shortestText(row.box->confidence);
    }
    csv += ',';
    csv += eventName(row.kind);
    csv += ',';
    if (row.partnerLine) csv += std::to_string(*row.partnerLine);
    csv += ',';
    if (const char* cause = causeName(row)) csv += cause;
    csv += ',';
    if (!std::isnan(row.overlap)) csv += shortestText(row.overlap);
    csv += '\n';
  };
  forEachEventRow(groundTruth, truthLines, system, systemLines, filter, addRow, near);
  return csv;
}

std::string renderTrackEventsCsv(const FollowedTracks& followed) {
  std::string csv = kTrackEventsHeader;
  const auto number = [&csv](const auto& value) {
    csv += ',';
    if (value) csv += std::to_string(*value);
  };
  for (const FollowedClass& followedClass : followed.classes) {
    const std::string className = csvField(followedClass.name);
    for (const TrackEventRow& row : followedClass.rows) {
      csv += ',';
      csv += std::to_string(row.frame);
      csv += row.systemSide ? ",sys," : ",gt,";
      csv += std::to_string(row.box->line);
      csv += ',';
      csv += className;
      csv += ',';
      if (row.box->confidence != -1.0f) csv += shortestText(row.box->confidence);
      csv += ',';
      csv += trackEventName(row.kind);
      number(row.partnerLine);
      csv += ',';  // no cause
      csv += ',';
      if (!std::isnan(row.overlap)) csv += shortestDouble(row.overlap);
      number(row.truthId);
      number(row.systemId);
      number(row.previousSystemId);
      number(row.previousFrame);
      number(row.previousLine);
      number(row.unmatchedFrames);
      csv += '\n';
    }
  }
  return csv;
}

}  // namespace talmira

#include "scoring/analysis/file_check.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <string_view>
#include <unordered_map>

#include "scoring/counts/sequence_evaluation.h"

namespace {

std::string text(float value) {
  char buffer[64];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  return std::string(buffer, result.ptr);
}

std::string text(uint64_t value) { return std::to_string(value); }

// "1 box", "2 boxes".
std::string counted(uint64_t count, std::string_view one, std::string_view many) {
  return text(count) + " " + std::string(count == 1 ? one : many);
}

FileCheck checkFile(const QuorSequence& sequence, const ReadDetails& details) {
  FileCheck check;
  check.records = details.records;
  check.frames = sequence.frames.size();
  check.dcfRecords = details.dcfRecords;
  check.droppedBySize = details.droppedBySize;
  check.unknownTypes = details.unknownTypes;
  check.readerWarnings = details.readerWarnings;
  check.negativeExtentLines = details.negativeExtentLines;
  std::sort(check.negativeExtentLines.begin(), check.negativeExtentLines.end());
  check.headerReadsAsRecord = details.headerReadsAsRecord;
  if (sequence.classes) check.classes = sequence.classes;
  check.scoresMayBeAbsent = sequence.infinityMeansNoScore;
  const ClassSet& classes = *check.classes;
  check.boxesPerClass.assign(classes.names().size(), 0);
  // The position in boxesPerClass of each class code the set has, -1 elsewhere.
  std::vector<int32_t> slotOfCode;
  for (std::size_t row = 1; row < classes.rows(); ++row) {
    const uint16_t code = classes.code(row);
    if (code >= slotOfCode.size()) slotOfCode.resize(std::size_t{code} + 1, -1);
    slotOfCode[code] = static_cast<int32_t>(row - 1);
  }

  struct Runs {
    uint64_t runs = 0;
    uint64_t firstLine = 0;
    uint64_t secondLine = 0;
  };
  std::unordered_map<uint32_t, Runs> runsOf;
  for (std::size_t at = 0; at < sequence.frames.size(); ++at) {
    const QuorFrame& frame = sequence.frames[at];
    Runs& runs = runsOf[frame.frameNumber];
    ++runs.runs;
    if (runs.runs == 1) runs.firstLine = details.frameLine(at);
    if (runs.runs == 2) runs.secondLine = details.frameLine(at);
    check.regions += frame.regions.size();
    for (const QuorTarget* target : frame.targets) {
      ++check.boxes;
      if (target->classCode < slotOfCode.size() && slotOfCode[target->classCode] >= 0) {
        ++check.boxesPerClass[static_cast<std::size_t>(slotOfCode[target->classCode])];
      }
      if (target->markA || target->markB) ++check.flaggedBoxes;
      if (sequence.hasNoScore(*target)) {
        ++check.boxesWithoutScore;
        continue;
      }
      const float confidence = target->confidence;
      if (!check.confidenceMin || confidence < *check.confidenceMin) {
        check.confidenceMin = confidence;
      }
      if (!check.confidenceMax || confidence > *check.confidenceMax) {
        check.confidenceMax = confidence;
      }
      if (!(confidence >= 0.0f && confidence <= 1.0f)) ++check.confidencesOutside01;
      if (confidence < 1.0f) ++check.boxesBelowFullConfidence;
    }
  }
  for (const auto& [frame, runs] : runsOf) {
    if (runs.runs > 1) {
      check.repeatedFrameNumbers.push_back({frame, runs.runs, runs.firstLine, runs.secondLine});
    }
  }
  std::sort(check.repeatedFrameNumbers.begin(), check.repeatedFrameNumbers.end(),
            [](const RepeatedFrameNumber& a, const RepeatedFrameNumber& b) {
              return a.firstLine < b.firstLine;
            });
  return check;
}

void warnAboutFile(const FileCheck& check, bool groundTruth, std::string_view name,
                   std::vector<std::string>& warnings) {
  const std::string role = groundTruth ? "Ground truth" : "System output";
  if (check.frames == 0) {
    warnings.push_back(role + ": no frames; every record, if any, was dropped.");
  }
  for (const std::string& warning : check.readerWarnings) {
    warnings.push_back(role + ": " + warning + ".");
  }
  // One a line: each is a box that the file's writer most likely meant
  // otherwise, and that counts as one that matches nothing.
  for (const uint64_t line : check.negativeExtentLines) {
    const std::string where =
        name.empty() ? "line " + text(line) + ": " : locatedMessage(name, line, "");
    warnings.push_back(role + ": " + where +
                       "a negative width or height: read as a box of no area (not one spanning "
                       "the other way), which matches nothing.");
  }
  if (check.headerReadsAsRecord) {
    warnings.push_back(role +
                       ": the first line reads as a record, but the first line is always "
                       "skipped as the header; if the file was written without a header, "
                       "that record is lost.");
  }
  if (!check.unknownTypes.empty()) {
    std::string list;
    for (std::size_t k = 0; k < check.unknownTypes.size() && k < 3; ++k) {
      const ReadDetails::UnknownType& type = check.unknownTypes[k];
      list += (k == 0 ? "" : ", ") + ("\"" + type.name + "\" ") + "(" +
              counted(type.count, "record", "records") + ", first at line " + text(type.firstLine) +
              ")";
    }
    if (check.unknownTypes.size() > 3) {
      list += " and " + text(uint64_t{check.unknownTypes.size() - 3}) + " more";
    }
    warnings.push_back(role + ": records of a type that is no known class are dropped: " + list +
                       ".");
  }
  if (check.boxesWithoutScore > 0) {
    warnings.push_back(role + ": " +
                       counted(check.boxesWithoutScore, "box has no score", "boxes have no score") +
                       " (-1): taken at every confidence threshold, so no threshold leaves " +
                       (check.boxesWithoutScore == 1 ? "it" : "them") + " out.");
  }
  if (check.confidencesOutside01 > 0) {
    warnings.push_back(role + ": " + counted(check.confidencesOutside01, "box has", "boxes have") +
                       " a confidence outside 0 to 1 (the range is " + text(*check.confidenceMin) +
                       " to " + text(*check.confidenceMax) + ").");
  }
  if (!check.repeatedFrameNumbers.empty()) {
    const RepeatedFrameNumber& first = check.repeatedFrameNumbers.front();
    warnings.push_back(
        role + ": " +
        counted(check.repeatedFrameNumbers.size(), "frame number comes", "frame numbers come") +
        " back in a later run of lines (frame " + text(uint64_t{first.frame}) + " at lines " +
        text(first.firstLine) + " and " + text(first.secondLine) + "); each run is " +
        (groundTruth ? "judged as a frame of its own"
                     : "a frame of its own, and only the first run of a number is ever scored") +
        ".");
  }
  if (groundTruth && check.boxesBelowFullConfidence > 0) {
    warnings.push_back(
        role + ": " + counted(check.boxesBelowFullConfidence, "box has", "boxes have") +
        " a confidence below 1 (the lowest is " + text(*check.confidenceMin) +
        "); the confidence threshold applies to both files, so a threshold above a box's "
        "confidence drops it from the ground truth too.");
  }
}

PairingCheck checkPairing(const QuorSequence& groundTruth, const QuorSequence& system) {
  PairingCheck check;
  const std::vector<int32_t> partners = pairFrames(groundTruth, system);
  std::vector<char> paired(system.frames.size(), 0);
  for (const int32_t partner : partners) {
    if (partner < 0) {
      ++check.groundTruthFramesWithoutSystem;
    } else {
      ++check.pairedGroundTruthFrames;
      paired[static_cast<std::size_t>(partner)] = 1;
    }
  }
  for (std::size_t at = 0; at < system.frames.size(); ++at) {
    if (paired[at] != 0) continue;
    ++check.unpairedSystemFrames;
    check.unpairedSystemBoxes += system.frames[at].targets.size();
  }

  std::vector<int64_t> numbers;
  numbers.reserve(system.frames.size());
  for (const QuorFrame& frame : system.frames) numbers.push_back(frame.frameNumber);
  std::sort(numbers.begin(), numbers.end());
  const auto present = [&](int64_t number) {
    return std::binary_search(numbers.begin(), numbers.end(), number);
  };
  for (const QuorFrame& frame : groundTruth.frames) {
    // System frame n becomes n + 1: ground-truth frame g finds the old g - 1.
    if (present(int64_t{frame.frameNumber} - 1)) ++check.pairedWithSystemPlusOne;
    if (present(int64_t{frame.frameNumber} + 1)) ++check.pairedWithSystemMinusOne;
  }
  const uint64_t best = std::max(check.pairedWithSystemPlusOne, check.pairedWithSystemMinusOne);
  const uint64_t other = std::min(check.pairedWithSystemPlusOne, check.pairedWithSystemMinusOne);
  const double needed =
      std::max(1.0, std::ceil(kOffsetHintShare * static_cast<double>(groundTruth.frames.size())));
  if (best > other && best > check.pairedGroundTruthFrames &&
      static_cast<double>(best - check.pairedGroundTruthFrames) >= needed) {
    check.frameOffsetHint = best == check.pairedWithSystemPlusOne ? 1 : -1;
  }
  return check;
}

void warnAboutPairing(const PairingCheck& check, uint64_t groundTruthFrames,
                      std::vector<std::string>& warnings) {
  if (check.groundTruthFramesWithoutSystem > 0) {
    warnings.push_back(text(check.groundTruthFramesWithoutSystem) + " of " +
                       counted(groundTruthFrames, "ground-truth frame", "ground-truth frames") +
                       " have no system frame of their number: all their boxes count as misses.");
  }
  if (check.unpairedSystemFrames > 0) {
    warnings.push_back(counted(check.unpairedSystemFrames, "system frame", "system frames") + " (" +
                       counted(check.unpairedSystemBoxes, "box", "boxes") +
                       ") pair with no ground-truth frame: those boxes are never scored.");
  }
  if (check.frameOffsetHint != 0) {
    const bool up = check.frameOffsetHint > 0;
    warnings.push_back(std::string("The system's frame numbers look shifted: numbered ") +
                       (up ? "1 higher" : "1 lower") + ", they would pair " +
                       text(up ? check.pairedWithSystemPlusOne : check.pairedWithSystemMinusOne) +
                       " of " + text(groundTruthFrames) + " ground-truth frames instead of " +
                       text(check.pairedGroundTruthFrames) +
                       " (does one file count frames from 0 and the " + "other from 1?).");
  }
}

}  // namespace

CheckReport checkFiles(const QuorSequence& groundTruth, const ReadDetails& groundTruthDetails,
                       const QuorSequence* system, const ReadDetails* systemDetails,
                       std::string_view groundTruthName, std::string_view systemName) {
  CheckReport report;
  report.groundTruth = checkFile(groundTruth, groundTruthDetails);
  warnAboutFile(report.groundTruth, true, groundTruthName, report.warnings);
  if (system != nullptr && systemDetails != nullptr) {
    report.system = checkFile(*system, *systemDetails);
    warnAboutFile(*report.system, false, systemName, report.warnings);
    report.pairing = checkPairing(groundTruth, *system);
    warnAboutPairing(*report.pairing, groundTruth.frames.size(), report.warnings);
  }
  return report;
}

// What the commands that compute average precision share (ap, batch --ap,
// compare --ap): the parameters' options as text, and a pair of files read
// as the images of an evaluation.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "scoring/precision/coco_evaluation.h"
#include "scoring/precision/image_set.h"
#include "talmira/cli_common.h"

namespace talmira {

/// --iou-thresholds: "0.5,0.75" or "START:STOP:COUNT" (numpy's linspace, as
/// COCO's own are made), 1 to 64 thresholds from 0 to 1. Anything else
/// throws a CommandError of status 2 naming the option.
std::vector<double> parseThresholds(const std::string& text);
/// --max-dets: "1,10,100", whole numbers from 0.
std::vector<int> parseMaxDetections(const std::string& text);
/// --area-ranges: "all=0:1e10,small=0:1024,...", each LABEL=LOW:HIGH with LOW <= HIGH.
std::vector<precision::AreaRange> parseAreaRanges(const std::string& text);

/// The three options as given (empty: COCO's own).
struct PrecisionOptionsGiven {
  std::string iouThresholds;
  std::string maxDetections;
  std::string areaRanges;
};
/// Adds --iou-thresholds, --max-dets and --area-ranges; returns them.
std::array<CLI::Option*, 3> addPrecisionOptions(CLI::App& command, PrecisionOptionsGiven& given);
/// COCO's parameters with the options given in place of their defaults.
precision::CocoParameters precisionParameters(const PrecisionOptionsGiven& given);

/// Whether `talmira ap` reads the pair as COCO files: the ground truth's
/// format named coco, or neither format named and both paths ending in
/// ".json".
bool readsAsCoco(const InputFormats& formats, const std::string& groundTruthPath,
                 const std::string& systemPath);

/// The pair as `talmira ap` reads it: COCO files (readsAsCoco()) with every
/// number as written, their detections below `confidence` left out; any
/// other format's frames as images (imagesOfSequences(), in the pair's own
/// classes, its images in sequence `sequence`). Throws a CommandError of
/// status 1 with the readers' messages when a file cannot be read, and when
/// a class map (--classes) is given for a COCO pair. With `threads`
/// above 1, the two files of another format are read at once.
precision::ImageSet imagesOfPair(const std::string& groundTruthPath, const std::string& systemPath,
                                 const InputFormats& formats, float confidence,
                                 uint32_t sequence = 0, unsigned threads = 1);

}  // namespace talmira

#include "scoring/precision/sequence_images.h"

#include <algorithm>
#include <unordered_map>

namespace precision {

ImageSet imagesOfSequences(const QuorSequence& groundTruth, const QuorSequence& system,
                           const ClassSet& classes, float confidence, uint32_t sequence) {
  std::vector<int64_t> frames;
  frames.reserve(groundTruth.frames.size() + system.frames.size());
  for (const QuorFrame& frame : groundTruth.frames) frames.push_back(frame.frameNumber);
  for (const QuorFrame& frame : system.frames) frames.push_back(frame.frameNumber);
  std::sort(frames.begin(), frames.end());
  frames.erase(std::unique(frames.begin(), frames.end()), frames.end());
  std::unordered_map<int64_t, uint32_t> imageOf;
  imageOf.reserve(frames.size());
  for (uint32_t k = 0; k < frames.size(); ++k) imageOf.emplace(frames[k], k);

  const std::size_t categories = classes.names().size();
  std::vector<int64_t> ids(categories);
  std::vector<int32_t> categoryOfCode(65536, -1);
  for (std::size_t k = 0; k < categories; ++k) {
    ids[k] = static_cast<int64_t>(k + 1);
    categoryOfCode[classes.code(k + 1)] = static_cast<int32_t>(k);
  }
  ImageSetBuilder builder(frames, ids, classes.names());
  for (uint32_t k = 0; k < frames.size(); ++k) builder.setImageOrigin(k, sequence, frames[k]);

  auto rectangle = [](const QuorTarget& t, auto& box) {
    box.x = t.minX;
    box.y = t.minY;
    box.width = static_cast<double>(t.maxX) - t.minX;
    box.height = static_cast<double>(t.maxY) - t.minY;
  };
  int64_t nextId = 1;
  for (const QuorFrame& frame : groundTruth.frames) {
    const uint32_t image = imageOf.at(frame.frameNumber);
    for (const QuorTarget* target : frame.targets) {
      const int32_t category = categoryOfCode[target->classCode];
      if (category < 0) continue;
      TruthBox box;
      rectangle(*target, box);
      box.area = box.width * box.height;
      box.crowd = target->markB || target->markA;
      box.id = nextId++;
      builder.addTruth(static_cast<uint32_t>(category), image, box);
    }
    for (const QuorTarget* region : frame.regions) {
      for (uint32_t category = 0; category < categories; ++category) {
        TruthBox box;
        rectangle(*region, box);
        box.area = box.width * box.height;
        box.crowd = true;
        box.id = nextId++;
        builder.addTruth(category, image, box);
      }
    }
  }
  for (const QuorFrame& frame : system.frames) {
    const uint32_t image = imageOf.at(frame.frameNumber);
    for (const QuorTarget* target : frame.targets) {
      const int32_t category = categoryOfCode[target->classCode];
      if (category < 0 || target->confidence < confidence) continue;
      DetectedBox box;
      rectangle(*target, box);
      box.score = target->confidence;
      builder.addDetection(static_cast<uint32_t>(category), image, box);
    }
  }
  return std::move(builder).build();
}

}  // namespace precision

// COCO files for the end-to-end tests of average precision over datasets:
// generated pairs (tests/class_set_files.h) written with the fields the
// COCO evaluation reads (areas, crowds, scores full of ties), one sequence a
// pair of files, or several sequences joined into one pair whose images are
// theirs in order.
#pragma once

#include <map>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <vector>

#include "tests/class_set_files.h"

namespace talmira_test {

/// A generated pair with its categories' ids (shuffled, so the set's order
/// is not the names').
struct CocoSequence {
  GeneratedPair pair;
  std::vector<int64_t> ids;  // of pair.truthNames
};

inline CocoSequence cocoSequence(uint32_t seed, std::size_t classes, uint32_t frames,
                                 const std::vector<std::string>& sharedNames = {}) {
  CocoSequence s;
  s.pair = generatePair(seed, classes, frames, true, 0);
  for (std::size_t k = 0; k < sharedNames.size() && k < s.pair.truthNames.size(); ++k) {
    s.pair.truthNames[k] = sharedNames[k];
  }
  s.pair.systemNames = s.pair.truthNames;
  std::mt19937 random(seed * 7 + 1);
  s.ids.resize(s.pair.truthNames.size());
  std::iota(s.ids.begin(), s.ids.end(), int64_t{1});
  std::shuffle(s.ids.begin(), s.ids.end(), random);
  // Scores of a few values: ties across images and within them.
  for (GeneratedBox& b : s.pair.system) b.score = static_cast<int>(b.score * 10) / 10.0;
  return s;
}

struct CocoPairText {
  std::string groundTruth, results;
};

/// The sequences as one COCO pair: their images in order (ids from 1), the
/// categories every sequence's in ascending id, by name in order of first
/// appearance (ids from 1), unless `ownIds` (one sequence: its own ids).
/// With `copies` (one count per image of all the sequences, in order), each
/// image is there that many times, each copy right after it with a fresh id.
inline CocoPairText cocoText(const std::vector<const CocoSequence*>& sequences, bool ownIds,
                             const std::vector<uint32_t>* copies = nullptr) {
  using Json = nlohmann::ordered_json;
  Json images = Json::array(), categories = Json::array(), annotations = Json::array(),
       results = Json::array();
  std::map<std::string, int64_t> idOfName;
  std::vector<std::vector<int64_t>> joinedId(sequences.size());
  for (std::size_t s = 0; s < sequences.size(); ++s) {
    const CocoSequence& q = *sequences[s];
    std::vector<std::size_t> byId(q.ids.size());
    std::iota(byId.begin(), byId.end(), std::size_t{0});
    std::sort(byId.begin(), byId.end(),
              [&](std::size_t a, std::size_t b) { return q.ids[a] < q.ids[b]; });
    joinedId[s].resize(q.ids.size());
    for (const std::size_t k : byId) {
      const std::string& name = q.pair.truthNames[k];
      auto [at, added] =
          idOfName.emplace(name, ownIds ? q.ids[k] : static_cast<int64_t>(idOfName.size() + 1));
      if (added) categories.push_back({{"id", at->second}, {"name", name}});
      joinedId[s][k] = at->second;
    }
  }
  int64_t image = 0, annotation = 0;
  std::size_t global = 0;
  for (std::size_t s = 0; s < sequences.size(); ++s) {
    const GeneratedPair& p = sequences[s]->pair;
    for (uint32_t f = 0; f < p.frames; ++f, ++global) {
      const uint32_t times = copies != nullptr ? (*copies)[global] : 1;
      for (uint32_t c = 0; c < times; ++c) {
        images.push_back({{"id", ++image}, {"frame_id", f}});
        for (std::size_t k = 0; k < p.truth.size(); ++k) {
          const GeneratedBox& b = p.truth[k];
          if (b.frame != f) continue;
          // Now and then an area field that is not width times height.
          const double area = b.width * b.height + (k % 7 == 3 ? 500.0 : 0.0);
          annotations.push_back({{"id", ++annotation},
                                 {"image_id", image},
                                 {"category_id", joinedId[s][b.label]},
                                 {"bbox", {b.x, b.y, b.width, b.height}},
                                 {"area", area},
                                 {"iscrowd", b.crowd ? 1 : 0}});
        }
        for (const GeneratedBox& b : p.system) {
          if (b.frame != f) continue;
          results.push_back(
              {{"image_id", image},
               {"category_id", joinedId[s][std::min(b.label, joinedId[s].size() - 1)]},
               {"bbox", {b.x, b.y, b.width, b.height}},
               {"score", b.score}});
        }
      }
    }
  }
  const Json truth = {{"images", std::move(images)},
                      {"categories", std::move(categories)},
                      {"annotations", std::move(annotations)}};
  return {truth.dump(1), results.dump(1)};
}

}  // namespace talmira_test

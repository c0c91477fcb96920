// Pairs of files of other datasets with class sets of their own, of any
// size, named as such datasets name them: spaces, commas, quotes, markup
// characters and letters of other scripts. Written as COCO (a ground truth
// with its categories and a results list with scores) or as CVAT for video
// (labels in the task's meta; the system's file defines classes the ground
// truth lacks).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <numeric>
#include <random>
#include <string>
#include <vector>

namespace talmira_test {

/// `count` distinct class names, none of them a name with a meaning of its
/// own (All, DCR, DCF) nor "none", the confusion matrix's last label.
inline std::vector<std::string> randomClassNames(std::mt19937& random, std::size_t count) {
  static const char* const kStems[] = {"Straßenbahn",   "vélo",      "自転車",  "bus, city",
                                       "say \"hi\"",    "tram stop", "O'Brien", "<b>bold</b>",
                                       "a & b",         "Ölfass",    "person",  "car",
                                       "traffic light", "Łódź",      "c,\"d\""};
  std::vector<std::string> names;
  names.reserve(count);
  for (std::size_t k = 0; k < count; ++k) {
    const char* stem = kStems[std::uniform_int_distribution<std::size_t>(0, 14)(random)];
    // The number keeps them apart; where it goes varies.
    names.push_back(k % 3 == 0   ? std::string(stem) + " " + std::to_string(k)
                    : k % 3 == 1 ? std::to_string(k) + "," + stem
                                 : std::string(stem) + "#" + std::to_string(k));
  }
  return names;
}

/// One box of a generated pair: the frame, the class (an index into the
/// names) and the rectangle; a system box's score.
struct GeneratedBox {
  uint32_t frame = 0;
  std::size_t label = 0;
  int x = 0, y = 0, width = 0, height = 0;
  double score = 1.0;
  bool crowd = false;  // a COCO crowd annotation: a don't-care region
};

struct GeneratedPair {
  std::vector<std::string> truthNames;   // the ground truth's classes
  std::vector<std::string> systemNames;  // the system's (CVAT: the ground truth's and more)
  std::vector<GeneratedBox> truth;
  std::vector<GeneratedBox> system;  // labels index systemNames
  uint32_t frames = 0;
};

/// Objects of a few classes a frame, the frequent classes much more often
/// than the rare ones; system boxes on, near or beside them, of the same or
/// another class, at scores from 0 to 1, with duplicates, boxes of nothing
/// and frames the system leaves empty. With `crowds`, the ground truth has
/// crowd regions; with `extraClasses`, the system names classes of its own.
inline GeneratedPair generatePair(uint32_t seed, std::size_t classes, uint32_t frames, bool crowds,
                                  std::size_t extraClasses) {
  std::mt19937 random(seed);
  const auto pick = [&](int lo, int hi) {
    return std::uniform_int_distribution<int>(lo, hi)(random);
  };
  GeneratedPair pair;
  pair.truthNames = randomClassNames(random, classes + extraClasses);
  pair.systemNames = pair.truthNames;
  pair.truthNames.resize(classes);
  pair.frames = frames;
  // A skewed pick of classes: many boxes of a few, a few of many.
  const auto someClass = [&] {
    const double u = std::uniform_real_distribution<double>(0.0, 1.0)(random);
    return std::min(classes - 1,
                    static_cast<std::size_t>(u * u * u * static_cast<double>(classes)));
  };
  for (uint32_t frame = 0; frame < frames; ++frame) {
    std::vector<std::size_t> present;
    for (int n = pick(1, 4); n > 0; --n) present.push_back(someClass());
    const bool systemSkips = pick(0, 9) == 0;
    for (int n = pick(0, 9); n > 0; --n) {
      GeneratedBox object;
      object.frame = frame;
      object.label =
          present[static_cast<std::size_t>(pick(0, static_cast<int>(present.size()) - 1))];
      object.x = pick(0, 24) * 30;
      object.y = pick(0, 16) * 30;
      object.width = pick(2, 7) * 10;
      object.height = pick(2, 7) * 10;
      pair.truth.push_back(object);
      if (systemSkips) continue;
      const int fate = pick(0, 9);
      if (fate == 0) continue;  // missed
      GeneratedBox box = object;
      box.score = pick(0, 100) / 100.0;
      if (fate == 1) {
        box.label =
            extraClasses > 0 && pick(0, 1) == 0
                ? classes + static_cast<std::size_t>(pick(0, static_cast<int>(extraClasses) - 1))
                : someClass();
      }
      if (fate == 2) box.x += box.width * 4 / 5;  // beside it: near, not a match
      if (fate == 3) box.x += pick(1, 5);
      pair.system.push_back(box);
      if (fate == 4) {
        box.x += 2;
        pair.system.push_back(box);  // a duplicate
      }
    }
    if (!systemSkips) {
      for (int n = pick(0, 2); n > 0; --n) {
        GeneratedBox nothing;
        nothing.frame = frame;
        nothing.label =
            extraClasses > 0 && pick(0, 3) == 0
                ? classes + static_cast<std::size_t>(pick(0, static_cast<int>(extraClasses) - 1))
                : someClass();
        nothing.x = pick(0, 24) * 30;
        nothing.y = 560 + pick(0, 3) * 40;
        nothing.width = nothing.height = 30;
        nothing.score = pick(0, 100) / 100.0;
        pair.system.push_back(nothing);
      }
    }
    if (crowds && pick(0, 4) == 0) {
      // A crowd region over the bottom strip, where the boxes of nothing
      // lie, or over the frame's last object, whose boxes it then drops.
      GeneratedBox crowd;
      crowd.frame = frame;
      crowd.label = someClass();
      crowd.x = pick(0, 12) * 30;
      crowd.y = 540;
      crowd.width = 300;
      crowd.height = 200;
      if (pick(0, 1) == 0 && !pair.truth.empty() && pair.truth.back().frame == frame) {
        const GeneratedBox& object = pair.truth.back();
        crowd.x = object.x - 10;
        crowd.y = object.y - 10;
        crowd.width = object.width + 20;
        crowd.height = object.height + 20;
      }
      crowd.crowd = true;
      pair.truth.push_back(crowd);
    }
  }
  return pair;
}

/// The pair as a COCO ground truth (one video, categories of shuffled ids)
/// and a results list; the system's classes are the ground truth's.
struct CocoFiles {
  std::string groundTruth;
  std::string results;
};
inline CocoFiles cocoFiles(const GeneratedPair& pair, uint32_t seed) {
  std::mt19937 random(seed);
  // Ids out of the names' order: the set is in the order of the ids.
  std::vector<int64_t> ids(pair.truthNames.size());
  std::iota(ids.begin(), ids.end(), int64_t{1});
  std::shuffle(ids.begin(), ids.end(), random);
  nlohmann::ordered_json images = nlohmann::ordered_json::array();
  for (uint32_t frame = 0; frame < pair.frames; ++frame) {
    images.push_back({{"id", 1000 + frame}, {"video_id", 1}, {"frame_id", frame}});
  }
  nlohmann::ordered_json categories = nlohmann::ordered_json::array();
  for (std::size_t k = 0; k < pair.truthNames.size(); ++k) {
    categories.push_back({{"id", ids[k]}, {"name", pair.truthNames[k]}});
  }
  nlohmann::ordered_json annotations = nlohmann::ordered_json::array();
  for (const GeneratedBox& b : pair.truth) {
    annotations.push_back({{"id", annotations.size() + 1},
                           {"image_id", 1000 + b.frame},
                           {"category_id", ids[b.label]},
                           {"bbox", {b.x, b.y, b.width, b.height}},
                           {"iscrowd", b.crowd ? 1 : 0}});
  }
  nlohmann::ordered_json results = nlohmann::ordered_json::array();
  for (const GeneratedBox& b : pair.system) {
    results.push_back({{"image_id", 1000 + b.frame},
                       {"category_id", ids[std::min(b.label, ids.size() - 1)]},
                       {"bbox", {b.x, b.y, b.width, b.height}},
                       {"score", b.score}});
  }
  const nlohmann::ordered_json truth = {{"videos", {{{"id", 1}, {"name", "clip"}}}},
                                        {"images", std::move(images)},
                                        {"categories", std::move(categories)},
                                        {"annotations", std::move(annotations)}};
  return {truth.dump(1), results.dump(1)};
}

inline std::string xmlText(const std::string& text) {
  std::string out;
  for (const char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&apos;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

/// One side of the pair as CVAT for video: every class a label of the task,
/// each box a track of one frame. Crowds are left out (CVAT has none).
inline std::string cvatFile(const std::vector<std::string>& names,
                            const std::vector<GeneratedBox>& boxes, uint32_t frames) {
  std::string xml =
      "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<annotations>\n  <version>1.1</version>\n"
      "  <meta>\n    <task>\n      <name>generated</name>\n      <size>" +
      std::to_string(frames) + "</size>\n      <labels>\n";
  for (const std::string& name : names) {
    xml += "        <label>\n          <name>" + xmlText(name) + "</name>\n        </label>\n";
  }
  xml += "      </labels>\n    </task>\n  </meta>\n";
  std::size_t track = 0;
  for (const GeneratedBox& b : boxes) {
    if (b.crowd) continue;
    xml += "  <track id=\"" + std::to_string(track++) + "\" label=\"" + xmlText(names[b.label]) +
           "\" source=\"manual\">\n    <box frame=\"" + std::to_string(b.frame) +
           "\" outside=\"0\" occluded=\"0\" keyframe=\"1\" xtl=\"" + std::to_string(b.x) +
           "\" ytl=\"" + std::to_string(b.y) + "\" xbr=\"" + std::to_string(b.x + b.width) +
           "\" ybr=\"" + std::to_string(b.y + b.height) + "\" z_order=\"0\"/>\n  </track>\n";
  }
  return xml + "</annotations>\n";
}

}  // namespace talmira_test

// talmira stability's JSON written a track at a time against the whole
// document's dump(): random reports of random sizes (none, one, and across
// the batches the tracks are written in), identities that must be escaped
// or are not UTF-8, tracks never matched, numbers of every magnitude, and
// the values JSON has no number for.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "talmira/cli_common.h"
#include "talmira/writers/stability_report.h"

namespace {

using talmira::StabilityClassRow;
using talmira::StabilityReport;
using talmira::StabilityTrackRow;

double anyNumber(std::mt19937& rng) {
  switch (rng() % 10) {
    case 0:
      return 0.0;
    case 1:
      return -0.0;
    case 2:
      return std::numeric_limits<double>::quiet_NaN();
    case 3:
      return std::numeric_limits<double>::infinity();
    case 4:
      return std::ldexp(static_cast<double>(rng()), -static_cast<int>(rng() % 80));
    case 5:
      return std::ldexp(static_cast<double>(rng()), static_cast<int>(rng() % 60));
    case 6:
      return static_cast<double>(rng() % 1000);
    default:
      return std::uniform_real_distribution<double>(-2, 2)(rng);
  }
}

std::string anyIdentity(std::mt19937& rng, std::size_t k) {
  static const std::vector<std::string> odd = {"a \"quoted\" one",
                                               "back\\slash",
                                               "tab\there",
                                               "line\nend",
                                               "\x01"
                                               "control",
                                               "caf\xC3\xA9",
                                               "bad \xFF byte",
                                               "\x7F",
                                               "",
                                               "\x01per_track 0"};
  if (rng() % 5 == 0) return odd[rng() % odd.size()];
  return std::to_string(k);
}

StabilityTrackRow anyTrack(std::mt19937& rng, std::size_t k) {
  StabilityTrackRow row;
  row.identity = anyIdentity(rng, k);
  tracking::TrackStability& t = row.stability;
  t.track = static_cast<int64_t>(k);
  t.frames = 1 + rng() % 500;
  t.matched = rng() % 4 == 0 ? 0 : 1 + rng() % static_cast<uint32_t>(t.frames);
  t.changes = rng() % 50;
  for (double* value : {&t.fragmentError, &t.centreError, &t.sdX, &t.sdY, &t.scaleRatioError,
                        &t.sdRatio, &t.sdScale}) {
    *value = anyNumber(rng);
  }
  if (t.matched > 0) {
    for (std::size_t w = rng() % 4; w > 0; --w) {
      tracking::StabilityFrame frame;
      frame.frame = rng();
      frame.matched = true;
      frame.offsets = {anyNumber(rng), anyNumber(rng), anyNumber(rng), anyNumber(rng)};
      t.worst.push_back(frame);
    }
  }
  return row;
}

TEST(StabilityJson, WrittenATrackAtATimeIsTheWholeDocumentsDump) {
  std::mt19937 rng(3);
  const std::vector<std::size_t> sizes = {0, 1, 2, 2047, 2048, 2049, 4097, 5000};
  for (int round = 0; round < 24; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    StabilityReport report;
    report.groundTruth = round % 4 == 0 ? "odd \"gt\".txt" : "gt.txt";
    report.system = "det.txt";
    if (round % 3 == 0) {
      report.matching = "clear";
      report.trackRules = "mot";
    }
    if (round % 2 == 0) report.confidence = 0.25f;
    for (int c = 0; c < 1 + round % 3; ++c) {
      StabilityClassRow row;
      row.name = c == 0 ? "All" : "class " + std::to_string(c);
      const std::size_t size = round < 8 ? sizes[static_cast<std::size_t>(round)] : rng() % 300;
      for (std::size_t k = 0; k < size; ++k) row.tracks.push_back(anyTrack(rng, k));
      std::vector<tracking::TrackStability> plain;
      for (const StabilityTrackRow& t : row.tracks) plain.push_back(t.stability);
      row.summary = tracking::summarizeStability(plain);
      report.classes.push_back(std::move(row));
    }
    EXPECT_EQ(talmira::stabilityJsonText(report),
              talmira::jsonText(talmira::stabilityJson(report)));
  }
}

}  // namespace

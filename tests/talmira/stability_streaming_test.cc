// talmira stability on MOT files read frame by frame while they are matched,
// against the same files read whole: random ground truths listed track by
// track or frame by frame, detections with many decimals, flags, classes,
// half pixels and boxes of no area on both sides, and the faults and warnings the readers meet. The
// whole road is made to take a pair by writing the first frame number of the ground truth as "N.0",
// which both readers read as N but the frame-by-frame reading leaves to the whole road. And the
// lines in frame order themselves, against a stable sort of the file's lines.
#include "talmira/stability_streaming.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "annotation/frame_ordered_lines.h"
#include "scoring/counts/class_scores.h"
#include "talmira/cli_common.h"
#include "tests/test_support.h"

using talmira_test::runTalmira;
using talmira_test::TempDir;

namespace {

using formats::FrameOrderedLines;
using Status = FrameOrderedLines::Status;

struct HandedOut {
  std::string text;
  uint64_t number = 0;
  uint32_t frame = 0;
  bool operator==(const HandedOut&) const = default;
};

// Every line `path` hands out, and how it ended.
std::vector<HandedOut> linesOf(const std::string& path, bool merge, Status* ending) {
  FrameOrderedLines lines(path, merge);
  std::vector<HandedOut> out;
  std::string_view line;
  uint64_t number = 0;
  uint32_t frame = 0;
  for (;;) {
    const Status status = lines.next(&line, &number, &frame);
    if (status != Status::kLine) {
      *ending = status;
      return out;
    }
    out.push_back({std::string(line), number, frame});
  }
}

// A file of `lines` lines "frame,payload" with blank lines, CR LF ends, now
// and then a long line, and maybe no end to the last.
struct LineFile {
  std::string text;
  std::vector<HandedOut> lines;  // in file order, blank ones left out
};

LineFile lineFile(std::mt19937& rng, const std::vector<uint32_t>& frames) {
  LineFile file;
  uint64_t number = 0;
  for (std::size_t k = 0; k < frames.size(); ++k) {
    if (rng() % 9 == 0) {
      file.text += rng() % 2 == 0 ? "\n" : "  \t\r\n";
      ++number;
    }
    std::string line = std::to_string(frames[k]) + "," + std::to_string(k);
    if (rng() % 97 == 0) line += "," + std::string(20000 + rng() % 30000, 'x');
    file.text += line;
    ++number;
    file.lines.push_back({line, number, frames[k]});
    const bool last = k + 1 == frames.size();
    if (!last || rng() % 2 == 0) file.text += rng() % 4 == 0 ? "\r\n" : "\n";
  }
  return file;
}

// Frames of tracks listed one after the other, each over a stretch of the
// video; or of a video listed frame by frame.
std::vector<uint32_t> trackFrames(std::mt19937& rng, bool byFrame) {
  std::vector<uint32_t> frames;
  const int tracks = 1 + static_cast<int>(rng() % 30);
  for (int t = 0; t < tracks; ++t) {
    const uint32_t first = 1 + rng() % 300;
    const uint32_t length = 1 + rng() % 60;
    for (uint32_t f = first; f < first + length; ++f) {
      frames.push_back(f);
      if (rng() % 10 == 0) frames.push_back(f);  // twice in a frame
    }
  }
  if (byFrame) std::stable_sort(frames.begin(), frames.end());
  return frames;
}

TEST(FrameOrderedLines, HandsOutTheLinesAsAStableSortByFrame) {
  const TempDir dir;
  std::mt19937 rng(7);
  for (int round = 0; round < 300; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const bool byFrame = round % 3 == 0;
    const LineFile file = lineFile(rng, trackFrames(rng, byFrame));
    const std::string path = dir.write("lines.txt", file.text);
    std::vector<HandedOut> expected = file.lines;
    std::stable_sort(expected.begin(), expected.end(),
                     [](const HandedOut& a, const HandedOut& b) { return a.frame < b.frame; });
    Status ending = Status::kLine;
    EXPECT_EQ(linesOf(path, true, &ending), expected);
    EXPECT_EQ(ending, Status::kEnd);
    // Straight through: the lines as they stand up to the first frame
    // that goes back.
    std::vector<HandedOut> prefix;
    bool back = false;
    for (const HandedOut& line : file.lines) {
      if (!prefix.empty() && line.frame < prefix.back().frame) {
        back = true;
        break;
      }
      prefix.push_back(line);
    }
    EXPECT_EQ(linesOf(path, false, &ending), prefix);
    EXPECT_EQ(ending, back ? Status::kOutOfOrder : Status::kEnd);
  }
}

TEST(FrameOrderedLines, LeavesToTheWholeReadingWhatItDoesNotTake) {
  const TempDir dir;
  Status ending = Status::kLine;
  // Shuffled: more runs than a merge is worth.
  std::string shuffled;
  for (int k = 0; k < 400; ++k) shuffled += std::to_string(k % 2 == 0 ? k : 400 - k) + ",x\n";
  linesOf(dir.write("shuffled.txt", shuffled), true, &ending);
  EXPECT_EQ(ending, Status::kUnsupported);
  for (const std::string& text :
       {std::string("1,a\n2.0,b\n"), std::string("1,a\n 2,b\n"), std::string("1,a\r2,b\n"),
        std::string("\xEF\xBB\xBF"
                    "1,a\n"),
        std::string("1 2 3\n"), std::string("99999999999,a\n")}) {
    SCOPED_TRACE(text);
    const std::string path = dir.write("odd.txt", text);
    for (const bool merge : {false, true}) {
      linesOf(path, merge, &ending);
      EXPECT_EQ(ending, Status::kUnsupported);
    }
  }
  linesOf(dir.file("missing.txt"), false, &ending);
  EXPECT_EQ(ending, Status::kUnsupported);
  // Blank lines alone: no line, and the end.
  EXPECT_TRUE(linesOf(dir.write("blank.txt", "\n \n\t\r\n"), true, &ending).empty());
  EXPECT_EQ(ending, Status::kEnd);
}

std::string decimal(std::mt19937& rng, double low, double high) {
  std::uniform_real_distribution<double> value(low, high);
  std::ostringstream out;
  out.precision(3 + static_cast<int>(rng() % 15));
  out << value(rng);
  return out.str();
}

// A tracker's score: mostly a fraction, now and then none (-1, however
// written) or a whole number.
std::string score(std::mt19937& rng) {
  switch (rng() % 8) {
    case 0:
      return "-1";
    case 1:
      return "-1.00";
    case 2:
      return std::to_string(rng() % 3);
    default:
      return decimal(rng, 0, 1);
  }
}

// What follows the score: MOT16's class (-1 for none, or a class, as
// trackers write it), world coordinates of -1, or nothing.
std::string tail(std::mt19937& rng) {
  switch (rng() % 6) {
    case 0:
      return "";
    case 1:
      return ",1";
    case 2:
      return ",7,-1,-1";
    default:
      return ",-1,-1,-1";
  }
}

struct MotPair {
  std::string truth;
  std::string system;
};

// A MOT ground truth (9 columns: consider flag, class, visibility) and a
// tracker's output (10 columns) of people walking, listed track by track or
// frame by frame.
MotPair motPair(std::mt19937& rng, bool truthByFrame) {
  struct Line {
    uint32_t frame;
    int64_t id;
    std::string text;
  };
  std::vector<Line> truth;
  std::vector<Line> system;
  const int people = 2 + static_cast<int>(rng() % 12);
  for (int person = 1; person <= people; ++person) {
    const uint32_t first = 1 + rng() % 40;
    const uint32_t length = 1 + rng() % 30;
    double x = 50 + rng() % 600;
    const double y = 50 + rng() % 300;
    const double w = 20 + rng() % 60;
    const double h = w * 2.5;
    const int label = rng() % 6 == 0 ? 7 : (rng() % 8 == 0 ? 2 : 1);
    const int consider = rng() % 12 == 0 ? 0 : 1;
    for (uint32_t f = first; f < first + length; ++f) {
      x += 3;
      std::ostringstream line;
      // Now and then a ground truth's box of half pixels, of negative
      // width, or a pedestrian's class written as -1.
      const std::string left = std::to_string(static_cast<int>(x)) + (rng() % 10 == 0 ? ".5" : "");
      const std::string width = rng() % 40 == 0 ? "-3" : std::to_string(static_cast<int>(w));
      const std::string given = label == 1 && rng() % 4 == 0 ? "-1" : std::to_string(label);
      line << f << "," << person << "," << left << "," << static_cast<int>(y) << "," << width << ","
           << static_cast<int>(h) << "," << consider << "," << given << ",0." << rng() % 1000;
      truth.push_back({f, person, line.str()});
      if (rng() % 3 != 0) {
        std::ostringstream found;
        const std::string width = rng() % 40 == 0 ? "-4" : decimal(rng, w * 0.8, w * 1.2);
        found << f << "," << person + 100 << "," << decimal(rng, x - 6, x + 6) << ","
              << decimal(rng, y - 6, y + 6) << "," << width << "," << decimal(rng, h * 0.8, h * 1.2)
              << "," << score(rng) << tail(rng);
        system.push_back({f, person + 100, found.str()});
      }
    }
  }
  for (int k = 0; k < 4; ++k) {  // false alarms
    std::ostringstream line;
    line << 1 + rng() % 60 << ",9" << k << "," << decimal(rng, 0, 600)
         << ",20.5,40,100,0.3,-1,-1,-1";
    system.push_back({static_cast<uint32_t>(std::stoul(line.str())), 90 + k, line.str()});
  }
  const auto byFrame = [](const Line& a, const Line& b) { return a.frame < b.frame; };
  if (truthByFrame) std::stable_sort(truth.begin(), truth.end(), byFrame);
  std::stable_sort(system.begin(), system.end(), byFrame);
  MotPair pair;
  for (const Line& line : truth) pair.truth += line.text + "\n";
  for (const Line& line : system) pair.system += line.text + "\n";
  return pair;
}

// The first frame number written as "N.0": the same file to both readers,
// which the frame-by-frame reading leaves to the whole road.
std::string readWhole(const std::string& text) {
  const std::size_t comma = text.find(',');
  return text.substr(0, comma) + ".0" + text.substr(comma);
}

struct Runs {
  talmira_test::ToolResult streamed;
  talmira_test::ToolResult whole;
};

// The command in two folders holding the same pair, the second's ground
// truth made to be read whole; the file names are the same in both.
Runs runBoth(const MotPair& pair, const std::vector<std::string>& options) {
  const TempDir streamedDir;
  const TempDir wholeDir;
  streamedDir.write("gt.txt", pair.truth);
  streamedDir.write("det.txt", pair.system);
  wholeDir.write("gt.txt", readWhole(pair.truth));
  wholeDir.write("det.txt", pair.system);
  std::vector<std::string> arguments{"stability", "gt.txt",       "det.txt", "--gt-format",
                                     "mot",       "--sys-format", "mot"};
  arguments.insert(arguments.end(), options.begin(), options.end());
  Runs runs{runTalmira(arguments, streamedDir.path().string()),
            runTalmira(arguments, wholeDir.path().string())};
  const auto page = [&](const TempDir& dir) {
    return talmira_test::readFile(dir.file("page.html"));
  };
  if (std::find(options.begin(), options.end(), "--report") != options.end()) {
    runs.streamed.output += page(streamedDir);
    runs.whole.output += page(wholeDir);
  }
  return runs;
}

// Whether the frame-by-frame road takes the pair itself (rather than
// leaving it to the whole road), as the command asks for it by default.
bool streamedTakes(const MotPair& pair) {
  const TempDir dir;
  talmira::FormatOptionsGiven given;
  given.groundTruthFormat = given.systemFormat = "mot";
  given.ownClasses = true;
  talmira::StabilityRequest request;
  request.groundTruth = dir.write("gt.txt", pair.truth);
  request.system = dir.write("det.txt", pair.system);
  request.groundTruthFormat = request.systemFormat = "mot";
  request.formats = talmira::inputFormatsOf(given, request.groundTruth);
  if (!talmira::mayStreamStability(request)) return false;
  const std::vector<TargetFilter> filters =
      classFilters(*talmira::streamedStabilityClasses(request), 0.0f);
  return talmira::streamedStability(request, filters, {}).has_value();
}

void expectSame(const Runs& runs) {
  EXPECT_EQ(runs.streamed.status, runs.whole.status);
  EXPECT_EQ(runs.streamed.output, runs.whole.output);
  EXPECT_EQ(runs.streamed.errors, runs.whole.errors);
}

TEST(StabilityStreaming, GivesTheBytesOfReadingWhole) {
  std::mt19937 rng(11);
  const std::vector<std::vector<std::string>> optionSets = {
      {"--format", "json"},
      {"--format", "csv", "-c", "0.4"},
      {"--class", "pedestrian", "--min-side", "0", "--overlap", "iou", "--min-overlap", "0.3"},
      {"--report", "page.html"},
  };
  for (int round = 0; round < 24; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const MotPair pair = motPair(rng, round % 3 == 0);
    EXPECT_TRUE(streamedTakes(pair));
    EXPECT_FALSE(streamedTakes({readWhole(pair.truth), pair.system}));
    const Runs runs =
        runBoth(pair, optionSets[static_cast<std::size_t>(round) % optionSets.size()]);
    EXPECT_EQ(runs.streamed.status, 0) << runs.streamed.errors;
    expectSame(runs);
  }
}

TEST(StabilityStreaming, NamesFaultsAndWarningsAsReadingWhole) {
  std::mt19937 rng(5);
  const MotPair pair = motPair(rng, false);
  const auto lastLine = [](const std::string& text) {
    const std::size_t end = text.rfind('\n', text.size() - 2);
    return text.substr(end + 1);
  };
  struct Case {
    std::string name;
    MotPair pair;
    int status;
  };
  std::vector<Case> cases;
  // An identity twice in a frame, late in a file listed track by track.
  cases.push_back({"repeated identity", {pair.truth + lastLine(pair.truth), pair.system}, 1});
  // A malformed line at the end of either file.
  cases.push_back({"bad detection", {pair.truth, pair.system + "70,1,2,3,x,5,0.5,-1,-1,-1\n"}, 1});
  cases.push_back({"bad truth", {pair.truth + "70,1,2,3,4\n", pair.system}, 1});
  cases.push_back({"frame 0", {pair.truth, pair.system + "0,1,2,3,4,5,0.5,-1,-1,-1\n"}, 1});
  // A class the map does not know.
  cases.push_back({"unknown class", {pair.truth, pair.system + "90,7,10,10,40,90,0.5,99\n"}, 1});
  // A result file of MOT15's layout given as mot: read as such, with a warning.
  // (Its lines before give no class but a pedestrian's, as MOT15's read.)
  cases.push_back({"mot15 results",
                   {pair.truth,
                    "1,7,110.5,100,40,90,0.5,-1,-1,-1\n2,7,113,100,40,90,1,-1,-1,-1\n"
                    "90,7,10,10,40,90,0.5,4.25,-1,-1\n"},
                   0});
  EXPECT_TRUE(streamedTakes(pair));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_FALSE(streamedTakes(c.pair));
    const Runs runs = runBoth(c.pair, {"--format", "json"});
    EXPECT_EQ(runs.streamed.status, c.status) << runs.streamed.errors;
    EXPECT_NE(runs.streamed.errors, "");
    expectSame(runs);
  }
}

}  // namespace

// End-to-end runs of `talmira view` and `talmira batch --view`: the boxes of
// every frame of the page against the rows of `talmira events` on random
// pairs, turned boxes drawn turned, pictures, and failures that leave the
// page as it was.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <regex>
#include <string>
#include <tuple>
#include <vector>

#include "tests/test_support.h"

namespace talmira_test {
namespace {

using Box = std::tuple<std::string, std::string, std::string>;  // side, line, event

std::string attribute(const std::string& element, const std::string& name) {
  std::smatch found;
  if (!std::regex_search(element, found, std::regex(" " + name + "=\"([^\"]*)\""))) return {};
  return found[1];
}

// The boxes the class's selection takes, by the line of their frame, from
// the page's frame templates.
std::map<std::string, std::vector<Box>> pageBoxes(const std::string& page) {
  std::map<std::string, std::vector<Box>> frames;
  const std::regex frame("<template class=\"frame\"([^>]*)>([\\s\\S]*?)</template>");
  for (std::sregex_iterator it(page.begin(), page.end(), frame), end; it != end; ++it) {
    const std::string line = attribute((*it)[1], "data-line");
    std::vector<Box>& boxes = frames[line];
    const std::string body = (*it)[2];
    const std::regex polygon("<polygon[^>]*data-side[^>]*>");
    for (std::sregex_iterator b(body.begin(), body.end(), polygon); b != end; ++b) {
      const std::string element = (*b)[0];
      if (attribute(element, "data-event") == "none") continue;
      boxes.emplace_back(attribute(element, "data-side"), attribute(element, "data-line"),
                         attribute(element, "data-event"));
    }
    std::sort(boxes.begin(), boxes.end());
  }
  return frames;
}

std::map<std::string, std::vector<Box>> eventBoxes(const std::string& csv) {
  std::map<std::string, std::vector<Box>> frames;
  for (const std::string& row : splitLines(csv)) {
    std::vector<std::string> cells;
    std::size_t start = 0;
    for (std::size_t comma; (comma = row.find(',', start)) != std::string::npos;
         start = comma + 1) {
      cells.push_back(row.substr(start, comma - start));
    }
    cells.push_back(row.substr(start));
    if (cells[0] == "gt_frame_line" || cells[0].empty()) continue;
    frames[cells[0]].emplace_back(cells[2], cells[3], cells[6]);
  }
  for (auto& [line, boxes] : frames) std::sort(boxes.begin(), boxes.end());
  return frames;
}

TEST(ViewCommand, EveryFrameDrawsTheEventsOfItsBoxesOnRandomPairs) {
  TempDir dir;
  for (uint32_t seed = 1; seed <= 12; ++seed) {
    const FilePair pair = randomFilePair(seed);
    const std::string gt = dir.write("gt.csv", pair.groundTruth);
    const std::string sys = dir.write("sys.csv", pair.system);
    for (const std::vector<std::string>& options :
         {std::vector<std::string>{}, {"-c", "0.5", "--class", "Car"}}) {
      SCOPED_TRACE(testing::Message() << "seed " << seed << ", " << options.size() << " options");
      std::vector<std::string> view = {"view",     gt,   sys, "-o", dir.file("view.html"),
                                       "--frames", "all"};
      view.insert(view.end(), options.begin(), options.end());
      const ToolResult drawn = runTalmira(view);
      ASSERT_EQ(drawn.status, 0) << drawn.errors;
      std::vector<std::string> events = {"events", gt, sys};
      events.insert(events.end(), options.begin(), options.end());
      const ToolResult listed = runTalmira(events);
      ASSERT_EQ(listed.status, 0) << listed.errors;
      std::map<std::string, std::vector<Box>> expected = eventBoxes(listed.output);
      std::map<std::string, std::vector<Box>> shown = pageBoxes(readFile(dir.file("view.html")));
      // A frame without boxes of the class has no events rows.
      std::erase_if(shown, [](const auto& frame) { return frame.second.empty(); });
      EXPECT_FALSE(expected.empty());
      EXPECT_EQ(shown, expected);

      // The default holds the frames with errors only: those with misses or false alarms.
      view.resize(5);
      view.insert(view.end(), options.begin(), options.end());
      ASSERT_EQ(runTalmira(view).status, 0);
      const std::map<std::string, std::vector<Box>> held =
          pageBoxes(readFile(dir.file("view.html")));
      for (const auto& [line, boxes] : expected) {
        const bool errors = std::any_of(boxes.begin(), boxes.end(), [](const Box& b) {
          return std::get<2>(b) == "miss" || std::get<2>(b) == "false_alarm";
        });
        EXPECT_EQ(held.count(line), errors ? 1u : 0u) << "frame on line " << line;
      }
    }
  }
}

// The page made while the files are read, which reads again only the
// frames it holds, from where the first read found them, is byte for byte
// the page of the files read whole. The whole files are read when a frame
// number goes back: here a record of frame 0 at the end of the system file,
// a frame that no ground-truth frame pairs with and the page does not draw.
TEST(ViewCommand, PageWhileReadingIsThePageOfTheWholeFiles) {
  const TempDir streamed;
  const TempDir whole;
  for (uint32_t seed = 1; seed <= 6; ++seed) {
    const FilePair pair = orderedFilePair(seed + 200, seed % 2 == 0);
    streamed.write("gt.csv", pair.groundTruth);
    streamed.write("sys.csv", pair.system);
    whole.write("gt.csv", pair.groundTruth);
    whole.write("sys.csv", pair.system + "0,0,0,40,0,40,40,0,40,Car,FALSE,FALSE,1,,0\n");
    for (const std::vector<std::string>& options :
         {std::vector<std::string>{"--frames", "errors"},
          {"--frames", "all", "-c", "0.5", "--class", "Car"},
          {"--frames", "worst:3"},
          {"--frames", "3-9", "--class", "Person"},
          {"--frames", "12-40"}}) {
      SCOPED_TRACE(testing::Message() << "seed " << seed << ", " << options[1]);
      std::vector<std::string> view = {"view", "gt.csv", "sys.csv", "-o", "view.html"};
      view.insert(view.end(), options.begin(), options.end());
      const ToolResult fromStream = runTalmira(view, streamed.path().string());
      const ToolResult fromWhole = runTalmira(view, whole.path().string());
      ASSERT_EQ(fromStream.status, 0) << fromStream.errors;
      ASSERT_EQ(fromWhole.status, 0) << fromWhole.errors;
      const std::string page = readFile(streamed.file("view.html"));
      EXPECT_NE(page.find("<template class=\"frame\""), std::string::npos);
      EXPECT_TRUE(page == readFile(whole.file("view.html")));
    }
  }
}

TEST(ViewCommand, DrawsTurnedBoxesByTheirCornersAndRegionsHatched) {
  TempDir dir;
  const std::string header =
      "Frame,X1,Y1,X2,Y2,X3,Y3,X4,Y4,Type,FlagA,FlagB,Confidence,Text,Number\n";
  const std::string gt =
      dir.write("gt.csv", header +
                              "7,100,50,150,100,100,150,50,100,Car,FALSE,FALSE,1.0,,\n"
                              "7,400,400,500,400,500,500,400,500,DCR,FALSE,FALSE,1.0,,\n");
  const std::string sys =
      dir.write("sys.csv", header + "7,600,50,700,50,700,100,600,100,Boat,FALSE,FALSE,0.9,,\n");
  const ToolResult run = runTalmira({"view", gt, sys, "-o", dir.file("view.html")});
  ASSERT_EQ(run.status, 0) << run.errors;
  const std::string page = readFile(dir.file("view.html"));
  EXPECT_NE(page.find("data-side=\"gt\" data-line=\"2\" data-event=\"miss\""), std::string::npos);
  EXPECT_NE(page.find("points=\"100,50 150,100 100,150 50,100\""), std::string::npos);
  EXPECT_NE(page.find("class=\"dcr\" data-line=\"3\" points=\"400,400 500,400 500,500 400,500\""),
            std::string::npos);
  EXPECT_NE(page.find("data-event=\"false_alarm\" data-class=\"Boat\" data-confidence=\"0.9\" "
                      "data-cause=\"background\""),
            std::string::npos);
}

TEST(ViewCommand, PicturesLinkedEmbeddedOrMissing) {
  TempDir dir;
  const std::string header =
      "Frame,X1,Y1,X2,Y2,X3,Y3,X4,Y4,Type,FlagA,FlagB,Confidence,Text,Number\n";
  std::string records;
  for (int frame = 1; frame <= 3; ++frame) {
    records += std::to_string(frame) + ",10,10,80,10,80,60,10,60,Car,FALSE,FALSE,1.0,,\n";
  }
  const std::string gt = dir.write("gt.csv", header + records);
  const std::string sys = dir.write("sys.csv", header);
  std::filesystem::create_directories(dir.path() / "pics");
  std::filesystem::create_directories(dir.path() / "pages");
  // A PNG header is enough to tell the size; frame 3 has no picture.
  std::string png("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR\0\0\x01\x40\0\0\0\xf0", 24);
  for (int frame = 1; frame <= 2; ++frame)
    dir.write("pics/f-" + std::to_string(frame) + ".png", png);
  const std::string pattern = dir.file("pics/f-%d.png");
  ToolResult run =
      runTalmira({"view", gt, sys, "-o", dir.file("pages/view.html"), "--images", pattern});
  ASSERT_EQ(run.status, 0) << run.errors;
  std::string page = readFile(dir.file("pages/view.html"));
  EXPECT_NE(page.find("<img alt=\"\" src=\"../pics/f-1.png\" width=\"320\" height=\"240\">"),
            std::string::npos);
  EXPECT_NE(page.find("data-picture=\"missing\""), std::string::npos);
  EXPECT_NE(page.find("1 of the 3 frames held have no picture"), std::string::npos);
  EXPECT_NE(page.find("img-src data: 'self' file:"), std::string::npos);
  run = runTalmira(
      {"view", gt, sys, "-o", dir.file("pages/view.html"), "--images", pattern, "--embed-images"});
  ASSERT_EQ(run.status, 0) << run.errors;
  page = readFile(dir.file("pages/view.html"));
  EXPECT_NE(page.find("src=\"data:image/png;base64,iVBORw0KGgoAAAANSUhEUgAAAUAAAADw\""),
            std::string::npos);
  EXPECT_EQ(page.find("../pics/"), std::string::npos);
}

TEST(ViewCommand, FailuresLeaveThePageAsItWas) {
  TempDir dir;
  const std::string gt = dir.write("gt.csv", randomFilePair(3).groundTruth);
  const std::string sys = dir.write("sys.csv", randomFilePair(3).system);
  const std::string page = dir.write("view.html", "before");
  const struct {
    std::vector<std::string> options;
    int status;
    std::string message;
  } cases[] = {
      {{"--frames", "worst:0"}, 2, "--frames worst:0: expected errors, all, worst:N or A-B"},
      {{"--embed-images"}, 2, "--embed-images embeds the pictures of --images"},
      {{"--images", "a%d%d.png"}, 2, "expected one field for the frame number"},
      {{"--images", "a.png"}, 2, "expected one field for the frame number"},
      {{"--video", "v.mp4"}, 2, "--video needs --fps"},
      {{"--fps", "10"}, 2, "--fps is the frame rate of --video"},
      {{"--video", "v.mp4", "--fps", "0"}, 2, "--fps must be above 0"},
      {{"--video", dir.file("none.mp4"), "--fps", "25"}, 1, "none.mp4: cannot read the video"},
      {{"--video", gt, "--fps", "25"}, 1, "gt.csv: cannot read the video"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> arguments = {"view", gt, sys, "-o", page};
    arguments.insert(arguments.end(), c.options.begin(), c.options.end());
    const ToolResult run = runTalmira(arguments);
    EXPECT_EQ(run.status, c.status) << c.message;
    EXPECT_NE(run.errors.find(c.message), std::string::npos) << run.errors;
    EXPECT_EQ(readFile(page), "before") << c.message;
  }
  // An unreadable input: the reader's file:line message, status 1.
  const std::string bad = dir.write("bad.csv", "header\n1,2,3\n");
  ToolResult run = runTalmira({"view", bad, sys, "-o", page});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.errors.find("bad.csv:2:"), std::string::npos) << run.errors;
  EXPECT_EQ(readFile(page), "before");
  // Without ffmpeg on PATH: said so, status 1.
  const std::string path = std::getenv("PATH") != nullptr ? std::getenv("PATH") : "";
  setenv("PATH", dir.path().c_str(), 1);
  run = runTalmira({"view", gt, sys, "-o", page, "--video", gt, "--fps", "25"});
  setenv("PATH", path.c_str(), 1);
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.errors.find("--video needs ffmpeg and ffprobe on PATH"), std::string::npos)
      << run.errors;
  EXPECT_EQ(readFile(page), "before");
}

TEST(ViewCommand, BatchWritesAPagePerSequenceLinkedFromTheReport) {
  TempDir dir;
  for (int i = 0; i < 2; ++i) {
    const FilePair pair = randomFilePair(20 + i);
    dir.write("gt" + std::to_string(i) + ".csv", pair.groundTruth);
    dir.write("sys" + std::to_string(i) + ".csv", pair.system);
  }
  const std::string list = dir.write(
      "list.csv",
      "sequence,groundtruth,system\nfirst one,gt0.csv,sys0.csv\nsecond/2,gt1.csv,sys1.csv\n"
      "gone,none.csv,sys1.csv\n");
  std::filesystem::create_directories(dir.path() / "out");
  const ToolResult run = runTalmira(
      {"batch", list, "--view", dir.file("pages"), "--report", dir.file("out/report.html"), "-q"});
  EXPECT_EQ(run.status, 1) << run.errors;  // the missing sequence
  const std::string report = readFile(dir.file("out/report.html"));
  EXPECT_NE(report.find("<a href=\"../pages/first_one.html\">first one</a>"), std::string::npos);
  EXPECT_NE(report.find("<a href=\"../pages/second_2.html\">second/2</a>"), std::string::npos);
  // Each page is the view of its sequence.
  for (int i = 0; i < 2; ++i) {
    const ToolResult alone =
        runTalmira({"view", dir.file("gt" + std::to_string(i) + ".csv"),
                    dir.file("sys" + std::to_string(i) + ".csv"), "-o", dir.file("alone.html")});
    ASSERT_EQ(alone.status, 0) << alone.errors;
    EXPECT_EQ(
        pageBoxes(readFile(dir.file(i == 0 ? "pages/first_one.html" : "pages/second_2.html"))),
        pageBoxes(readFile(dir.file("alone.html"))));
  }
  EXPECT_FALSE(std::filesystem::exists(dir.file("pages/gone.html")));
}

}  // namespace
}  // namespace talmira_test

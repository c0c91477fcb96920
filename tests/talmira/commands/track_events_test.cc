// talmira events, explain and view with --track, run as the real executable:
// the rows against talmira track's figures, against a model of CLEAR's
// switch and fragmentation rules worked from the rows themselves, and a
// small sequence worked by hand.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "tests/test_support.h"

using talmira_test::runTalmira;
using talmira_test::TempDir;

namespace {

const std::string kExamples = TALMIRA_FORMATS_DATA "/../../../examples/tracking/";

std::string corpusDir() {
  const char* given = std::getenv("TALMIRA_CONFORMANCE_DIR");
  return given != nullptr ? given : TALMIRA_FORMATS_DATA "/../../../../shared/conformance";
}

using Row = std::map<std::string, std::string>;

// The CSV's rows by column name (no field of these files is quoted).
std::vector<Row> csvRows(const std::string& text) {
  std::vector<Row> rows;
  std::istringstream in(text);
  std::string line;
  std::vector<std::string> header;
  while (std::getline(in, line)) {
    std::vector<std::string> fields;
    std::string field;
    std::istringstream parts(line);
    while (std::getline(parts, field, ',')) fields.push_back(field);
    if (!line.empty() && line.back() == ',') fields.emplace_back();
    if (header.empty()) {
      header = fields;
      continue;
    }
    EXPECT_EQ(fields.size(), header.size()) << line;
    Row row;
    for (std::size_t k = 0; k < header.size() && k < fields.size(); ++k) row[header[k]] = fields[k];
    rows.push_back(std::move(row));
  }
  return rows;
}

int64_t number(const std::string& text) { return std::stoll(text); }

// What CLEAR's rules make of the box rows: a matched track whose last match
// was to another tracker identity is switched; a matched track that was
// matched before, but not in the last frame that had boxes on both sides,
// is fragmented. Each with what a row tells of its previous match.
struct Expected {
  // (frame, gt id, from, to, previous frame, previous line)
  std::set<std::tuple<int64_t, int64_t, int64_t, int64_t, int64_t, int64_t>> switches;
  // (frame, gt id, tracker id, previous frame, previous line, unmatched frames)
  std::set<std::tuple<int64_t, int64_t, int64_t, int64_t, int64_t, int64_t>> fragments;
};

Expected modelOf(const std::vector<Row>& rows) {
  struct Match {
    int64_t truthId, systemId, systemLine;
  };
  std::map<int64_t, std::vector<Match>> matches;   // by frame
  std::map<int64_t, std::vector<int64_t>> misses;  // by frame: gt ids
  std::set<int64_t> truthFrames, systemFrames;
  for (const Row& row : rows) {
    const int64_t frame = number(row.at("frame"));
    const std::string& event = row.at("event");
    if (row.at("side") == "gt" && (event == "match" || event == "miss")) truthFrames.insert(frame);
    if (row.at("side") == "sys" && (event == "match" || event == "false_alarm")) {
      systemFrames.insert(frame);
    }
    if (row.at("side") == "gt" && event == "match") {
      matches[frame].push_back(
          {number(row.at("gt_id")), number(row.at("sys_id")), number(row.at("partner_line"))});
    }
    if (row.at("side") == "gt" && event == "miss") misses[frame].push_back(number(row.at("gt_id")));
  }
  Expected expected;
  struct Last {
    int64_t frame = 0, systemId = 0, systemLine = 0, unmatched = 0;
  };
  std::map<int64_t, Last> last;          // by gt id, once matched
  std::map<int64_t, int64_t> unmatched;  // by gt id: frames present without a match so far
  std::set<int64_t> continuing;          // matched in the last frame with both sides
  const int64_t lastFrame = truthFrames.empty() ? 0 : *truthFrames.rbegin();
  for (int64_t frame = 1; frame <= lastFrame; ++frame) {
    for (const int64_t g : misses[frame]) ++unmatched[g];
    if (!truthFrames.contains(frame) || !systemFrames.contains(frame)) continue;
    std::set<int64_t> now;
    for (const Match& m : matches[frame]) {
      const auto before = last.find(m.truthId);
      if (before != last.end()) {
        const Last& l = before->second;
        if (l.systemId != m.systemId) {
          expected.switches.insert(
              {frame, m.truthId, l.systemId, m.systemId, l.frame, l.systemLine});
        }
        if (!continuing.contains(m.truthId)) {
          expected.fragments.insert({frame, m.truthId, m.systemId, l.frame, l.systemLine,
                                     unmatched[m.truthId] - l.unmatched});
        }
      }
      last[m.truthId] = {frame, m.systemId, m.systemLine, unmatched[m.truthId]};
      now.insert(m.truthId);
    }
    continuing = now;
  }
  return expected;
}

nlohmann::json runJson(const std::vector<std::string>& arguments) {
  const auto run = runTalmira(arguments);
  EXPECT_EQ(run.status, 0) << run.errors;
  return nlohmann::json::parse(run.output);
}

// Every check on one pair of files: the rows' counts are talmira track's
// figures, its switches and fragmentations those of the model, and
// explain's tracks those of the rows.
void checkPair(const std::string& gt, const std::string& sys) {
  const nlohmann::json track = runJson({"track", gt, sys, "--format", "json"});
  const nlohmann::json& measures = track["classes"][0]["measures"];
  const auto run = runTalmira({"events", "--track", gt, sys});
  ASSERT_EQ(run.status, 0) << run.errors;
  const std::vector<Row> rows = csvRows(run.output);
  std::map<std::string, int64_t> truth, system;
  for (const Row& row : rows) (row.at("side") == "gt" ? truth : system)[row.at("event")] += 1;
  EXPECT_EQ(truth["match"], measures["CLR_TP"].get<int64_t>());
  EXPECT_EQ(system["match"], measures["CLR_TP"].get<int64_t>());
  EXPECT_EQ(truth["miss"], measures["CLR_FN"].get<int64_t>());
  EXPECT_EQ(system["false_alarm"], measures["CLR_FP"].get<int64_t>());
  EXPECT_EQ(truth["switch"], measures["IDSW"].get<int64_t>());
  EXPECT_EQ(truth["fragment"], measures["Frag"].get<int64_t>());
  EXPECT_EQ(system["switch"] + system["fragment"], 0);

  Expected got;
  for (const Row& row : rows) {
    if (row.at("event") == "switch") {
      got.switches.insert({number(row.at("frame")), number(row.at("gt_id")),
                           number(row.at("previous_sys_id")), number(row.at("sys_id")),
                           number(row.at("previous_frame")), number(row.at("previous_line"))});
    } else if (row.at("event") == "fragment") {
      got.fragments.insert({number(row.at("frame")), number(row.at("gt_id")),
                            number(row.at("sys_id")), number(row.at("previous_frame")),
                            number(row.at("previous_line")), number(row.at("unmatched_frames"))});
    }
  }
  const Expected model = modelOf(rows);
  EXPECT_EQ(got.switches.size(), truth["switch"]);  // none told twice
  EXPECT_EQ(got.switches, model.switches);
  EXPECT_EQ(got.fragments, model.fragments);

  // explain's tracks: each one's counts and tracker ids are its rows'.
  const nlohmann::json explained =
      runJson({"explain", "--track", gt, sys, "--format", "json", "--top", "1000000"});
  const nlohmann::json& c = explained["classes"][0];
  EXPECT_EQ(c["IDSW"], measures["IDSW"]);
  EXPECT_EQ(c["Frag"], measures["Frag"]);
  struct Track {
    int64_t frames = 0, matched = 0, switches = 0, fragmentations = 0;
    std::vector<int64_t> trackerIds;
  };
  std::map<int64_t, Track> tracks;
  for (const Row& row : rows) {
    if (row.at("side") != "gt" || row.at("event") == "excluded") continue;
    Track& t = tracks[number(row.at("gt_id"))];
    const std::string& event = row.at("event");
    t.frames += event == "match" || event == "miss";
    t.matched += event == "match";
    t.switches += event == "switch";
    t.fragmentations += event == "fragment";
    if (event == "match") {
      const int64_t id = number(row.at("sys_id"));
      if (std::find(t.trackerIds.begin(), t.trackerIds.end(), id) == t.trackerIds.end()) {
        t.trackerIds.push_back(id);
      }
    }
  }
  std::size_t withAny = 0;
  for (const auto& [id, t] : tracks) withAny += t.switches + t.fragmentations > 0;
  EXPECT_EQ(c["tracks"].get<std::size_t>(), tracks.size());
  ASSERT_EQ(c["worst_tracks"].size(), withAny);
  int64_t previous = std::numeric_limits<int64_t>::max();
  for (const nlohmann::json& listed : c["worst_tracks"]) {
    const Track& t = tracks[listed["gt_id"].get<int64_t>()];
    SCOPED_TRACE(listed.dump());
    EXPECT_EQ(listed["frames"], t.frames);
    EXPECT_EQ(listed["matched"], t.matched);
    EXPECT_EQ(listed["switches"], t.switches);
    EXPECT_EQ(listed["fragmentations"], t.fragmentations);
    EXPECT_EQ(listed["tracker_ids"].get<std::vector<int64_t>>(), t.trackerIds);
    EXPECT_LE(t.switches + t.fragmentations, previous);  // the most first
    previous = t.switches + t.fragmentations;
  }
}

TEST(TrackEventsTest, ExampleRowsAreTracksFiguresAndClearsRules) {
  checkPair(kExamples + "SEQ-01/gt/gt.txt", kExamples + "tracker/SEQ-01.txt");
}

TEST(TrackEventsTest, ConformanceRowsAreTracksFiguresAndClearsRules) {
  const std::string dir = corpusDir() + "/mot17/MOT17-02-FRCNN/";
  if (!std::filesystem::exists(dir + "MPNTrack.txt")) {
    if (std::getenv("CI") != nullptr) FAIL() << "the conformance corpus is missing: " << dir;
    GTEST_SKIP() << "no conformance corpus at " << corpusDir() << " (" << dir
                 << "MPNTrack.txt is missing)";
  }
  // The length is seqinfo.ini's, beside gt.txt.
  checkPair(dir + "gt.txt", dir + "MPNTrack.txt");
}

// One pedestrian over six frames: tracker 7 holds it, loses it in frame 3
// (where the tracker's only box is a false alarm), has it again in frame 4
// (a fragmentation after one frame unmatched), and 9 takes it over in
// frame 5 (a switch). Frame 2 has a distractor (class 8) with a tracker box
// on it, which the benchmark sets aside; frame 3 a pedestrian not
// considered; frame 6 a tracker box scored 0.2.
const char* kTruth =
    "1,1,100,100,50,100,1,1,1\n"
    "2,1,100,100,50,100,1,1,1\n"
    "3,1,100,100,50,100,1,1,1\n"
    "4,1,100,100,50,100,1,1,1\n"
    "5,1,100,100,50,100,1,1,1\n"
    "6,1,100,100,50,100,1,1,1\n"
    "2,50,400,100,50,100,1,8,1\n"
    "3,60,600,100,50,100,0,1,1\n";
const char* kTracker =
    "1,7,100,100,50,100,1,-1,-1,-1\n"
    "2,7,100,100,50,100,1,-1,-1,-1\n"
    "2,20,400,100,50,100,1,-1,-1,-1\n"
    "3,8,800,300,40,80,1,-1,-1,-1\n"
    "4,7,100,100,50,100,1,-1,-1,-1\n"
    "5,9,102,100,50,100,1,-1,-1,-1\n"
    "6,9,102,100,50,100,1,-1,-1,-1\n"
    "6,21,700,400,30,30,0.2,-1,-1,-1\n";

TEST(TrackEventsTest, ASequenceWorkedByHand) {
  TempDir dir;
  const std::string gt = dir.write("gt.txt", kTruth);
  const std::string sys = dir.write("sys.txt", kTracker);
  const auto run = runTalmira({"events", "--track", gt, sys, "-c", "0.5", "--length", "6"});
  ASSERT_EQ(run.status, 0) << run.errors;
  EXPECT_EQ(run.errors, "");
  // 50 by 100 boxes two pixels apart: IoU 4800 / 5200.
  EXPECT_EQ(run.output,
            "gt_frame_line,frame,side,line,class,confidence,event,partner_line,cause,overlap,"
            "gt_id,sys_id,previous_sys_id,previous_frame,previous_line,unmatched_frames\n"
            ",1,gt,1,pedestrian,,match,1,,1,1,7,,,,\n"
            ",1,sys,1,pedestrian,1,match,1,,1,1,7,,,,\n"
            ",2,gt,2,pedestrian,,match,2,,1,1,7,,,,\n"
            ",2,gt,7,pedestrian,,excluded,,,,50,,,,,\n"
            ",2,sys,2,pedestrian,1,match,2,,1,1,7,,,,\n"
            ",2,sys,3,pedestrian,1,set_aside,7,,,,20,,,,\n"
            ",3,gt,3,pedestrian,,miss,,,,1,,,,,\n"
            ",3,gt,8,pedestrian,,excluded,,,,60,,,,,\n"
            ",3,sys,4,pedestrian,1,false_alarm,,,,,8,,,,\n"
            ",4,gt,4,pedestrian,,match,5,,1,1,7,,,,\n"
            ",4,sys,5,pedestrian,1,match,4,,1,1,7,,,,\n"
            ",4,gt,4,pedestrian,,fragment,5,,1,1,7,7,2,2,1\n"
            ",5,gt,5,pedestrian,,match,6,,0.9230769230769231,1,9,,,,\n"
            ",5,sys,6,pedestrian,1,match,5,,0.9230769230769231,1,9,,,,\n"
            ",5,gt,5,pedestrian,,switch,6,,0.9230769230769231,1,9,7,4,5,\n"
            ",6,gt,6,pedestrian,,match,7,,0.9230769230769231,1,9,,,,\n"
            ",6,sys,7,pedestrian,1,match,6,,0.9230769230769231,1,9,,,,\n");
  // Without -c the box scored 0.2 counts: a false alarm more.
  const auto every = runTalmira({"events", "--track", gt, sys, "--length", "6"});
  ASSERT_EQ(every.status, 0) << every.errors;
  EXPECT_NE(every.output.find(",6,sys,8,pedestrian,0.2,false_alarm,,,,,21,,,,\n"),
            std::string::npos);

  const auto explained = runTalmira({"explain", "--track", gt, sys, "--length", "6"});
  ASSERT_EQ(explained.status, 0) << explained.errors;
  EXPECT_EQ(explained.output,
            "Identity switches and fragmentations: " + gt + " against " + sys +
                "\n"
                "Rules: mot, 6 frames (--length)\n"
                "\n"
                "Class       GT tracks  Frames  Matched  IDSW  Frag\n"
                "pedestrian          1       6        5     1     1\n"
                "\n"
                "The pedestrian tracks with the most switches and fragmentations (1 of the 1 "
                "with any):\n"
                "GT id  Frames  Matched  IDSW  Frag  Tracker ids\n"
                "    1       6        5     1     1  7, 9\n");

  // The page holds the frames with an error or a switch, the switch ringed.
  const std::string page = dir.file("view.html");
  const auto viewed = runTalmira({"view", "--track", gt, sys, "--length", "6", "-o", page});
  ASSERT_EQ(viewed.status, 0) << viewed.errors;
  const std::string html = talmira_test::readFile(page);
  std::vector<std::string> held;
  for (std::size_t at = html.find("<template class=\"frame\" data-frame=\"");
       at != std::string::npos; at = html.find("<template class=\"frame\" data-frame=\"", at + 1)) {
    held.push_back(html.substr(at + 36, html.find('"', at + 36) - at - 36));
  }
  EXPECT_EQ(held, (std::vector<std::string>{"3", "5", "6"}));
  EXPECT_NE(
      html.find("data-switch=\"1\" data-class=\"pedestrian\" data-line=\"5\" data-gt-id=\"1\" "
                "data-from=\"7\" data-to=\"9\""),
      std::string::npos);
}

TEST(TrackEventsTest, OptionsOfTheOtherKindAreRefused) {
  const std::string gt = kExamples + "SEQ-01/gt/gt.txt";
  const std::string sys = kExamples + "tracker/SEQ-01.txt";
  struct Case {
    std::vector<std::string> arguments;
    std::string message;
  };
  const std::vector<Case> cases = {
      {{"events", "--track", gt, sys, "--near", "0.3"},
       "talmira events: --near has no meaning with --track\n"},
      {{"events", "--track", gt, sys, "--overlap", "iou"},
       "talmira events: --overlap has no meaning with --track\n"},
      {{"events", "--track", gt, sys, "--gt-format", "coco"},
       "talmira events --track: coco files carry no tracks (mot, mot15, mot16, mot17, mot20, "
       "visdrone, uavdt, kitti, cvat or talmira do)\n"},
      {{"events", "--track", gt, sys, "--class", "Car"},
       "talmira events: --class Car: no class of that name; the classes evaluated are \"All\", "
       "\"pedestrian\"\n"},
      {{"events", gt, sys, "--length", "10"}, "talmira events: --length goes with --track\n"},
      {{"events", gt, sys, "--gt-format", "mot17"},
       "talmira events: mot17 files are tracks: add --track\n"},
      {{"explain", gt, sys, "--top", "3"}, "talmira explain: --top goes with --track\n"},
      {{"explain", "--track", gt, sys, "--report", "why.html"},
       "talmira explain: --report draws detections; for tracks, talmira view --track draws "
       "every switch\n"},
      {{"view", "--track", gt, sys, "-o", "never.html", "--near", "0.2"},
       "talmira view: --near has no meaning with --track\n"},
  };
  for (const Case& c : cases) {
    const auto run = runTalmira(c.arguments);
    EXPECT_EQ(run.status, 2) << c.message;
    EXPECT_EQ(run.errors, c.message);
    EXPECT_EQ(run.output, "");
  }
}

}  // namespace

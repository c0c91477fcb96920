// End-to-end runs of the detection commands under --rules mot on MOT files,
// which count as the MOTChallenge benchmark's evaluator does: on the
// corpus's sequences score's counts are CLEAR's and its NMODTA is MODA,
// and sweep, compare and events agree with score. The random sequences
// against the model are tools/crosscheck/benchmark_counts.py's
// (CrossCheck.BenchmarkCounts).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <vector>

#include "tests/test_support.h"

namespace talmira_test {
namespace {

using Json = nlohmann::json;

std::string corpusDir() {
  const char* given = std::getenv("TALMIRA_CONFORMANCE_DIR");
  return given != nullptr ? given : TALMIRA_FORMATS_DATA "/../../../../shared/conformance";
}

// Skips the test, or fails it in CI, when the corpus is not there.
#define REQUIRE_CORPUS()                                                               \
  do {                                                                                 \
    if (readFile(corpusDir() + "/expected/tracking.json").empty()) {                   \
      if (std::getenv("CI") != nullptr) FAIL() << "the conformance corpus is missing"; \
      GTEST_SKIP() << "no conformance corpus at " << corpusDir();                      \
    }                                                                                  \
  } while (false)

Json jsonOf(const ToolResult& r) {
  EXPECT_EQ(r.status, 0) << r.errors;
  return r.status == 0 ? Json::parse(r.output) : Json::object();
}

struct Sequence {
  std::string name;
  std::string groundTruth;
  std::string tracker;
  std::string format;  // as --gt-format and --sys-format give it
  std::string rules;   // the benchmark's, as the JSON states them
  Json expected;       // the evaluator's figures
};

std::vector<Sequence> corpusSequences() {
  const Json tracking = Json::parse(readFile(corpusDir() + "/expected/tracking.json"));
  std::vector<Sequence> sequences;
  for (const char* name : {"MOT17-02-FRCNN", "MOT17-05-FRCNN", "MOT17-09-FRCNN"}) {
    const std::string folder = corpusDir() + "/mot17/" + name;
    sequences.push_back({name, folder + "/gt.txt", folder + "/MPNTrack.txt", "mot", "mot",
                         tracking["mot17"]["sequences"][name]});
  }
  const std::string tud = corpusDir() + "/mot15/TUD-Campus";
  sequences.push_back({"TUD-Campus", tud + "/gt.txt", tud + "/test.txt", "mot15", "mot15",
                       tracking["mot15"]["sequences"]["TUD-Campus"]});
  return sequences;
}

std::vector<std::string> withReading(std::vector<std::string> arguments,
                                     const std::string& format) {
  arguments.insert(arguments.end(),
                   {"--gt-format", format, "--sys-format", format, "--rules", "mot"});
  return arguments;
}

// gt, det, fn, fp of a JSON row.
std::vector<int64_t> countsOf(const Json& row) {
  return {row["gt"].get<int64_t>(), row["det"].get<int64_t>(), row["fn"].get<int64_t>(),
          row["fp"].get<int64_t>()};
}

// What each event names, counted.
std::map<std::string, int64_t> eventKinds(const std::string& csv) {
  std::map<std::string, int64_t> kinds;
  const std::vector<std::string> lines = splitLines(csv);
  for (std::size_t k = 1; k < lines.size(); ++k) {
    std::size_t at = 0;
    for (int column = 0; column < 6; ++column) at = lines[k].find(',', at) + 1;
    ++kinds[lines[k].substr(at, lines[k].find(',', at) - at)];
  }
  return kinds;
}

TEST(BenchmarkCountsConformanceTest, ScoreIsClearAndEveryCommandAgreesWithIt) {
  REQUIRE_CORPUS();
  for (const Sequence& s : corpusSequences()) {
    SCOPED_TRACE(s.name);
    const int64_t tp = std::llround(s.expected["CLR_TP"].get<double>());
    const int64_t fn = std::llround(s.expected["CLR_FN"].get<double>());
    const int64_t fp = std::llround(s.expected["CLR_FP"].get<double>());
    const double moda = s.expected["MODA"].get<double>();
    const std::vector<int64_t> clear = {tp + fn, tp + fp, fn, fp};

    const Json score = jsonOf(
        runTalmira(withReading({"score", s.groundTruth, s.tracker, "--format", "json"}, s.format)));
    ASSERT_EQ(score["classes"].size(), 2u) << score;
    for (const Json& row : score["classes"]) {
      EXPECT_EQ(countsOf(row), clear) << row;
      // NMODTA is MODA: from the counts in doubles to the evaluator's last
      // digits, and as written (single precision) to the float of MODA.
      const double fromCounts = 1.0 - static_cast<double>(fn + fp) / static_cast<double>(tp + fn);
      EXPECT_NEAR(fromCounts, moda, 1e-12 * std::abs(moda));
      EXPECT_NEAR(row["nmodta"].get<double>(), moda, 1e-6);
    }
    EXPECT_EQ(score["classes"][1]["class"], "pedestrian");
    EXPECT_EQ(score["benchmark"]["rules"], s.rules);
    EXPECT_EQ(score["benchmark"]["identities"], true);
    EXPECT_EQ(score["classes"][0]["frames"], score["benchmark"]["frames"]);

    // The sweep: its every row (the trackers write one confidence) is score's.
    const Json sweep = jsonOf(runTalmira(
        withReading({"sweep", s.groundTruth, s.tracker, "--exact", "--format", "json"}, s.format)));
    for (const Json& row : sweep["classes"]) {
      for (const Json& point : row["curve"]) EXPECT_EQ(countsOf(point), clear) << point;
    }

    // A file compared with itself differs in nothing, and the totals are CLEAR's.
    const Json compare = jsonOf(runTalmira(withReading(
        {"compare", s.groundTruth, s.tracker, s.tracker, "--resamples", "50", "--format", "json"},
        s.format)));
    for (const Json& row : compare["classes"]) {
      EXPECT_EQ(row["gt"], tp + fn);
      EXPECT_EQ(row["fn_a"], fn);
      EXPECT_EQ(row["fp_b"], fp);
      EXPECT_EQ(row["delta"], 0.0);
      EXPECT_EQ(row["low"], 0.0);
      EXPECT_EQ(row["high"], 0.0);
      EXPECT_EQ(row["found_both"], tp);
      EXPECT_EQ(row["found_a_only"].get<int64_t>() + row["found_b_only"].get<int64_t>(), 0);
      EXPECT_EQ(row["found_neither"], fn);
    }

    // The events' rows add up to the same counts.
    const ToolResult events =
        runTalmira(withReading({"events", s.groundTruth, s.tracker}, s.format));
    ASSERT_EQ(events.status, 0) << events.errors;
    std::map<std::string, int64_t> kinds = eventKinds(events.output);
    EXPECT_EQ(kinds["match"], 2 * tp);
    EXPECT_EQ(kinds["miss"], fn);
    EXPECT_EQ(kinds["false_alarm"], fp);
    EXPECT_EQ(kinds["switch"], std::llround(s.expected["IDSW"].get<double>()));
  }
}

// With --dataset each sequence is a unit, and the totals are the
// evaluator's COMBINED counts of the three MOT17 sequences.
TEST(BenchmarkCountsConformanceTest, ADatasetComparedAddsUpToTheCombinedCounts) {
  REQUIRE_CORPUS();
  TempDir dir;
  std::string list = "sequence,groundtruth,system_a,system_b\n";
  for (const Sequence& s : corpusSequences()) {
    if (s.format == "mot") {
      list += s.name + "," + s.groundTruth + "," + s.tracker + "," + s.tracker + "\n";
    }
  }
  const Json combined = Json::parse(
      readFile(corpusDir() + "/expected/tracking.json"))["mot17"]["sequences"]["COMBINED"];
  const Json compare =
      jsonOf(runTalmira(withReading({"compare", "--dataset", dir.write("list.csv", list),
                                     "--resamples", "20", "--format", "json"},
                                    "mot")));
  ASSERT_EQ(compare["classes"].size(), 2u) << compare;
  const Json& all = compare["classes"][0];
  EXPECT_EQ(all["fn_a"], std::llround(combined["CLR_FN"].get<double>()));
  EXPECT_EQ(all["fp_b"], std::llround(combined["CLR_FP"].get<double>()));
  EXPECT_EQ(all["gt"],
            std::llround(combined["CLR_TP"].get<double>() + combined["CLR_FN"].get<double>()));
  EXPECT_EQ(compare["units"], 3);
}

// MOT17-02's tracker written as a detector writes its file: every id -1 and
// a score of three decimals. Each box is then its own identity, so CLEAR
// pairs by IoU alone, and the sweep, which counts each frame at its own
// boxes' scores only, gives score's counts at every threshold.
TEST(BenchmarkCountsConformanceTest, ADetectorsFileWithoutIdentitiesSweepsAsItScores) {
  REQUIRE_CORPUS();
  TempDir dir;
  const std::string folder = corpusDir() + "/mot17/MOT17-02-FRCNN";
  std::mt19937 random(7);
  std::string detections;
  for (const std::string& line : splitLines(readFile(folder + "/MPNTrack.txt"))) {
    std::vector<std::string> fields;
    std::size_t at = 0;
    for (std::size_t comma; (comma = line.find(',', at)) != std::string::npos; at = comma + 1) {
      fields.push_back(line.substr(at, comma - at));
    }
    fields.push_back(line.substr(at));
    fields[1] = "-1";
    fields[6] = "0." + std::to_string(100 + random() % 900).substr(0, 3);
    std::string joined = fields[0];
    for (std::size_t k = 1; k < fields.size(); ++k) joined += "," + fields[k];
    detections += joined + "\n";
  }
  const std::string det = dir.write("det.txt", detections);
  const std::string gt = folder + "/gt.txt";

  const Json sweep =
      jsonOf(runTalmira(withReading({"sweep", gt, det, "--exact", "--format", "json"}, "mot")));
  const Json& curve = sweep["classes"][1]["curve"];
  ASSERT_GT(curve.size(), 500u);
  for (const std::size_t k : {std::size_t{0}, std::size_t{1}, curve.size() / 3, curve.size() / 2,
                              curve.size() - 2, curve.size() - 1}) {
    const Json& point = curve[k];
    const std::string threshold = point["threshold"].dump();
    const Json score = jsonOf(
        runTalmira(withReading({"score", gt, det, "-c", threshold, "--format", "json"}, "mot")));
    EXPECT_EQ(countsOf(score["classes"][1]), countsOf(point)) << threshold;
    EXPECT_EQ(score["benchmark"]["identities"], false);
  }
  // Without identities the counts are not the tracker's (its identities
  // keep three of its matches), and there are no switches to list.
  const Json all = jsonOf(runTalmira(withReading({"score", gt, det, "--format", "json"}, "mot")));
  EXPECT_EQ(countsOf(all["classes"][1]), (std::vector<int64_t>{18581, 9079, 9630, 128}));
  const ToolResult events = runTalmira(withReading({"events", gt, det, "-c", "0.5"}, "mot"));
  ASSERT_EQ(events.status, 0) << events.errors;
  std::map<std::string, int64_t> kinds = eventKinds(events.output);
  const Json half =
      jsonOf(runTalmira(withReading({"score", gt, det, "-c", "0.5", "--format", "json"}, "mot")));
  EXPECT_EQ(kinds["miss"], half["classes"][1]["fn"].get<int64_t>());
  EXPECT_EQ(kinds["false_alarm"], half["classes"][1]["fp"].get<int64_t>());
  EXPECT_EQ(kinds["switch"], 0);
}

// This format's matching under the set's values is still there, given one
// by one, and counts otherwise on the benchmark's files; what the
// benchmark's counts cannot take is a usage error.
TEST(BenchmarkCountsTest, TheValuesStillGiveThisFormatsMatchingAndWhatDoesNotGoIsRefused) {
  REQUIRE_CORPUS();
  const std::string folder = corpusDir() + "/mot17/MOT17-02-FRCNN";
  const std::string gt = folder + "/gt.txt", tracker = folder + "/MPNTrack.txt";
  const std::vector<std::string> reading = {"--gt-format", "mot", "--sys-format", "mot"};
  std::vector<std::string> values = {"score",         gt,    tracker,      "--overlap", "iou",
                                     "--min-overlap", "0.5", "--min-side", "0",         "--format",
                                     "json"};
  values.insert(values.end(), reading.begin(), reading.end());
  const Json own = jsonOf(runTalmira(values));
  EXPECT_EQ(countsOf(own["classes"][0]), (std::vector<int64_t>{18581, 9026, 9683, 128}));
  EXPECT_FALSE(own.contains("benchmark"));

  TempDir dir;
  const std::string native =
      dir.write("det.csv", readFile(TALMIRA_FORMATS_DATA "/../../../examples/systemoutput.csv"));
  for (const std::vector<std::string>& refused :
       {std::vector<std::string>{"score", gt, tracker, "--min-overlap", "0.7"},
        std::vector<std::string>{"sweep", gt, tracker, "--min-side", "0"},
        std::vector<std::string>{"score", gt, native, "--sys-format", "talmira"},
        std::vector<std::string>{"sweep", gt, tracker, "--report", dir.file("s.html")},
        std::vector<std::string>{"compare", gt, tracker, tracker, "--best"},
        std::vector<std::string>{"events", gt, tracker, "--near", "0.3"}}) {
    std::vector<std::string> arguments = refused;
    arguments.insert(arguments.begin() + 3, {"--rules", "mot"});
    if (std::find(refused.begin(), refused.end(), "--sys-format") == refused.end()) {
      arguments.insert(arguments.end(), reading.begin(), reading.end());
    } else {
      arguments.insert(arguments.end(), {"--gt-format", "mot"});
    }
    const ToolResult run = runTalmira(arguments);
    EXPECT_EQ(run.status, 2) << arguments[0] << " " << arguments.back() << ": " << run.errors;
    EXPECT_NE(run.errors.find("talmira " + arguments[0]), std::string::npos) << run.errors;
  }
  // --length is the benchmark's: refused on this format's files, taken on MOT's.
  EXPECT_EQ(runTalmira({"score", native, native, "--length", "9"}).status, 2);
  const Json shorter = jsonOf(runTalmira(
      withReading({"score", gt, tracker, "--length", "600", "--format", "json"}, "mot")));
  EXPECT_EQ(shorter["benchmark"]["length_from"], "--length");
}

// check under --rules mot fails where score --rules mot fails, with score's
// message, on what this format's reader alone takes; what both read, check
// passes, its report that of the set's values.
TEST(BenchmarkCountsTest, CheckRefusesWhatTheBenchmarksReadingRefuses) {
  TempDir dir;
  for (const char* folder : {"good", "twice", "long"}) {
    std::filesystem::create_directories(dir.path() / folder);
  }
  const std::string line1 = "1,1,10,10,20,20,1,1,1\n";
  const std::string line2 = "1,2,50,50,20,20,1,1,1\n";
  const std::string good = dir.write("good/gt.txt", line1 + line2 + "2,1,12,10,20,20,1,1,1\n");
  const std::string tracker =
      dir.write("tracker.txt", "1,7,10,10,20,20,0.9,-1,-1,-1\n2,7,12,10,20,20,0.8,-1,-1,-1\n");
  const std::string twice = dir.write("twice/gt.txt", line1 + "1,1,50,50,20,20,1,1,1\n");
  const std::string trackerTwice = dir.write(
      "tracker-twice.txt", "1,7,10,10,20,20,0.9,-1,-1,-1\n1,7,50,50,20,20,0.8,-1,-1,-1\n");
  dir.write("long/seqinfo.ini", "[Sequence]\nseqLength=1\n");
  const std::string beyond = dir.write("long/gt.txt", line1 + "2,1,12,10,20,20,1,1,1\n");
  const std::vector<std::string> mot = {"--gt-format", "mot", "--sys-format", "mot"};
  const auto run = [&](std::vector<std::string> arguments, bool rules) {
    arguments.insert(arguments.end(), mot.begin(), mot.end());
    if (rules) arguments.insert(arguments.end(), {"--rules", "mot"});
    return runTalmira(arguments);
  };
  for (const auto& [truth, system] : std::vector<std::pair<std::string, std::string>>{
           {twice, tracker}, {good, trackerTwice}, {beyond, tracker}, {twice, ""}}) {
    std::vector<std::string> pair = {truth};
    if (!system.empty()) pair.push_back(system);
    const ToolResult scored = run({"score", truth, system.empty() ? truth : system}, true);
    ASSERT_EQ(scored.status, 1) << truth << " " << system;
    const ToolResult checked = run({"check", pair[0]}, true);
    const ToolResult checkedPair =
        pair.size() == 2 ? run({"check", pair[0], pair[1]}, true) : checked;
    EXPECT_EQ(checkedPair.status, 1) << truth << " " << system;
    EXPECT_EQ(checkedPair.errors, scored.errors);
    EXPECT_EQ(checkedPair.output, "");
    std::vector<std::string> plain = {"check"};
    plain.insert(plain.end(), pair.begin(), pair.end());
    EXPECT_EQ(run(plain, false).status, 0) << "this format's reader takes " << truth;
  }
  const ToolResult plain =
      run({"check", good, tracker, "--overlap", "iou", "--min-overlap", "0.5", "--min-side", "0"},
          false);
  const ToolResult benchmark = run({"check", good, tracker}, true);
  EXPECT_EQ(plain.status, 0) << plain.errors;
  EXPECT_EQ(benchmark.status, 0) << benchmark.errors;
  EXPECT_EQ(benchmark.output, plain.output);
  // --length is taken as score takes it, and refused without the benchmark.
  EXPECT_EQ(run({"check", good, tracker, "--length", "1"}, true).status, 1);
  EXPECT_EQ(run({"check", good, tracker, "--length", "2"}, true).status, 0);
  EXPECT_EQ(run({"check", good, tracker, "--length", "2"}, false).status, 2);
}

}  // namespace
}  // namespace talmira_test

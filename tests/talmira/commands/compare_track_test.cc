// `talmira compare --track`, end to end: each tracker's figures as `talmira
// batch --track` combines them (and each sequence's as `talmira track`
// gives it), and every resample against a model made here: the draws
// (SplitMix64, as compare documents them) and the drawn sequences really
// repeated in lists that `batch --track` evaluates, the interval's ends and
// shares taken from those.
#include <gtest/gtest.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tests/talmira/commands/bootstrap_draws.h"
#include "tests/test_support.h"

namespace talmira_test {
namespace {

using Json = nlohmann::json;

Json jsonOf(const ToolResult& run, int status = 0) {
  EXPECT_EQ(run.status, status) << run.errors;
  return run.output.empty() ? Json() : Json::parse(run.output);
}

const std::string kExamples = TALMIRA_FORMATS_DATA "/../../../examples/tracking-dataset/";
const char* const kFigures[] = {"HOTA", "MOTA", "IDF1"};

struct Sequence {
  std::string name, groundTruth, a, b;
};

// The examples' six sequences, A's and B's trackers.
std::vector<Sequence> exampleSequences() {
  std::vector<Sequence> sequences;
  for (int k = 1; k <= 6; ++k) {
    const std::string name = "SEQ-0" + std::to_string(k);
    sequences.push_back({name, kExamples + "gt/" + name + "/gt/gt.txt",
                         kExamples + "trackers/a/" + name + ".txt",
                         kExamples + "trackers/b/" + name + ".txt"});
  }
  return sequences;
}

std::string compareList(const TempDir& dir, const std::vector<Sequence>& sequences) {
  std::string list = "sequence,groundtruth,system_a,system_b\n";
  for (const Sequence& s : sequences) {
    list += s.name + "," + s.groundTruth + "," + s.a + "," + s.b + "\n";
  }
  return dir.write("compare.csv", list);
}

// HOTA, MOTA and IDF1 of `batch --track` on a list holding sequence k
// times[k] times in a row, with tracker B's files or A's.
std::vector<double> batchFigures(const TempDir& dir, const std::vector<Sequence>& sequences,
                                 const std::vector<uint32_t>& times, bool sideB) {
  std::string list = "sequence,groundtruth,system\n";
  for (std::size_t k = 0; k < sequences.size(); ++k) {
    for (uint32_t c = 0; c < times[k]; ++c) {
      list += sequences[k].name + "_" + std::to_string(c) + "," + sequences[k].groundTruth + "," +
              (sideB ? sequences[k].b : sequences[k].a) + "\n";
    }
  }
  const Json batch = jsonOf(runTalmira(
      {"batch", dir.write("batch.csv", list), "--track", "--format", "json", "-q", "-j", "2"}));
  const Json& measures = batch["total"]["classes"][0]["measures"];
  return {measures["HOTA"].get<double>(), measures["MOTA"].get<double>(),
          measures["IDF1"].get<double>()};
}

// The interval of `differences` at rank k and the shares above and below 0,
// against compare's JSON figure.
void expectInterval(std::vector<double> differences, std::size_t k, const Json& figure) {
  std::sort(differences.begin(), differences.end());
  const double n = static_cast<double>(differences.size());
  EXPECT_EQ(figure["low"].get<double>(), differences[k]);
  EXPECT_EQ(figure["high"].get<double>(), differences[differences.size() - 1 - k]);
  EXPECT_EQ(
      figure["b_better"].get<double>(),
      std::count_if(differences.begin(), differences.end(), [](double d) { return d > 0; }) / n);
  EXPECT_EQ(
      figure["a_better"].get<double>(),
      std::count_if(differences.begin(), differences.end(), [](double d) { return d < 0; }) / n);
}

// Each resample is the dataset with every drawn sequence there as many times
// as drawn: its difference is that of `batch --track` on such lists for both
// trackers, to the bit; so are the interval's ends and the shares. The
// figures are batch's combined ones, each sequence's `talmira track`'s, and
// the bytes are the same on any number of threads.
TEST(CompareTrackTest, ResamplesAreBatchTrackOfTheRepeatedLists) {
  TempDir dir;
  const std::vector<Sequence> sequences = exampleSequences();
  const std::vector<std::string> arguments = {"compare", "--dataset",   compareList(dir, sequences),
                                              "--track", "--resamples", "9",
                                              "--seed",  "5",           "--level",
                                              "0.5",     "--format",    "json",
                                              "-q"};
  const ToolResult single = runTalmira(arguments);
  std::vector<std::string> threaded = arguments;
  threaded.insert(threaded.end(), {"-j", "3"});
  EXPECT_EQ(runTalmira(threaded).output, single.output);
  const Json result = jsonOf(single);
  EXPECT_EQ(result["units"], 6);
  EXPECT_EQ(result["unit"], "sequence");
  ASSERT_EQ(result["classes"].size(), 1u);
  const Json& figures = result["classes"][0]["figures"];
  ASSERT_EQ(figures.size(), 3u);

  const std::vector<uint32_t> once(sequences.size(), 1);
  const std::vector<double> a = batchFigures(dir, sequences, once, false);
  const std::vector<double> b = batchFigures(dir, sequences, once, true);
  for (std::size_t f = 0; f < 3; ++f) {
    EXPECT_EQ(figures[f]["figure"], kFigures[f]);
    EXPECT_EQ(figures[f]["a"].get<double>(), a[f]) << kFigures[f];
    EXPECT_EQ(figures[f]["b"].get<double>(), b[f]) << kFigures[f];
    EXPECT_EQ(figures[f]["delta"].get<double>(), b[f] - a[f]) << kFigures[f];
  }
  for (std::size_t k = 0; k < sequences.size(); ++k) {
    const Json alone =
        jsonOf(runTalmira({"track", sequences[k].groundTruth, sequences[k].b, "--format", "json"}));
    const Json& measures = alone["classes"][0]["measures"];
    const Json& row = result["sequences"][k]["classes"][0];
    EXPECT_EQ(row["hota_b"], measures["HOTA"]);
    EXPECT_EQ(row["mota_b"], measures["MOTA"]);
    EXPECT_EQ(row["idf1_b"], measures["IDF1"]);
  }

  std::vector<std::vector<double>> differences(3);
  for (const std::vector<uint32_t>& w : bootstrapDraws(5, sequences.size(), 9)) {
    const std::vector<double> ra = batchFigures(dir, sequences, w, false);
    const std::vector<double> rb = batchFigures(dir, sequences, w, true);
    for (std::size_t f = 0; f < 3; ++f) differences[f].push_back(rb[f] - ra[f]);
  }
  // k = floor(9 * (1 - 0.5) / 2) = 2.
  for (std::size_t f = 0; f < 3; ++f) {
    SCOPED_TRACE(kFigures[f]);
    expectInterval(differences[f], 2, figures[f]);
    EXPECT_NE(*std::min_element(differences[f].begin(), differences[f].end()),
              *std::max_element(differences[f].begin(), differences[f].end()));
  }
}

// A tracker against itself differs by 0 in every resample: a zero interval,
// no share either way, and no verdict; on a dataset and on one sequence.
// Swapping the trackers turns the interval round and swaps the shares.
TEST(CompareTrackTest, IdenticalTrackersDifferByZeroAndSwappedOnesByMinusTheDifference) {
  TempDir dir;
  std::vector<Sequence> sequences = exampleSequences();
  std::vector<Sequence> same = sequences;
  for (Sequence& s : same) s.b = s.a;
  std::vector<Sequence> swapped = sequences;
  for (Sequence& s : swapped) std::swap(s.a, s.b);
  const auto compare = [&](const std::vector<Sequence>& list, const char* name) {
    const std::string path = dir.write(name, readFile(compareList(dir, list)));
    return jsonOf(runTalmira(
        {"compare", "--dataset", path, "--track", "--resamples", "200", "--format", "json", "-q"}));
  };
  const Json zero = compare(same, "same.csv");
  const Json one = jsonOf(runTalmira({"compare", sequences[0].groundTruth, sequences[0].a,
                                      sequences[0].a, "--track", "--format", "json"}));
  EXPECT_EQ(one["units"], 1);
  for (const Json* result : {&zero, &one}) {
    for (const Json& f : (*result)["classes"][0]["figures"]) {
      SCOPED_TRACE(f["figure"].get<std::string>());
      EXPECT_EQ(f["a"], f["b"]);
      EXPECT_EQ(f["delta"].get<double>(), 0.0);
      EXPECT_EQ(f["low"].get<double>(), 0.0);
      EXPECT_EQ(f["high"].get<double>(), 0.0);
      EXPECT_EQ(f["b_better"].get<double>(), 0.0);
      EXPECT_EQ(f["a_better"].get<double>(), 0.0);
      EXPECT_EQ(f["verdict"], "cannot tell");
    }
  }
  const Json forward = compare(sequences, "forward.csv");
  const Json backward = compare(swapped, "backward.csv");
  for (std::size_t f = 0; f < 3; ++f) {
    SCOPED_TRACE(kFigures[f]);
    const Json& x = forward["classes"][0]["figures"][f];
    const Json& y = backward["classes"][0]["figures"][f];
    EXPECT_EQ(y["a"], x["b"]);
    EXPECT_EQ(y["low"].get<double>(), -x["high"].get<double>());
    EXPECT_EQ(y["high"].get<double>(), -x["low"].get<double>());
    EXPECT_EQ(y["b_better"], x["a_better"]);
    EXPECT_EQ(y["a_better"], x["b_better"]);
  }
  // B leaves out A's false tracks: MOTA is better by far in every resample.
  EXPECT_EQ(forward["classes"][0]["figures"][1]["verdict"], "B better");
}

// A sequence that cannot be read is left out (status 1, its message on
// standard error and in the JSON), and the others are compared as a list
// without it compares them.
TEST(CompareTrackTest, AFailedSequenceIsLeftOut) {
  TempDir dir;
  std::vector<Sequence> sequences = exampleSequences();
  sequences.resize(4);
  std::vector<Sequence> withLost = sequences;
  withLost.insert(withLost.begin() + 2,
                  {"lost", sequences[0].groundTruth, dir.file("nowhere.txt"), sequences[0].b});
  const std::string without = compareList(dir, sequences);
  const Json expected = jsonOf(runTalmira(
      {"compare", "--dataset", without, "--track", "--resamples", "50", "--format", "json"}));
  const std::string with = dir.write("with.csv", readFile(compareList(dir, withLost)));
  const ToolResult r = runTalmira(
      {"compare", "--dataset", with, "--track", "--resamples", "50", "--format", "json"});
  const Json result = jsonOf(r, 1);
  EXPECT_NE(r.errors.find("nowhere.txt"), std::string::npos) << r.errors;
  EXPECT_EQ(result["classes"], expected["classes"]);
  EXPECT_EQ(result["failed"], 1);
  EXPECT_TRUE(result["sequences"][2].contains("error"));
}

// What --track does not go with, refused before anything is read (status 2).
TEST(CompareTrackTest, OptionsThatDoNotGoWithTrack) {
  const std::string list = kExamples + "compare.csv";
  for (const std::vector<std::string>& arguments :
       std::vector<std::vector<std::string>>{{"--best"},
                                             {"--report", "page.html"},
                                             {"--c-a", "0.1", "--c-b", "0.2"},
                                             {"--rules", "mot"},
                                             {"--ap"},
                                             {"--sys-format", "yolo"},
                                             {"--track-rules", "nothing"}}) {
    std::vector<std::string> run = {"compare", "--dataset", list, "--track"};
    run.insert(run.end(), arguments.begin(), arguments.end());
    const ToolResult r = runTalmira(run);
    EXPECT_EQ(r.status, 2) << arguments[0] << ": " << r.errors;
    EXPECT_TRUE(r.output.empty()) << arguments[0];
  }
}

}  // namespace
}  // namespace talmira_test

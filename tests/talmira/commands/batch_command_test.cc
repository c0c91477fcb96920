// End-to-end runs of `talmira batch` and `talmira merge`: every sequence as
// `talmira score` scores it, totals that are the sums, the same bytes for any
// number of threads and for any split into shards.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <vector>

#include "tests/test_support.h"

namespace talmira_test {
namespace {

const std::string kHeader = "frame,x1,y1,x2,y2,x3,y3,x4,y4,type,flag_a,flag_b,confidence,c14,c15\n";
const std::vector<std::string> kTypes = {"Car", "Car", "Truck", "Bus", "Person", "Boat"};

std::vector<std::string> lines(const std::string& text) { return splitLines(text); }

std::string box(int frame, int x, int y, const std::string& type, double confidence) {
  char text[160];
  std::snprintf(text, sizeof text, "%d,%d,%d,%d,%d,%d,%d,%d,%d,%s,FALSE,FALSE,%.2f,,\n", frame, x,
                y, x + 60, y, x + 60, y + 40, x, y + 40, type.c_str(), confidence);
  return text;
}

// A random sequence pair: objects on a grid, a detector that shifts them a
// little, misses some, renames some and adds false alarms.
void writePair(const TempDir& dir, const std::string& stem, unsigned seed) {
  std::mt19937 random(seed);
  const auto below = [&random](int n) { return static_cast<int>(random() % n); };
  std::string gt = kHeader;
  std::string sys = kHeader;
  const int frames = 3 + below(5);
  for (int frame = 1; frame <= frames; ++frame) {
    const int objects = 1 + below(6);
    for (int o = 0; o < objects; ++o) {
      const int x = o * 100;
      const int y = below(3) * 80;
      const std::string& type = kTypes[below(kTypes.size())];
      gt += box(frame, x, y, type, 1.0);
      if (below(10) < 2) continue;  // missed
      const std::string& found = below(10) == 0 ? kTypes[below(kTypes.size())] : type;
      sys += box(frame, x + below(7) - 3, y + below(7) - 3, found, 0.3 + below(70) / 100.0);
    }
    for (int fa = below(3); fa > 0; --fa) {
      sys += box(frame, 2000 + fa * 100, 900, kTypes[below(kTypes.size())], below(90) / 100.0);
    }
  }
  dir.write(stem + "_gt.csv", gt);
  dir.write(stem + "_sys.csv", sys);
}

// A dataset of `count` random pairs in `dir`, listed in dir/list.csv under
// the names seq0, seq1, ...; `extra` lines are appended to the list.
std::string writeDataset(const TempDir& dir, int count, unsigned seed,
                         const std::string& extra = "") {
  std::string list = "sequence,groundtruth,system\n";
  for (int i = 0; i < count; ++i) {
    const std::string stem = "seq" + std::to_string(i);
    writePair(dir, stem, seed + static_cast<unsigned>(i));
    list += stem + "," + stem + "_gt.csv," + stem + "_sys.csv\n";
  }
  return dir.write("list.csv", list + extra);
}

struct Row {
  std::vector<long long> counts;  // gt, det, fn, fp, frames
  std::string nmodta;
};

// `class,...` rows of `talmira score --format csv`, by class.
std::map<std::string, Row> scoreRows(const std::string& gt, const std::string& sys,
                                     const std::string& confidence) {
  const ToolResult run = runTalmira({"score", gt, sys, "-c", confidence, "--format", "csv"});
  EXPECT_EQ(run.status, 0) << run.errors;
  std::map<std::string, Row> rows;
  for (const std::string& line : lines(run.output)) {
    if (line.rfind("class,", 0) == 0) continue;
    std::vector<std::string> cells;
    std::size_t start = 0;
    for (std::size_t end; (end = line.find(',', start)) != std::string::npos; start = end + 1) {
      cells.push_back(line.substr(start, end - start));
    }
    cells.push_back(line.substr(start));
    Row row;
    for (int c = 1; c <= 5; ++c) row.counts.push_back(std::stoll(cells[c]));
    row.nmodta = cells[6];
    rows[cells[0]] = row;
  }
  return rows;
}

const std::vector<std::string> kClasses = {"All",        "Car",       "Truck",  "Tractor-Trailor",
                                           "Bus",        "Container", "Boat",   "Plane",
                                           "Helicopter", "Person",    "Cyclist"};

// 1 - (FN + FP) / GT in single precision with the console's floor and its
// 1 for an empty class, as "%f" prints it: the pooled NMODTA from sums.
std::string nmodtaOf(long long gt, long long fn, long long fp) {
  float value = 1.0f;
  if (gt != 0 || fp != 0) {
    value = gt == 0
                ? -100000.0f
                : static_cast<float>(1.0 - static_cast<double>(fn + fp) / static_cast<double>(gt));
    value = std::max(value, -100000.0f);
  }
  char text[64];
  std::snprintf(text, sizeof text, "%f", static_cast<double>(value));
  return text;
}

TEST(BatchCommandTest, RowsAreThoseOfScoreAndTotalsAreTheirSumsForAnyNumberOfThreads) {
  TempDir dir;
  const std::string list = writeDataset(dir, 7, 11);
  const ToolResult one = runTalmira({"batch", list, "-c", "0.5", "-j", "1", "--format", "csv"});
  ASSERT_EQ(one.status, 0) << one.errors;
  EXPECT_EQ(one.errors, "");  // no progress line when standard error is not a terminal
  const std::vector<std::string> rows = lines(one.output);
  ASSERT_EQ(rows.size(), 1u + 8u * 11u) << one.output;
  EXPECT_EQ(rows[0], "sequence,class,gt,det,fn,fp,frames,nmodta");

  std::vector<long long> sums(11 * 5, 0);
  std::size_t at = 1;
  for (int i = 0; i < 7; ++i) {
    const std::string stem = "seq" + std::to_string(i);
    const auto expected = scoreRows(dir.file(stem + "_gt.csv"), dir.file(stem + "_sys.csv"), "0.5");
    for (std::size_t c = 0; c < kClasses.size(); ++c, ++at) {
      const Row& row = expected.at(kClasses[c]);
      std::string line = stem + "," + kClasses[c];
      for (int k = 0; k < 5; ++k) {
        line += "," + std::to_string(row.counts[k]);
        sums[c * 5 + k] += row.counts[k];
      }
      EXPECT_EQ(rows[at], line + "," + row.nmodta) << "seed 11, sequence " << i;
    }
  }
  for (std::size_t c = 0; c < kClasses.size(); ++c, ++at) {
    const long long* s = &sums[c * 5];
    std::string line = "(all)," + kClasses[c];
    for (int k = 0; k < 5; ++k) line += "," + std::to_string(s[k]);
    EXPECT_EQ(rows[at], line + "," + nmodtaOf(s[0], s[2], s[3]));
  }
  // The pooled rows cannot be all alike by chance: the data has misses.
  EXPECT_GT(sums[2], 0);

  for (const std::string format : {"text", "csv", "json"}) {
    const ToolResult a = runTalmira({"batch", list, "-c", "0.5", "-j", "1", "--format", format});
    for (const std::string jobs : {"2", "3", "16"}) {
      const ToolResult b = runTalmira({"batch", list, "-c", "0.5", "-j", jobs, "--format", format});
      ASSERT_EQ(b.status, 0) << b.errors;
      EXPECT_EQ(a.output, b.output) << format << " with -j " << jobs;
    }
  }
}

TEST(BatchCommandTest, FailedSequencesAreReportedCountedAndLeftOutOfTheTotals) {
  TempDir dir;
  dir.write("bad.csv", kHeader + "1,0,0,10,0,10,10,0,10,Car,FALSE,FALSE,not-a-number,,\n");
  const std::string good = writeDataset(dir, 3, 5);
  const ToolResult alone = runTalmira({"batch", good, "--format", "csv"});
  ASSERT_EQ(alone.status, 0) << alone.errors;
  const std::string both =
      dir.write("both.csv",
                "sequence,groundtruth,system\nseq0,seq0_gt.csv,seq0_sys.csv\n"
                "missing,nowhere_gt.csv,seq0_sys.csv\nseq1,seq1_gt.csv,seq1_sys.csv\n"
                "malformed,seq1_gt.csv,bad.csv\nseq2,seq2_gt.csv,seq2_sys.csv\n");

  const ToolResult csv = runTalmira({"batch", both, "--format", "csv", "-j", "2"});
  EXPECT_EQ(csv.status, 1);
  // The good sequences' rows and totals are those of a run without the bad.
  EXPECT_EQ(csv.output, alone.output);
  const std::vector<std::string> messages = lines(csv.errors);
  ASSERT_EQ(messages.size(), 3u) << csv.errors;
  EXPECT_NE(messages[0].find("nowhere_gt.csv: cannot open"), std::string::npos) << messages[0];
  EXPECT_EQ(messages[1].rfind(dir.file("bad.csv") + ":2:", 0), 0u) << messages[1];
  EXPECT_EQ(messages[2], "talmira batch: 2 of 5 sequences failed; they are left out of the totals");

  const ToolResult json =
      runTalmira({"batch", both, "--format", "json", "-o", dir.file("out.json")});
  EXPECT_EQ(json.status, 1);
  const auto out = nlohmann::json::parse(readFile(dir.file("out.json")));
  ASSERT_EQ(out["sequences"].size(), 5u);
  EXPECT_EQ(out["sequences"][1]["sequence"], "missing");
  EXPECT_EQ(out["sequences"][1]["error"], messages[0]);
  EXPECT_EQ(out["sequences"][3].size(), 2u);  // sequence and error only
  EXPECT_TRUE(out["sequences"][2].contains("classes"));
  EXPECT_EQ(out["total"]["sequences"], 3);
  EXPECT_EQ(out["total"]["failed"], 2);

  const ToolResult text = runTalmira({"batch", both});
  EXPECT_NE(text.output.find("5 sequences, 2 failed"), std::string::npos) << text.output;
  EXPECT_NE(text.output.find("Pooled over 3 sequences"), std::string::npos);
}

TEST(BatchCommandTest, ListsAreCheckedAndFoldersArePairedByName) {
  TempDir dir;
  writePair(dir, "a", 1);
  const auto run = [&](const std::string& contents) {
    return runTalmira({"batch", dir.write("list.csv", contents), "--format", "csv"});
  };
  ToolResult r = run("sequence,groundtruth,system\na,a_gt.csv,a_sys.csv\nb,a_gt.csv\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.errors, dir.file("list.csv") +
                          ":3: expected 3 fields (sequence,groundtruth,system), found 2\n");
  EXPECT_EQ(r.output, "");
  r = run("sequence,groundtruth,system\na,a_gt.csv,a_sys.csv\n\"a\",a_gt.csv,a_sys.csv\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.errors.find(":3: the sequence name \"a\" is already used on line 2"),
            std::string::npos)
      << r.errors;
  r = run("name,gt,sys\na,a_gt.csv,a_sys.csv\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.errors.find(":1: the first line must be the header"), std::string::npos);
  r = run("sequence,groundtruth,system\r\n\"x, \"\"y\"\"\",a_gt.csv,a_sys.csv\r\n");
  ASSERT_EQ(r.status, 0) << r.errors;
  EXPECT_EQ(lines(r.output)[1].rfind("\"x, \"\"y\"\"\",All,", 0), 0u) << r.output;

  // Folders: b has no system output, so it is one failed sequence of three.
  std::filesystem::create_directories(dir.path() / "gt");
  std::filesystem::create_directories(dir.path() / "sys");
  for (const std::string name : {"a", "c"}) {
    std::filesystem::copy_file(dir.file("a_gt.csv"), dir.path() / "gt" / (name + ".csv"));
    std::filesystem::copy_file(dir.file("a_sys.csv"), dir.path() / "sys" / (name + ".txt"));
  }
  std::filesystem::copy_file(dir.file("a_gt.csv"), dir.path() / "gt" / "b.csv");
  r = runTalmira(
      {"batch", "--gt-dir", dir.file("gt"), "--sys-dir", dir.file("sys"), "--format", "csv"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.errors.find("b.csv: no system output of that name in"), std::string::npos);
  EXPECT_NE(r.errors.find("1 of 3 sequences failed"), std::string::npos) << r.errors;
  const std::vector<std::string> rows = lines(r.output);
  ASSERT_EQ(rows.size(), 1u + 3u * 11u);
  EXPECT_EQ(rows[1].rfind("a,All,", 0), 0u);
  EXPECT_EQ(rows[12].rfind("c,All,", 0), 0u);

  r = runTalmira(
      {"batch", dir.file("list.csv"), "--gt-dir", dir.file("gt"), "--sys-dir", dir.file("sys")});
  EXPECT_EQ(r.status, 2);
  r = runTalmira({"batch"});
  EXPECT_EQ(r.status, 2);
}

TEST(BatchCommandTest, ShardsMergeIntoTheSingleRunInEveryFormat) {
  TempDir dir;
  dir.write("bad.csv", kHeader + "1,0,0,10,0,10,10,0,10,Car,FALSE,FALSE,high,,\n");
  const std::string list = writeDataset(dir, 8, 23, "broken,seq0_gt.csv,bad.csv\n");
  // Parts given out of order; shard 3/3 holds positions 2, 5 and 8 (broken).
  std::vector<std::string> parts;
  for (const std::string k : {"3", "1", "2"}) {
    const std::string part = dir.file("part" + k + ".json");
    const ToolResult r =
        runTalmira({"batch", list, "-c", "0.25", "--shard", k + "/3", "-o", part, "-j", "2"});
    EXPECT_EQ(r.status, k == "3" ? 1 : 0) << r.errors;
    parts.push_back(part);
  }
  const auto part3 = nlohmann::json::parse(readFile(parts[0]));
  EXPECT_EQ(part3["partial"], true);
  EXPECT_EQ(part3["positions"], nlohmann::json::parse("[2, 5, 8]"));

  for (const std::string format : {"text", "csv", "json"}) {
    const ToolResult single = runTalmira({"batch", list, "-c", "0.25", "--format", format});
    EXPECT_EQ(single.status, 1);
    std::vector<std::string> args = {"merge"};
    args.insert(args.end(), parts.begin(), parts.end());
    args.insert(args.end(), {"--format", format});
    const ToolResult merged = runTalmira(args);
    EXPECT_EQ(merged.status, 1);
    EXPECT_EQ(merged.output, single.output) << format;
    EXPECT_EQ(lines(merged.errors).back(),
              "talmira merge: 1 of 9 sequences failed; they are left out of the totals");
  }

  // The HTML page: the same from merge as from the single run, with every
  // sequence and the failed one's message.
  std::vector<std::string> args = {"merge", "--report", dir.file("merged.html")};
  args.insert(args.end(), parts.begin(), parts.end());
  EXPECT_EQ(runTalmira(args).status, 1);
  EXPECT_EQ(runTalmira({"batch", list, "-c", "0.25", "--report", dir.file("single.html")}).status,
            1);
  const std::string page = readFile(dir.file("single.html"));
  EXPECT_EQ(readFile(dir.file("merged.html")), page);
  EXPECT_NE(page.find("seq7"), std::string::npos);
  EXPECT_NE(page.find("broken"), std::string::npos);
  EXPECT_NE(page.find("bad.csv:2:"), std::string::npos);

  // A missing part, an overlapping part, a part of another list or confidence.
  ToolResult r = runTalmira({"merge", parts[0], parts[1]});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.output, "");
  EXPECT_NE(r.errors.find("3 of 9 positions are in no part (1, 4, 7); missing shard 2/3"),
            std::string::npos)
      << r.errors;
  const std::string half = dir.file("half.json");
  // Positions 0, 2, 4, 6 and 8 (broken): written, with status 1.
  ASSERT_EQ(runTalmira({"batch", list, "-c", "0.25", "--shard", "1/2", "-o", half}).status, 1);
  r = runTalmira({"merge", parts[0], parts[1], parts[2], half});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.errors.find("both hold position"), std::string::npos) << r.errors;
  const std::string otherConfidence = dir.file("other_c.json");
  runTalmira({"batch", list, "-c", "0.5", "--shard", "2/3", "-o", otherConfidence});
  r = runTalmira({"merge", parts[0], parts[1], otherConfidence});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.errors.find("is a part of another run"), std::string::npos) << r.errors;
  dir.write("list.csv", readFile(list) + "extra,seq1_gt.csv,seq1_sys.csv\n");
  const std::string otherList = dir.file("other_list.json");
  runTalmira({"batch", list, "-c", "0.25", "--shard", "2/3", "-o", otherList});
  r = runTalmira({"merge", parts[0], parts[1], otherList});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.errors.find("is a part of another run"), std::string::npos) << r.errors;
  r = runTalmira({"merge", list});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.errors.find("not a partial batch result"), std::string::npos) << r.errors;

  // Damaged parts: a claimed size far beyond what the parts hold is a set of
  // missing positions (not a table of that size), and a position outside its
  // shard is refused.
  auto damaged = nlohmann::json::parse(readFile(parts[1]));
  damaged["sequence_count"] = 1000000000000000LL;
  r = runTalmira({"merge", dir.write("huge.json", damaged.dump())});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.errors.find(" of 1000000000000000 positions are in no part (1, 2, 4, 5, 7, 8, 9, "),
            std::string::npos)
      << r.errors;
  damaged = nlohmann::json::parse(readFile(parts[1]));
  damaged["positions"][0] = 1;
  damaged["sequences"][0]["position"] = 1;
  r = runTalmira({"merge", dir.write("moved.json", damaged.dump()), parts[0], parts[2]});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(
      r.errors.find("moved.json: not a partial batch result: sequence 0 has a wrong position"),
      std::string::npos)
      << r.errors;
}

// ---------------------------------------------------------------------------
// --sweep

struct CurveRow {
  std::string threshold;  // as printed ("%.9g")
  long long gt, det, fn, fp;
  double at() const { return std::stod(threshold); }
};

std::vector<std::string> cellsOf(const std::string& line) {
  std::vector<std::string> cells;
  std::size_t start = 0;
  for (std::size_t end; (end = line.find(',', start)) != std::string::npos; start = end + 1) {
    cells.push_back(line.substr(start, end - start));
  }
  cells.push_back(line.substr(start));
  return cells;
}

// printf("%f") of a / b; when b is 0, "" if `emptyWhenNone`, else "1.000000".
std::string ratioText(int64_t a, int64_t b, bool emptyWhenNone) {
  if (b == 0) return emptyWhenNone ? "" : "1.000000";
  char text[32];
  std::snprintf(text, sizeof text, "%f", static_cast<double>(a) / static_cast<double>(b));
  return text;
}

// The rows of `class,threshold,gt,det,fn,fp,nmodta,precision,recall` CSV by
// class, in order; the NMODTA, precision and recall printed are checked
// against the counts on the way.
std::map<std::string, std::vector<CurveRow>> curveRows(const std::string& csv) {
  std::map<std::string, std::vector<CurveRow>> curves;
  const std::vector<std::string> rows = lines(csv);
  EXPECT_FALSE(rows.empty());
  if (rows.empty()) return curves;
  EXPECT_EQ(rows[0], "class,threshold,gt,det,fn,fp,nmodta,precision,recall");
  for (std::size_t r = 1; r < rows.size(); ++r) {
    const std::vector<std::string> c = cellsOf(rows[r]);
    EXPECT_EQ(c.size(), 9u) << rows[r];
    if (c.size() != 9) continue;
    CurveRow row{c[1], std::stoll(c[2]), std::stoll(c[3]), std::stoll(c[4]), std::stoll(c[5])};
    EXPECT_EQ(c[6], nmodtaOf(row.gt, row.fn, row.fp)) << rows[r];
    EXPECT_EQ(c[7], ratioText(row.det - row.fp, row.det, false)) << rows[r];
    EXPECT_EQ(c[8], ratioText(row.gt - row.fn, row.gt, true)) << rows[r];
    curves[c[0]].push_back(row);
  }
  return curves;
}

// A step curve read at t: the row with the smallest threshold at or above t.
const CurveRow& rowAt(const std::vector<CurveRow>& curve, double t) {
  const CurveRow* found = &curve.front();
  for (const CurveRow& row : curve) {
    if (row.at() >= t) found = &row;
  }
  return *found;
}

TEST(BatchSweepTest, PooledCurvesAreTheSumsOfEachSequencesSweepAndOfScoringAtTheirThresholds) {
  const unsigned seed = 31;
  TempDir dir;
  const int count = 6;
  const std::string list = writeDataset(dir, count, seed);
  const ToolResult batch =
      runTalmira({"batch", list, "--sweep", "--exact", "--format", "csv", "-j", "1"});
  ASSERT_EQ(batch.status, 0) << batch.errors;
  const auto pooled = curveRows(batch.output);

  // Brute force: every sequence swept alone, read at every threshold of any
  // of them, summed.
  std::vector<std::map<std::string, std::vector<CurveRow>>> each;
  std::vector<nlohmann::json> eachJson;
  for (int i = 0; i < count; ++i) {
    const std::string stem = "seq" + std::to_string(i);
    const std::string gt = dir.file(stem + "_gt.csv");
    const std::string sys = dir.file(stem + "_sys.csv");
    const ToolResult sweep = runTalmira({"sweep", gt, sys, "--exact", "--format", "csv"});
    ASSERT_EQ(sweep.status, 0) << sweep.errors;
    each.push_back(curveRows(sweep.output));
    const ToolResult json = runTalmira({"sweep", gt, sys, "--format", "json"});
    ASSERT_EQ(json.status, 0) << json.errors;
    eachJson.push_back(nlohmann::json::parse(json.output));
  }
  ASSERT_EQ(pooled.size(), kClasses.size());
  for (const std::string& name : kClasses) {
    std::map<double, std::string, std::greater<>> thresholds;
    for (const auto& curves : each) {
      for (const CurveRow& row : curves.at(name)) thresholds.emplace(row.at(), row.threshold);
    }
    const std::vector<CurveRow>& rows = pooled.at(name);
    ASSERT_EQ(rows.size(), thresholds.size()) << "seed " << seed << ", class " << name;
    std::size_t r = 0;
    for (const auto& [t, text] : thresholds) {
      long long sums[4] = {0, 0, 0, 0};
      for (const auto& curves : each) {
        const CurveRow& row = rowAt(curves.at(name), t);
        sums[0] += row.gt;
        sums[1] += row.det;
        sums[2] += row.fn;
        sums[3] += row.fp;
      }
      const CurveRow& got = rows[r++];
      EXPECT_EQ(got.threshold, text) << "seed " << seed << ", class " << name;
      EXPECT_EQ(std::vector<long long>({got.gt, got.det, got.fn, got.fp}),
                std::vector<long long>(sums, sums + 4))
          << "seed " << seed << ", class " << name << " at " << text;
    }
  }

  // A second oracle for a few thresholds of "All": the pooled totals of a
  // plain batch run at that confidence.
  const std::vector<CurveRow>& all = pooled.at("All");
  ASSERT_GT(all.size(), 6u);
  for (const std::size_t r : {std::size_t{1}, all.size() / 3, all.size() / 2, all.size() - 2}) {
    const ToolResult plain = runTalmira({"batch", list, "-c", all[r].threshold, "--format", "csv"});
    ASSERT_EQ(plain.status, 0) << plain.errors;
    std::string expected = "(all),All," + std::to_string(all[r].gt) + "," +
                           std::to_string(all[r].det) + "," + std::to_string(all[r].fn) + "," +
                           std::to_string(all[r].fp) + ",";
    const std::vector<std::string> rows = lines(plain.output);
    const auto found = std::find_if(rows.begin(), rows.end(), [](const std::string& line) {
      return line.rfind("(all),All,", 0) == 0;
    });
    ASSERT_NE(found, rows.end());
    EXPECT_EQ(found->substr(0, expected.size()), expected) << "at -c " << all[r].threshold;
  }

  // The best points: the pooled one is the highest NMODTA of the pooled
  // curve (the highest threshold among equals); each sequence's are those
  // `talmira sweep` finds for it.
  const ToolResult json = runTalmira({"batch", list, "--sweep", "--format", "json"});
  ASSERT_EQ(json.status, 0) << json.errors;
  const auto result = nlohmann::json::parse(json.output);
  for (std::size_t c = 0; c < kClasses.size(); ++c) {
    const std::vector<CurveRow>& rows = pooled.at(kClasses[c]);
    const CurveRow* best = &rows.front();
    const auto value = [](const CurveRow& row) {
      if (row.gt == 0 && row.fp == 0) return 1.0f;
      if (row.gt == 0) return -100000.0f;
      return std::max(-100000.0f, static_cast<float>(1.0 - static_cast<double>(row.fn + row.fp) /
                                                               static_cast<double>(row.gt)));
    };
    for (const CurveRow& row : rows) {
      if (value(row) > value(*best)) best = &row;
    }
    const auto& got = result["total"]["classes"][c];
    EXPECT_EQ(got["class"], kClasses[c]);
    EXPECT_EQ(static_cast<float>(got["best"]["threshold"].get<double>()),
              std::stof(best->threshold))
        << kClasses[c];
    EXPECT_EQ(got["best"]["fn"].get<long long>(), best->fn) << kClasses[c];
    EXPECT_EQ(got["best"]["fp"].get<long long>(), best->fp) << kClasses[c];
    for (int i = 0; i < count; ++i) {
      nlohmann::json mine = result["sequences"][i]["best"][c];
      EXPECT_EQ(mine["class"], kClasses[c]);
      mine.erase("class");
      mine.erase("frames");
      EXPECT_EQ(mine, eachJson[i]["classes"][c]["best"]) << "sequence " << i << " " << kClasses[c];
    }
  }
  // The grid lists the pooled curve read at k/N; with 4 steps, 0.5 reads it
  // at the row at or above 0.5.
  const ToolResult grid = runTalmira({"batch", list, "--sweep", "--grid", "4", "--format", "csv"});
  ASSERT_EQ(grid.status, 0) << grid.errors;
  const auto gridRows = curveRows(grid.output);
  ASSERT_EQ(gridRows.at("All").size(), 5u);
  const CurveRow& half = gridRows.at("All")[2];
  EXPECT_EQ(half.threshold, "0.5");
  const CurveRow& expected = rowAt(all, 0.5);
  EXPECT_EQ(std::vector<long long>({half.gt, half.det, half.fn, half.fp}),
            std::vector<long long>({expected.gt, expected.det, expected.fn, expected.fp}));

  for (const std::vector<std::string>& mode :
       {std::vector<std::string>{"--exact"}, std::vector<std::string>{"--grid", "7"}}) {
    for (const std::string format : {"text", "csv", "json"}) {
      std::vector<std::string> args = {"batch", list, "--sweep", "--format", format, "-j", "1"};
      args.insert(args.end(), mode.begin(), mode.end());
      const ToolResult a = runTalmira(args);
      ASSERT_EQ(a.status, 0) << a.errors;
      for (const std::string jobs : {"2", "3", "16"}) {
        args[args.size() - mode.size() - 1] = jobs;
        const ToolResult b = runTalmira(args);
        ASSERT_EQ(b.status, 0) << b.errors;
        EXPECT_EQ(a.output, b.output) << format << " " << mode[0] << " with -j " << jobs;
      }
    }
  }
}

TEST(BatchSweepTest, ShardsMergeIntoTheSingleSweepAndOtherSettingsAreRefused) {
  TempDir dir;
  dir.write("bad.csv", kHeader + "1,0,0,10,0,10,10,0,10,Car,FALSE,FALSE,high,,\n");
  const std::string list = writeDataset(dir, 7, 47, "broken,seq0_gt.csv,bad.csv\n");
  std::vector<std::string> parts;
  for (const std::string k : {"2", "3", "1"}) {
    const std::string part = dir.file("part" + k + ".json");
    const ToolResult r = runTalmira({"batch", list, "--sweep", "--grid", "20", "-c", "0.4",
                                     "--shard", k + "/3", "-o", part, "-j", "2"});
    EXPECT_EQ(r.status, k == "2" ? 1 : 0) << r.errors;  // 2/3 holds position 7, broken
    parts.push_back(part);
  }
  for (const std::string format : {"text", "csv", "json"}) {
    const std::string tag = dir.file("single-" + format);
    const ToolResult single =
        runTalmira({"batch", list, "--sweep", "--grid", "20", "-c", "0.4", "--format", format,
                    "--plot", tag + ".svg", "--report", tag + ".html"});
    EXPECT_EQ(single.status, 1);
    std::vector<std::string> args = {"merge",
                                     "--format",
                                     format,
                                     "--plot",
                                     dir.file("merged.svg"),
                                     "--report",
                                     dir.file("merged.html")};
    args.insert(args.end(), parts.begin(), parts.end());
    const ToolResult merged = runTalmira(args);
    EXPECT_EQ(merged.status, 1) << merged.errors;
    EXPECT_EQ(merged.output, single.output) << format;
    EXPECT_EQ(readFile(dir.file("merged.svg")), readFile(tag + ".svg")) << format;
    EXPECT_EQ(readFile(dir.file("merged.html")), readFile(tag + ".html")) << format;
  }
  const std::string page = readFile(dir.file("single-csv.html"));
  EXPECT_NE(page.find("<svg"), std::string::npos);
  EXPECT_NE(page.find("bad.csv:2:"), std::string::npos);

  // Parts of a plain run, of another grid or of an exact sweep do not mix.
  const std::string plain = dir.file("plain.json");
  const std::string exact = dir.file("exact.json");
  const std::string otherGrid = dir.file("grid.json");
  runTalmira({"batch", list, "-c", "0.4", "--shard", "1/3", "-o", plain});
  runTalmira({"batch", list, "-c", "0.4", "--sweep", "--exact", "--shard", "1/3", "-o", exact});
  runTalmira({"batch", list, "-c", "0.4", "--sweep", "--shard", "1/3", "-o", otherGrid});
  for (const std::string& other : {plain, exact, otherGrid}) {
    const ToolResult r = runTalmira({"merge", parts[0], parts[1], other});
    EXPECT_EQ(r.status, 1) << other;
    EXPECT_EQ(r.output, "");
    EXPECT_NE(r.errors.find("is a part of another run"), std::string::npos) << r.errors;
  }
  ToolResult r = runTalmira({"merge", plain, parts[0], parts[1]});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.errors.find("with --sweep --grid 20, where " + plain), std::string::npos) << r.errors;

  // A shard writes only its partial result; --plot and --grid need --sweep.
  r = runTalmira({"batch", list, "--sweep", "--shard", "1/3", "--plot", dir.file("x.svg")});
  EXPECT_EQ(r.status, 2);
  EXPECT_FALSE(std::filesystem::exists(dir.file("x.svg")));
  EXPECT_EQ(runTalmira({"batch", list, "--grid", "5"}).status, 2);
  EXPECT_EQ(runTalmira({"batch", list, "--plot", dir.file("x.svg")}).status, 2);

  // A damaged pool is refused, not summed.
  auto damaged = nlohmann::json::parse(readFile(parts[2]));
  auto& points = damaged["pooled_curves"][0]["points"];
  std::swap(points[1], points[2]);
  r = runTalmira({"merge", dir.write("swapped.json", damaged.dump()), parts[0], parts[1]});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.errors.find("the pooled curve of All is not descending"), std::string::npos)
      << r.errors;
}

}  // namespace
}  // namespace talmira_test

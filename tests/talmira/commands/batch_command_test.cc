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

// ---------------------------------------------------------------------------
// --explain

using nlohmann::json;

const std::vector<std::string> kMissCauses = {"no_system_frame",   "class_confusion",
                                              "dropped_in_region", "below_threshold",
                                              "localization",      "missed"};
const std::vector<std::string> kFalseAlarmCauses = {"class_confusion", "duplicate", "localization",
                                                    "background"};
constexpr double kUnit = 1.0 / 67108864.0;  // the pairs' overlaps are whole numbers of 2^-26

// A dataset of `count` sequences named seq0, seq1, ...: the even ones the
// grid pairs of writePair, the odd ones the adversarial pairs of
// randomFilePair (flags, don't-care regions, frames on one side only, frame
// numbers that come back), so that every cause turns up.
std::string writeExplainDataset(const TempDir& dir, int count, unsigned seed,
                                const std::string& extra = "") {
  std::printf("random explain dataset: %d sequences, seed %u\n", count, seed);
  std::string list = "sequence,groundtruth,system\n";
  for (int i = 0; i < count; ++i) {
    const std::string stem = "seq" + std::to_string(i);
    if (i % 2 == 0) {
      writePair(dir, stem, seed + static_cast<unsigned>(i));
    } else {
      const FilePair pair = randomFilePair(seed + static_cast<unsigned>(i), 10, 12);
      dir.write(stem + "_gt.csv", pair.groundTruth);
      dir.write(stem + "_sys.csv", pair.system);
    }
    list += stem + "," + stem + "_gt.csv," + stem + "_sys.csv\n";
  }
  return dir.write("list.csv", list + extra);
}

std::string fixed(double value) {
  char text[64];
  std::snprintf(text, sizeof text, "%f", value);
  return text;
}

// 1 - (FN + FP) / GT as the JSON carries it: single precision, the floor,
// 1 for a class without objects or false alarms.
float nmodtaValue(long long gt, long long fn, long long fp) {
  if (gt == 0 && fp == 0) return 1.0f;
  if (gt == 0) return -100000.0f;
  return std::max(-100000.0f,
                  static_cast<float>(1.0 - static_cast<double>(fn + fp) / static_cast<double>(gt)));
}

// The pooled class of a dataset, summed here from each sequence's
// `talmira explain --format json` class.
struct PooledClass {
  long long gt = 0, det = 0, fn = 0, fp = 0, frames = 0, pairs = 0, overlapUnits = 0, iouUnits = 0;
  std::map<std::string, long long> misses, falseAlarms;
  std::vector<long long> histogram = std::vector<long long>(8, 0);

  void add(const json& c) {
    gt += c["gt"].get<long long>();
    det += c["det"].get<long long>();
    fn += c["fn"].get<long long>();
    fp += c["fp"].get<long long>();
    frames += c["frames"].get<long long>();
    for (const std::string& cause : kMissCauses)
      misses[cause] += c["misses"][cause].get<long long>();
    for (const std::string& cause : kFalseAlarmCauses) {
      falseAlarms[cause] += c["false_alarms"][cause].get<long long>();
    }
    const long long count = c["pairs"]["count"].get<long long>();
    pairs += count;
    // The means are exact sums of units over the count, printed so that they
    // read back as the same double: the sums come back whole.
    if (count > 0) {
      overlapUnits += std::llround(c["pairs"]["mean_overlap"].get<double>() *
                                   static_cast<double>(count) / kUnit);
      iouUnits +=
          std::llround(c["pairs"]["mean_iou"].get<double>() * static_cast<double>(count) / kUnit);
    }
    for (int bin = 0; bin < 8; ++bin)
      histogram[bin] += c["pairs"]["histogram"][bin].get<long long>();
  }

  json cost(long long count) const {
    return gt == 0 ? json(nullptr) : json(static_cast<double>(count) / static_cast<double>(gt));
  }
  std::string costText(long long count) const {
    return gt == 0 ? "" : fixed(static_cast<double>(count) / static_cast<double>(gt));
  }
  json mean(long long units) const {
    return pairs == 0 ? json(nullptr)
                      : json(static_cast<double>(units) * kUnit / static_cast<double>(pairs));
  }
};

// The `class,side,cause,count,cost` rows of a pooled class.
std::string pooledCsvRows(const std::string& prefix, const std::string& name,
                          const PooledClass& c) {
  std::string rows;
  for (const std::string& cause : kMissCauses) {
    rows += prefix + name + ",miss," + cause + "," + std::to_string(c.misses.at(cause)) + "," +
            c.costText(c.misses.at(cause)) + "\n";
  }
  for (const std::string& cause : kFalseAlarmCauses) {
    rows += prefix + name + ",false_alarm," + cause + "," +
            std::to_string(c.falseAlarms.at(cause)) + "," + c.costText(c.falseAlarms.at(cause)) +
            "\n";
  }
  return rows;
}

// The lines of `text` from the one after `title` up to the next blank line.
std::vector<std::string> section(const std::string& text, const std::string& title) {
  const std::vector<std::string> all = lines(text);
  auto at = std::find(all.begin(), all.end(), title);
  std::vector<std::string> found;
  if (at == all.end()) return found;
  for (++at; at != all.end() && !at->empty(); ++at) found.push_back(*at);
  return found;
}

TEST(BatchExplainTest, PooledCausesAreTheSumsOfEachSequencesExplainForAnyNumberOfThreads) {
  const unsigned seed = 61;
  SCOPED_TRACE("seed " + std::to_string(seed));
  TempDir dir;
  const int count = 8;
  const std::string list = writeExplainDataset(dir, count, seed);
  const std::vector<std::string> settings = {"-c", "0.3", "--near", "0.15"};
  const auto batch = [&](const std::string& format, const std::string& jobs) {
    std::vector<std::string> args = {"batch", list, "--explain", "--format", format, "-j", jobs};
    args.insert(args.end(), settings.begin(), settings.end());
    return runTalmira(args);
  };
  const ToolResult jsonRun = batch("json", "1");
  ASSERT_EQ(jsonRun.status, 0) << jsonRun.errors;
  const json result = json::parse(jsonRun.output);
  EXPECT_EQ(result["list"], list);
  EXPECT_EQ(result["confidence"], json::parse("0.3"));
  EXPECT_EQ(result["near"], json::parse("0.15"));
  ASSERT_EQ(result["sequences"].size(), static_cast<std::size_t>(count));

  // Each sequence as `talmira explain` explains it alone (on its default
  // threads, so often streamed, where batch -j 1 reads whole), summed here.
  std::vector<PooledClass> pooled(kClasses.size());
  std::vector<std::vector<long long>> matrix(11, std::vector<long long>(11, 0));
  long long setAside = 0, excluded = 0, dropped = 0;
  std::string expectedCsv = "sequence,class,side,cause,count,cost\n";
  std::vector<std::pair<long long, std::string>> errorsOfAll;  // FN + FP of All, name
  for (int i = 0; i < count; ++i) {
    const std::string stem = "seq" + std::to_string(i);
    std::vector<std::string> args = {"explain", dir.file(stem + "_gt.csv"),
                                     dir.file(stem + "_sys.csv"), "--format", "json"};
    args.insert(args.end(), settings.begin(), settings.end());
    const ToolResult alone = runTalmira(args);
    ASSERT_EQ(alone.status, 0) << alone.errors;
    const json explained = json::parse(alone.output);
    const json& mine = result["sequences"][i];
    EXPECT_EQ(mine["sequence"], stem);
    EXPECT_EQ(mine["classes"], explained["classes"]) << stem;
    EXPECT_EQ(mine["confusion"], explained["confusion"]) << stem;
    for (std::size_t c = 0; c < kClasses.size(); ++c) pooled[c].add(explained["classes"][c]);
    for (int r = 0; r < 11; ++r) {
      for (int k = 0; k < 11; ++k)
        matrix[r][k] += explained["confusion"]["matrix"][r][k].get<long long>();
    }
    setAside += explained["confusion"]["set_aside"].get<long long>();
    excluded += explained["confusion"]["excluded"].get<long long>();
    dropped += explained["confusion"]["dropped_in_region"].get<long long>();
    args[4] = "csv";
    const ToolResult csv = runTalmira(args);
    ASSERT_EQ(csv.status, 0) << csv.errors;
    for (const std::string& row : lines(csv.output)) {
      if (row.rfind("class,", 0) != 0) expectedCsv += stem + "," + row + "\n";
    }
    const json& all = explained["classes"][0];
    errorsOfAll.emplace_back(all["fn"].get<long long>() + all["fp"].get<long long>(), stem);
  }

  const json& total = result["total"];
  EXPECT_EQ(total["sequences"], count);
  EXPECT_EQ(total["failed"], 0);
  for (std::size_t c = 0; c < kClasses.size(); ++c) {
    const PooledClass& p = pooled[c];
    const json& got = total["classes"][c];
    SCOPED_TRACE(kClasses[c]);
    EXPECT_EQ(got["class"], kClasses[c]);
    EXPECT_EQ(got["gt"], p.gt);
    EXPECT_EQ(got["det"], p.det);
    EXPECT_EQ(got["fn"], p.fn);
    EXPECT_EQ(got["fp"], p.fp);
    EXPECT_EQ(got["frames"], p.frames);
    EXPECT_EQ(static_cast<float>(got["nmodta"].get<double>()), nmodtaValue(p.gt, p.fn, p.fp));
    long long misses = 0, falseAlarms = 0;
    for (const std::string& cause : kMissCauses) {
      EXPECT_EQ(got["misses"][cause], p.misses.at(cause)) << cause;
      EXPECT_EQ(got["costs"]["misses"][cause], p.cost(p.misses.at(cause))) << cause;
      misses += p.misses.at(cause);
    }
    for (const std::string& cause : kFalseAlarmCauses) {
      EXPECT_EQ(got["false_alarms"][cause], p.falseAlarms.at(cause)) << cause;
      EXPECT_EQ(got["costs"]["false_alarms"][cause], p.cost(p.falseAlarms.at(cause))) << cause;
      falseAlarms += p.falseAlarms.at(cause);
    }
    // Every error has one cause, and the pairs are the objects not missed.
    EXPECT_EQ(misses, p.fn);
    EXPECT_EQ(falseAlarms, p.fp);
    EXPECT_EQ(got["pairs"]["count"], p.pairs);
    EXPECT_EQ(p.pairs, p.gt - p.fn);
    EXPECT_EQ(got["pairs"]["histogram"], json(p.histogram));
    EXPECT_EQ(got["pairs"]["mean_overlap"], p.mean(p.overlapUnits));
    EXPECT_EQ(got["pairs"]["mean_iou"], p.mean(p.iouUnits));
    expectedCsv += pooledCsvRows("(all),", kClasses[c], p);
  }
  EXPECT_EQ(total["confusion"]["matrix"], json(matrix));
  EXPECT_EQ(total["confusion"]["set_aside"], setAside);
  EXPECT_EQ(total["confusion"]["excluded"], excluded);
  EXPECT_EQ(total["confusion"]["dropped_in_region"], dropped);
  // The data is rich enough for the sums to mean something.
  EXPECT_GT(pooled[0].fn, 0);
  EXPECT_GT(pooled[0].fp, 0);
  EXPECT_GT(pooled[0].misses.at("no_system_frame") + pooled[0].misses.at("dropped_in_region"), 0);
  EXPECT_GT(pooled[1].misses.at("class_confusion"), 0);
  EXPECT_GT(setAside + excluded + dropped, 0);

  const ToolResult csvRun = batch("csv", "1");
  ASSERT_EQ(csvRun.status, 0) << csvRun.errors;
  EXPECT_EQ(csvRun.output, expectedCsv);

  // Text: the sequences that cost most, by FN + FP of All, ties in list order.
  const ToolResult textRun = batch("text", "1");
  ASSERT_EQ(textRun.status, 0) << textRun.errors;
  EXPECT_NE(textRun.output.find("Why points were lost, pooled over 8 sequences:\n"),
            std::string::npos)
      << textRun.output;
  std::stable_sort(errorsOfAll.begin(), errorsOfAll.end(),
                   [](const auto& a, const auto& b) { return a.first > b.first; });
  const std::vector<std::string> costly = section(
      textRun.output, "Sequences that lost most points of All (cost = (FN + FP) / pooled GT):");
  const auto withErrors = static_cast<std::size_t>(std::count_if(
      errorsOfAll.begin(), errorsOfAll.end(), [](const auto& e) { return e.first > 0; }));
  ASSERT_GT(withErrors, 1u);
  ASSERT_EQ(costly.size(), 1 + std::min<std::size_t>(withErrors, 10)) << textRun.output;
  for (std::size_t r = 1; r < costly.size(); ++r) {
    const auto& [errors, name] = errorsOfAll[r - 1];
    const std::string cost = fixed(static_cast<double>(errors) / static_cast<double>(pooled[0].gt));
    EXPECT_EQ(costly[r].rfind(name + " ", 0), 0u) << costly[r];
    EXPECT_EQ(costly[r].substr(costly[r].size() - cost.size()), cost) << costly[r];
  }

  // -j 16 leaves two threads to each sequence, which then streams its files.
  for (const std::string format : {"text", "csv", "json"}) {
    const ToolResult one = batch(format, "1");
    for (const std::string jobs : {"3", "16"}) {
      const ToolResult other = batch(format, jobs);
      ASSERT_EQ(other.status, 0) << other.errors;
      EXPECT_EQ(one.output, other.output) << format << " with -j " << jobs;
    }
  }
}

TEST(BatchExplainTest, FailedSequencesAreLeftOutAndFoldersWork) {
  TempDir dir;
  dir.write("bad.csv", kHeader + "1,0,0,10,0,10,10,0,10,Car,FALSE,FALSE,not-a-number,,\n");
  const std::string good = writeExplainDataset(dir, 3, 71);
  const ToolResult alone = runTalmira({"batch", good, "--explain", "--format", "csv"});
  ASSERT_EQ(alone.status, 0) << alone.errors;
  const ToolResult aloneJson = runTalmira({"batch", good, "--explain", "--format", "json"});
  const std::string both =
      dir.write("both.csv",
                "sequence,groundtruth,system\nseq0,seq0_gt.csv,seq0_sys.csv\n"
                "missing,nowhere_gt.csv,seq0_sys.csv\nseq1,seq1_gt.csv,seq1_sys.csv\n"
                "malformed,seq1_gt.csv,bad.csv\nseq2,seq2_gt.csv,seq2_sys.csv\n");
  const ToolResult csv = runTalmira({"batch", both, "--explain", "--format", "csv", "-j", "2"});
  EXPECT_EQ(csv.status, 1);
  EXPECT_EQ(csv.output, alone.output);
  const std::vector<std::string> messages = lines(csv.errors);
  ASSERT_EQ(messages.size(), 3u) << csv.errors;
  EXPECT_NE(messages[0].find("nowhere_gt.csv: cannot open"), std::string::npos) << messages[0];
  EXPECT_EQ(messages[1].rfind(dir.file("bad.csv") + ":2:", 0), 0u) << messages[1];
  EXPECT_EQ(messages[2], "talmira batch: 2 of 5 sequences failed; they are left out of the totals");

  const ToolResult jsonRun = runTalmira({"batch", both, "--explain", "--format", "json"});
  EXPECT_EQ(jsonRun.status, 1);
  const json out = json::parse(jsonRun.output);
  ASSERT_EQ(out["sequences"].size(), 5u);
  EXPECT_EQ(out["sequences"][3], json({{"sequence", "malformed"}, {"error", messages[1]}}));
  EXPECT_EQ(out["total"]["failed"], 2);
  EXPECT_EQ(out["total"]["classes"], json::parse(aloneJson.output)["total"]["classes"]);
  EXPECT_EQ(out["total"]["confusion"], json::parse(aloneJson.output)["total"]["confusion"]);

  const ToolResult text = runTalmira({"batch", both, "--explain"});
  EXPECT_EQ(text.status, 1);
  EXPECT_NE(text.output.find("5 sequences, 2 failed (left out of the totals)"), std::string::npos)
      << text.output;
  EXPECT_NE(text.output.find("\nFailed:\nmissing: "), std::string::npos) << text.output;

  // Folders give the same sequences their same causes.
  std::filesystem::create_directories(dir.path() / "gt");
  std::filesystem::create_directories(dir.path() / "sys");
  for (const std::string name : {"seq0", "seq1", "seq2"}) {
    std::filesystem::copy_file(dir.file(name + "_gt.csv"), dir.path() / "gt" / (name + ".csv"));
    std::filesystem::copy_file(dir.file(name + "_sys.csv"), dir.path() / "sys" / (name + ".txt"));
  }
  const ToolResult folders = runTalmira({"batch", "--gt-dir", dir.file("gt"), "--sys-dir",
                                         dir.file("sys"), "--explain", "--format", "csv"});
  ASSERT_EQ(folders.status, 0) << folders.errors;
  EXPECT_EQ(folders.output, alone.output);
}

TEST(BatchExplainTest, ShardsMergeIntoTheSingleRunAndMixedPartsAreRefused) {
  TempDir dir;
  dir.write("bad.csv", kHeader + "1,0,0,10,0,10,10,0,10,Car,FALSE,FALSE,high,,\n");
  const std::string list =
      writeExplainDataset(dir, 8, 83, "\"broken, badly\",seq0_gt.csv,bad.csv\n");
  const std::vector<std::string> settings = {"--explain", "-c", "0.2", "--near", "0.05"};
  const auto withSettings = [&](std::vector<std::string> args) {
    args.insert(args.begin() + 2, settings.begin(), settings.end());
    return runTalmira(args);
  };
  std::vector<std::string> parts;
  for (const std::string k : {"2", "3", "1"}) {
    const std::string part = dir.file("part" + k + ".json");
    const ToolResult r = withSettings({"batch", list, "--shard", k + "/3", "-o", part, "-j", "2"});
    EXPECT_EQ(r.status, k == "3" ? 1 : 0) << r.errors;  // 3/3 holds position 8, broken
    parts.push_back(part);
  }
  const json part1 = json::parse(readFile(parts[2]));
  EXPECT_EQ(part1["explain"], true);
  EXPECT_EQ(part1["near"], json::parse("0.05"));
  EXPECT_TRUE(part1["sequences"][0].contains("explanation"));

  for (const std::string format : {"text", "csv", "json"}) {
    const ToolResult single = withSettings({"batch", list, "--format", format});
    EXPECT_EQ(single.status, 1);
    std::vector<std::string> args = {"merge", "--format", format};
    args.insert(args.end(), parts.begin(), parts.end());
    const ToolResult merged = runTalmira(args);
    EXPECT_EQ(merged.status, 1) << merged.errors;
    EXPECT_EQ(merged.output, single.output) << format;
    EXPECT_EQ(lines(merged.errors).back(),
              "talmira merge: 1 of 9 sequences failed; they are left out of the totals");
  }

  // Parts of a plain run, of a sweep, or with another --near do not mix.
  const std::string plain = dir.file("plain.json");
  const std::string swept = dir.file("swept.json");
  const std::string otherNear = dir.file("near.json");
  runTalmira({"batch", list, "-c", "0.2", "--shard", "1/3", "-o", plain});
  runTalmira({"batch", list, "-c", "0.2", "--sweep", "--shard", "1/3", "-o", swept});
  runTalmira({"batch", list, "--explain", "-c", "0.2", "--shard", "1/3", "-o", otherNear});
  for (const std::string& other : {plain, swept, otherNear}) {
    const ToolResult r = runTalmira({"merge", parts[0], parts[1], other});
    EXPECT_EQ(r.status, 1) << other;
    EXPECT_EQ(r.output, "");
    EXPECT_NE(r.errors.find("is a part of another run"), std::string::npos) << r.errors;
  }
  ToolResult r = runTalmira({"merge", otherNear, parts[0], parts[1]});
  EXPECT_NE(r.errors.find("with --explain --near 0.05, where " + otherNear + " is of list " + list),
            std::string::npos)
      << r.errors;
  EXPECT_NE(r.errors.find("with --explain --near 0.1\n"), std::string::npos) << r.errors;
  r = runTalmira({"merge", plain, parts[0], parts[1]});
  EXPECT_NE(r.errors.find("without --sweep or --explain\n"), std::string::npos) << r.errors;

  // A damaged explanation is refused, not summed: a cause moved to the
  // other side no longer adds up to the counts.
  json damaged = json::parse(readFile(parts[2]));
  json& classes = damaged["sequences"][0]["explanation"]["classes"];
  std::size_t slot = 0;
  while (slot < classes.size() && classes[slot]["misses"][5] == 0) ++slot;
  ASSERT_LT(slot, classes.size()) << "no plain miss in the first sequence of part 1";
  classes[slot]["misses"][5] = classes[slot]["misses"][5].get<long long>() - 1;
  classes[slot]["false_alarms"][3] = classes[slot]["false_alarms"][3].get<long long>() + 1;
  r = runTalmira({"merge", dir.write("moved.json", damaged.dump()), parts[0], parts[1]});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.output, "");
  EXPECT_NE(r.errors.find("moved.json: not a partial batch result: the explanation of seq0"),
            std::string::npos)
      << r.errors;
  damaged = json::parse(readFile(parts[2]));
  json& cell = damaged["sequences"][0]["explanation"]["confusion"]["matrix"][10][0];
  cell = cell.get<long long>() + 1;
  r = runTalmira({"merge", dir.write("matrix.json", damaged.dump()), parts[0], parts[1]});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.errors.find("the confusion matrix of seq0 does not add up to All's counts"),
            std::string::npos)
      << r.errors;

  // No page yet for a dataset's causes, and no sweep with them: usage errors
  // before anything is read; merge refuses the page too, writing nothing.
  r = runTalmira({"batch", list, "--explain", "--report", dir.file("page.html")});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.errors,
            "talmira batch: --report with --explain is not available yet; use the per-sequence "
            "talmira explain --report\n");
  r = runTalmira({"batch", list, "--explain", "--sweep"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.errors.find("--explain and --sweep do not go together"), std::string::npos)
      << r.errors;
  EXPECT_EQ(runTalmira({"batch", list, "--near", "0.2"}).status, 2);
  std::vector<std::string> args = {"merge", "--report", dir.file("page.html")};
  args.insert(args.end(), parts.begin(), parts.end());
  r = runTalmira(args);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.output, "");
  EXPECT_NE(r.errors.find("--report with --explain is not available yet"), std::string::npos)
      << r.errors;
  EXPECT_FALSE(std::filesystem::exists(dir.file("page.html")));
}

}  // namespace
}  // namespace talmira_test

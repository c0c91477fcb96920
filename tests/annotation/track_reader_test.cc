// The reader of tracks: the benchmark files of the conformance corpus read
// box for box as an independent strtod reading of their lines gives them,
// the layouts told apart, every refusal worded with its file and line, the
// ordering by frame, the seqinfo.ini beside a file, and random files of
// random doubles read back to the same doubles.
#include "annotation/track_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/test_support.h"

namespace {

using talmira_test::readFile;
using talmira_test::TempDir;
using tracking::framedTracks;
using tracking::readTrackFile;
using tracking::sequenceLengthBeside;
using tracking::TrackBox;
using tracking::TrackFile;
using tracking::TrackLayout;
using tracking::TrackReadError;
using tracking::TrackReadRequest;

constexpr AnnotationRole kTruth = AnnotationRole::kGroundTruth;
constexpr AnnotationRole kSystem = AnnotationRole::kSystem;

TrackFile readText(const TempDir& dir, const std::string& text, TrackLayout layout,
                   AnnotationRole role, const std::string& name = "t.txt") {
  return readTrackFile({dir.write(name, text), layout, role});
}

// The message of the TrackReadError that reading `text` throws; "" when it
// reads.
std::string refusal(const TempDir& dir, const std::string& text, TrackLayout layout,
                    AnnotationRole role, const std::string& name = "t.txt") {
  try {
    readText(dir, text, layout, role, name);
  } catch (const TrackReadError& e) {
    return e.what();
  }
  return "";
}

std::string framingRefusal(TrackFile file, uint32_t length) {
  try {
    framedTracks(std::move(file), length);
  } catch (const TrackReadError& e) {
    return e.what();
  }
  return "";
}

// ---------------------------------------------------------------------------
// The conformance corpus.

std::string corpusDir() {
  const char* given = std::getenv("TALMIRA_CONFORMANCE_DIR");
  return given != nullptr ? given : TALMIRA_FORMATS_DATA "/../../../../shared/conformance";
}

// Skips the test, or fails it in CI, when the corpus is not there.
#define REQUIRE_CORPUS_FILE(path)                                                                  \
  do {                                                                                             \
    if (!std::filesystem::exists(path)) {                                                          \
      if (std::getenv("CI") != nullptr) FAIL() << "the conformance corpus is missing: " << (path); \
      GTEST_SKIP() << "no conformance corpus at " << corpusDir() << " (" << (path)                 \
                   << " is missing)";                                                              \
    }                                                                                              \
  } while (false)

// A line of a MOT file as an independent reading takes it: split at commas,
// each value through strtod.
std::vector<std::vector<double>> strtodRows(const std::string& path) {
  std::vector<std::vector<double>> rows;
  std::istringstream in(readFile(path));
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.find_first_not_of(" \t") == std::string::npos) continue;
    std::vector<double> values;
    std::istringstream fields(line);
    std::string field;
    while (std::getline(fields, field, ',')) {
      char* end = nullptr;
      values.push_back(std::strtod(field.c_str(), &end));
      EXPECT_EQ(*end, '\0') << path << ": " << line;
    }
    rows.push_back(values);
  }
  return rows;
}

// Every box of `file` as the strtod reading of its line gives it, the line
// numbers counting only the lines that are not empty (the corpus has no
// empty lines inside).
void expectRowsRead(const TrackFile& file, const std::vector<std::vector<double>>& rows, bool truth,
                    bool labels) {
  ASSERT_EQ(file.boxes.size(), rows.size()) << file.source;
  ASSERT_EQ(file.frames.size(), rows.size());
  for (std::size_t k = 0; k < rows.size(); ++k) {
    const std::vector<double>& row = rows[k];
    const TrackBox& box = file.boxes[k];
    SCOPED_TRACE(file.source + ":" + std::to_string(k + 1));
    EXPECT_EQ(box.line, k + 1);
    EXPECT_EQ(file.frames[k], static_cast<uint32_t>(row[0]));
    EXPECT_EQ(box.id, static_cast<int64_t>(row[1]));
    EXPECT_EQ(box.left, row[2]);
    EXPECT_EQ(box.top, row[3]);
    EXPECT_EQ(box.right, row[2] + row[4]);
    EXPECT_EQ(box.bottom, row[3] + row[5]);
    if (truth) {
      EXPECT_EQ(box.considered, row[6] != 0.0);
      EXPECT_EQ(box.confidence, -1.0f);
    } else {
      EXPECT_TRUE(box.considered);
      EXPECT_EQ(box.confidence, static_cast<float>(row[6]));
    }
    EXPECT_EQ(box.label, labels ? static_cast<int32_t>(row[7]) : -1);
  }
}

TEST(TrackReaderCorpusTest, Mot17FilesReadBoxForBoxAsMot16) {
  for (const char* sequence : {"MOT17-02-FRCNN", "MOT17-05-FRCNN", "MOT17-09-FRCNN"}) {
    const std::string dir = corpusDir() + "/mot17/" + sequence;
    REQUIRE_CORPUS_FILE(dir + "/gt.txt");
    const TrackFile truth = readTrackFile({dir + "/gt.txt", TrackLayout::kAutomatic, kTruth});
    EXPECT_EQ(truth.layout, TrackLayout::kMot16) << sequence;
    expectRowsRead(truth, strtodRows(dir + "/gt.txt"), true, true);
    EXPECT_TRUE(truth.warnings.empty());
    // Rows that are not considered and classes other than pedestrians are
    // kept: the evaluator's preprocessing needs them.
    EXPECT_TRUE(std::any_of(truth.boxes.begin(), truth.boxes.end(),
                            [](const TrackBox& b) { return !b.considered; }));
    EXPECT_TRUE(std::any_of(truth.boxes.begin(), truth.boxes.end(),
                            [](const TrackBox& b) { return b.label == 8; }));

    const TrackFile tracker =
        readTrackFile({dir + "/MPNTrack.txt", TrackLayout::kAutomatic, kSystem});
    EXPECT_EQ(tracker.layout, TrackLayout::kMot16) << sequence;
    expectRowsRead(tracker, strtodRows(dir + "/MPNTrack.txt"), false, true);
    // The same boxes when the layout is given.
    const TrackFile given = readTrackFile({dir + "/MPNTrack.txt", TrackLayout::kMot16, kSystem});
    expectRowsRead(given, strtodRows(dir + "/MPNTrack.txt"), false, true);
  }
}

TEST(TrackReaderCorpusTest, MpnTrackFirstLineKeepsEveryDigit) {
  const std::string path = corpusDir() + "/mot17/MOT17-02-FRCNN/MPNTrack.txt";
  REQUIRE_CORPUS_FILE(path);
  // 1,0.0,586.474853515625,444.63348388671875,85.74639892578125,265.226318359375,1,-1,-1,-1
  const TrackFile file = readTrackFile({path, TrackLayout::kAutomatic, kSystem});
  ASSERT_FALSE(file.boxes.empty());
  const TrackBox& box = file.boxes[0];
  EXPECT_EQ(file.frames[0], 1u);
  EXPECT_EQ(box.id, 0);
  EXPECT_EQ(box.left, std::strtod("586.474853515625", nullptr));
  EXPECT_EQ(box.top, std::strtod("444.63348388671875", nullptr));
  EXPECT_EQ(box.right,
            std::strtod("586.474853515625", nullptr) + std::strtod("85.74639892578125", nullptr));
  EXPECT_EQ(box.bottom,
            std::strtod("444.63348388671875", nullptr) + std::strtod("265.226318359375", nullptr));
  EXPECT_EQ(box.confidence, 1.0f);
  EXPECT_EQ(box.label, -1);
  // A value rounded to whole pixels, or read in single precision, differs.
  EXPECT_NE(box.left, std::round(box.left));
  ASSERT_GE(file.boxes.size(), 2u);
  EXPECT_EQ(file.boxes[1].left, std::strtod("1099.0672607421877", nullptr));
  EXPECT_NE(file.boxes[1].left, static_cast<double>(static_cast<float>(file.boxes[1].left)));
  // 1,2.0,442.5414733886719,445.0693664550781,109.45718383789062,277.86392211914057,...: more
  // digits than a double holds; the nearest double of the text.
  ASSERT_GE(file.boxes.size(), 3u);
  EXPECT_EQ(file.boxes[2].id, 2);
  EXPECT_EQ(file.boxes[2].bottom,
            std::strtod("445.0693664550781", nullptr) + std::strtod("277.86392211914057", nullptr));
}

TEST(TrackReaderCorpusTest, TudCampusReadsAsMot15) {
  const std::string dir = corpusDir() + "/mot15/TUD-Campus";
  REQUIRE_CORPUS_FILE(dir + "/gt.txt");
  const TrackFile truth = readTrackFile({dir + "/gt.txt", TrackLayout::kAutomatic, kTruth});
  EXPECT_EQ(truth.layout, TrackLayout::kMot15);
  expectRowsRead(truth, strtodRows(dir + "/gt.txt"), true, false);
  const TrackFile tracker = readTrackFile({dir + "/test.txt", TrackLayout::kAutomatic, kSystem});
  expectRowsRead(tracker, strtodRows(dir + "/test.txt"), false, false);
  // Its confidences are -1 throughout: none given.
  EXPECT_TRUE(std::all_of(tracker.boxes.begin(), tracker.boxes.end(),
                          [](const TrackBox& b) { return b.confidence == -1.0f; }));
  // Given, the layout reads the same boxes.
  expectRowsRead(readTrackFile({dir + "/gt.txt", TrackLayout::kMot15, kTruth}),
                 strtodRows(dir + "/gt.txt"), true, false);
  // No seqinfo.ini there: the length is the last frame of either file.
  EXPECT_EQ(sequenceLengthBeside(dir + "/gt.txt"), std::nullopt);
  EXPECT_EQ(std::max(truth.lastFrame(), tracker.lastFrame()), 71u);  // TrackEval's CLR_Frames
}

TEST(TrackReaderCorpusTest, Mot17FramedBySeqinfoLength) {
  for (const char* sequence : {"MOT17-02-FRCNN", "MOT17-05-FRCNN", "MOT17-09-FRCNN"}) {
    const std::string dir = corpusDir() + "/mot17/" + sequence;
    REQUIRE_CORPUS_FILE(dir + "/seqinfo.ini");
    // The seqLength line of the ini, read here by a plain search.
    const std::string ini = readFile(dir + "/seqinfo.ini");
    const std::size_t at = ini.find("seqLength=");
    ASSERT_NE(at, std::string::npos);
    const auto expected = static_cast<uint32_t>(std::stoul(ini.substr(at + 10)));
    const std::optional<uint32_t> length = sequenceLengthBeside(dir + "/gt.txt");
    ASSERT_EQ(length, expected) << sequence;
    for (const auto& [name, role] : {std::pair{"gt.txt", kTruth}, {"MPNTrack.txt", kSystem}}) {
      TrackFile file = readTrackFile({dir + "/" + name, TrackLayout::kAutomatic, role});
      EXPECT_LE(file.lastFrame(), *length);
      std::map<uint32_t, std::vector<uint64_t>> linesOfFrame;
      for (std::size_t k = 0; k < file.boxes.size(); ++k) {
        linesOfFrame[file.frames[k]].push_back(file.boxes[k].line);
      }
      const std::size_t count = file.boxes.size();
      const tracking::TrackSequence framed = framedTracks(std::move(file), *length);
      ASSERT_EQ(framed.boxes.size(), count);
      ASSERT_EQ(framed.frameStart.size(), framed.frames.size() + 1u);
      ASSERT_EQ(framed.frames.size(), linesOfFrame.size());
      for (uint32_t f = 1; f <= *length; ++f) {
        std::vector<uint64_t> lines;
        for (uint64_t k = framed.frameBegin(f); k < framed.frameEnd(f); ++k) {
          lines.push_back(framed.boxes[k].line);
        }
        ASSERT_EQ(lines, linesOfFrame[f]) << sequence << " " << name << " frame " << f;
      }
    }
  }
}

// ---------------------------------------------------------------------------
// Layouts.

TEST(TrackReaderLayoutTest, AutomaticTellsMot15FromMot16GroundTruth) {
  TempDir dir;
  const auto layoutOf = [&](const std::string& text) {
    return readText(dir, text, TrackLayout::kAutomatic, kTruth).layout;
  };
  // MOT16/17/20: nine columns, the class in column 8.
  EXPECT_EQ(layoutOf("1,1,912,484,97,109,0,7,1\n2,1,17,150,77,191,1,1,0.25\n"),
            TrackLayout::kMot16);
  EXPECT_EQ(layoutOf("1,1,912,484,97,109,0,7\n"), TrackLayout::kMot16);
  // MOT15 2D: world coordinates unknown (-1).
  EXPECT_EQ(layoutOf("1,1,399,182,121,229,1,-1,-1,-1\n"), TrackLayout::kMot15);
  // MOT15 3D (TUD-Stadtmitte): world coordinates in 8 to 10.
  EXPECT_EQ(layoutOf("1,1,399,182,121,229,1,4.4852,2.8163,0\n"), TrackLayout::kMot15);
  // Whole world coordinates in column 8 on every line but one.
  EXPECT_EQ(layoutOf("1,1,399,182,121,229,1,3,2.5,0\n2,1,399,182,121,229,1,4,7.25,0\n"
                     "3,1,399,182,121,229,1,4.5,7.25,0\n"),
            TrackLayout::kMot15);
  // Column 8 plausible classes everywhere, but column 9 is no visibility.
  EXPECT_EQ(layoutOf("1,1,399,182,121,229,1,3,12.5,0\n2,1,399,182,121,229,1,4,-1,-1\n"),
            TrackLayout::kMot15);
  // An empty ground truth reads as MOT16's.
  EXPECT_EQ(layoutOf(""), TrackLayout::kMot16);

  // The labels follow: MOT15 has none.
  const TrackFile mot15 =
      readText(dir, "1,1,399,182,121,229,0,4.4852,2.8163,0\n1,2,1,2,3,4,1,3,1.5,0\n",
               TrackLayout::kAutomatic, kTruth);
  ASSERT_EQ(mot15.boxes.size(), 2u);
  EXPECT_EQ(mot15.boxes[0].label, -1);
  EXPECT_EQ(mot15.boxes[1].label, -1);
  EXPECT_FALSE(mot15.boxes[0].considered);
  EXPECT_TRUE(mot15.boxes[1].considered);
  const TrackFile mot16 = readText(dir, "1,1,912,484,97,109,0,7,1\n1,2,1,2,3,4,1,1,0.5\n",
                                   TrackLayout::kAutomatic, kTruth);
  ASSERT_EQ(mot16.boxes.size(), 2u);
  EXPECT_EQ(mot16.boxes[0].label, 7);
  EXPECT_EQ(mot16.boxes[1].label, 1);
  EXPECT_FALSE(mot16.boxes[0].considered);

  // Ten columns of classes and visibilities: ambiguous, refused with the
  // way out; each layout given reads it.
  const std::string ambiguous = "1,1,10,20,30,40,1,1,0.5,0\n2,1,10,20,30,40,1,2,1,0\n";
  const std::string message = refusal(dir, ambiguous, TrackLayout::kAutomatic, kTruth, "a.txt");
  EXPECT_EQ(message.rfind(dir.file("a.txt") + ": cannot tell MOT15 from MOT16", 0), 0u) << message;
  EXPECT_NE(message.find("give the layout (mot15 or mot16)"), std::string::npos) << message;
  const TrackFile as15 = readText(dir, ambiguous, TrackLayout::kMot15, kTruth);
  EXPECT_EQ(as15.layout, TrackLayout::kMot15);
  EXPECT_EQ(as15.boxes[1].label, -1);
  const TrackFile as16 = readText(dir, ambiguous, TrackLayout::kMot16, kTruth);
  EXPECT_EQ(as16.layout, TrackLayout::kMot16);
  EXPECT_EQ(as16.boxes[1].label, 2);
}

TEST(TrackReaderLayoutTest, AutomaticReadsResultFilesLoosely) {
  TempDir dir;
  // Seven columns: no class.
  const TrackFile seven =
      readText(dir, "1,3,1.5,2.5,10,20,0.75\n", TrackLayout::kAutomatic, kSystem);
  EXPECT_EQ(seven.layout, TrackLayout::kMot16);
  EXPECT_EQ(seven.boxes[0].label, -1);
  EXPECT_EQ(seven.boxes[0].confidence, 0.75f);
  // A class in column 8 wherever given, -1 meaning none.
  const TrackFile classes =
      readText(dir, "1,3,1.5,2.5,10,20,0.75,1,-1,-1\n2,3,1.5,2.5,10,20,-1,-1,-1,-1\n",
               TrackLayout::kAutomatic, kSystem);
  EXPECT_EQ(classes.layout, TrackLayout::kMot16);
  EXPECT_EQ(classes.boxes[0].label, 1);
  EXPECT_EQ(classes.boxes[1].label, -1);
  EXPECT_EQ(classes.boxes[1].confidence, -1.0f);
  // World coordinates in column 8: MOT15, no class on any line.
  const TrackFile world =
      readText(dir, "1,3,1.5,2.5,10,20,0.75,3,2,0\n2,3,1.5,2.5,10,20,0.5,4.4852,2.8,0\n",
               TrackLayout::kAutomatic, kSystem);
  EXPECT_EQ(world.layout, TrackLayout::kMot15);
  EXPECT_EQ(world.boxes[0].label, -1);
  EXPECT_EQ(world.boxes[1].label, -1);
  EXPECT_TRUE(world.boxes[0].considered);
  // Given as MOT16, the same world coordinate is no class.
  EXPECT_EQ(refusal(dir, "1,3,1.5,2.5,10,20,0.75,4.4852,2.8,0\n", TrackLayout::kMot16, kSystem),
            dir.file("t.txt") +
                ":1: column 8: \"4.4852\" is not a class number (a whole number "
                "of 32 bits)");
}

TEST(TrackReaderLayoutTest, VisDroneAndUavdtColumns) {
  TempDir dir;
  // VisDrone-MOT: frame,id,left,top,width,height,score,category,truncation,occlusion.
  const TrackFile visTruth = readText(dir, "1,7,10.5,20,30,40,0,4,0,1\n2,7,11,21,30,40,1,4,0,0\n",
                                      TrackLayout::kVisDrone, kTruth);
  ASSERT_EQ(visTruth.boxes.size(), 2u);
  EXPECT_FALSE(visTruth.boxes[0].considered);
  EXPECT_TRUE(visTruth.boxes[1].considered);
  EXPECT_EQ(visTruth.boxes[0].label, 4);
  EXPECT_EQ(visTruth.boxes[0].right, 40.5);
  EXPECT_EQ(visTruth.boxes[0].confidence, -1.0f);
  const TrackFile visResults =
      readText(dir, "1,7,10.5,20,30,40,0.25,4,-1,-1\n", TrackLayout::kVisDrone, kSystem);
  EXPECT_EQ(visResults.boxes[0].confidence, 0.25f);
  EXPECT_EQ(visResults.boxes[0].label, 4);
  EXPECT_TRUE(visResults.boxes[0].considered);
  EXPECT_EQ(refusal(dir, "1,7,10.5,20,30,40,0.25\n", TrackLayout::kVisDrone, kSystem),
            dir.file("t.txt") +
                ":1: expected at least 8 columns "
                "(frame,id,left,top,width,height,score,category), found 7");
  // UAVDT: frame,id,left,top,width,height,out-of-view,occlusion,category.
  const TrackFile uavTruth = readText(dir, "3,2,10,20,30,40,1,2,1\n", TrackLayout::kUavdt, kTruth);
  EXPECT_EQ(uavTruth.boxes[0].label, 1);
  EXPECT_TRUE(uavTruth.boxes[0].considered);
  EXPECT_EQ(uavTruth.frames[0], 3u);
  const TrackFile uavResults =
      readText(dir, "3,2,10,20,30,40,0.5\n3,3,10,20,30,40,0.5,1,2\n", TrackLayout::kUavdt, kSystem);
  EXPECT_EQ(uavResults.boxes[0].confidence, 0.5f);
  EXPECT_EQ(uavResults.boxes[0].label, -1);
  EXPECT_EQ(uavResults.boxes[1].label, 2);
  EXPECT_EQ(refusal(dir, "3,2,10,20,30,40,1,2\n", TrackLayout::kUavdt, kTruth),
            dir.file("t.txt") +
                ":1: expected at least 9 columns "
                "(frame,id,left,top,width,height,out-of-view,occlusion,category), "
                "found 8");
}

TEST(TrackReaderLayoutTest, KittiTracking) {
  TempDir dir;
  const std::string truth =
      "0 0 Van 0 0 -1.793451 296.744956 161.752147 455.226042 292.372804 2.000000 1.823255 "
      "4.433886 -4.552284 1.858523 13.410495 -2.115488\n"
      "0 -1 DontCare -1 -1 -10.000000 219.310000 188.490000 245.500000 218.560000 -1000.000000 "
      "-1000.000000 -1000.000000 -10.000000 -1.000000 -1.000000 -1.000000\n"
      "0 -1 DontCare -1 -1 -10.000000 47.560000 195.280000 115.480000 221.480000 -1000.000000 "
      "-1000.000000 -1000.000000 -10.000000 -1.000000 -1.000000 -1.000000\n"
      "\n"
      "1 1 Pedestrian 0 0 -1.7 10 20 30 60 1.7 0.6 0.8 1 1 10 -1.6\n"
      "1 0 Van 0 0 -1.793451 297.5 161.75 455.25 292.375 2 1.8 4.4 -4.5 1.8 13.4 -2.1\n";
  const TrackFile file = readText(dir, truth, TrackLayout::kKitti, kTruth);
  EXPECT_EQ(file.layout, TrackLayout::kKitti);
  ASSERT_EQ(file.boxes.size(), 5u);
  EXPECT_EQ(file.labelNames, (std::vector<std::string>{"Van", "DontCare", "Pedestrian"}));
  EXPECT_EQ(file.frames, (std::vector<uint32_t>{1, 1, 1, 2, 2}));
  const TrackBox& van = file.boxes[0];
  EXPECT_EQ(van.id, 0);
  EXPECT_EQ(van.label, 0);
  EXPECT_EQ(van.left, 296.744956);
  EXPECT_EQ(van.top, 161.752147);
  EXPECT_EQ(van.right, 455.226042);  // corners as given
  EXPECT_EQ(van.bottom, 292.372804);
  EXPECT_TRUE(van.considered);
  EXPECT_EQ(van.confidence, -1.0f);
  EXPECT_EQ(file.boxes[1].id, -1);
  EXPECT_FALSE(file.boxes[1].considered);
  EXPECT_EQ(file.boxes[1].label, 1);
  EXPECT_EQ(file.boxes[3].label, 2);
  EXPECT_EQ(file.boxes[3].line, 5u);
  // The DontCare areas share id -1 in a frame; that is no repeat.
  const tracking::TrackSequence framed = framedTracks(TrackFile(file), 2);
  EXPECT_EQ(framed.frameEnd(1), 3u);
  EXPECT_EQ(framed.labelNames, file.labelNames);
  // A result adds its score.
  const TrackFile results =
      readText(dir, "4 2 Car -1 -1 -10 1 2 3 4 -1 -1 -1 -1000 -1000 -1000 -10 0.875\n",
               TrackLayout::kKitti, kSystem);
  EXPECT_EQ(results.frames[0], 5u);
  EXPECT_EQ(results.boxes[0].confidence, 0.875f);
  EXPECT_EQ(results.boxes[0].right, 3.0);
  EXPECT_EQ(refusal(dir, "0 0 Van 0 0 -1.7 296 161 455 292 2 1.8 4.4 -4.5 1.8 13.4\n",
                    TrackLayout::kKitti, kTruth),
            dir.file("t.txt") +
                ":1: expected 17 values (frame track_id type truncated "
                "occluded alpha left top right bottom h w l x y z ry), 18 "
                "with a score; found 16");
  EXPECT_EQ(refusal(dir, "\n-1 0 Van 0 0 -1.7 296 161 455 292 2 1.8 4.4 -4.5 1.8 13.4 -2\n",
                    TrackLayout::kKitti, kTruth),
            dir.file("t.txt") +
                ":2: value 1: \"-1\" is not a frame number (a whole number "
                "from 0 to 4294967294)");
  EXPECT_EQ(refusal(dir, "0 0 Van 0 0 -1.7 296 16x1 455 292 2 1.8 4.4 -4.5 1.8 13.4 -2\n",
                    TrackLayout::kKitti, kTruth),
            dir.file("t.txt") + ":1: value 8: \"16x1\" is not a finite number");
}

TEST(TrackReaderLayoutTest, ThisFormatWithIdentityTexts) {
  TempDir dir;
  const std::string text =
      "frame,x1,y1,x2,y2,x3,y3,x4,y4,type,a,b,confidence,text,number\n"
      "1,10,20,50,20,50,80,10,80,Car,FALSE,FALSE,0.5,track-b,\n"
      "1,0,0,100,0,100,100,0,100,DCR,FALSE,FALSE,1,,\n"  // a region: no box, no identity
      "1,12,22,48,24,46,78,9,81,Person,TRUE,FALSE,0.25,track-a,x\n"
      "2,10,20,50,20,50,80,10,80,Car,FALSE,FALSE,1,track-b,\n"
      "2,10,20,50,20,50,80,10,80,DCF,FALSE,FALSE,1,,\n"
      "3,1,2,3,2,3,4,1,4,,FALSE, TRUE ,0.75, 10 ,\n";
  const TrackFile truth = readText(dir, text, TrackLayout::kTalmira, kTruth, "t.csv");
  EXPECT_EQ(truth.layout, TrackLayout::kTalmira);
  ASSERT_EQ(truth.boxes.size(), 4u);
  EXPECT_EQ(truth.frames, (std::vector<uint32_t>{1, 1, 2, 3}));
  EXPECT_EQ(truth.labelNames, (std::vector<std::string>{"Car", "Person", "DCO"}));
  // Identities in the sorted order of their texts: "10" < "track-a" < "track-b".
  EXPECT_EQ(truth.boxes[0].id, 2);
  EXPECT_EQ(truth.boxes[1].id, 1);
  EXPECT_EQ(truth.boxes[2].id, 2);
  EXPECT_EQ(truth.boxes[3].id, 0);
  // The bounding box of the corners.
  const TrackBox& person = truth.boxes[1];
  EXPECT_EQ(person.left, 9.0);
  EXPECT_EQ(person.top, 22.0);
  EXPECT_EQ(person.right, 48.0);
  EXPECT_EQ(person.bottom, 81.0);
  EXPECT_EQ(person.line, 4u);
  EXPECT_EQ(person.label, 1);
  EXPECT_EQ(person.confidence, 0.25f);
  // A flag set excludes a ground truth's box.
  EXPECT_TRUE(truth.boxes[0].considered);
  EXPECT_FALSE(person.considered);
  EXPECT_FALSE(truth.boxes[3].considered);
  EXPECT_EQ(truth.boxes[3].label, 2);
  // A result's flags do not.
  const TrackFile results = readText(dir, text, TrackLayout::kTalmira, kSystem, "t.csv");
  EXPECT_TRUE(std::all_of(results.boxes.begin(), results.boxes.end(),
                          [](const TrackBox& b) { return b.considered; }));

  EXPECT_EQ(refusal(dir, "header\n1,10,20,50,20,50,80,10,80,Car,FALSE,FALSE,0.5, ,\n",
                    TrackLayout::kTalmira, kTruth),
            dir.file("t.txt") +
                ":2: column 14: no identity (the text of column 14 names the track of a box)");
  EXPECT_EQ(refusal(dir, "header\n\n1,10,20,50,20,50,80,10,80,Car,FALSE,FALSE,0.5,a\n",
                    TrackLayout::kTalmira, kTruth),
            dir.file("t.txt") + ":3: expected 15 columns, found 14");
  EXPECT_EQ(refusal(dir, "header\n0,10,20,50,20,50,80,10,80,Car,FALSE,FALSE,0.5,a,\n",
                    TrackLayout::kTalmira, kTruth),
            dir.file("t.txt") +
                ":2: column 1: \"0\" is not a frame number (a whole number from 1 to 4294967295)");
  // The header is skipped whatever it holds, even a record.
  EXPECT_TRUE(readText(dir, "1,10,20,50,20,50,80,10,80,Car,FALSE,FALSE,0.5,a,\n",
                       TrackLayout::kTalmira, kTruth)
                  .boxes.empty());
}

TEST(TrackReaderLayoutTest, LineConventionsOfTheMotReaders) {
  TempDir dir;
  // CR LF, a lone CR, blank lines (with blanks in them), blanks around
  // values, a comma at the end, a byte order mark, no line end at the end.
  const std::string text =
      "\xEF\xBB\xBF"
      "1, 1, 10.5, 20, 30, 40, 1, 1, 1\r\n"
      "\r\n"
      "  \t \n"
      "2,1,11,21,30,40,1,1,0.5,\r"
      "3 , 1 ,12 ,22 ,30 ,40 ,0 ,1 ,1";
  const TrackFile file = readText(dir, text, TrackLayout::kAutomatic, kTruth);
  EXPECT_EQ(file.layout, TrackLayout::kMot16);
  ASSERT_EQ(file.boxes.size(), 3u);
  EXPECT_EQ(file.frames, (std::vector<uint32_t>{1, 2, 3}));
  EXPECT_EQ(file.boxes[0].left, 10.5);
  EXPECT_EQ(file.boxes[0].right, 40.5);
  EXPECT_EQ(file.boxes[1].line, 4u);
  EXPECT_EQ(file.boxes[2].line, 5u);
  EXPECT_FALSE(file.boxes[2].considered);
  // Values written with blanks between them instead of commas.
  const TrackFile blanks =
      readText(dir, "1 4 10 20 30 40 0.5 -1 -1 -1\n2\t4\t1e1\t2E1\t+30\t40.\t.5\t-1\t-1\t-1\n",
               TrackLayout::kAutomatic, kSystem);
  ASSERT_EQ(blanks.boxes.size(), 2u);
  EXPECT_EQ(blanks.boxes[1].left, 10.0);
  EXPECT_EQ(blanks.boxes[1].top, 20.0);
  EXPECT_EQ(blanks.boxes[1].right, 40.0);
  EXPECT_EQ(blanks.boxes[1].bottom, 60.0);
  EXPECT_EQ(blanks.boxes[1].confidence, 0.5f);
  // Identities and frames written as floats.
  const TrackFile floats =
      readText(dir, "7.0,0.0,1,2,3,4,1\n7.00,-0.0,1,2,3,4,1\n8,1.5e1,1,2,3,4,1\n",
               TrackLayout::kMot15, kSystem);
  EXPECT_EQ(floats.frames, (std::vector<uint32_t>{7, 7, 8}));
  EXPECT_EQ(floats.boxes[0].id, 0);
  EXPECT_EQ(floats.boxes[1].id, 0);
  EXPECT_EQ(floats.boxes[2].id, 15);
  EXPECT_EQ(floats.lastFrame(), 8u);
  EXPECT_EQ(TrackFile{}.lastFrame(), 0u);
}

TEST(TrackReaderLayoutTest, LayoutNames) {
  for (const TrackLayout layout :
       {TrackLayout::kAutomatic, TrackLayout::kMot15, TrackLayout::kMot16, TrackLayout::kVisDrone,
        TrackLayout::kUavdt, TrackLayout::kKitti, TrackLayout::kTalmira}) {
    EXPECT_EQ(tracking::layoutNamed(tracking::layoutName(layout)), layout);
  }
  EXPECT_EQ(tracking::layoutNamed("mot17"), TrackLayout::kMot16);
  EXPECT_EQ(tracking::layoutNamed("mot20"), TrackLayout::kMot16);
  EXPECT_EQ(tracking::layoutNamed("MOT17"), std::nullopt);
  EXPECT_EQ(tracking::layoutNamed("mot"), std::nullopt);
}

// ---------------------------------------------------------------------------
// Refusals and warnings.

TEST(TrackReaderRefusalTest, EachNamesItsFileAndLine) {
  TempDir dir;
  const std::string name = dir.file("t.txt");
  struct Case {
    std::string text;
    TrackLayout layout;
    AnnotationRole role;
    std::string message;  // after "<file>:"
  };
  const std::vector<Case> cases = {
      {"1,1,10,20,30,40,1,1,1\n1,2,10,20,30,40,1\n", TrackLayout::kAutomatic, kTruth,
       "2: expected at least 8 columns (frame,id,left,top,width,height,consider,class), found 7; "
       "a MOT15 ground truth of 7 columns reads with the layout mot15"},
      {"1,2,10,20,30,40,1\n", TrackLayout::kMot16, kTruth,
       "1: expected at least 8 columns (frame,id,left,top,width,height,consider,class), found 7"},
      {"\n\n1,2,10,20,30,40\n", TrackLayout::kMot16, kSystem,
       "3: expected at least 7 columns (frame,id,left,top,width,height,confidence), found 6"},
      {"1,2,10,20,30\n", TrackLayout::kMot15, kTruth,
       "1: expected at least 7 columns (frame,id,left,top,width,height,consider), found 5"},
      {"1,3.7,10,20,30,40,1,1,1\n", TrackLayout::kAutomatic, kTruth,
       "1: column 2: \"3.7\" is not a whole number (an identity)"},
      {"1,1,10,20,30,40,1,1,1\n1.5,1,10,20,30,40,1,1,1\n", TrackLayout::kMot16, kTruth,
       "2: column 1: \"1.5\" is not a whole number (a frame number)"},
      {"0,1,10,20,30,40,1,1,1\n", TrackLayout::kMot16, kTruth,
       "1: column 1: \"0\" is not a frame number (a whole number from 1 to 4294967295)"},
      {"4294967296,1,10,20,30,40,1\n", TrackLayout::kMot15, kSystem,
       "1: column 1: \"4294967296\" is not a frame number (a whole number from 1 to 4294967295)"},
      {"1,1,10,2O,30,40,1,1,1\n", TrackLayout::kAutomatic, kTruth,
       "1: column 4: \"2O\" is not a finite number"},
      {"1,1,10,20,nan,40,1,1,1\n", TrackLayout::kAutomatic, kTruth,
       "1: column 5: \"nan\" is not a finite number"},
      {"1,1,10,20,30,inf,1,1,1\n", TrackLayout::kAutomatic, kTruth,
       "1: column 6: \"inf\" is not a finite number"},
      {"1,1,10,20,30,1e999,1,1,1\n", TrackLayout::kAutomatic, kTruth,
       "1: column 6: \"1e999\" is not a finite number"},
      {"1,1,10,20,30,40,,1,1\n", TrackLayout::kAutomatic, kTruth,
       "1: column 7: \"\" is not a finite number"},
      {"1,1,10,20,30,40,x,1\n", TrackLayout::kMot16, kSystem, "1: column 7: \"x\" is not a number"},
      {"1,1,10,20,30,40,1,car,1\n", TrackLayout::kAutomatic, kTruth,
       "1: column 8: \"car\" is not a number"},
      {"1,1,10,20,30,40,1,1.5,1\n", TrackLayout::kMot16, kTruth,
       "1: column 8: \"1.5\" is not a class number (a whole number of 32 bits)"},
      {"1,1,10,20,30,40,1,1,1\n2,1,10,20,30,40,1,2.5,1\n", TrackLayout::kAutomatic, kTruth,
       "2: column 8: \"2.5\" is not a class number (a whole number of 32 bits)"},
      {"1,1e17,10,20,30,40,1\n", TrackLayout::kMot15, kSystem,
       "1: column 2: \"1e17\" is beyond 2^53, where a number written so is no exact whole number "
       "(an identity)"},
      {"1,1,10,20,30,40,1,1,vis\n", TrackLayout::kAutomatic, kTruth,
       "1: column 9: \"vis\" is not a finite number"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(refusal(dir, c.text, c.layout, c.role), name + ":" + c.message) << c.text;
  }
  // The error's parts.
  try {
    readText(dir, "1,1,10,20,30,40,1,1,1\n\n1,x,1,2,3,4,1,1,1\n", TrackLayout::kMot16, kTruth);
    ADD_FAILURE() << "read";
  } catch (const TrackReadError& e) {
    EXPECT_EQ(e.file(), name);
    EXPECT_EQ(e.line(), 3u);
    EXPECT_EQ(e.problem(), "column 2: \"x\" is not a number");
    EXPECT_EQ(e.systemError(), 0);
  }
}

TEST(TrackReaderRefusalTest, FilesThatCannotBeRead) {
  TempDir dir;
  const std::string missing = dir.file("missing.txt");
  try {
    readTrackFile({missing, TrackLayout::kAutomatic, kTruth});
    ADD_FAILURE() << "read";
  } catch (const TrackReadError& e) {
    EXPECT_EQ(std::string(e.what()), missing + ": cannot open: No such file or directory");
    EXPECT_EQ(e.line(), 0u);
    EXPECT_EQ(e.systemError(), ENOENT);
  }
  std::filesystem::create_directory(dir.path() / "folder");
  try {
    readTrackFile({dir.file("folder"), TrackLayout::kAutomatic, kTruth});
    ADD_FAILURE() << "read";
  } catch (const TrackReadError& e) {
    EXPECT_EQ(std::string(e.what()), dir.file("folder") + ": cannot read: Is a directory");
    EXPECT_EQ(e.systemError(), EISDIR);
  }
}

TEST(TrackReaderWarningTest, NegativeWidthOrHeightIsKeptWithAWarning) {
  TempDir dir;
  const std::string name = dir.file("t.txt");
  const TrackFile file = readText(dir,
                                  "1,1,100,50,-20,10,1,1,1\n"
                                  "1,2,100,50,20,10,1,1,1\n"
                                  "2,1,100,50,20,-0.5,1,1,1\n"
                                  "2,2,100,50,-1e-3,-7,1,1,1\n"
                                  "3,1,100,50,0,0,1,1,1\n",  // no area, but nothing negative
                                  TrackLayout::kAutomatic, kTruth);
  ASSERT_EQ(file.boxes.size(), 5u);
  EXPECT_EQ(file.boxes[0].right, 80.0);  // kept as it is
  EXPECT_EQ(file.boxes[0].left, 100.0);
  EXPECT_EQ(file.warnings,
            (std::vector<std::string>{
                name + ":1: negative width -20: the box has no area and never matches",
                name + ":3: negative height -0.5: the box has no area and never matches",
                name + ":4: negative width -0.001 and height -7: the box has no area and never "
                       "matches"}));
  // KITTI's corners the wrong way round.
  const TrackFile kitti =
      readText(dir, "0 0 Car 0 0 0 30 20 10 60 1 1 1 1 1 1 1\n", TrackLayout::kKitti, kTruth);
  EXPECT_EQ(
      kitti.warnings,
      (std::vector<std::string>{name + ":1: negative width -20: the box has no area and never "
                                       "matches"}));
  // Many: a hundred listed, the rest counted.
  std::string many;
  for (int k = 1; k <= 250; ++k) many += std::to_string(k) + ",1,10,10,-1,5,1\n";
  const TrackFile manyFile = readText(dir, many, TrackLayout::kMot15, kSystem);
  ASSERT_EQ(manyFile.warnings.size(), 101u);
  EXPECT_EQ(manyFile.warnings[99],
            name + ":100: negative width -1: the box has no area and never matches");
  EXPECT_EQ(manyFile.warnings[100],
            name +
                ": 150 more boxes of negative width or height, not listed: they have no area "
                "and never match");
}

// ---------------------------------------------------------------------------
// Frames.

TEST(FramedTracksTest, OrdersByFrameKeepingFileOrderWithinEach) {
  TempDir dir;
  // Track by track, as ground truths are listed.
  const TrackFile file = readText(dir,
                                  "3,1,1,1,1,1,1\n"   // line 1
                                  "1,1,2,2,2,2,1\n"   // line 2
                                  "2,1,3,3,3,3,1\n"   // line 3
                                  "1,2,4,4,4,4,1\n"   // line 4
                                  "3,2,5,5,5,5,1\n"   // line 5
                                  "1,3,6,6,6,6,1\n",  // line 6
                                  TrackLayout::kMot15, kTruth);
  const tracking::TrackSequence framed = framedTracks(TrackFile(file), 5);
  EXPECT_EQ(framed.source, file.source);
  EXPECT_EQ(framed.length, 5u);
  EXPECT_EQ(framed.frames, (std::vector<uint32_t>{1, 2, 3}));  // frames 4 and 5 have no box
  EXPECT_EQ(framed.frameStart, (std::vector<uint64_t>{0, 3, 4, 6}));
  std::vector<uint64_t> lines;
  for (const TrackBox& box : framed.boxes) lines.push_back(box.line);
  EXPECT_EQ(lines, (std::vector<uint64_t>{2, 4, 6, 3, 1, 5}));
  EXPECT_EQ(framed.boxes[0].left, 2.0);  // the whole box moved with its line
  EXPECT_EQ(framed.frameBegin(4), framed.frameEnd(4));

  // Random files: the order of a stable sort by frame, whatever the order
  // read. The boxes are put in order a block at a time (a sixteenth of them,
  // at most 16,384), so the orders below move boxes across many blocks:
  // random frames, frames going back, tracks listed one after the other (as
  // ground truths are), in order already, one frame, a few frames of
  // billions (held as the frames given, not as a table of every frame);
  // and one file of more than sixteen full blocks.
  std::mt19937 random(7);
  for (int round = 0; round < 260; ++round) {
    TrackFile made;
    made.source = "made";
    const int pattern = round == 259 ? 2 : round < 200 ? 0 : (round - 200) % 6;
    const uint32_t length = round == 259   ? 3000
                            : pattern == 5 ? 4'000'000'000u
                                           : 1 + random() % (pattern == 0 ? 20 : 400);
    std::vector<uint32_t> few(1 + random() % 40);
    for (uint32_t& frame : few) frame = 1 + static_cast<uint32_t>(random() % length);
    const std::size_t count = round == 259 ? 300000 : random() % (pattern == 0 ? 200 : 5000);
    const std::size_t perTrack = count / (1 + random() % 30) + 1;
    for (std::size_t k = 0; k < count; ++k) {
      TrackBox box;
      box.line = k + 1;
      box.id = static_cast<int64_t>(k);
      box.left = static_cast<double>(random());
      made.boxes.push_back(box);
      uint32_t frame = 1 + random() % length;
      if (pattern == 1) frame = length - static_cast<uint32_t>(k * length / (count + 1));
      if (pattern == 2) frame = 1 + static_cast<uint32_t>(k % perTrack * length / perTrack);
      if (pattern == 3) frame = 1 + static_cast<uint32_t>(k * length / (count + 1));
      if (pattern == 4) frame = length;
      if (pattern == 5) frame = few[random() % few.size()];
      made.frames.push_back(frame);
    }
    std::vector<std::size_t> expected(count);
    for (std::size_t k = 0; k < count; ++k) expected[k] = k;
    std::stable_sort(expected.begin(), expected.end(),
                     [&](std::size_t a, std::size_t b) { return made.frames[a] < made.frames[b]; });
    const std::vector<uint32_t> frames = made.frames;
    const std::vector<TrackBox> boxes = made.boxes;
    const tracking::TrackSequence s = framedTracks(std::move(made), length);
    ASSERT_EQ(s.boxes.size(), count);
    for (std::size_t k = 0; k < count; ++k) {
      ASSERT_EQ(s.boxes[k].line, boxes[expected[k]].line);
      ASSERT_EQ(s.boxes[k].left, boxes[expected[k]].left);
    }
    // Every frame held has boxes, and only its own; they rise.
    ASSERT_EQ(s.frameStart.size(), s.frames.size() + 1);
    for (std::size_t at = 0; at < s.frames.size(); ++at) {
      ASSERT_LT(s.frameStart[at], s.frameStart[at + 1]);
      if (at > 0) {
        ASSERT_LT(s.frames[at - 1], s.frames[at]);
      }
      for (uint64_t k = s.frameStart[at]; k < s.frameStart[at + 1]; ++k) {
        ASSERT_EQ(frames[s.boxes[k].line - 1], s.frames[at]);
      }
      ASSERT_EQ(s.frameBegin(s.frames[at]), s.frameStart[at]);
      ASSERT_EQ(s.frameEnd(s.frames[at]), s.frameStart[at + 1]);
    }
    if (!s.frames.empty() && s.frames.front() > 1) {
      ASSERT_EQ(s.frameBegin(s.frames.front() - 1), s.frameEnd(s.frames.front() - 1));
    }
    ASSERT_EQ(s.frameStart.back(), count);
  }
}

TEST(FramedTracksTest, RefusesFramesOutsideAndRepeatedIdentities) {
  TempDir dir;
  const std::string name = dir.file("t.txt");
  const TrackFile outside =
      readText(dir, "1,1,1,1,1,1,1\n5,1,1,1,1,1,1\n9,1,1,1,1,1,1\n", TrackLayout::kMot15, kTruth);
  EXPECT_EQ(framingRefusal(outside, 4),
            name + ":2: frame 5 is outside the sequence's frames 1 to 4");
  EXPECT_EQ(framingRefusal(outside, 9), "");
  // Identity 3 again in frame 2, on line 5 after line 3; the repeat on
  // line 6 (frame 3) comes in a later frame.
  const TrackFile repeated = readText(dir,
                                      "3,3,1,1,1,1,1\n"
                                      "2,1,1,1,1,1,1\n"
                                      "2,3,1,1,1,1,1\n"
                                      "2,2,1,1,1,1,1\n"
                                      "2,3,1,1,1,1,1\n"
                                      "3,3,1,1,1,1,1\n"
                                      "2,1,1,1,1,1,1\n",
                                      TrackLayout::kMot15, kTruth);
  EXPECT_EQ(framingRefusal(repeated, 3),
            name + ":5: identity 3 is given twice in frame 2 (also on line 3)");
  // Many boxes in the frame, the repeat far down.
  std::string many;
  for (int k = 0; k < 100; ++k) many += "1," + std::to_string(100 - k) + ",1,1,1,1,1\n";
  many += "1,50,1,1,1,1,1\n1,20,1,1,1,1,1\n";
  EXPECT_EQ(framingRefusal(readText(dir, many, TrackLayout::kMot15, kTruth), 1),
            name + ":101: identity 50 is given twice in frame 1 (also on line 51)");
  // Detections without identities (-1) are no tracks.
  EXPECT_EQ(
      framingRefusal(
          readText(dir, "1,-1,1,1,1,1,0.5\n1,-1,2,2,2,2,0.5\n", TrackLayout::kMot15, kSystem), 1),
      name + ":2: identity -1 is given twice in frame 1 (also on line 1)");
}

// ---------------------------------------------------------------------------
// seqinfo.ini.

TEST(SequenceLengthBesideTest, FindsTheIniBesideOrAbove) {
  TempDir dir;
  namespace fs = std::filesystem;
  fs::create_directories(dir.path() / "seq" / "gt");
  dir.write("seq/gt/gt.txt", "");
  dir.write("seq/tracker.txt", "");
  // None yet.
  EXPECT_EQ(sequenceLengthBeside(dir.file("seq/gt/gt.txt")), std::nullopt);
  dir.write("seq/seqinfo.ini",
            "[Sequence]\r\nname=seq\r\nimDir=img1\r\nframeRate=30\r\nseqLength=600\r\n");
  EXPECT_EQ(sequenceLengthBeside(dir.file("seq/gt/gt.txt")), 600u);
  EXPECT_EQ(sequenceLengthBeside(dir.file("seq/tracker.txt")), 600u);
  // The one in the same folder first.
  dir.write("seq/gt/seqinfo.ini", "; written by hand\n[Sequence]\nSEQLENGTH : 12\n");
  EXPECT_EQ(sequenceLengthBeside(dir.file("seq/gt/gt.txt")), 12u);
  // Another section's seqLength is not the sequence's.
  dir.write("seq/gt/seqinfo.ini", "[Other]\nseqLength=5\n[Sequence]\nseqLength = 7\n");
  EXPECT_EQ(sequenceLengthBeside(dir.file("seq/gt/gt.txt")), 7u);
}

TEST(SequenceLengthBesideTest, RefusesMalformedIni) {
  TempDir dir;
  const std::string ini = dir.file("seqinfo.ini");
  const auto refusalOf = [&](const std::string& text) -> std::string {
    dir.write("seqinfo.ini", text);
    try {
      sequenceLengthBeside(dir.file("gt.txt"));
    } catch (const TrackReadError& e) {
      return e.what();
    }
    return "";
  };
  EXPECT_EQ(refusalOf("[Sequence]\nname=x\n"), ini + ": no seqLength in a [Sequence] section");
  EXPECT_EQ(refusalOf("[Other]\nseqLength=5\n"), ini + ": no seqLength in a [Sequence] section");
  EXPECT_EQ(refusalOf("[Sequence]\nname=x\nseqLength=abc\n"),
            ini + ":3: seqLength \"abc\" is not a whole number from 1 to 4294967295");
  EXPECT_EQ(refusalOf("[Sequence]\nseqLength=0\n"),
            ini + ":2: seqLength \"0\" is not a whole number from 1 to 4294967295");
  EXPECT_EQ(refusalOf("[Sequence]\nseqLength=600.5\n"),
            ini + ":2: seqLength \"600.5\" is not a whole number from 1 to 4294967295");
  EXPECT_EQ(refusalOf("[Sequence]\nseqLength=600\nseqlength=601\n"),
            ini + ":3: seqLength is given twice (also on line 2)");
  EXPECT_EQ(refusalOf("seqLength=600\n"), ini + ":1: a key before the first [section]");
  EXPECT_EQ(refusalOf("[Sequence]\nseqLength 600\n"),
            ini + ":2: \"seqLength 600\" is neither a [section] nor a key = value line");
  EXPECT_EQ(refusalOf("[Sequence\nseqLength=600\n"),
            ini + ":1: \"[Sequence\" is not a [section] line");
  // There, but no file to read.
  std::filesystem::remove(ini);
  std::filesystem::create_directory(ini);
  try {
    sequenceLengthBeside(dir.file("gt.txt"));
    ADD_FAILURE() << "read";
  } catch (const TrackReadError& e) {
    EXPECT_EQ(std::string(e.what()), ini + ": cannot read: Is a directory");
  }
}

// ---------------------------------------------------------------------------
// Random files.

// Random doubles of every size written with 17 significant digits, and
// random whole numbers written plain or as floats, read back exactly.
TEST(TrackReaderPropertyTest, RandomDecimalsReadBackToTheSameDoubles) {
  TempDir dir;
  std::mt19937_64 random(12);
  std::uniform_real_distribution<double> unit(-1.0, 1.0);
  std::uniform_int_distribution<int> exponent(-12, 12);
  const auto anyDouble = [&] {
    switch (random() % 4) {
      case 0:
        return std::ldexp(unit(random), exponent(random));
      case 1:
        return std::round(unit(random) * 4000.0) / 8.0;  // short decimals
      case 2:
        return static_cast<double>(static_cast<float>(unit(random) * 2000.0));  // trackers'
      default:
        return unit(random) * 1e6;
    }
  };
  for (int round = 0; round < 30; ++round) {
    const bool truth = round % 2 == 0;
    std::string text;
    struct Written {
      uint32_t frame;
      int64_t id;
      double left, top, width, height, seventh;
      int32_t label;
    };
    std::vector<Written> written;
    const int lines = 1 + static_cast<int>(random() % 300);
    for (int k = 0; k < lines; ++k) {
      Written w{static_cast<uint32_t>(1 + random() % 100000),
                static_cast<int64_t>(random() % 2000000) - 1000000,
                anyDouble(),
                anyDouble(),
                anyDouble(),
                anyDouble(),
                truth ? static_cast<double>(random() % 2) : anyDouble(),
                static_cast<int32_t>(1 + random() % 13)};
      written.push_back(w);
      char line[512];
      const char* sep = random() % 5 == 0 ? ", " : ",";
      const bool floatId = random() % 3 == 0;
      std::snprintf(
          line, sizeof line,
          "%" PRIu32 "%s%" PRId64 "%s%s%.17g%s%.17g%s%.17g%s%.17g%s%.17g%s%" PRId32 "%s1%s",
          w.frame, sep, w.id, floatId ? ".0" : "", sep, w.left, sep, w.top, sep, w.width, sep,
          w.height, sep, w.seventh, sep, w.label, sep, random() % 4 == 0 ? "\r\n" : "\n");
      text += line;
    }
    const TrackFile file = readText(dir, text, TrackLayout::kAutomatic, truth ? kTruth : kSystem);
    ASSERT_EQ(file.layout, TrackLayout::kMot16);
    ASSERT_EQ(file.boxes.size(), written.size());
    for (std::size_t k = 0; k < written.size(); ++k) {
      const Written& w = written[k];
      const TrackBox& box = file.boxes[k];
      ASSERT_EQ(file.frames[k], w.frame);
      ASSERT_EQ(box.id, w.id);
      // Bit for bit: %.17g gives back the same double.
      ASSERT_EQ(box.left, w.left) << k;
      ASSERT_EQ(box.top, w.top) << k;
      ASSERT_EQ(box.right, w.left + w.width) << k;
      ASSERT_EQ(box.bottom, w.top + w.height) << k;
      ASSERT_EQ(box.label, w.label);
      if (truth) {
        ASSERT_EQ(box.considered, w.seventh != 0.0);
      } else {
        // The decimal rounded once, to single precision.
        char seventh[64];
        std::snprintf(seventh, sizeof seventh, "%.17g", w.seventh);
        ASSERT_EQ(box.confidence, std::strtof(seventh, nullptr)) << seventh;
      }
    }
  }
}

// Random decimal texts, many with more digits than a double holds and
// halfway cases among them: each reads as the double strtod gives.
TEST(TrackReaderPropertyTest, RandomDecimalTextsReadAsStrtodReadsThem) {
  TempDir dir;
  std::mt19937 random(5);
  const auto digits = [&](int count) {
    std::string text;
    for (int k = 0; k < count; ++k) text += static_cast<char>('0' + random() % 10);
    return text;
  };
  for (int round = 0; round < 20; ++round) {
    std::string text;
    std::vector<std::array<std::string, 4>> written;
    for (int k = 0; k < 200; ++k) {
      std::array<std::string, 4> values;
      for (std::string& value : values) {
        value = (random() % 4 == 0 ? "-" : "") + digits(1 + static_cast<int>(random() % 12));
        if (random() % 3 != 0) value += "." + digits(static_cast<int>(random() % 25));
        // 2^-k and 5 * 10^-k: ties between two doubles once enough digits are written.
        if (random() % 10 == 0) value = "0." + digits(8) + "5" + std::string(random() % 20, '0');
        if (random() % 8 == 0) value += "e" + std::to_string(static_cast<int>(random() % 40) - 20);
      }
      written.push_back(values);
      text += "1,1," + values[0] + "," + values[1] + "," + values[2] + "," + values[3] + ",1\n";
    }
    const TrackFile file = readText(dir, text, TrackLayout::kMot15, kSystem);
    ASSERT_EQ(file.boxes.size(), written.size());
    for (std::size_t k = 0; k < written.size(); ++k) {
      const auto& v = written[k];
      const TrackBox& box = file.boxes[k];
      const double left = std::strtod(v[0].c_str(), nullptr);
      const double top = std::strtod(v[1].c_str(), nullptr);
      ASSERT_EQ(box.left, left) << v[0];
      ASSERT_EQ(box.top, top) << v[1];
      ASSERT_EQ(box.right, left + std::strtod(v[2].c_str(), nullptr)) << v[2];
      ASSERT_EQ(box.bottom, top + std::strtod(v[3].c_str(), nullptr)) << v[3];
    }
  }
}

// Decimals whose digits make a whole number near 2^53, the largest that a
// double holds exactly, with up to 24 digits after the point: each reads as
// the double strtod gives, on both sides of that bound.
TEST(TrackReaderPropertyTest, DecimalsAroundTwoToThe53ReadAsStrtodReadsThem) {
  TempDir dir;
  std::mt19937_64 random(8);
  constexpr uint64_t kBound = uint64_t{1} << 53;
  std::string text;
  std::vector<std::string> written;
  for (int k = 0; k < 600; ++k) {
    uint64_t digits = kBound - 3 + random() % 7;
    if (k % 3 == 0) digits = random() % kBound;
    if (k % 5 == 0) digits = random() % 100000;
    std::string value = std::to_string(digits);
    const std::size_t scale = 1 + random() % 24;
    if (value.size() <= scale) value.insert(0, scale - value.size() + 1, '0');
    value.insert(value.size() - scale, ".");
    if (random() % 3 == 0) value.insert(0, "-");
    written.push_back(value);
    text += "1,1," + value + ",0,1,1,1\n";
  }
  const TrackFile file = readText(dir, text, TrackLayout::kMot15, kSystem);
  ASSERT_EQ(file.boxes.size(), written.size());
  for (std::size_t k = 0; k < written.size(); ++k) {
    ASSERT_EQ(file.boxes[k].left, std::strtod(written[k].c_str(), nullptr)) << written[k];
  }
}

// Identity texts of this format numbered in their sorted order: any two
// boxes compare by identity as their texts compare.
TEST(TrackReaderPropertyTest, IdentityTextsNumberInSortedOrder) {
  TempDir dir;
  std::mt19937 random(3);
  for (int round = 0; round < 20; ++round) {
    std::string text = "header\n";
    std::vector<std::string> names;
    const int lines = 1 + static_cast<int>(random() % 200);
    for (int k = 0; k < lines; ++k) {
      std::string name;
      const int length = 1 + static_cast<int>(random() % 4);
      for (int c = 0; c < length; ++c) name += static_cast<char>("aZ0-_ b"[random() % 7]);
      if (name.find_first_not_of(' ') == std::string::npos) name = "x";
      // Blanks around the text are no part of it.
      while (!name.empty() && name.front() == ' ') name.erase(0, 1);
      while (!name.empty() && name.back() == ' ') name.pop_back();
      names.push_back(name);
      text += std::to_string(1 + k % 7) + ",1,2,3,2,3,4,1,4,Car,FALSE,FALSE,1, " + name + " ,\n";
    }
    const TrackFile file = readText(dir, text, TrackLayout::kTalmira, kSystem);
    ASSERT_EQ(file.boxes.size(), names.size());
    const std::set<std::string> distinct(names.begin(), names.end());
    for (std::size_t a = 0; a < names.size(); ++a) {
      ASSERT_EQ(file.boxes[a].id, std::distance(distinct.begin(), distinct.find(names[a])));
    }
  }
}

}  // namespace

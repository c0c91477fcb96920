// talmira convert and the other formats read directly, run as the real
// executable on the hand-made files of tests/annotation/formats, whose
// expected conversions were worked out by hand.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tests/test_support.h"

namespace talmira_test {
namespace {

const std::string kData = TALMIRA_FORMATS_DATA;

std::string data(const std::string& name) { return kData + "/" + name; }

// One hand-made input of a format, what convert must write of it, and the
// options it needs.
struct Conversion {
  std::string input;
  std::string format;
  std::vector<std::string> options;
  std::string expected;
};

std::vector<Conversion> conversions() {
  return {
      {"mot/gt.txt", "mot", {}, "mot/gt.expected.csv"},
      {"mot/det.txt", "mot", {"--system"}, "mot/det.expected.csv"},
      {"visdrone/gt.txt", "visdrone", {}, "visdrone/gt.expected.csv"},
      {"uavdt/gt.txt", "uavdt", {"--ignore", data("uavdt/gt_ignore.txt")}, "uavdt/gt.expected.csv"},
      {"kitti/label.txt", "kitti", {}, "kitti/label.expected.csv"},
      {"kitti/det.txt", "kitti", {"--system"}, "kitti/det.expected.csv"},
      {"cvat/annotations.xml", "cvat", {}, "cvat/annotations.expected.csv"},
      {"cvat/annotations.xml",
       "cvat",
       {"--classes", data("cvat/map.csv")},
       "cvat/annotations.mapped.expected.csv"},
      {"coco/gt.json", "coco", {}, "coco/gt.expected.csv"},
      {"coco/plain.json", "coco", {}, "coco/plain.expected.csv"},
      {"coco/results.json",
       "coco",
       {"--system", "--images-from", data("coco/gt.json")},
       "coco/results.expected.csv"},
      {"yolo/labels", "yolo", {"--image-size", "640x480"}, "yolo/labels.expected.csv"},
  };
}

TEST(ConvertCommandTest, EveryFormatsHandMadeFileConvertsToTheFileWorkedOutByHand) {
  TempDir dir;
  for (const Conversion& c : conversions()) {
    SCOPED_TRACE(c.input + " " + c.format);
    std::vector<std::string> arguments = {"convert", data(c.input), "--from", c.format};
    arguments.insert(arguments.end(), c.options.begin(), c.options.end());
    const ToolResult printed = runTalmira(arguments);
    ASSERT_EQ(printed.status, 0) << printed.errors;
    EXPECT_EQ(printed.errors, "");
    EXPECT_EQ(printed.output, readFile(data(c.expected)));
    // -o writes the same bytes.
    arguments.insert(arguments.end(), {"-o", dir.file("out.csv")});
    const ToolResult written = runTalmira(arguments);
    ASSERT_EQ(written.status, 0) << written.errors;
    EXPECT_EQ(written.output, "");
    EXPECT_EQ(readFile(dir.file("out.csv")), readFile(data(c.expected)));
  }
}

// A pair of each format, scored directly and as converted files.
struct Pair {
  std::string groundTruth;
  std::string system;
  std::string format;
  std::vector<std::string> options;  // the reading options of both
  std::vector<std::string> truthOnly;
};

std::vector<Pair> pairs() {
  return {
      {"mot/gt.txt", "mot/det.txt", "mot", {}, {}},
      {"visdrone/gt.txt", "visdrone/det.txt", "visdrone", {}, {}},
      {"uavdt/gt.txt", "uavdt/det.txt", "uavdt", {}, {"--ignore", data("uavdt/gt_ignore.txt")}},
      {"kitti/label.txt", "kitti/det.txt", "kitti", {}, {}},
      {"cvat/annotations.xml", "cvat/detections.xml", "cvat", {}, {}},
      {"coco/gt.json", "coco/results.json", "coco", {}, {}},
      {"yolo/labels",
       "yolo/detections",
       "yolo",
       {"--image-size", "640x480", "--names", data("yolo/labels/classes.txt")},
       {}},
  };
}

TEST(ConvertCommandTest, ScoringAFormatDirectlyGivesWhatScoringItsConversionGives) {
  TempDir dir;
  for (const Pair& p : pairs()) {
    SCOPED_TRACE(p.format);
    // Convert both sides, the detections read as a detector's output.
    std::vector<std::string> truth = {"convert", data(p.groundTruth), "--from", p.format,
                                      "-o",      dir.file("gt.csv")};
    truth.insert(truth.end(), p.options.begin(), p.options.end());
    truth.insert(truth.end(), p.truthOnly.begin(), p.truthOnly.end());
    std::vector<std::string> system = {"convert",  data(p.system), "--from",           p.format,
                                       "--system", "-o",           dir.file("sys.csv")};
    system.insert(system.end(), p.options.begin(), p.options.end());
    if (p.format == "coco") system.insert(system.end(), {"--images-from", data(p.groundTruth)});
    ASSERT_EQ(runTalmira(truth).status, 0);
    ASSERT_EQ(runTalmira(system).status, 0);
    // Read directly through the map convert writes by, onto this format's
    // classes (read directly without it, a format's rows are its own).
    const ToolResult map = runTalmira({"convert", "--from", p.format, "--show-classes"});
    ASSERT_EQ(map.status, 0) << map.errors;
    std::vector<std::string> formats = {"--gt-format",  p.format,
                                        "--sys-format", p.format,
                                        "--classes",    dir.write("map.csv", map.output)};
    formats.insert(formats.end(), p.options.begin(), p.options.end());
    formats.insert(formats.end(), p.truthOnly.begin(), p.truthOnly.end());
    for (const std::vector<std::string>& command :
         {std::vector<std::string>{"score", "--format", "csv", "-c", "0.5"},
          std::vector<std::string>{"score", "--format", "csv", "-j", "2"},
          std::vector<std::string>{"explain", "--format", "csv"},
          std::vector<std::string>{"sweep", "--exact", "--format", "csv"}}) {
      SCOPED_TRACE(command[0]);
      std::vector<std::string> direct = {command[0], data(p.groundTruth), data(p.system)};
      direct.insert(direct.end(), command.begin() + 1, command.end());
      direct.insert(direct.end(), formats.begin(), formats.end());
      std::vector<std::string> converted = {command[0], dir.file("gt.csv"), dir.file("sys.csv")};
      converted.insert(converted.end(), command.begin() + 1, command.end());
      const ToolResult a = runTalmira(direct);
      const ToolResult b = runTalmira(converted);
      ASSERT_EQ(a.status, 0) << a.errors;
      ASSERT_EQ(b.status, 0) << b.errors;
      EXPECT_EQ(a.output, b.output);
      // Not a trivial pair: something is detected, and something is not.
      if (command[0] == "score" && command[4] == "2") {
        EXPECT_NE(a.output.find("All,"), std::string::npos);
        EXPECT_EQ(a.output.find("All,0,0,"), std::string::npos) << a.output;
      }
    }
  }
}

// compare reads its ground truth as --gt-format says and both detectors'
// outputs as --sys-format says: through the map convert writes by, the same
// numbers as comparing the converted files, for one sequence and for a
// dataset (whose LIST may name formats).
TEST(ConvertCommandTest, ComparingAFormatDirectlyGivesWhatComparingItsConversionGives) {
  TempDir dir;
  // A second MOT detector: the first one's boxes, one moved away, one added.
  const std::string otherMot = dir.write("other_det.txt",
                                         "1,-1,12,22,98,49,0.9,-1,-1,-1\n"
                                         "1,-1,600,600,41,82,0.7,-1,-1,-1\n"
                                         "2,-1,0,0,100,50,0.8,-1,-1,-1\n"
                                         "2,-1,500,100,60,60,0.6,-1,-1,-1\n");
  for (const Pair& p : pairs()) {
    SCOPED_TRACE(p.format);
    const std::string second = p.format == "mot" ? otherMot : data(p.system);
    const auto convert = [&](const std::string& input, bool system, const std::string& output) {
      std::vector<std::string> arguments = {"convert", input, "--from", p.format, "-o", output};
      arguments.insert(arguments.end(), p.options.begin(), p.options.end());
      if (system) {
        arguments.push_back("--system");
        if (p.format == "coco")
          arguments.insert(arguments.end(), {"--images-from", data(p.groundTruth)});
      } else {
        arguments.insert(arguments.end(), p.truthOnly.begin(), p.truthOnly.end());
      }
      const ToolResult run = runTalmira(arguments);
      ASSERT_EQ(run.status, 0) << run.errors;
    };
    convert(data(p.groundTruth), false, dir.file("gt.csv"));
    convert(data(p.system), true, dir.file("a.csv"));
    convert(second, true, dir.file("b.csv"));
    const ToolResult map = runTalmira({"convert", "--from", p.format, "--show-classes"});
    ASSERT_EQ(map.status, 0) << map.errors;
    std::vector<std::string> formats = {"--gt-format",  p.format,
                                        "--sys-format", p.format,
                                        "--classes",    dir.write("map.csv", map.output)};
    formats.insert(formats.end(), p.options.begin(), p.options.end());
    formats.insert(formats.end(), p.truthOnly.begin(), p.truthOnly.end());
    for (const std::vector<std::string>& settings :
         {std::vector<std::string>{"--format", "csv", "--block", "1", "--resamples", "500"},
          std::vector<std::string>{"--format", "csv", "--best", "--resamples", "500", "-j", "2"}}) {
      std::vector<std::string> direct = {"compare", data(p.groundTruth), data(p.system), second};
      direct.insert(direct.end(), settings.begin(), settings.end());
      direct.insert(direct.end(), formats.begin(), formats.end());
      std::vector<std::string> converted = {"compare", dir.file("gt.csv"), dir.file("a.csv"),
                                            dir.file("b.csv")};
      converted.insert(converted.end(), settings.begin(), settings.end());
      const ToolResult a = runTalmira(direct);
      const ToolResult b = runTalmira(converted);
      ASSERT_EQ(a.status, 0) << a.errors;
      ASSERT_EQ(b.status, 0) << b.errors;
      EXPECT_EQ(a.output, b.output);
      EXPECT_NE(a.output.find("\nAll,"), std::string::npos) << a.output;
    }
  }

  // A dataset of MOT and KITTI sequences: each line's formats named by the
  // LIST, or the command's for all, against the LIST of their conversions.
  int written = 0;
  const auto converted = [&](const std::string& input, const std::string& format, bool system) {
    const std::string output =
        dir.file(format + (system ? "_sys" : "_gt") + std::to_string(written++) + ".csv");
    std::vector<std::string> arguments = {"convert", input, "--from", format, "-o", output};
    if (system) arguments.push_back("--system");
    EXPECT_EQ(runTalmira(arguments).status, 0) << input;
    return output;
  };
  const std::string header = "sequence,groundtruth,system_a,system_b";
  const std::string convertedList =
      dir.write("converted.csv", header + "\nmot," + converted(data("mot/gt.txt"), "mot", false) +
                                     "," + converted(data("mot/det.txt"), "mot", true) + "," +
                                     converted(otherMot, "mot", true) + "\nkitti," +
                                     converted(data("kitti/label.txt"), "kitti", false) + "," +
                                     converted(data("kitti/det.txt"), "kitti", true) + "," +
                                     converted(data("kitti/det.txt"), "kitti", true) + "\n");
  const std::string namedList =
      dir.write("named.csv", header + ",gt_format,sys_format\nmot," + data("mot/gt.txt") + "," +
                                 data("mot/det.txt") + "," + otherMot + ",mot,mot\nkitti," +
                                 data("kitti/label.txt") + "," + data("kitti/det.txt") + "," +
                                 data("kitti/det.txt") + ",kitti,\n");
  // One map of both formats' labels (MOT's numbers, KITTI's names) onto
  // this format's classes, as convert maps them.
  std::string bothMaps;
  for (const char* format : {"mot", "kitti"}) {
    const ToolResult shown = runTalmira({"convert", "--from", format, "--show-classes"});
    ASSERT_EQ(shown.status, 0) << shown.errors;
    bothMaps += bothMaps.empty() ? shown.output : shown.output.substr(shown.output.find('\n') + 1);
  }
  const std::string mapped = dir.write("both_maps.csv", bothMaps);
  const std::vector<std::string> settings = {"--format", "csv", "--resamples", "500", "-q"};
  const auto compared = [&](std::vector<std::string> arguments) {
    arguments.insert(arguments.end(), settings.begin(), settings.end());
    const ToolResult run = runTalmira(arguments);
    EXPECT_EQ(run.status, 0) << run.errors;
    return run.output;
  };
  // kitti's sys_format is left empty: --sys-format gives it.
  EXPECT_EQ(
      compared({"compare", "--dataset", namedList, "--sys-format", "kitti", "--classes", mapped}),
      compared({"compare", "--dataset", convertedList}));
  EXPECT_EQ(compared({"compare", "--dataset", namedList, "--best", "-j", "2", "--sys-format",
                      "kitti", "--classes", mapped}),
            compared({"compare", "--dataset", convertedList, "--best", "-j", "2"}));
  const std::string motList = dir.write("mot.csv", header + "\nmot," + data("mot/gt.txt") + "," +
                                                       data("mot/det.txt") + "," + otherMot + "\n");
  const std::string motConverted = dir.write(
      "mot_converted.csv", header + "\nmot," + converted(data("mot/gt.txt"), "mot", false) + "," +
                               converted(data("mot/det.txt"), "mot", true) + "," +
                               converted(otherMot, "mot", true) + "\n");
  EXPECT_EQ(compared({"compare", "--dataset", motList, "--gt-format", "mot", "--sys-format", "mot",
                      "--classes", mapped}),
            compared({"compare", "--dataset", motConverted}));
  // Without a map each sequence brings its format's own classes: the
  // dataset's rows are MOT's, then KITTI's, and each class counts what it
  // counts in its own sequence compared alone.
  const auto rowsOf = [](const std::string& csv) {
    std::vector<std::vector<std::string>> rows;
    for (const std::string& line : splitLines(csv)) {
      std::vector<std::string> fields;
      std::size_t start = 0;
      for (std::size_t comma; (comma = line.find(',', start)) != std::string::npos;
           start = comma + 1) {
        fields.push_back(line.substr(start, comma - start));
      }
      fields.push_back(line.substr(start));
      rows.push_back(fields);
    }
    return rows;
  };
  const auto pooled =
      rowsOf(compared({"compare", "--dataset", namedList, "--sys-format", "kitti"}));
  const auto mot = rowsOf(compared({"compare", data("mot/gt.txt"), data("mot/det.txt"), otherMot,
                                    "--gt-format", "mot", "--sys-format", "mot"}));
  const auto kitti =
      rowsOf(compared({"compare", data("kitti/label.txt"), data("kitti/det.txt"),
                       data("kitti/det.txt"), "--gt-format", "kitti", "--sys-format", "kitti"}));
  ASSERT_EQ(pooled.size(), mot.size() + kitti.size() - 2);  // one header, one All
  EXPECT_EQ(pooled[0], mot[0]);
  EXPECT_EQ(pooled[1][0], "All");
  for (std::size_t r = 2; r < pooled.size(); ++r) {
    const auto& own = r < mot.size() ? mot[r] : kitti[r - mot.size() + 2];
    EXPECT_EQ(pooled[r][0], own[0]);
    // gt, fn_a, fp_a, fn_b, fp_b and the objects found: sums of integers.
    for (const std::size_t column : {1, 2, 3, 5, 6, 13, 14, 15, 16}) {
      EXPECT_EQ(pooled[r][column], own[column]) << own[0] << " " << pooled[0][column];
    }
  }
  for (const std::size_t column : {1, 2, 3, 5, 6, 13, 14, 15, 16}) {
    EXPECT_EQ(std::stol(pooled[1][column]), std::stol(mot[1][column]) + std::stol(kitti[1][column]))
        << pooled[0][column];
  }

  // A LIST naming a format that does not exist: its line.
  const std::string wrong =
      dir.write("wrong.csv", header + ",gt_format,sys_format\nx,a.txt,b.txt,c.txt,mot,motc\n");
  const ToolResult refused = runTalmira({"compare", "--dataset", wrong, "-q"});
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.errors.rfind(wrong + ":2: \"motc\" is no format", 0), 0u) << refused.errors;
  // Options that do not go together are usage errors, as for score.
  const ToolResult usage = runTalmira({"compare", data("mot/gt.txt"), data("mot/det.txt"), otherMot,
                                       "--gt-format", "mot", "--image-size", "9x9"});
  EXPECT_EQ(usage.status, 2) << usage.errors;
}

// The lines that events and check name are those of the input: for XML and
// JSON, the line where the element starts.
TEST(ConvertCommandTest, EventsNameTheLinesOfTheElementsInTheInput) {
  const std::vector<std::string> xml = splitLines(readFile(data("cvat/annotations.xml")));
  const ToolResult run =
      runTalmira({"events", data("cvat/annotations.xml"), data("cvat/detections.xml"),
                  "--gt-format", "cvat", "--sys-format", "cvat"});
  ASSERT_EQ(run.status, 0) << run.errors;
  const std::vector<std::string> rows = splitLines(run.output);
  ASSERT_GT(rows.size(), 4u);
  int truthRows = 0;
  for (std::size_t k = 1; k < rows.size(); ++k) {
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (std::size_t comma; (comma = rows[k].find(',', start)) != std::string::npos;
         start = comma + 1) {
      fields.push_back(rows[k].substr(start, comma - start));
    }
    if (fields[2] != "gt") continue;
    ++truthRows;
    const std::size_t line = std::stoul(fields[3]);
    ASSERT_LE(line, xml.size());
    EXPECT_NE(xml[line - 1].find("<box frame=\"" + fields[1] + "\""), std::string::npos) << rows[k];
  }
  EXPECT_EQ(truthRows, 4);
}

TEST(ConvertCommandTest, ClassMapsArePrintedReplacedAndUnknownLabelsRefusedOrDropped) {
  TempDir dir;
  const ToolResult shown = runTalmira({"convert", "--from", "visdrone", "--show-classes"});
  ASSERT_EQ(shown.status, 0) << shown.errors;
  const std::vector<std::string> lines = splitLines(shown.output);
  ASSERT_EQ(lines.size(), 13u);
  EXPECT_EQ(lines[0], "label,type,flag,note");
  EXPECT_EQ(lines[1], "0,DCR,,ignored region");
  EXPECT_EQ(lines[6], "5,Car,,van");
  // The printed map is a map file: read back, it converts as the default does.
  const std::string map = dir.write("map.csv", shown.output);
  const ToolResult mapped =
      runTalmira({"convert", data("visdrone/gt.txt"), "--from", "visdrone", "--classes", map});
  ASSERT_EQ(mapped.status, 0) << mapped.errors;
  EXPECT_EQ(mapped.output, readFile(data("visdrone/gt.expected.csv")));

  // A category no map knows: the file, the line and the label, status 1;
  // with --unknown drop the line is left out.
  const std::string unknown = dir.write("unknown.txt",
                                        "1,1,10,10,50,50,1,1,0,0\n"
                                        "1,2,100,10,50,50,1,12,0,0\n");
  const ToolResult refused = runTalmira({"convert", unknown, "--from", "visdrone"});
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.output, "");
  EXPECT_EQ(refused.errors, unknown +
                                ":2: label \"12\" is in no class map: give --classes MAP.csv, or "
                                "--unknown drop to drop it\n");
  const ToolResult dropped =
      runTalmira({"convert", unknown, "--from", "visdrone", "--unknown", "drop"});
  ASSERT_EQ(dropped.status, 0) << dropped.errors;
  EXPECT_EQ(splitLines(dropped.output).size(), 2u);
  EXPECT_EQ(splitLines(dropped.output)[1], "1,10,10,60,10,60,60,10,60,Person,FALSE,FALSE,1,,0");

  // A map file's own mistakes, with its line.
  const std::string bad = dir.write("bad-map.csv", "label,type\ncar,Car\nvan,Van\n");
  const ToolResult badMap =
      runTalmira({"convert", data("cvat/annotations.xml"), "--from", "cvat", "--classes", bad});
  EXPECT_EQ(badMap.status, 1);
  EXPECT_EQ(badMap.errors, bad +
                               ":3: type \"Van\" is none of Car, Truck, Tractor-Trailor, Bus, "
                               "Container, Boat, Plane, Helicopter, Person, Cyclist, DCR, DCF\n");
}

// A malformed line, element or value of each format: its file and line, what
// is wrong, status 1, and an existing -o file left as it was.
TEST(ConvertCommandTest, EachFormatsMalformedInputNamesItsFileAndLine) {
  TempDir dir;
  const std::string output = dir.write("out.csv", "untouched\n");
  const std::string yolo = (dir.path() / "yolo").string();
  std::filesystem::create_directory(yolo);
  dir.write("yolo/classes.txt", "person\nbicycle\n");
  dir.write("yolo/frame_01.txt", "0 0.5 0.5 0.2 0.2\n\n1 0.5 0.5 0.25\n");
  struct Bad {
    std::string name;
    std::string contents;
    std::vector<std::string> arguments;
    std::string message;  // after "<file>:"
  };
  const std::vector<Bad> cases = {
      {"mot.txt",
       "1,1,10,20,30,40,1,1,1\n1,2,abc,20,30,40,1,1,1\n",
       {"--from", "mot"},
       "2: column 3: \"abc\" is not a number"},
      {"mot-frame.txt",
       "-1,1,10,20,30,40,1,1,1\n",
       {"--from", "mot"},
       "1: column 1: \"-1\" is not a frame number (a whole number from 0 to 4294967295)"},
      {"mot-wide.txt",
       "1,1,2147483647,20,30,40,1,1,1\n",
       {"--from", "mot"},
       "1: columns 3 to 6: the box's edges (left, top, left + width, top + height) are not all "
       "32-bit whole numbers once rounded"},
      {"visdrone.txt",
       "1,1,10,20,30,40,1\n",
       {"--from", "visdrone"},
       "1: expected at least 8 columns, found 7"},
      {"uavdt.txt",
       "1,1,10,20,30,40,1,1\n",
       {"--from", "uavdt"},
       "1: expected at least 9 columns, found 8"},
      {"det.txt",
       "1,-1,10,20,30,40,high\n",
       {"--from", "mot", "--system"},
       "1: column 7: \"high\" is not a number"},
      {"kitti.txt",
       "0 0 Car 0 0 0 1e12 1 2 3 0 0 0 0 0 0 0\n",
       {"--from", "kitti"},
       "1: value 7: \"1e12\" is not a 32-bit whole number once rounded"},
      {"kitti-short.txt",
       "0 0 Car 0 0 0 1 1 2 3\n",
       {"--from", "kitti"},
       "1: expected 17 values (18 with a score), found 10"},
      {"cvat.xml",
       "<annotations>\n  <track label=\"car\">\n    <box frame=\"0\">\n  </track>\n",
       {"--from", "cvat"},
       "4: not well-formed XML: Start-end tags mismatch"},
      {"cvat-box.xml",
       "<annotations>\n  <track label=\"car\">\n    <box frame=\"0\" xtl=\"1\" xbr=\"40\" "
       "ybr=\"40\"/>\n  </track>\n</annotations>\n",
       {"--from", "cvat"},
       "3: <box>: attribute \"ytl\" is missing"},
      {"cvat-frame.xml",
       "<annotations>\n  <track label=\"car\">\n\n    <box frame=\"1.5\" xtl=\"1\" ytl=\"1\" "
       "xbr=\"40\" ybr=\"40\"/>\n  </track>\n</annotations>\n",
       {"--from", "cvat"},
       "4: <box> frame: \"1.5\" is not a frame number (a whole number from 0 to 4294967295)"},
      {"coco.json",
       "{\"images\": [{\"id\": 1, \"file_name\": \"1.jpg\"}],\n \"categories\": [{\"id\": 1, "
       "\"name\": \"car\"}],\n \"annotations\": [\n  {\"image_id\": 1, \"category_id\": 1, "
       "\"bbox\": [1, 2, 3, 4]},\n  {\"image_id\": 1, \"category_id\": 1, \"bbox\": [1, 2, 3]}\n"
       "]}\n",
       {"--from", "coco"},
       "5: annotation: \"bbox\" is not a list of 4 numbers [x, y, width, height]"},
      {"coco-syntax.json",
       "{\"images\": [\n  {\"id\": 1,,}\n]}\n",
       {"--from", "coco"},
       "2: not well-formed JSON: syntax error while parsing object key - unexpected ','; "
       "expected string literal"},
      {"coco-results.json",
       "[{\"image_id\": 1, \"category_id\": 1, \"bbox\": [1, 2, 3, 4]}]\n",
       {"--from", "coco", "--system"},
       "is a COCO results list: give the ground truth whose images it names (--images-from "
       "GT.json)"},
  };
  for (const Bad& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string input = dir.write(c.name, c.contents);
    std::vector<std::string> arguments = {"convert", input, "-o", output};
    arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
    const ToolResult run = runTalmira(arguments);
    EXPECT_EQ(run.status, 1);
    const std::string separator = c.message.find_first_of("0123456789") == 0 ? ":" : ": ";
    EXPECT_EQ(run.errors, input + separator + c.message + "\n");
    EXPECT_EQ(readFile(output), "untouched\n");
  }
  const ToolResult badYolo =
      runTalmira({"convert", yolo, "--from", "yolo", "--image-size", "100x100", "-o", output});
  EXPECT_EQ(badYolo.status, 1);
  EXPECT_EQ(badYolo.errors, yolo +
                                "/frame_01.txt:3: expected 5 values (class cx cy w h) or 6 "
                                "(and conf), found 4\n");
  EXPECT_EQ(readFile(output), "untouched\n");
  // The same failure when scoring directly: the reader's message, status 1.
  const ToolResult scored = runTalmira({"score", dir.file("kitti.txt"), data("kitti/det.txt"),
                                        "--gt-format", "kitti", "--sys-format", "kitti"});
  EXPECT_EQ(scored.status, 1);
  EXPECT_EQ(scored.errors, dir.file("kitti.txt") +
                               ":1: value 7: \"1e12\" is not a 32-bit whole number once "
                               "rounded\n");
  const ToolResult missing = runTalmira({"convert", dir.file("none.txt"), "--from", "mot"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.errors, dir.file("none.txt") + ": cannot open: No such file or directory\n");
}

TEST(ConvertCommandTest, OptionsThatDoNotGoTogetherAreUsageErrors) {
  const std::string gt = data("mot/gt.txt");
  for (const std::vector<std::string>& arguments : {
           std::vector<std::string>{"convert", data("yolo/labels"), "--from", "yolo"},
           std::vector<std::string>{"convert", gt, "--from", "mot", "--image-size", "640x480"},
           std::vector<std::string>{"convert", gt, "--from", "mot", "--ignore", gt},
           std::vector<std::string>{"convert", data("yolo/labels"), "--from", "yolo",
                                    "--image-size", "640by480"},
           std::vector<std::string>{"convert", gt, "--from", "pascal"},
           std::vector<std::string>{"convert", "--from", "mot"},
           std::vector<std::string>{"score", gt, gt, "--gt-format", "mot", "--unknown", "skip"},
           std::vector<std::string>{"score", gt, gt, "--images-from", gt},
           std::vector<std::string>{"score", gt, gt, "--classes", gt},
       }) {
    const ToolResult run = runTalmira(arguments);
    EXPECT_EQ(run.status, 2) << arguments[3] << " " << run.errors;
    EXPECT_EQ(run.output, "");
    EXPECT_NE(run.errors, "");
  }
}

// batch reads the formats a LIST names per sequence, or the command's, and
// gives each sequence what score gives it; shards read otherwise are not
// merged together.
TEST(ConvertCommandTest, BatchReadsTheFormatsOfItsListAndMergeKeepsThemApart) {
  TempDir dir;
  const std::string list = dir.write(
      "list.csv",
      "sequence,groundtruth,system,gt_format,sys_format\n"
      "mot," +
          data("mot/gt.txt") + "," + data("mot/det.txt") + ",mot,mot\n" + "kitti," +
          data("kitti/label.txt") + "," + data("kitti/det.txt") + ",kitti,kitti\n" + "visdrone," +
          data("visdrone/gt.txt") + "," + data("visdrone/det.txt") + ",visdrone,visdrone\n");
  const ToolResult batch = runTalmira({"batch", list, "--format", "json", "-q"});
  ASSERT_EQ(batch.status, 0) << batch.errors;
  const nlohmann::json result = nlohmann::json::parse(batch.output);
  const std::vector<std::string> formats = {"mot", "kitti", "visdrone"};
  const std::vector<std::string> truths = {"mot/gt.txt", "kitti/label.txt", "visdrone/gt.txt"};
  const std::vector<std::string> systems = {"mot/det.txt", "kitti/det.txt", "visdrone/det.txt"};
  ASSERT_EQ(result.at("sequences").size(), 3u);
  for (std::size_t k = 0; k < 3; ++k) {
    const ToolResult one = runTalmira({"score", data(truths[k]), data(systems[k]), "--gt-format",
                                       formats[k], "--sys-format", formats[k], "--format", "json"});
    ASSERT_EQ(one.status, 0) << one.errors;
    EXPECT_EQ(result.at("sequences")[k].at("classes"),
              nlohmann::json::parse(one.output).at("classes"))
        << formats[k];
  }

  // The same sequences through the command's options.
  const std::string motList =
      dir.write("mot.csv", "sequence,groundtruth,system\nmot," + data("mot/gt.txt") + "," +
                               data("mot/det.txt") + "\n");
  const ToolResult commandWide = runTalmira(
      {"batch", motList, "--gt-format", "mot", "--sys-format", "mot", "--format", "json", "-q"});
  ASSERT_EQ(commandWide.status, 0) << commandWide.errors;
  const nlohmann::json wide = nlohmann::json::parse(commandWide.output);
  EXPECT_EQ(wide.at("sequences")[0].at("classes"), result.at("sequences")[0].at("classes"));
  EXPECT_EQ(wide.at("reading"), "--gt-format mot --sys-format mot");

  // A part read as MOT and a part read with a class map are of other runs.
  const std::string map = dir.write("map.csv", "1,Car\n");
  ASSERT_EQ(runTalmira({"batch", motList, "--gt-format", "mot", "--sys-format", "mot", "--shard",
                        "1/2", "-q", "-o", dir.file("part1.json")})
                .status,
            0);
  ASSERT_EQ(runTalmira({"batch", motList, "--gt-format", "mot", "--sys-format", "mot", "--classes",
                        map, "--shard", "2/2", "-q", "-o", dir.file("part2.json")})
                .status,
            0);
  const ToolResult merged = runTalmira({"merge", dir.file("part1.json"), dir.file("part2.json")});
  EXPECT_EQ(merged.status, 1);
  EXPECT_NE(merged.errors.find("is a part of another run"), std::string::npos) << merged.errors;
  EXPECT_NE(merged.errors.find("--classes " + map + " (digest "), std::string::npos)
      << merged.errors;

  // A LIST naming a format that does not exist: its line.
  const std::string wrong = dir.write(
      "wrong.csv", "sequence,groundtruth,system,gt_format,sys_format\nx,a.txt,b.txt,mot,motc\n");
  const ToolResult refused = runTalmira({"batch", wrong, "-q"});
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.errors.rfind(wrong + ":2: \"motc\" is no format", 0), 0u) << refused.errors;
}

}  // namespace
}  // namespace talmira_test

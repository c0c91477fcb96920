// talmira events, view and check, run as the real executable on pairs of
// another dataset's files with a random class set of their own: names with
// commas, quotes, white space, line ends and letters outside ASCII, from 5
// to 300 of them. Each box is known by the line of its element, so every row
// and every drawn box is checked against the box the test wrote, and the
// counts against scoreClasses() in the pair's set.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <random>
#include <regex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "annotation/class_set.h"
#include "annotation/formats.h"
#include "scoring/counts/class_scores.h"
#include "tests/test_support.h"

namespace talmira_test {
namespace {

using OrderedJson = nlohmann::ordered_json;

// Names a CSV field, an HTML attribute, a JSON string and a line of text
// each have to take care of.
const std::vector<std::string> kAwkwardNames = {
    "Straßenbahn",     "comma, inside", "say \"hi\"",  "two  spaces",    " leading space",
    "trailing space ", "a \"b\", c",    "line\nend",   "Ünïcødé — 日本", "<b>&amp;</b>",
    "tab\tbetween",    "it's",          "back\\slash",
};

// `count` distinct class names: some awkward ones, the rest made up of
// letters from several scripts.
std::vector<std::string> randomNames(std::mt19937& random, std::size_t count) {
  std::vector<std::string> names = kAwkwardNames;
  std::shuffle(names.begin(), names.end(), random);
  names.resize(std::min(count, names.size()));
  const std::vector<std::string> pieces = {"car", "Bus", "é",  "ж", "boat",
                                           "-",   " ",   "日", "x", "9"};
  std::set<std::string> taken(names.begin(), names.end());
  while (names.size() < count) {
    std::string name = "c";
    const int length = std::uniform_int_distribution<int>(1, 5)(random);
    for (int k = 0; k < length; ++k) {
      name += pieces[std::uniform_int_distribution<std::size_t>(0, pieces.size() - 1)(random)];
    }
    if (taken.insert(name).second) names.push_back(name);
  }
  std::shuffle(names.begin(), names.end(), random);
  return names;
}

struct Box {
  uint32_t frame = 0;
  int x = 0, y = 0, width = 0, height = 0;
  std::size_t cls = 0;  // a position in the names
  double score = 1.0;
  bool crowd = false;
};

// A ground truth and a results list of the COCO format, each element on a
// line of its own.
struct CocoPair {
  std::vector<std::string> names;  // in the order of their category ids
  std::string groundTruth;
  std::string system;
  std::map<uint64_t, Box> truthByLine;
  std::map<uint64_t, Box> systemByLine;
  std::set<uint32_t> truthFrames;  // the frame numbers of the ground truth's annotations
};

CocoPair randomCocoPair(uint32_t seed, std::size_t classCount) {
  std::mt19937 random(seed);
  const auto uniform = [&](int low, int high) {
    return std::uniform_int_distribution<int>(low, high)(random);
  };
  CocoPair pair;
  pair.names = randomNames(random, classCount);
  // Boxes bear a few of the classes, every awkward one among them; the
  // others have none.
  std::vector<std::size_t> used;
  for (std::size_t k = 0; k < pair.names.size(); ++k) {
    const bool awkward =
        std::find(kAwkwardNames.begin(), kAwkwardNames.end(), pair.names[k]) != kAwkwardNames.end();
    if (awkward || used.size() < 16) used.push_back(k);
  }
  const auto anyUsed = [&] {
    return used[std::uniform_int_distribution<std::size_t>(0, used.size() - 1)(random)];
  };

  // Ids grow with the names' order, and the categories are listed shuffled.
  std::vector<int> ids;
  for (std::size_t k = 0, id = 1; k < pair.names.size(); ++k) {
    id += static_cast<std::size_t>(uniform(1, 4));
    ids.push_back(static_cast<int>(id));
  }
  std::vector<std::size_t> listed(pair.names.size());
  for (std::size_t k = 0; k < listed.size(); ++k) listed[k] = k;
  std::shuffle(listed.begin(), listed.end(), random);

  const int frames = uniform(6, 14);
  std::vector<std::string> lines = {"{", "\"images\": ["};
  for (int f = 0; f < frames; ++f) {
    lines.push_back(OrderedJson{{"id", 1000 + f}, {"file_name", "f.jpg"}, {"frame_id", f}}.dump() +
                    (f + 1 < frames ? "," : ""));
  }
  lines.insert(lines.end(), {"],", "\"categories\": ["});
  for (std::size_t k = 0; k < listed.size(); ++k) {
    lines.push_back(OrderedJson{{"id", ids[listed[k]]}, {"name", pair.names[listed[k]]}}.dump() +
                    (k + 1 < listed.size() ? "," : ""));
  }
  lines.insert(lines.end(), {"],", "\"annotations\": ["});
  std::vector<Box> truths;
  for (int f = 0; f < frames; ++f) {
    if (uniform(0, 5) == 0) continue;  // a frame the system alone has
    const int count = uniform(1, 8);
    for (int k = 0; k < count; ++k) {
      Box b;
      b.frame = static_cast<uint32_t>(f);
      b.x = 10 * uniform(0, 90);
      b.y = 10 * uniform(0, 60);
      b.width = uniform(31, 150);
      b.height = uniform(31, 150);
      b.cls = anyUsed();
      b.crowd = uniform(0, 12) == 0;
      if (b.crowd) b.width = b.height = 300;
      truths.push_back(b);
    }
  }
  for (std::size_t k = 0; k < truths.size(); ++k) {
    const Box& b = truths[k];
    pair.truthByLine[lines.size() + 1] = b;
    pair.truthFrames.insert(b.frame);
    lines.push_back(OrderedJson{{"image_id", 1000 + static_cast<int>(b.frame)},
                                {"category_id", ids[b.cls]},
                                {"bbox", {b.x, b.y, b.width, b.height}},
                                {"iscrowd", b.crowd ? 1 : 0}}
                        .dump() +
                    (k + 1 < truths.size() ? "," : ""));
  }
  lines.insert(lines.end(), {"]", "}"});
  for (const std::string& line : lines) pair.groundTruth += line + "\n";

  // Detections near most objects, of their class or another, and some of nothing.
  std::vector<Box> detections;
  for (const Box& truth : truths) {
    if (truth.crowd || uniform(0, 3) == 0) continue;
    Box d = truth;
    d.x += uniform(-15, 15);
    d.y += uniform(-15, 15);
    if (uniform(0, 3) == 0) d.cls = anyUsed();
    detections.push_back(d);
  }
  for (int k = uniform(2, 12); k > 0; --k) {
    Box d;
    d.frame = static_cast<uint32_t>(uniform(0, frames - 1));
    d.x = 10 * uniform(0, 90);
    d.y = 10 * uniform(0, 60);
    d.width = uniform(31, 150);
    d.height = uniform(31, 150);
    d.cls = anyUsed();
    detections.push_back(d);
  }
  std::shuffle(detections.begin(), detections.end(), random);
  pair.system = "[\n";
  for (std::size_t k = 0; k < detections.size(); ++k) {
    Box& d = detections[k];
    d.score = uniform(1, 20) / 20.0;
    pair.systemByLine[k + 2] = d;
    pair.system += OrderedJson{{"image_id", 1000 + static_cast<int>(d.frame)},
                               {"category_id", ids[d.cls]},
                               {"bbox", {d.x, d.y, d.width, d.height}},
                               {"score", d.score}}
                       .dump() +
                   (k + 1 < detections.size() ? ",\n" : "\n");
  }
  pair.system += "]\n";
  return pair;
}

// The pair as the command reads it: with the dataset's own classes.
struct ReadPair {
  QuorSequence truth;
  QuorSequence system;
};

bool readCocoPair(const std::string& truthPath, const std::string& systemPath, ReadPair& pair) {
  AnnotationReadOptions options;
  options.format = AnnotationFormat::kCoco;
  options.ownClasses = true;
  AnnotationReadFailure failure;
  if (!readAnnotation(truthPath, options, pair.truth, failure)) {
    ADD_FAILURE() << failure.message;
    return false;
  }
  options.role = AnnotationRole::kSystem;
  options.imagesFrom = truthPath;
  if (!readAnnotation(systemPath, options, pair.system, failure)) {
    ADD_FAILURE() << failure.message;
    return false;
  }
  return true;
}

// CSV read by RFC 4180's rules (fields quoted with ", "" inside a quoted
// field for a quote, records ended by LF); nothing when the text breaks them.
std::optional<std::vector<std::vector<std::string>>> parseCsv(const std::string& text) {
  std::vector<std::vector<std::string>> records;
  std::vector<std::string> record;
  std::size_t at = 0;
  while (at < text.size()) {
    std::string field;
    if (text[at] == '"') {
      for (++at;; ++at) {
        if (at == text.size()) return std::nullopt;
        if (text[at] != '"') {
          field += text[at];
        } else if (at + 1 < text.size() && text[at + 1] == '"') {
          field += '"';
          ++at;
        } else {
          ++at;
          break;
        }
      }
      if (at < text.size() && text[at] != ',' && text[at] != '\n') return std::nullopt;
    } else {
      while (at < text.size() && text[at] != ',' && text[at] != '\n') {
        if (text[at] == '"' || text[at] == '\r') return std::nullopt;
        field += text[at++];
      }
    }
    record.push_back(field);
    if (at == text.size()) return std::nullopt;  // every record ends with its line end
    if (text[at++] == '\n') records.push_back(std::move(record)), record.clear();
  }
  return records;
}

std::string unescapeMarkup(std::string text) {
  for (const auto& [reference, character] : std::vector<std::pair<std::string, std::string>>{
           {"&lt;", "<"}, {"&gt;", ">"}, {"&quot;", "\""}, {"&#39;", "'"}, {"&amp;", "&"}}) {
    for (std::size_t at = 0; (at = text.find(reference, at)) != std::string::npos; ++at) {
      text.replace(at, reference.size(), character);
    }
  }
  return text;
}

// The value of an attribute of an element, references resolved; nothing
// without it.
std::optional<std::string> attribute(const std::string& element, const std::string& name) {
  std::smatch found;
  if (!std::regex_search(element, found, std::regex(" " + name + "=\"([^\"]*)\""))) {
    return std::nullopt;
  }
  return unescapeMarkup(found[1]);
}

// An option's value as a browser takes it: its value attribute, or its text
// with HTML's white space stripped from the ends and runs of it made one space.
std::string optionValue(const std::string& element, const std::string& text) {
  if (const std::optional<std::string> value = attribute(element, "value")) return *value;
  std::string collapsed;
  bool space = false;
  for (const char c : unescapeMarkup(text)) {
    if (c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r') {
      space = true;
      continue;
    }
    if (space && !collapsed.empty()) collapsed += ' ';
    space = false;
    collapsed += c;
  }
  return collapsed;
}

std::vector<std::string> cocoFormat() { return {"--gt-format", "coco", "--sys-format", "coco"}; }

ToolResult run(std::vector<std::string> arguments) {
  const std::vector<std::string> formats = cocoFormat();
  arguments.insert(arguments.end(), formats.begin(), formats.end());
  return runTalmira(arguments);
}

TEST(ClassSetCommands, EventsRowsAreTheBoxesWrittenAndAddUpToTheScoresOfEachClass) {
  TempDir dir;
  for (const auto& [seed, classCount] :
       std::vector<std::pair<uint32_t, std::size_t>>{{1, 5}, {2, 37}, {3, 300}}) {
    const CocoPair pair = randomCocoPair(seed, classCount);
    const std::string gt = dir.write("gt.json", pair.groundTruth);
    const std::string sys = dir.write("sys.json", pair.system);
    ReadPair read;
    ASSERT_TRUE(readCocoPair(gt, sys, read));
    const ClassSetPtr classes = pairClasses(read.truth, read.system);
    ASSERT_EQ(classes->names(), pair.names)
        << "the set is the categories in the order of their ids";

    // All, every class that boxes bear (a sample of them for big sets), and one none bears.
    std::vector<std::string> followed = {"All"};
    std::set<std::size_t> borne;
    for (const auto& [line, box] : pair.truthByLine) borne.insert(box.cls);
    for (const auto& [line, box] : pair.systemByLine) borne.insert(box.cls);
    for (const std::size_t cls : borne) followed.push_back(pair.names[cls]);
    for (std::size_t k = 0; k < pair.names.size(); ++k) {
      if (!borne.count(k)) {
        followed.push_back(pair.names[k]);
        break;
      }
    }
    for (const char* confidence : {"0", "0.5"}) {
      const std::vector<ClassCounts> scores =
          scoreClasses(read.truth, read.system, *classes, std::strtof(confidence, nullptr));
      for (const std::string& name : followed) {
        SCOPED_TRACE(testing::Message()
                     << "seed " << seed << " -c " << confidence << " --class \"" << name << "\"");
        const ToolResult listed = run({"events", gt, sys, "-c", confidence, "--class", name});
        ASSERT_EQ(listed.status, 0) << listed.errors;
        const auto rows = parseCsv(listed.output);
        ASSERT_TRUE(rows.has_value()) << listed.output;
        ASSERT_FALSE(rows->empty());
        EXPECT_EQ(rows->front(), (std::vector<std::string>{"gt_frame_line", "frame", "side", "line",
                                                           "class", "confidence", "event",
                                                           "partner_line", "cause", "overlap"}));
        std::map<std::string, int64_t> truthEvents, systemEvents;
        for (std::size_t k = 1; k < rows->size(); ++k) {
          const std::vector<std::string>& row = (*rows)[k];
          ASSERT_EQ(row.size(), 10u) << listed.output;
          const bool systemSide = row[2] == "sys";
          const auto& byLine = systemSide ? pair.systemByLine : pair.truthByLine;
          const auto written = byLine.find(std::stoull(row[3]));
          ASSERT_NE(written, byLine.end()) << "no box on line " << row[3];
          const Box& box = written->second;
          EXPECT_FALSE(box.crowd);
          EXPECT_EQ(row[1], std::to_string(box.frame));
          EXPECT_EQ(row[4], pair.names[box.cls]);
          if (name != "All") {
            EXPECT_EQ(row[4], name);
          }
          EXPECT_EQ(std::strtof(row[5].c_str(), nullptr), static_cast<float>(box.score));
          ++(systemSide ? systemEvents : truthEvents)[row[6]];
        }
        const ClassCounts& c = scores[*classes->rowOf(name)];
        EXPECT_EQ(truthEvents["match"], c.gt - c.fn);
        EXPECT_EQ(systemEvents["match"], c.det - c.fp);
        EXPECT_EQ(truthEvents["miss"], c.fn);
        EXPECT_EQ(systemEvents["false_alarm"], c.fp);
      }
    }

    // A name the pair does not have: a usage error naming the classes, the
    // first few of a big set.
    const ToolResult unknown = run({"events", gt, sys, "--class", "car"});
    EXPECT_EQ(unknown.status, 2);
    EXPECT_EQ(unknown.output, "");
    EXPECT_NE(unknown.errors.find("--class car: no class of that name; the classes are \"All\", "),
              std::string::npos)
        << unknown.errors;
    const std::size_t rows = classes->rows();
    const std::string more = " and " + std::to_string(rows - 8) + " more";
    EXPECT_EQ(unknown.errors.find(more) != std::string::npos, rows > 12) << unknown.errors;
    if (rows <= 12) {
      for (const std::string& name : pair.names) {
        if (name.find_first_of("\n\t\\") != std::string::npos) continue;
        EXPECT_NE(unknown.errors.find("\"" + name + "\""), std::string::npos) << unknown.errors;
      }
    }
  }
}

TEST(ClassSetCommands, ViewDrawsEachBoxWithItsClassAndCountsAsTheScores) {
  TempDir dir;
  for (const auto& [seed, classCount] :
       std::vector<std::pair<uint32_t, std::size_t>>{{11, 12}, {12, 150}}) {
    const CocoPair pair = randomCocoPair(seed, classCount);
    const std::string gt = dir.write("gt.json", pair.groundTruth);
    const std::string sys = dir.write("sys.json", pair.system);
    ReadPair read;
    ASSERT_TRUE(readCocoPair(gt, sys, read));
    const ClassSetPtr classes = pairClasses(read.truth, read.system);
    const std::vector<ClassCounts> scores = scoreClasses(read.truth, read.system, *classes, 0.5f);
    // The classes of the boxes of every frame the page holds: the ground
    // truth's and those of the system frames of their numbers.
    std::set<std::string> held;
    for (const auto& [line, box] : pair.truthByLine) {
      if (!box.crowd) held.insert(pair.names[box.cls]);
    }
    for (const auto& [line, box] : pair.systemByLine) {
      if (pair.truthFrames.count(box.frame)) held.insert(pair.names[box.cls]);
    }
    std::vector<std::string> followed = {"All"};
    for (const std::string& name : kAwkwardNames) {
      if (classes->rowOf(name) && followed.size() < 4) followed.push_back(name);
    }
    for (const std::string& name : followed) {
      SCOPED_TRACE(testing::Message() << "seed " << seed << " --class \"" << name << "\"");
      const std::string pagePath = dir.file("view.html");
      const ToolResult drawn =
          run({"view", gt, sys, "-o", pagePath, "--frames", "all", "-c", "0.5", "--class", name});
      ASSERT_EQ(drawn.status, 0) << drawn.errors;
      const std::string page = readFile(pagePath);

      // The frames' counts add up to the class's scores.
      ClassCounts total;
      std::size_t templates = 0;
      const std::regex frame("<template class=\"frame\"([^>]*)>([\\s\\S]*?)</template>");
      for (std::sregex_iterator it(page.begin(), page.end(), frame), end; it != end; ++it) {
        const std::string tag = (*it)[1];
        ++templates;
        total.gt += std::stoll(attribute(tag, "data-gt").value_or("x"));
        total.det += std::stoll(attribute(tag, "data-det").value_or("x"));
        total.fn += std::stoll(attribute(tag, "data-fn").value_or("x"));
        total.fp += std::stoll(attribute(tag, "data-fp").value_or("x"));
        // Every box drawn bears the class of the box on its line.
        const std::string body = (*it)[2];
        const std::regex polygon("<polygon[^>]*data-side[^>]*>");
        for (std::sregex_iterator b(body.begin(), body.end(), polygon); b != end; ++b) {
          const std::string element = (*b)[0];
          const auto& byLine =
              attribute(element, "data-side") == "sys" ? pair.systemByLine : pair.truthByLine;
          const auto written = byLine.find(std::stoull(attribute(element, "data-line").value()));
          ASSERT_NE(written, byLine.end()) << element;
          EXPECT_EQ(attribute(element, "data-class"), pair.names[written->second.cls]) << element;
          if (name != "All" && attribute(element, "data-event") != "none") {
            EXPECT_EQ(attribute(element, "data-class"), name) << element;
          }
        }
      }
      EXPECT_EQ(templates, pair.truthFrames.size());
      const ClassCounts& c = scores[*classes->rowOf(name)];
      EXPECT_EQ(total.gt, c.gt);
      EXPECT_EQ(total.det, c.det);
      EXPECT_EQ(total.fn, c.fn);
      EXPECT_EQ(total.fp, c.fp);

      // The class filter offers All and each class held, and its values are
      // the names the boxes' data-class compares with.
      std::smatch select;
      ASSERT_TRUE(std::regex_search(
          page, select, std::regex("<select id=\"class-filter\">([\\s\\S]*?)</select>")));
      const std::string options = select[1];
      std::vector<std::string> offered;
      const std::regex option("(<option[^>]*>)([^<]*)</option>");
      for (std::sregex_iterator o(options.begin(), options.end(), option), end; o != end; ++o) {
        offered.push_back(optionValue((*o)[1], (*o)[2]));
      }
      std::vector<std::string> expected = {"All"};
      expected.insert(expected.end(), held.begin(), held.end());
      EXPECT_EQ(offered, expected);
    }
    const ToolResult unknown = run({"view", gt, sys, "-o", dir.file("none.html"), "--class", "x"});
    EXPECT_EQ(unknown.status, 2);
    EXPECT_NE(unknown.errors.find("talmira view: --class x: no class of that name"),
              std::string::npos)
        << unknown.errors;
    EXPECT_FALSE(std::filesystem::exists(dir.file("none.html")));
  }
}

std::string xmlEscaped(const std::string& text) {
  std::string out;
  for (const char c : text) {
    if (c == '&')
      out += "&amp;";
    else if (c == '<')
      out += "&lt;";
    else if (c == '>')
      out += "&gt;";
    else if (c == '"')
      out += "&quot;";
    else if (c == '\n')
      out += "&#10;";
    else if (c == '\t')
      out += "&#9;";
    else
      out += c;
  }
  return out;
}

// A CVAT file that declares `declared` as its labels and holds `boxes`
// boxes of each label of `borne` (declared or not), in that order.
std::string cvatFile(const std::vector<std::string>& declared,
                     const std::vector<std::pair<std::string, int>>& borne) {
  std::string xml =
      "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<annotations>\n<meta><task><labels>\n";
  for (const std::string& name : declared) {
    xml += "<label><name>" + xmlEscaped(name) + "</name></label>\n";
  }
  xml += "</labels></task></meta>\n";
  int track = 0;
  for (const auto& [name, boxes] : borne) {
    xml += "<track id=\"" + std::to_string(track++) + "\" label=\"" + xmlEscaped(name) + "\">\n";
    for (int k = 0; k < boxes; ++k) {
      const std::string x = std::to_string(50 * k);
      xml += "<box frame=\"" + std::to_string(k % 3) + "\" outside=\"0\" xtl=\"" + x +
             "\" ytl=\"0\" xbr=\"" + std::to_string(50 * k + 40) + "\" ybr=\"40\"/>\n";
    }
    xml += "</track>\n";
  }
  return xml + "</annotations>\n";
}

// The name as the text report shows it: control characters and backslashes as \xNN.
std::string shownName(const std::string& name) {
  std::string out;
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || c == '\\' || byte == 0x7f) {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02X", byte);
      out += hex;
    } else {
      out += c;
    }
  }
  return out;
}

TEST(ClassSetCommands, CheckCountsTheBoxesOfEachClassAsTheDatasetNamesThem) {
  TempDir dir;
  for (const uint32_t seed : {21u, 22u, 23u}) {
    SCOPED_TRACE(testing::Message() << "seed " << seed);
    std::mt19937 random(seed);
    const std::size_t count = std::uniform_int_distribution<std::size_t>(5, 300)(random);
    const std::vector<std::string> names = randomNames(random, count + 2);
    // The ground truth declares all but the last two names and holds boxes
    // of some of them; the system declares a part of them in another order,
    // and holds boxes of two labels it never declared.
    const std::vector<std::string> truthLabels(names.begin(), names.end() - 2);
    std::vector<std::pair<std::string, int>> truthBoxes;
    std::map<std::string, int> truthCounts;
    for (const std::string& name : truthLabels) {
      if (std::uniform_int_distribution<int>(0, 2)(random) != 0) continue;
      const int boxes = std::uniform_int_distribution<int>(1, 7)(random);
      truthBoxes.emplace_back(name, boxes);
      truthCounts[name] = boxes;
    }
    std::vector<std::string> systemLabels(truthLabels.begin(),
                                          truthLabels.begin() + (truthLabels.size() + 1) / 2);
    std::shuffle(systemLabels.begin(), systemLabels.end(), random);
    const std::vector<std::pair<std::string, int>> systemBoxes = {
        {systemLabels.front(), 2}, {names[names.size() - 1], 3}, {names[names.size() - 2], 1}};
    std::vector<std::pair<std::string, int>> systemExpected;
    for (const std::string& name : systemLabels) {
      systemExpected.emplace_back(name, name == systemLabels.front() ? 2 : 0);
    }
    systemExpected.emplace_back(names[names.size() - 1], 3);
    systemExpected.emplace_back(names[names.size() - 2], 1);

    const std::string gt = dir.write("gt.xml", cvatFile(truthLabels, truthBoxes));
    const std::string sys = dir.write("sys.xml", cvatFile(systemLabels, systemBoxes));
    const ToolResult json = runTalmira(
        {"check", gt, sys, "--gt-format", "cvat", "--sys-format", "cvat", "--format", "json"});
    ASSERT_EQ(json.status, 0) << json.errors;
    const OrderedJson report = OrderedJson::parse(json.output);
    std::vector<std::pair<std::string, int>> truthExpected;
    for (const std::string& name : truthLabels) {
      truthExpected.emplace_back(name, truthCounts.count(name) ? truthCounts[name] : 0);
    }
    const auto perClass = [](const OrderedJson& file) {
      std::vector<std::pair<std::string, int>> counts;
      for (const auto& [name, boxes] : file["boxes_per_class"].items()) {
        counts.emplace_back(name, boxes.get<int>());
      }
      return counts;
    };
    EXPECT_EQ(perClass(report["groundtruth"]), truthExpected);
    EXPECT_EQ(perClass(report["system"]), systemExpected);
    EXPECT_TRUE(report["groundtruth"]["unknown_types"].empty());

    // The text names the classes with boxes, in the set's order.
    const ToolResult text = runTalmira({"check", gt, "--gt-format", "cvat"});
    ASSERT_EQ(text.status, 0) << text.errors;
    std::vector<std::string> listed;
    bool inBoxes = false;
    for (const std::string& line : splitLines(text.output)) {
      if (line.starts_with("  boxes ")) {
        inBoxes = true;
      } else if (inBoxes && line.starts_with("    ")) {
        listed.push_back(line);
      } else {
        inBoxes = false;
      }
    }
    std::vector<std::string> expected;
    for (const auto& [name, boxes] : truthExpected) {
      if (boxes == 0) continue;
      const std::string shown = "    " + shownName(name);
      // Padded to 40 characters, however many bytes the name's letters take.
      std::size_t characters = 0;
      for (const char c : shown) characters += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
      expected.push_back(shown + std::string(characters < 40 ? 40 - characters : 1, ' ') +
                         std::to_string(boxes));
    }
    EXPECT_EQ(listed, expected) << text.output;
  }
}

}  // namespace
}  // namespace talmira_test

// Each dataset's own classes: what the readers of other formats make of their
// labels, and the inputs whose classes cannot be told apart.
#include "annotation/class_set.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "annotation/formats.h"
#include "tests/test_support.h"

namespace {

using talmira_test::TempDir;

struct Read {
  bool ok = false;
  std::string message;
  std::vector<std::string> classes;  // the sequence's own, or empty for the ten
  std::size_t boxes = 0;
};

Read readOwn(const std::string& path, AnnotationFormat format, bool own = true,
             AnnotationRole role = AnnotationRole::kGroundTruth, std::string imagesFrom = {}) {
  AnnotationReadOptions options;
  options.format = format;
  options.role = role;
  options.ownClasses = own;
  options.imageSize = ImageSize{640, 480};
  options.imagesFrom = std::move(imagesFrom);
  QuorSequence sequence;
  AnnotationReadFailure failure;
  Read read;
  read.ok = readAnnotation(path, options, sequence, failure);
  read.message = failure.message;
  if (sequence.classes) read.classes = sequence.classes->names();
  for (const QuorFrame& frame : sequence.frames) read.boxes += frame.targets.size();
  return read;
}

// Every format's hand-made file, read with its own classes: the rows its
// dataset names, in the dataset's order (whether or not the file holds a box
// of each); read onto this format's ten, no set of its own and the same boxes.
TEST(ClassSetTest, EachFormatReadsItsDatasetsClassesInTheirOrder) {
  const std::string data = TALMIRA_FORMATS_DATA;
  struct Case {
    std::string path;
    AnnotationFormat format;
    std::vector<std::string> classes;
  };
  const std::vector<std::string> mot = {"pedestrian", "person_on_vehicle", "car",
                                        "bicycle",    "motorbike",         "static_person",
                                        "distractor", "reflection"};
  const std::vector<std::string> visdrone = {"pedestrian", "people", "bicycle",  "car",
                                             "van",        "truck",  "tricycle", "awning-tricycle",
                                             "bus",        "motor"};
  const std::vector<std::string> kitti = {
      "Car", "Van", "Truck", "Pedestrian", "Person_sitting", "Cyclist", "Tram", "Misc"};
  for (const Case& c : std::vector<Case>{
           {"mot/gt.txt", AnnotationFormat::kMot, mot},
           {"visdrone/gt.txt", AnnotationFormat::kVisDrone, visdrone},
           {"uavdt/gt.txt", AnnotationFormat::kUavdt, {"car", "truck", "bus"}},
           {"kitti/label.txt", AnnotationFormat::kKitti, kitti},
       }) {
    SCOPED_TRACE(c.path);
    const Read own = readOwn(data + "/" + c.path, c.format);
    ASSERT_TRUE(own.ok) << own.message;
    EXPECT_EQ(own.classes, c.classes);
    const Read ten = readOwn(data + "/" + c.path, c.format, false);
    ASSERT_TRUE(ten.ok) << ten.message;
    EXPECT_TRUE(ten.classes.empty());
    if (c.format != AnnotationFormat::kKitti) {
      EXPECT_EQ(own.boxes, ten.boxes);  // KITTI's Tram and Misc are classes now, not dropped
    }
  }
}

// COCO's categories in the order of their ids, whatever the list's order;
// CVAT's labels as the task defines them, those no track bears included;
// YOLO's names file, or "class N" in the order of the numbers; a dataset
// whose every label is one of this format's classes is scored as the ten.
TEST(ClassSetTest, LabelsOfTheirOwnAreClassesInTheDatasetsOrder) {
  TempDir dir;
  const std::string coco = dir.write("gt.json", R"({
    "images": [{"id": 7, "frame_id": 1}, {"id": 8, "frame_id": 2}],
    "categories": [{"id": 30, "name": "zebra, striped"}, {"id": 2, "name": "Straßenbahn"},
                   {"id": 11, "name": "say \"hi\""}],
    "annotations": [{"id": 1, "image_id": 7, "category_id": 11, "bbox": [0, 0, 50, 50]},
                    {"id": 2, "image_id": 8, "category_id": 30, "bbox": [5, 5, 50, 50]}]})");
  Read read = readOwn(coco, AnnotationFormat::kCoco);
  ASSERT_TRUE(read.ok) << read.message;
  EXPECT_EQ(read.classes,
            (std::vector<std::string>{"Straßenbahn", "say \"hi\"", "zebra, striped"}));
  EXPECT_EQ(read.boxes, 2u);

  const std::string cvat = dir.write("tracks.xml", R"(<?xml version="1.0" encoding="utf-8"?>
<annotations><version>1.1</version>
  <meta><task><labels>
    <label><name>tram</name></label><label><name>a &amp; b</name></label>
    <label><name>unused</name></label>
  </labels></task></meta>
  <track id="0" label="a &amp; b"><box frame="0" outside="0" xtl="1" ytl="1" xbr="60" ybr="60"/></track>
  <track id="1" label="tram"><box frame="1" outside="0" xtl="1" ytl="1" xbr="60" ybr="60"/></track>
</annotations>
)");
  read = readOwn(cvat, AnnotationFormat::kCvat);
  ASSERT_TRUE(read.ok) << read.message;
  EXPECT_EQ(read.classes, (std::vector<std::string>{"tram", "a & b", "unused"}));

  const std::string labels = dir.file("labels");
  std::filesystem::create_directories(labels);
  dir.write("labels/frame_000001.txt", "12 0.5 0.5 0.2 0.2\n3 0.2 0.2 0.1 0.2\n");
  dir.write("labels/frame_000002.txt", "7 0.5 0.5 0.2 0.2\n");
  read = readOwn(labels, AnnotationFormat::kYolo);
  ASSERT_TRUE(read.ok) << read.message;
  EXPECT_EQ(read.classes, (std::vector<std::string>{"class 3", "class 7", "class 12"}));
  dir.write("labels/classes.txt", "a\nb\nc\nd\ne\nf\ng\nh\ni\nj\nk\nl\nm\n");
  read = readOwn(labels, AnnotationFormat::kYolo);
  ASSERT_TRUE(read.ok) << read.message;
  EXPECT_EQ(read.classes.size(), 13u);
  EXPECT_EQ(read.classes.front(), "a");

  const std::string ours = dir.write("ours.xml", R"(<?xml version="1.0" encoding="utf-8"?>
<annotations><version>1.1</version>
  <track id="0" label="Boat"><box frame="0" outside="0" xtl="1" ytl="1" xbr="60" ybr="60"/></track>
  <track id="1" label="Car"><box frame="0" outside="0" xtl="1" ytl="1" xbr="60" ybr="60"/></track>
</annotations>
)");
  read = readOwn(ours, AnnotationFormat::kCvat);
  ASSERT_TRUE(read.ok) << read.message;
  EXPECT_TRUE(read.classes.empty());
  EXPECT_EQ(read.boxes, 2u);
}

// Classes that cannot be told apart, or have no name: refused with the file
// and the place, whatever the map.
TEST(ClassSetTest, CategoriesOfOneNameOrNoNameAreRefusedWithTheirPlace) {
  TempDir dir;
  const auto coco = [&](const std::string& categories) {
    return dir.write("bad.json", R"({"images": [{"id": 1, "frame_id": 1}], "categories": )" +
                                     categories + R"(, "annotations": []})");
  };
  struct Case {
    std::string categories;
    std::string message;
  };
  for (const Case& c : std::vector<Case>{
           {R"([{"id": 1, "name": "cat"}, {"id": 2, "name": "cat"}])",
            "categories[1]: the \"name\" \"cat\" is an earlier category's"},
           {R"([{"id": 1, "name": "cat"}, {"id": 1, "name": "dog"}])",
            "categories[1]: \"id\" 1 is used by an earlier category"},
           {R"([{"id": 1, "name": ""}])", "categories[0]: the \"name\" is empty"},
       }) {
    SCOPED_TRACE(c.categories);
    for (const bool own : {true, false}) {
      const Read read = readOwn(coco(c.categories), AnnotationFormat::kCoco, own);
      EXPECT_FALSE(read.ok);
      EXPECT_NE(read.message.find(dir.file("bad.json") + ":"), std::string::npos) << read.message;
      EXPECT_NE(read.message.find(c.message), std::string::npos) << read.message;
    }
  }
  std::filesystem::create_directories(dir.file("yolo"));
  dir.write("yolo/classes.txt", "cat\ndog\ncat\n");
  dir.write("yolo/frame_1.txt", "0 0.5 0.5 0.2 0.2\n");
  Read read = readOwn(dir.file("yolo"), AnnotationFormat::kYolo);
  EXPECT_FALSE(read.ok);
  EXPECT_EQ(read.message, dir.file("yolo/classes.txt") + ":3: class name \"cat\" is also line 1's");
  dir.write("yolo/classes.txt", "cat\n\ndog\n");
  read = readOwn(dir.file("yolo"), AnnotationFormat::kYolo);
  EXPECT_EQ(read.message, dir.file("yolo/classes.txt") + ":2: class 1 has no name");
}

// A class map names any classes: they are the set, in the map's order, and
// a label mapped onto a region or ignored is none.
TEST(ClassSetTest, AClassMapsTypesAreTheSetInItsOrder) {
  TempDir dir;
  std::string error;
  const auto map =
      readClassMap(dir.write("map.csv",
                             "label,type,flag,note\n1,\"walker, slow\"\n2,Straßenbahn\n"
                             "3,\"walker, slow\"\n4,DCR\n5,DCF\n6,Car\n"),
                   &error);
  ASSERT_NE(map, nullptr) << error;
  ASSERT_NE(map->classSet(), nullptr);
  EXPECT_EQ(map->classSet()->names(),
            (std::vector<std::string>{"walker, slow", "Straßenbahn", "Car"}));
  // Written back, the map reads as the same map.
  const auto again = readClassMap(dir.write("again.csv", classMapText(*map)), &error);
  ASSERT_NE(again, nullptr) << error;
  EXPECT_EQ(classMapText(*again), classMapText(*map));
  // Onto this format's classes only: the ten, as always.
  const auto ten = readClassMap(dir.write("ten.csv", "1,Person\n2,Car,A\n3,DCR\n"), &error);
  ASSERT_NE(ten, nullptr) << error;
  EXPECT_EQ(ten->classSet(), nullptr);
  EXPECT_EQ(readClassMap(dir.write("all.csv", "1,All\n"), &error), nullptr);
  EXPECT_EQ(error, dir.file("all.csv") +
                       ":1: type \"All\" cannot name a class: it is the row of every class");
}

TEST(ClassSetTest, NamesThatCannotBeClassesAreRefused) {
  EXPECT_FALSE(ClassSet::problemWith(std::vector<std::string>{"a", "b"}));
  EXPECT_TRUE(ClassSet::problemWith(std::vector<std::string>{"a", "a"}));
  EXPECT_TRUE(ClassSet::problemWith(std::vector<std::string>{""}));
  for (const char* reserved : {"All", "DCR", "DCF"}) {
    EXPECT_TRUE(ClassSet::problemWith(std::vector<std::string>{reserved})) << reserved;
  }
  EXPECT_TRUE(ClassSet::standard()->isStandard());
  EXPECT_EQ(ClassSet::standard()->rows(), 11u);
  const ClassSetPtr set = ClassSet::of({"x", "Car"});
  EXPECT_EQ(set->rowOf("Car"), 2u);
  EXPECT_EQ(set->rowOf("All"), 0u);
  EXPECT_FALSE(set->rowOf("Truck"));
  EXPECT_FALSE(set->isStandard());
}

}  // namespace

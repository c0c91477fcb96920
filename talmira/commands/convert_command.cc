// talmira convert: annotations of another format as a file of this one.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "annotation/formats.h"
#include "talmira/cli_common.h"
#include "talmira/commands/commands.h"
#include "talmira/writers/check_report.h"

namespace talmira {

namespace {

struct ConvertOptions {
  std::vector<std::string> inputs;
  std::string output;
  bool system = false;
  bool showClasses = false;
  FormatOptionsGiven formats;
};

// The detections of the MOT family write -1 for a box without a score. This
// format has no such value: the box is written with the confidence inf,
// which every threshold takes, as scoring the input takes it, and so that no
// one takes it for a score, the conversion says so.
void warnOfBoxesWithoutScore(const std::string& input, const AnnotationReadOptions& reading,
                             const std::vector<AnnotationRecord>& records) {
  if (reading.role != AnnotationRole::kSystem || !isMotFamily(reading.format)) return;
  const auto count = std::count_if(records.begin(), records.end(), [](const AnnotationRecord& r) {
    return r.confidence == kNoConfidence;
  });
  if (count == 0) return;
  const std::string boxes = count == 1 ? "1 box has" : std::to_string(count) + " boxes have";
  std::fprintf(stderr,
               "warning: %s: %s no score (-1): written with the confidence inf, which every "
               "threshold takes\n",
               printable(input).c_str(), boxes.c_str());
}

void runConvert(const ConvertOptions& options) {
  const AnnotationFormat format = formatNamed(options.formats.groundTruthFormat).value();
  if (options.showClasses) {
    const std::shared_ptr<const ClassMap> given = loadClassMap(options.formats);
    // The map conversions use: onto this format's ten classes.
    writeOutput(options.output, classMapText(given ? *given : standardClassMap(format)));
    return;
  }
  if (options.inputs.empty()) {
    throw CommandError{kExitUsage, "talmira convert: give the files to convert (IN...)"};
  }
  std::vector<std::string> inputs = auxiliaryInputs(options.formats);
  inputs.insert(inputs.end(), options.inputs.begin(), options.inputs.end());
  refuseOutputNamingInput(options.output, inputs);
  // Read as the side it is, with the checks `talmira score` makes of it.
  FormatOptionsGiven given = options.formats;
  given.systemFormat = given.groundTruthFormat;
  if (options.system && !given.ignore.empty()) {
    throw CommandError{kExitUsage, "--ignore is the ignored areas of a uavdt ground truth"};
  }
  const InputFormats formats = inputFormatsOf(given, options.inputs.front());
  AnnotationReadOptions reading = options.system ? formats.system : formats.groundTruth;
  // A results list names the images of another file: no default here.
  reading.imagesFrom = options.formats.imagesFrom;
  std::vector<AnnotationRecord> records;
  std::set<std::string, std::less<>> names;
  for (const std::string& input : options.inputs) {
    std::vector<AnnotationRecord> more;
    AnnotationReadFailure failure;
    if (!readAnyRecords(input, reading, more, names, failure)) {
      throw CommandError{kExitInputOrOutput, failure.message};
    }
    for (const std::string& warning : failure.warnings) {
      std::fprintf(stderr, "warning: %s\n", printable(warning).c_str());
    }
    warnOfBoxesWithoutScore(input, reading, more);
    records.insert(records.end(), more.begin(), more.end());
  }
  if (options.inputs.size() > 1 && format != AnnotationFormat::kTalmira) {
    std::stable_sort(records.begin(), records.end(),
                     [](const AnnotationRecord& a, const AnnotationRecord& b) {
                       return a.frameNumber < b.frameNumber;
                     });
  }
  writeOutput(options.output, annotationText(records));
}

}  // namespace

void addConvertCommand(CLI::App& app) {
  auto options = std::make_shared<ConvertOptions>();
  CLI::App* command = app.add_subcommand(
      "convert",
      "Write the annotations of another format (MOT, VisDrone, UAVDT, KITTI, CVAT, "
      "COCO, YOLO) as a file of this one");
  command->add_option("IN", options->inputs,
                      "the files to convert (a folder for yolo); several are one sequence, their "
                      "records joined and put in frame order");
  command
      ->add_option("-o,--output", options->output,
                   "write the file to FILE (whole, or not at all); standard output without it")
      ->type_name("OUT.csv");
  command->add_flag("--system", options->system,
                    "read the inputs as a detector's output, not a ground truth: the seventh "
                    "column of mot, mot15 and visdrone is then the score");
  command->add_flag("--show-classes", options->showClasses,
                    "print the class map of --from (or the --classes file) as a MAP.csv and exit");
  addFormatOptions(*command, options->formats, true);
  command->footer(
      "The file written has this format's header and 15 columns; scoring it gives exactly what "
      "scoring the inputs with --gt-format or --sys-format gives.\n"
      "Formats:\n"
      "  mot       frame,id,left,top,width,height,conf,class,visibility (ground truth: conf 0\n"
      "            flags the box; detections: frame,-1,left,top,width,height,score,...); a\n"
      "            column 8 that is no class number (a MOT15 file's) reads as mot15, with a\n"
      "            warning\n"
      "  mot15     frame,id,left,top,width,height,conf,x,y,z (MOTChallenge 2015: no class,\n"
      "            every box a pedestrian; x,y,z are world coordinates, not read)\n"
      "  visdrone  frame,target_id,left,top,width,height,score,category,truncation,occlusion\n"
      "            (category 0, ignored region: a don't-care region)\n"
      "  uavdt     frame,target_id,left,top,width,height,out_of_view,occlusion,category\n"
      "            (--ignore FILE: its ignored areas as don't-care regions; detections:\n"
      "            frame,-1,left,top,width,height,score,...)\n"
      "  kitti     frame track_id type truncated occluded alpha left top right bottom h w l\n"
      "            x y z rotation_y [score] (DontCare: a don't-care region)\n"
      "  cvat      CVAT for video 1.1 XML (outside boxes skipped, rotation turns the corners)\n"
      "  coco      COCO JSON, with or without the video extension; a results list needs\n"
      "            --images-from GT.json; iscrowd boxes are don't-care regions\n"
      "  yolo      a folder of per-frame files of class cx cy w h [conf] (needs --image-size;\n"
      "            the frame is the file name's last digits; --names for the class names)\n"
      "Boxes: right = left + width, bottom = top + height, each rounded to the nearest whole\n"
      "number (halves away from zero). Records are put in frame order (stable).\n"
      "mot, mot15, visdrone, uavdt: a detection's score of -1 is none, taken at every\n"
      "threshold, and written as the confidence inf (with a warning).\n"
      "Labels go through the format's class map (--show-classes), or --classes MAP.csv of\n"
      "label,type[,flag] lines (type: one of the ten classes, DCR or DCF; flag: A or B). A\n"
      "label that is in no map and is no type of this format fails the run, unless --unknown\n"
      "drop.\n"
      "\n"
      "Examples:\n"
      "  talmira convert gt/gt.txt --from mot -o groundtruth.csv\n"
      "  talmira convert det/det.txt --from mot --system -o systemoutput.csv\n"
      "  talmira convert annotations.xml --from cvat --classes map.csv -o groundtruth.csv\n"
      "  talmira convert --from kitti --show-classes > map.csv\n");
  command->callback([options] { runConvert(*options); });
}

}  // namespace talmira

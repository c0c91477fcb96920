// `talmira ap GT RES --protocol vid` for the cross-check while the command
// has no VID protocol: the same reading of a COCO pair (the library's
// reader) and the same report, with the command's arguments.
//
//   talmira_vid_probe ap GT.json RESULTS.json --protocol vid [--format text|csv|json] [-j N]
#include <cstdio>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "annotation/coco_images.h"
#include "scoring/precision/vid_evaluation.h"
#include "talmira/cli_common.h"
#include "talmira/writers/vid_report.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  std::vector<std::string> files;
  std::string format = "text", protocol;
  unsigned jobs = 1;
  for (std::size_t k = 0; k < args.size(); ++k) {
    const std::string& arg = args[k];
    const bool valued = k + 1 < args.size();
    if (arg == "--format" && valued) {
      format = args[++k];
    } else if (arg == "--protocol" && valued) {
      protocol = args[++k];
    } else if ((arg == "-j" || arg == "--jobs") && valued) {
      jobs = static_cast<unsigned>(std::stoul(args[++k]));
    } else if (k == 0 && arg == "ap") {
      continue;
    } else {
      files.push_back(arg);
    }
  }
  if (files.size() != 2 || protocol != "vid" ||
      (format != "text" && format != "csv" && format != "json")) {
    std::cerr << "usage: talmira_vid_probe ap GT RESULTS --protocol vid [--format text|csv|json] "
                 "[-j N]\n";
    return 2;
  }
  std::string failure;
  const std::optional<precision::ImageSet> set =
      formats::readCocoImageFiles(files[0], files[1], failure);
  if (!set) {
    std::cerr << failure << "\n";
    return 1;
  }
  for (const std::string& warning : set->warnings) std::cerr << "warning: " << warning << "\n";
  const precision::VidResult result = precision::evaluateVid(*set, jobs);
  if (format == "text") {
    std::cout << talmira::renderVidText(result, *set);
  } else if (format == "csv") {
    std::cout << talmira::renderVidCsv(result, *set);
  } else {
    talmira::Json json = talmira::vidJson(result, *set);
    json["ground_truth"] = files[0];
    json["system"] = files[1];
    std::cout << talmira::jsonText(json);
  }
  return 0;
}

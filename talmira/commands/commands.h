// The subcommands of talmira. Each adds itself to the application; its
// callback runs the command and throws CommandError on failure.
#pragma once

#include <cstdint>
#include <string>

#include "scoring/analysis/frame_views.h"
#include "scoring/matching/box_overlap.h"
#include "talmira/cli_common.h"

namespace talmira {

void addScoreCommand(CLI::App& app);
void addCheckCommand(CLI::App& app);
void addEventsCommand(CLI::App& app);
void addSweepCommand(CLI::App& app);
void addApCommand(CLI::App& app);
void addTrackCommand(CLI::App& app);
void addBatchCommand(CLI::App& app);
void addMergeCommand(CLI::App& app);
void addExplainCommand(CLI::App& app);
void addCompareCommand(CLI::App& app);
void addConvertCommand(CLI::App& app);
void addViewCommand(CLI::App& app);
void addStabilityCommand(CLI::App& app);

/// What `talmira view` draws and where it writes it (`talmira batch --view`
/// asks for one page per sequence).
struct ViewRequest {
  std::string groundTruth;
  std::string system;
  std::string output;  // the page
  float confidence = 0.0f;
  std::string className = "All";
  FrameChoice choice;
  std::string framesText = "errors";
  std::string images;  // a pattern with the frame number in it
  bool embedImages = false;
  std::string video;
  double fps = 0.0;
  int64_t firstFrame = 0;
  float near = kDefaultNearThreshold;
  unsigned jobs = 1;
  InputFormats formats;
  std::string producedBy;
};

/// Reads the pair, explains the frames chosen and writes the page whole.
/// Throws CommandError (status 1) when an input, the video or the page fails.
void writeViewPage(const ViewRequest& request);

/// Parses the command line and runs the chosen subcommand. Returns the exit
/// status: 0 success, 1 an input or output failed, 2 a usage error.
int runTalmira(int argc, char** argv);

}  // namespace talmira

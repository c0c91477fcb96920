#include <CLI/CLI.hpp>
#include <cstdio>
#include <string>

#include "talmira/cli_common.h"
#include "talmira/commands/commands.h"

#ifndef TALMIRA_VERSION
#define TALMIRA_VERSION "unknown"
#endif

namespace talmira {

namespace {

void printLines(const std::string& message) {
  std::fputs(message.c_str(), stderr);
  if (!message.empty() && message.back() != '\n') std::fputc('\n', stderr);
}

}  // namespace

int runTalmira(int argc, char** argv) {
  CLI::App app(
      "talmira: scores object detections in video against the ground truth, "
      "frame by frame and class by class.",
      "talmira");
  app.add_flag_callback(
      "--version",
      [] {
        std::puts("talmira " TALMIRA_VERSION);
        throw CLI::Success();
      },
      "print the version and exit");
  app.require_subcommand(1);
  app.fallthrough(false);
  addScoreCommand(app);
  addCheckCommand(app);
  addEventsCommand(app);
  addExplainCommand(app);
  addSweepCommand(app);
  addApCommand(app);
  addTrackCommand(app);
  addStabilityCommand(app);
  addBatchCommand(app);
  addMergeCommand(app);
  addCompareCommand(app);
  addConvertCommand(app);
  addViewCommand(app);
  app.footer(
      "Exit status: 0 success, 1 an input cannot be read or is malformed or an output cannot be "
      "written, 2 a usage error.\n"
      "Run `talmira SUBCOMMAND --help` for a subcommand's options and an example.\n");
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);  // the help text on standard output, status 0
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::Success&) {
    return kExitSuccess;
  } catch (const CLI::ParseError& e) {
    printLines("talmira: " + std::string(e.what()));
    std::fputs("Run `talmira --help` for usage.\n", stderr);
    return kExitUsage;
  } catch (const CommandError& e) {
    printLines(e.message);
    return e.status;
  }
  return kExitSuccess;
}

}  // namespace talmira

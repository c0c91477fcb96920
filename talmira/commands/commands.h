// The subcommands of talmira. Each adds itself to the application; its
// callback runs the command and throws CommandError on failure.
#pragma once

#include <CLI/CLI.hpp>

namespace talmira {

void addScoreCommand(CLI::App& app);
void addCheckCommand(CLI::App& app);
void addEventsCommand(CLI::App& app);
void addSweepCommand(CLI::App& app);
void addBatchCommand(CLI::App& app);
void addMergeCommand(CLI::App& app);
void addExplainCommand(CLI::App& app);
void addCompareCommand(CLI::App& app);
void addConvertCommand(CLI::App& app);

/// Parses the command line and runs the chosen subcommand. Returns the exit
/// status: 0 success, 1 an input or output failed, 2 a usage error.
int runTalmira(int argc, char** argv);

}  // namespace talmira

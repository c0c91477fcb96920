// talmira merge: joins the partial results of `talmira batch --shard` into the
// output one batch run over the whole list gives.
#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>

#include "talmira/cli_common.h"
#include "talmira/commands/commands.h"
#include "talmira/stability_dataset.h"
#include "talmira/writers/batch_report.h"

namespace talmira {

namespace {

struct MergeOptions {
  std::vector<std::string> parts;
  Format format = Format::kText;
  std::string output;
  std::string report;
  std::string plot;
};

std::string readPart(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    throw CommandError{kExitInputOrOutput, path + ": cannot open: " + std::strerror(errno)};
  }
  std::ostringstream bytes;
  bytes << in.rdbuf();
  if (in.bad()) throw CommandError{kExitInputOrOutput, path + ": cannot read"};
  return std::move(bytes).str();
}

void runMerge(const MergeOptions& options) {
  refuseOutputNamingInput(options.output, options.parts);
  refuseOutputNamingInput(options.report, options.parts);
  refuseOutputNamingInput(options.plot, options.parts);
  std::vector<std::string> texts;
  texts.reserve(options.parts.size());
  for (const std::string& path : options.parts) texts.push_back(readPart(path));
  if (isStabilityPart(texts.front())) {
    if (!options.report.empty() || !options.plot.empty()) {
      throw CommandError{
          kExitInputOrOutput,
          "talmira merge: " + std::string(options.report.empty() ? "--plot" : "--report") +
              " with --stability is not available; " + options.parts[0] +
              " was made with --stability"};
    }
    mergeStabilityParts(texts, options.parts, options.format, options.output);
    return;
  }
  std::vector<BatchPart> parts;
  parts.reserve(options.parts.size());
  for (std::size_t k = 0; k < texts.size(); ++k) {
    parts.push_back(parsePartial(texts[k], options.parts[k]));
  }
  BatchResult result;
  try {
    result = joinParts(std::move(parts), options.parts);
  } catch (CommandError& e) {
    e.message = "talmira merge: " + e.message;
    throw;
  }
  if (!result.source.sweep && !options.plot.empty()) {
    throw CommandError{
        kExitInputOrOutput,
        "talmira merge: --plot draws the pooled curves of parts made with --sweep; " +
            options.parts[0] + " was made without"};
  }
  if (result.source.track && !options.report.empty()) {
    throw CommandError{kExitInputOrOutput,
                       "talmira merge: --report with --track is not available; " +
                           options.parts[0] + " was made with --track"};
  }
  if (result.source.ap && !options.report.empty()) {
    throw CommandError{kExitInputOrOutput, "talmira merge: --report with --ap is not available; " +
                                               options.parts[0] + " was made with --ap"};
  }
  if (result.source.explain && !options.report.empty()) {
    throw CommandError{kExitInputOrOutput,
                       "talmira merge: --report with --explain is not available yet; use the "
                       "per-sequence talmira explain --report"};
  }

  std::size_t failed = 0;
  for (const BatchSequence& s : result.sequences) {
    if (!s.failed()) continue;
    ++failed;
    std::fprintf(stderr, "%s\n", s.error.c_str());
  }
  if (!options.plot.empty()) writeOutput(options.plot, renderBatchPlot(result));
  if (!options.report.empty()) writeOutput(options.report, renderBatchReport(result));
  writeOutput(options.output, renderBatch(result, options.format));
  if (failed > 0) {
    throw sequencesFailed("talmira merge", failed, result.sequences.size());
  }
}

}  // namespace

void addMergeCommand(CLI::App& app) {
  auto options = std::make_shared<MergeOptions>();
  CLI::App* command = app.add_subcommand(
      "merge", "Join the partial results of `talmira batch --shard` into one result");
  command->add_option("PART", options->parts, "partial results, one per shard, in any order")
      ->required();
  addFormatOption(*command, options->format);
  command
      ->add_option("-o,--output", options->output,
                   "write the result to FILE (whole, or not at all)")
      ->type_name("FILE");
  command
      ->add_option("--report", options->report,
                   "also write the dataset's HTML page: pooled table, sequences sortable by "
                   "NMODTA")
      ->type_name("FILE.html");
  command
      ->add_option("--plot", options->plot,
                   "parts made with --sweep: also draw the pooled curves into an SVG picture")
      ->type_name("FILE.svg");
  command->footer(
      "The output is byte for byte that of one `talmira batch` run over the whole list. Parts "
      "of another list, confidence, sweep or explain setting, parts that overlap and missing "
      "positions are refused (status 1).\n"
      "Example:\n"
      "  for k in 1 2 3; do talmira batch dataset.csv --shard $k/3 -o part$k.json; done\n"
      "  talmira merge part1.json part2.json part3.json --format csv -o scores.csv\n");
  command->callback([options] { runMerge(*options); });
}

}  // namespace talmira

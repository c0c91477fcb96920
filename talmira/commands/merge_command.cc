// talmira merge: joins the partial results of `talmira batch --shard` into the
// output one batch run over the whole list gives.
#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>

#include "talmira/cli_common.h"
#include "talmira/commands/commands.h"
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

std::string describe(const BatchSource& s) {
  std::string text =
      s.list.empty() ? "folders " + s.groundTruthDir + " and " + s.systemDir : "list " + s.list;
  text += " (digest " + s.listDigest + ", " + std::to_string(s.sequenceCount) +
          " sequences) at confidence " + shortestText(s.confidence);
  if (!s.reading.empty()) text += " reading " + s.reading;
  if (s.explain) return text + " with --explain --near " + shortestText(s.near);
  if (!s.sweep) return text + " without --sweep or --explain";
  return text + (s.gridSteps > 0 ? " with --sweep --grid " + std::to_string(s.gridSteps)
                                 : std::string(" with --sweep --exact"));
}

bool sameSource(const BatchSource& a, const BatchSource& b) {
  return a.list == b.list && a.groundTruthDir == b.groundTruthDir && a.systemDir == b.systemDir &&
         a.listDigest == b.listDigest && a.sequenceCount == b.sequenceCount &&
         a.confidence == b.confidence && a.sweep == b.sweep && a.gridSteps == b.gridSteps &&
         a.explain == b.explain && a.near == b.near && a.reading == b.reading;
}

void refuse(const std::string& message) {
  throw CommandError{kExitInputOrOutput, "talmira merge: " + message};
}

void runMerge(const MergeOptions& options) {
  refuseOutputNamingInput(options.output, options.parts);
  refuseOutputNamingInput(options.report, options.parts);
  refuseOutputNamingInput(options.plot, options.parts);
  BatchResult result;
  // Position -> (sequence, index of its part). A map, not a table of the
  // announced size: a damaged part must not make merge allocate a table of
  // whatever size it claims.
  std::map<std::size_t, std::pair<const BatchSequence*, std::size_t>> held;
  std::vector<BatchPart> parts;
  parts.reserve(options.parts.size());
  for (std::size_t p = 0; p < options.parts.size(); ++p) {
    const std::string& path = options.parts[p];
    parts.push_back(parsePartial(readPart(path), path));
    const BatchPart& part = parts.back();
    if (p == 0) {
      result.source = part.source;
    } else if (!sameSource(part.source, result.source)) {
      refuse(path + " is a part of another run: " + describe(part.source) + ", where " +
             options.parts[0] + " is of " + describe(result.source));
    }
    for (const BatchSequence& s : part.sequences) {
      const auto [at, inserted] = held.emplace(s.position, std::pair{&s, p});
      if (!inserted) {
        refuse(path + " and " + options.parts[at->second.second] + " both hold position " +
               std::to_string(s.position) + " (" + s.name + ")");
      }
    }
  }
  const std::size_t count = result.source.sequenceCount;
  if (held.size() != count) {
    // Positions are all below the count (checked when read), so some are missing.
    std::string list;
    std::size_t shown = 0;
    std::size_t expected = 0;
    for (auto at = held.begin(); shown < 10 && expected < count; ++expected) {
      if (at != held.end() && at->first == expected) {
        ++at;
        continue;
      }
      list += (shown++ == 0 ? "" : ", ") + std::to_string(expected);
    }
    if (count - held.size() > shown) list += ", ...";
    std::string hint;
    std::set<std::size_t> counts;
    std::set<std::size_t> present;
    for (const BatchPart& part : parts) {
      counts.insert(part.shardCount);
      present.insert(part.shardIndex);
    }
    if (counts.size() == 1 && *counts.begin() <= 1000) {
      const std::size_t n = *counts.begin();
      std::string missing;
      std::size_t missingCount = 0;
      for (std::size_t k = 1; k <= n && k <= count; ++k) {
        if (present.count(k) != 0) continue;
        missing += (missingCount++ == 0 ? "" : ", ") + std::to_string(k) + "/" + std::to_string(n);
      }
      if (missingCount > 0)
        hint = "; missing shard" + std::string(missingCount > 1 ? "s " : " ") + missing;
    }
    refuse(std::to_string(count - held.size()) + " of " + std::to_string(count) +
           " positions are in no part (" + list + ")" + hint);
  }
  for (const auto& [position, entry] : held) result.sequences.push_back(*entry.first);
  if (result.source.sweep) {
    // Each part holds its sequences' curves summed; summing the parts gives
    // the counts a single run sums, at the same thresholds.
    result.pooledCurves = emptyPool();
    for (const BatchPart& part : parts) addIntoPool(result.pooledCurves, part.pooledCurves);
  } else if (!options.plot.empty()) {
    refuse("--plot draws the pooled curves of parts made with --sweep; " + options.parts[0] +
           " was made without");
  }
  if (result.source.explain && !options.report.empty()) {
    refuse(
        "--report with --explain is not available yet; use the per-sequence talmira explain "
        "--report");
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

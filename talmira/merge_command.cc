// talmira merge: joins the partial results of `talmira batch --shard` into the
// output one batch run over the whole list gives.
#include <cerrno>
#include <cstring>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>

#include "talmira/batch_report.h"
#include "talmira/cli_common.h"
#include "talmira/commands.h"

namespace talmira {

namespace {

struct MergeOptions {
  std::vector<std::string> parts;
  Format format = Format::kText;
  std::string output;
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
  std::string text = s.list.empty() ? "folders " + s.groundTruthDir + " and " + s.systemDir
                                    : "list " + s.list;
  return text + " (digest " + s.listDigest + ", " + std::to_string(s.sequenceCount) +
         " sequences) at confidence " + shortestText(s.confidence);
}

bool sameSource(const BatchSource& a, const BatchSource& b) {
  return a.list == b.list && a.groundTruthDir == b.groundTruthDir &&
         a.systemDir == b.systemDir && a.listDigest == b.listDigest &&
         a.sequenceCount == b.sequenceCount && a.confidence == b.confidence;
}

void refuse(const std::string& message) {
  throw CommandError{kExitInputOrOutput, "talmira merge: " + message};
}

void runMerge(const MergeOptions& options) {
  refuseOutputNamingInput(options.output, options.parts);
  BatchResult result;
  std::vector<const BatchSequence*> byPosition;
  std::vector<std::size_t> partOfPosition;
  std::vector<BatchPart> parts;
  parts.reserve(options.parts.size());
  for (std::size_t p = 0; p < options.parts.size(); ++p) {
    const std::string& path = options.parts[p];
    parts.push_back(parsePartial(readPart(path), path));
    const BatchPart& part = parts.back();
    if (p == 0) {
      result.source = part.source;
      byPosition.assign(part.source.sequenceCount, nullptr);
      partOfPosition.assign(part.source.sequenceCount, 0);
    } else if (!sameSource(part.source, result.source)) {
      refuse(path + " is a part of another run: " + describe(part.source) + ", where " +
             options.parts[0] + " is of " + describe(result.source));
    }
    for (const BatchSequence& s : part.sequences) {
      if (byPosition[s.position] != nullptr) {
        refuse(path + " and " + options.parts[partOfPosition[s.position]] +
               " both hold position " + std::to_string(s.position) + " (" + s.name + ")");
      }
      byPosition[s.position] = &s;
      partOfPosition[s.position] = p;
    }
  }
  std::vector<std::size_t> missing;
  for (std::size_t i = 0; i < byPosition.size(); ++i) {
    if (byPosition[i] == nullptr) missing.push_back(i);
  }
  if (!missing.empty()) {
    std::string list;
    for (std::size_t k = 0; k < missing.size() && k < 10; ++k) {
      list += (k == 0 ? "" : ", ") + std::to_string(missing[k]);
    }
    if (missing.size() > 10) list += ", ...";
    std::string hint;
    std::set<std::size_t> counts;
    for (const BatchPart& part : parts) counts.insert(part.shardCount);
    if (counts.size() == 1) {
      const std::size_t n = *counts.begin();
      std::set<std::size_t> shards;
      for (const std::size_t i : missing) shards.insert(i % n + 1);
      hint = "; missing shard";
      hint += shards.size() > 1 ? "s " : " ";
      bool first = true;
      for (const std::size_t k : shards) {
        hint += (first ? "" : ", ") + std::to_string(k) + "/" + std::to_string(n);
        first = false;
      }
    }
    refuse(std::to_string(missing.size()) + " of " + std::to_string(byPosition.size()) +
           " positions are in no part (" + list + ")" + hint);
  }
  for (const BatchSequence* s : byPosition) result.sequences.push_back(*s);

  std::size_t failed = 0;
  for (const BatchSequence& s : result.sequences) {
    if (!s.failed()) continue;
    ++failed;
    std::fprintf(stderr, "%s\n", s.error.c_str());
  }
  writeOutput(options.output, renderBatch(result, options.format));
  if (failed > 0) {
    throw CommandError{kExitInputOrOutput,
                       "talmira merge: " + std::to_string(failed) + " of " +
                           std::to_string(result.sequences.size()) +
                           " sequences failed; they are left out of the totals"};
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
  command->add_option("-o,--output", options->output, "write the result to FILE (whole, or not at all)")
      ->type_name("FILE");
  command->footer(
      "The output is byte for byte that of one `talmira batch` run over the whole list. Parts "
      "of another list or confidence, parts that overlap and missing positions are refused "
      "(status 1).\n"
      "Example:\n"
      "  for k in 1 2 3; do talmira batch dataset.csv --shard $k/3 -o part$k.json; done\n"
      "  talmira merge part1.json part2.json part3.json --format csv -o scores.csv\n");
  command->callback([options] { runMerge(*options); });
}

}  // namespace talmira

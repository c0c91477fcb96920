// talmira batch: every sequence of a dataset scored as `talmira score` scores
// it, on several threads, with the totals pooled over the dataset.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <set>
#include <sstream>
#include <system_error>
#include <thread>

#include "scoring/class_scores.h"
#include "scoring/confidence_sweep.h"
#include "scoring/sequence_explanation.h"
#include "talmira/cli_common.h"
#include "talmira/commands/commands.h"
#include "talmira/dataset_list.h"
#include "talmira/writers/batch_report.h"
#include "talmira/writers/explain_report.h"
#include "talmira/writers/sweep_report.h"

namespace talmira {

namespace {

namespace fs = std::filesystem;

struct BatchOptions {
  std::string list;
  std::string groundTruthDir;
  std::string systemDir;
  float confidence = 0.0f;
  unsigned jobs = 1;
  std::string shard;
  Format format = Format::kText;
  bool formatGiven = false;
  std::string output;
  std::string report;
  bool quiet = false;
  bool sweep = false;
  int gridSteps = 100;
  bool exact = false;
  std::string plot;
  bool explain = false;
  float near = kDefaultNearThreshold;
};

// With --sweep: where the swept sequences' curves are summed, one pool per
// worker so that no worker waits for another's addition; the pools are
// summed at the end. Only the pools and each sequence's best points outlive
// the sequence. The sums are exact, so how the sequences fell to the workers
// does not show in the result.
struct SweepPool {
  std::vector<SweepCurves> perWorker;
  SweepCurves total() const {
    SweepCurves sum;
    for (std::size_t slot = 0; slot < kClassCount; ++slot) {
      std::vector<const ClassCurve*> curves;
      for (const SweepCurves& pool : perWorker) curves.push_back(&pool[slot]);
      sum[slot] = addCurves(curves);
    }
    return sum;
  }
};

// ---------------------------------------------------------------------------
// The list of sequences

// Reads LIST: the header `sequence,groundtruth,system`, then one sequence a
// line, paths relative to the LIST's folder. Blank lines are skipped.
std::vector<BatchSequence> readList(const std::string& listPath, BatchSource& source) {
  std::string bytes;
  const std::vector<ListedSequence> listed =
      readSequenceList(listPath, {"sequence", "groundtruth", "system"}, bytes);
  source.list = listPath;
  source.listDigest = digestOf(bytes);
  std::vector<BatchSequence> sequences;
  for (const ListedSequence& l : listed) {
    BatchSequence s;
    s.position = sequences.size();
    s.name = l.name;
    s.groundTruth = l.paths[0];
    s.system = l.paths[1];
    sequences.push_back(std::move(s));
  }
  return sequences;
}

// The regular files of a folder by name without extension (dot files, as
// editors leave them, are skipped).
std::map<std::string, std::string> filesByName(const std::string& folder) {
  std::error_code error;
  fs::directory_iterator it(folder, error);
  if (error) {
    throw CommandError{kExitInputOrOutput, folder + ": cannot list: " + error.message()};
  }
  std::map<std::string, std::string> files;
  for (const fs::directory_entry& entry : it) {
    const std::string fileName = entry.path().filename().string();
    if (fileName.empty() || fileName[0] == '.' || !entry.is_regular_file(error)) continue;
    const std::string name = entry.path().stem().string();
    const auto [at, inserted] = files.emplace(name, entry.path().string());
    if (!inserted) {
      throw CommandError{kExitInputOrOutput,
                         folder + ": " + fs::path(at->second).filename().string() + " and " +
                             fileName + " give the same sequence name \"" + name + "\""};
    }
  }
  return files;
}

// Pairs the files of the same name in the two folders, sorted by name. A file
// in one folder only is a sequence that fails, so that it is counted and
// cannot go unnoticed.
std::vector<BatchSequence> pairFolders(const std::string& gtDir, const std::string& sysDir,
                                       BatchSource& source) {
  source.groundTruthDir = gtDir;
  source.systemDir = sysDir;
  const auto groundTruths = filesByName(gtDir);
  const auto systems = filesByName(sysDir);
  std::set<std::string> names;
  for (const auto& [name, path] : groundTruths) names.insert(name);
  for (const auto& [name, path] : systems) names.insert(name);
  std::vector<BatchSequence> sequences;
  std::string pairing;
  for (const std::string& name : names) {
    BatchSequence s;
    s.position = sequences.size();
    s.name = name;
    const auto gt = groundTruths.find(name);
    const auto sys = systems.find(name);
    if (gt != groundTruths.end()) s.groundTruth = gt->second;
    if (sys != systems.end()) s.system = sys->second;
    if (gt == groundTruths.end()) {
      s.error = sys->second + ": no ground truth of that name in " + gtDir;
    } else if (sys == systems.end()) {
      s.error = gt->second + ": no system output of that name in " + sysDir;
    }
    pairing += name + '\0' + s.groundTruth + '\0' + s.system + '\n';
    sequences.push_back(std::move(s));
  }
  source.listDigest = digestOf(pairing);
  return sequences;
}

// ---------------------------------------------------------------------------
// Scoring on several threads

// Reads both files on this thread: -j N means N cores busy, not 2N. Both
// messages are kept, as readInputs() keeps them.
void readPair(const BatchSequence& s, std::unique_ptr<QuorSequence>& groundTruth,
              std::unique_ptr<QuorSequence>& system) {
  std::string messages;
  try {
    groundTruth = readInput(s.groundTruth);
  } catch (const CommandError& e) {
    messages = e.message;
  }
  try {
    system = readInput(s.system);
  } catch (const CommandError& e) {
    messages += (messages.empty() ? "" : "\n") + e.message;
  }
  if (!messages.empty()) throw CommandError{kExitInputOrOutput, messages};
}

// Sweeps one sequence as `talmira sweep` does, keeps its best points and
// counts at `confidence`, and adds its curves into the pool.
void sweepOne(BatchSequence& s, float confidence, unsigned threads, SweepCurves& pool) {
  SweepCurves curves;
  if (threads > 1) {
    curves = sweepFiles(s.groundTruth, s.system, threads);
  } else {
    std::unique_ptr<QuorSequence> groundTruth;
    std::unique_ptr<QuorSequence> system;
    readPair(s, groundTruth, system);
    curves = sweepClasses(*groundTruth, *system, 1);
  }
  for (std::size_t slot = 0; slot < kClassCount; ++slot) s.best[slot] = ::bestPoint(curves[slot]);
  s.classes = countsAt(curves, confidence);
  addIntoPool(pool, curves);
}

// Explains one sequence as `talmira explain` does and keeps its counts,
// causes, pairs and confusion matrix; its frames are let go, since the
// dataset's outputs name sequences, not frames.
void explainOne(BatchSequence& s, ExplainOptions options, unsigned threads) {
  options.threads = threads;
  options.everyFrame = false;
  Explanation explained;
  if (threads > 1) {
    explained = explainFiles(s.groundTruth, s.system, options);
  } else {
    std::unique_ptr<QuorSequence> groundTruth;
    std::unique_ptr<QuorSequence> system;
    readPair(s, groundTruth, system);
    explained = explainSequences(*groundTruth, *system, options);
  }
  explained.timeline = {};
  for (std::size_t slot = 0; slot < kClassCount; ++slot) {
    const ClassExplanation& c = explained.classes[slot];
    s.classes[slot] = ClassCounts{c.gt, c.det, c.fn, c.fp, explained.frames};
  }
  s.explanation = std::make_shared<const Explanation>(std::move(explained));
}

// What each sequence gets: scored at the confidence, swept into `pool`, or
// explained.
struct SequenceWork {
  float confidence = 0.0f;
  const ExplainOptions* explain = nullptr;  // with --explain
};

void scoreOne(BatchSequence& s, const SequenceWork& work, unsigned threads, SweepCurves* pool) {
  if (s.failed()) return;  // nothing to read (a file without its partner)
  const float confidence = work.confidence;
  try {
    if (pool != nullptr) {
      sweepOne(s, confidence, threads, *pool);
      return;
    }
    if (work.explain != nullptr) {
      explainOne(s, *work.explain, threads);
      return;
    }
    std::unique_ptr<QuorSequence> groundTruth;
    std::unique_ptr<QuorSequence> system;
    if (threads > 1) {
      readInputs(s.groundTruth, s.system, groundTruth, system);  // both files at once
    } else {
      readPair(s, groundTruth, system);
    }
    s.classes = scoreClasses(*groundTruth, *system, confidence, threads);
  } catch (const CommandError& e) {
    s.error = e.message;
  } catch (const std::bad_alloc&) {
    s.error = s.groundTruth + ": out of memory while scoring it against " + s.system;
  } catch (const std::exception& e) {
    s.error = s.groundTruth + ": " + e.what();
  }
}

// Scores `sequences` on `jobs` threads. Each thread takes the next position
// not yet taken, so at most `jobs` sequences are in memory at once; only the
// counts stay, each in its own slot, and the result does not depend on the
// order in which the threads finish.
void scoreAll(std::vector<BatchSequence*>& sequences, const SequenceWork& what, unsigned jobs,
              bool progressShown, SweepPool* pool) {
  Progress progress(progressShown, sequences.size());
  std::atomic<std::size_t> next{0};
  std::atomic<std::size_t> done{0};
  const std::size_t threads = std::min<std::size_t>(jobs, sequences.size());
  // With fewer sequences than jobs, the spare cores match frames within them.
  const unsigned perSequence =
      threads == 0 ? 1 : std::max(1u, jobs / static_cast<unsigned>(threads));
  if (pool != nullptr) pool->perWorker.assign(std::max<std::size_t>(threads, 1), emptyPool());
  const auto work = [&](std::size_t worker) {
    SweepCurves* mine = pool != nullptr ? &pool->perWorker[worker] : nullptr;
    for (std::size_t i; (i = next.fetch_add(1)) < sequences.size();) {
      scoreOne(*sequences[i], what, perSequence, mine);
      progress.finished(done.fetch_add(1) + 1);
    }
  };
  std::vector<std::jthread> workers;
  for (std::size_t t = 1; t < threads; ++t) {
    try {
      workers.emplace_back(work, t);
    } catch (const std::system_error&) {
      break;  // no more threads to be had: those running share the work
    }
  }
  work(0);          // this thread is one of the workers
  workers.clear();  // joined: their pools are complete
}

void parseShard(const std::string& text, std::size_t& index, std::size_t& count) {
  unsigned long long k = 0;
  unsigned long long n = 0;
  char end = 0;
  if (std::sscanf(text.c_str(), "%llu/%llu%c", &k, &n, &end) != 2 || text[0] == '-' ||
      text.find('-') != std::string::npos || k < 1 || n < 1 || k > n) {
    throw CommandError{
        kExitUsage, "talmira batch: --shard " + text + ": expected K/N with 1 <= K <= N, e.g. 2/8"};
  }
  index = k;
  count = n;
}

void runBatch(const BatchOptions& options) {
  const bool fromList = !options.list.empty();
  if (!fromList && (options.groundTruthDir.empty() || options.systemDir.empty())) {
    throw CommandError{kExitUsage, "talmira batch: give a LIST, or both --gt-dir and --sys-dir"};
  }
  if (options.explain && options.sweep) {
    throw CommandError{kExitUsage,
                       "talmira batch: --explain and --sweep do not go together: --explain says "
                       "why points were lost at one threshold (-c); find the threshold with "
                       "--sweep first"};
  }
  if (options.explain && !options.report.empty()) {
    throw CommandError{kExitUsage,
                       "talmira batch: --report with --explain is not available yet; use the "
                       "per-sequence talmira explain --report"};
  }
  std::size_t shardIndex = 1;
  std::size_t shardCount = 1;
  const bool sharded = !options.shard.empty();
  if (sharded) {
    parseShard(options.shard, shardIndex, shardCount);
    if (!options.report.empty() || !options.plot.empty()) {
      throw CommandError{kExitUsage,
                         "talmira batch: --shard writes a partial result; give " +
                             std::string(options.report.empty() ? "--plot" : "--report") +
                             " to merge"};
    }
    if (options.formatGiven) {
      throw CommandError{kExitUsage,
                         "talmira batch: --shard writes a partial result (JSON) for `talmira "
                         "merge`; give --format to merge instead"};
    }
  }

  BatchResult result;
  result.source.confidence = options.confidence;
  result.source.sweep = options.sweep;
  result.source.gridSteps = options.sweep && !options.exact ? options.gridSteps : 0;
  result.source.explain = options.explain;
  if (options.explain) result.source.near = options.near;
  result.sequences = fromList
                         ? readList(options.list, result.source)
                         : pairFolders(options.groundTruthDir, options.systemDir, result.source);
  result.source.sequenceCount = result.sequences.size();

  std::vector<std::string> inputs;
  if (fromList) inputs.push_back(options.list);
  for (const BatchSequence& s : result.sequences) {
    inputs.push_back(s.groundTruth);
    inputs.push_back(s.system);
  }
  refuseOutputNamingInput(options.output, inputs);
  refuseOutputNamingInput(options.report, inputs);
  refuseOutputNamingInput(options.plot, inputs);

  // Only this shard's positions are scored.
  std::vector<BatchSequence*> mine;
  for (BatchSequence& s : result.sequences) {
    if (s.position % shardCount == shardIndex - 1) mine.push_back(&s);
  }
  const unsigned jobs = std::max(1u, options.jobs);
  const bool progressShown = !options.quiet && isatty(fileno(stderr)) != 0;
  std::unique_ptr<SweepPool> pool = options.sweep ? std::make_unique<SweepPool>() : nullptr;
  ExplainOptions explain;
  explain.confidence = options.confidence;
  explain.near = options.near;
  const SequenceWork work{options.confidence, options.explain ? &explain : nullptr};
  scoreAll(mine, work, jobs, progressShown, pool.get());
  if (pool != nullptr) result.pooledCurves = pool->total();

  std::size_t failed = 0;
  for (const BatchSequence* s : mine) {
    if (!s->failed()) continue;
    ++failed;
    std::fprintf(stderr, "%s\n", s->error.c_str());
  }

  if (sharded) {
    BatchPart part{result.source, shardIndex, shardCount, {}, std::move(result.pooledCurves)};
    for (const BatchSequence* s : mine) part.sequences.push_back(*s);
    writeOutput(options.output, renderPartial(part));
  } else {
    if (!options.plot.empty()) writeOutput(options.plot, renderBatchPlot(result));
    if (!options.report.empty()) writeOutput(options.report, renderBatchReport(result));
    writeOutput(options.output, renderBatch(result, options.format));
  }
  if (failed > 0) {
    throw sequencesFailed("talmira batch", failed, mine.size());
  }
}

}  // namespace

void addBatchCommand(CLI::App& app) {
  auto options = std::make_shared<BatchOptions>();
  CLI::App* command = app.add_subcommand(
      "batch", "Score every sequence of a dataset, with totals pooled over the dataset");
  CLI::Option* list = command->add_option(
      "LIST", options->list,
      "CSV file with the header sequence,groundtruth,system and one sequence a line; paths "
      "relative to its folder");
  CLI::Option* gtDir =
      command
          ->add_option("--gt-dir", options->groundTruthDir,
                       "instead of LIST: a folder of ground-truth files, paired by name "
                       "(without extension) with the files of --sys-dir")
          ->type_name("DIR");
  CLI::Option* sysDir =
      command->add_option("--sys-dir", options->systemDir, "the folder of the detector's outputs")
          ->type_name("DIR");
  gtDir->needs(sysDir)->excludes(list);
  sysDir->needs(gtDir)->excludes(list);
  addConfidenceOption(*command, options->confidence);
  addJobsOption(*command, options->jobs,
                "sequences scored at once; the result does not depend on it");
  command
      ->add_option("--shard", options->shard,
                   "score only the sequences at positions i (from 0) with i mod N = K-1 and "
                   "write a partial result for `talmira merge`")
      ->type_name("K/N");
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
  CLI::Option* sweep = command->add_flag(
      "--sweep", options->sweep,
      "instead of scoring at -c: sweep every sequence over every threshold as `talmira sweep` "
      "does; the output is the pooled curve of each class (counts summed over the sequences), "
      "its best threshold, and each sequence's best threshold");
  CLI::Option* grid = command
                          ->add_option("--grid", options->gridSteps,
                                       "with --sweep: list the pooled rows at k/N for k = N down "
                                       "to 0 (default 100)")
                          ->type_name("N")
                          ->check(CLI::Range(1, kMaxGridSteps))
                          ->needs(sweep);
  command
      ->add_flag("--exact", options->exact,
                 "with --sweep: list the pooled rows at every threshold of the pooled curve")
      ->excludes(grid)
      ->needs(sweep);
  command
      ->add_option("--plot", options->plot,
                   "with --sweep: also draw the pooled curves into an SVG picture")
      ->type_name("FILE.svg")
      ->needs(sweep);
  CLI::Option* explain = command->add_flag(
      "--explain", options->explain,
      "instead of the counts alone: explain every sequence as `talmira explain` does (a cause "
      "for every miss and false alarm, the pairs' overlaps, the confusion matrix of All) and "
      "pool the causes over the dataset");
  addNearOption(*command, options->near)->needs(explain);
  command->add_flag("-q,--quiet", options->quiet, "no progress line on standard error");
  command->footer(
      "A sequence that cannot be read is reported on standard error and left out of the totals; "
      "the others are scored, and the exit status is 1.\n"
      "Examples:\n"
      "  talmira batch dataset.csv -c 0.5 --format csv -o scores.csv\n"
      "  talmira batch --gt-dir truth/ --sys-dir detections/ -j 4\n"
      "  talmira batch dataset.csv --shard 2/8 -o part2.json   (then: talmira merge part*.json)\n"
      "  talmira batch dataset.csv --sweep --exact --format csv -o pooled-curve.csv --plot "
      "pooled.svg\n"
      "  talmira batch dataset.csv --explain -c 0.4 --format csv -o causes.csv\n");
  command->callback([options, command] {
    options->formatGiven = command->count("--format") > 0;
    runBatch(*options);
  });
}

}  // namespace talmira

// A dataset's sequences, from a LIST or two folders, scored on several
// threads with only each finished sequence's counts (its best points with
// --sweep, its explanation without frames with --explain) kept.
#include "talmira/dataset.h"

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <map>
#include <memory>
#include <new>
#include <set>
#include <system_error>
#include <thread>

#include "scoring/analysis/sequence_explanation.h"
#include "scoring/counts/class_scores.h"
#include "talmira/benchmark_counts.h"
#include "talmira/precision_options.h"
#include "talmira/track_files.h"
#include "talmira/writers/explain_report.h"
#include "talmira/writers/sweep_report.h"

namespace talmira {

namespace {

namespace fs = std::filesystem;
// With --sweep: where the swept sequences' curves are summed, one pool per
// worker so that no worker waits for another's addition; the pools are
// summed at the end. Only the pools and each sequence's best points outlive
// the sequence. The sums are exact, so how the sequences fell to the workers
// does not show in the result.
struct SweepPool {
  std::vector<CurvePool> perWorker;
  CurvePool total() const {
    std::vector<const CurvePool*> pools;
    for (const CurvePool& pool : perWorker) pools.push_back(&pool);
    CurvePool sum;
    sum.addAll(pools);
    return sum;
  }
};

}  // namespace

// ---------------------------------------------------------------------------
// The list of sequences

std::vector<BatchSequence> readList(const std::string& listPath, BatchSource& source) {
  return parseList(readWholeFile(listPath), listPath, source);
}

std::vector<BatchSequence> parseList(std::string_view bytes, const std::string& listPath,
                                     BatchSource& source) {
  const std::vector<ListedSequence> listed =
      parseSequenceList(bytes, listPath, {"sequence", "groundtruth", "system"}, kFormatColumns);
  source.list = listPath;
  source.listDigest = digestOf(bytes);
  std::vector<BatchSequence> sequences;
  for (const ListedSequence& l : listed) {
    checkListedFormats(l, listPath, source.track);
    BatchSequence s;
    s.position = sequences.size();
    s.name = l.name;
    s.groundTruth = l.paths[0];
    s.system = l.paths[1];
    if (!l.optional.empty()) {
      s.groundTruthFormat = l.optional[0];
      s.systemFormat = l.optional[1];
    }
    sequences.push_back(std::move(s));
  }
  return sequences;
}

namespace {

// The regular files of a folder by name without extension (dot files, as
// editors leave them, are skipped); with `folders`, its folders instead (a
// YOLO sequence is a folder of files).
std::map<std::string, std::string> filesByName(const std::string& folder, bool folders) {
  std::error_code error;
  fs::directory_iterator it(folder, error);
  if (error) {
    throw CommandError{kExitInputOrOutput, folder + ": cannot list: " + error.message()};
  }
  std::map<std::string, std::string> files;
  for (const fs::directory_entry& entry : it) {
    const std::string fileName = entry.path().filename().string();
    if (fileName.empty() || fileName[0] == '.' ||
        !(folders ? entry.is_directory(error) : entry.is_regular_file(error))) {
      continue;
    }
    const std::string name = (folders ? entry.path().filename() : entry.path().stem()).string();
    const auto [at, inserted] = files.emplace(name, entry.path().string());
    if (!inserted) {
      throw CommandError{kExitInputOrOutput,
                         folder + ": " + fs::path(at->second).filename().string() + " and " +
                             fileName + " give the same sequence name \"" + name + "\""};
    }
  }
  return files;
}

// The MOTChallenge layout of a benchmark's ground truth: a folder per
// sequence, its tracks in gt/gt.txt (seqinfo.ini beside gt/ gives its
// length). Folders without gt/gt.txt are no sequences.
std::map<std::string, std::string> trackFoldersByName(const std::string& folder) {
  std::map<std::string, std::string> files;
  for (const auto& [name, path] : filesByName(folder, true)) {
    const fs::path truth = fs::path(path) / "gt" / "gt.txt";
    std::error_code error;
    if (fs::is_regular_file(truth, error)) files.emplace(name, truth.string());
  }
  return files;
}

}  // namespace

// Pairs the files of the same name in the two folders, sorted by name. A file
// in one folder only is a sequence that fails, so that it is counted and
// cannot go unnoticed.
std::vector<BatchSequence> pairFolders(const std::string& gtDir, const std::string& sysDir,
                                       BatchSource& source, const InputFormats& formats) {
  source.groundTruthDir = gtDir;
  source.systemDir = sysDir;
  // KITTI's tracks are a file a sequence (label_02/SEQUENCE.txt), beside
  // the seqmap that gives their lengths.
  const bool kittiTracks = source.track && source.tracking.rules == "kitti";
  const auto groundTruths = (source.track && !kittiTracks) || source.benchmark
                                ? trackFoldersByName(gtDir)
                                : filesByName(gtDir, !source.track && formats.groundTruth.format ==
                                                                          AnnotationFormat::kYolo);
  const auto systems =
      filesByName(sysDir, !source.track && formats.system.format == AnnotationFormat::kYolo);
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
// How the files are read

DatasetReading datasetReading(const FormatOptionsGiven& given,
                              const std::vector<BatchSequence>& sequences) {
  return datasetReading(given,
                        std::any_of(sequences.begin(), sequences.end(), [](const BatchSequence& s) {
                          return !s.groundTruthFormat.empty() || !s.systemFormat.empty();
                        }));
}

namespace {

// ---------------------------------------------------------------------------
// Scoring on several threads

// Reads both files on this thread: -j N means N cores busy, not 2N. Both
// messages are kept, as readInputs() keeps them.
void readPair(const BatchSequence& s, const InputFormats& formats,
              std::unique_ptr<QuorSequence>& groundTruth, std::unique_ptr<QuorSequence>& system) {
  std::string messages;
  try {
    groundTruth = readInput(s.groundTruth, nullptr, formats.groundTruth);
  } catch (const CommandError& e) {
    messages = e.message;
  }
  try {
    system = readInput(s.system, nullptr, formats.system);
  } catch (const CommandError& e) {
    messages += (messages.empty() ? "" : "\n") + e.message;
  }
  if (!messages.empty()) throw CommandError{kExitInputOrOutput, messages};
}

// Sweeps one sequence as `talmira sweep` does, keeps its best points and
// counts at `confidence`, and adds its curves into the pool.
void sweepOne(BatchSequence& s, const InputFormats& formats, float confidence, unsigned threads,
              CurvePool& pool) {
  SweptFiles swept;
  if (threads > 1) {
    swept = sweepFiles(s.groundTruth, s.system, threads, formats);
  } else {
    std::unique_ptr<QuorSequence> groundTruth;
    std::unique_ptr<QuorSequence> system;
    readPair(s, formats, groundTruth, system);
    swept.classSet = pairClasses(*groundTruth, *system);
    swept.curves = sweepClasses(*groundTruth, *system, *swept.classSet, 1);
  }
  std::vector<CurvePoint> best;
  for (const ClassCurve& curve : swept.curves) best.push_back(::bestPoint(curve));
  std::vector<ClassCounts> counts = countsAt(swept.curves, confidence);
  pool.add(*swept.classSet, swept.curves);
  s.classSet = std::move(swept.classSet);
  s.best = std::move(best);
  s.classes = std::move(counts);
}

// Explains one sequence as `talmira explain` does and keeps its counts,
// causes, pairs and confusion matrix; its frames are let go, since the
// dataset's outputs name sequences, not frames.
void explainOne(BatchSequence& s, const InputFormats& formats, ExplainOptions options,
                unsigned threads) {
  options.threads = threads;
  options.everyFrame = false;
  // In the pair's own classes; the result puts them in the dataset's.
  Explanation explained;
  if (threads > 1) {
    explained = explainFiles(s.groundTruth, s.system, options, formats);
  } else {
    std::unique_ptr<QuorSequence> groundTruth;
    std::unique_ptr<QuorSequence> system;
    readPair(s, formats, groundTruth, system);
    explained = explainSequences(*groundTruth, *system, options);
  }
  explained.timeline = {};
  s.classes.assign(explained.classes.size(), ClassCounts{});
  for (std::size_t slot = 0; slot < explained.classes.size(); ++slot) {
    const ClassExplanation& c = explained.classes[slot];
    s.classes[slot] = ClassCounts{c.gt, c.det, c.fn, c.fp, explained.frames};
  }
  s.classSet = explained.classSet;
  s.explanation = std::make_shared<const Explanation>(std::move(explained));
}

// Evaluates one sequence's average precision as `talmira ap` does and keeps
// its matches (what the dataset's figures are accumulated from) and figures;
// its boxes are let go.
void apOne(BatchSequence& s, const InputFormats& formats, float confidence,
           const precision::CocoParameters& parameters, unsigned threads) {
  precision::ImageSet set = imagesOfPair(s.groundTruth, s.system, formats, confidence,
                                         static_cast<uint32_t>(s.position), threads);
  std::vector<std::string> warnings = std::move(set.warnings);
  precision::MatchedImages matched = precision::matchImages(set, parameters, threads);
  s.precision = sequencePrecision(std::move(matched), std::move(warnings), parameters);
}

// Evaluates one sequence's tracks as `talmira track` does and keeps its
// figures (with the sums the dataset combines) and the readers' warnings.
void trackOne(BatchSequence& s, const TrackingSettings& settings) {
  TrackRequest request;
  request.groundTruth = s.groundTruth;
  request.system = s.system;
  request.groundTruthFormat =
      s.groundTruthFormat.empty() ? settings.groundTruthFormat : s.groundTruthFormat;
  request.systemFormat = s.systemFormat.empty() ? settings.systemFormat : s.systemFormat;
  request.ids = settings.ids;
  request.rules = settings.rules;
  request.confidence = settings.confidence;
  auto out = std::make_shared<SequenceTracking>();
  out->report = trackFiles(request, &out->warnings);
  s.tracking = std::move(out);
}

// What each sequence gets: scored at the confidence, swept into a pool,
// explained, evaluated for average precision, or for tracking.
struct SequenceWork {
  float confidence = 0.0f;
  const ExplainOptions* explain = nullptr;  // with --explain
  const DatasetReading* reading = nullptr;
  const precision::CocoParameters* ap = nullptr;  // with --ap
  const TrackingSettings* track = nullptr;        // with --track
  bool benchmark = false;  // --rules mot on MOT files: the benchmark's counts
};

void scoreOne(BatchSequence& s, const SequenceWork& work, unsigned threads, CurvePool* pool) {
  if (s.failed()) return;  // nothing to read (a file without its partner)
  const float confidence = work.confidence;
  try {
    if (work.track != nullptr) {
      // Tracks have readers of their own: the formats are track formats.
      trackOne(s, *work.track);
      return;
    }
    if (work.benchmark) {
      scoreBenchmarkSequence(s, work.reading->given, confidence, threads, pool);
      return;
    }
    const InputFormats formats =
        work.reading->of(s.groundTruth, s.groundTruthFormat, s.systemFormat);
    if (pool != nullptr) {
      sweepOne(s, formats, confidence, threads, *pool);
      return;
    }
    if (work.explain != nullptr) {
      explainOne(s, formats, *work.explain, threads);
      return;
    }
    if (work.ap != nullptr) {
      apOne(s, formats, confidence, *work.ap, threads);
      return;
    }
    std::unique_ptr<QuorSequence> groundTruth;
    std::unique_ptr<QuorSequence> system;
    if (threads > 1) {
      // Both files at once.
      readInputs(s.groundTruth, s.system, groundTruth, system, nullptr, nullptr, formats);
    } else {
      readPair(s, formats, groundTruth, system);
    }
    ClassSetPtr classes = pairClasses(*groundTruth, *system);
    s.classes = scoreClasses(*groundTruth, *system, *classes, confidence, threads);
    s.classSet = std::move(classes);
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
void scoreAll(const std::vector<BatchSequence*>& sequences, const SequenceWork& what, unsigned jobs,
              bool progressShown, SweepPool* pool) {
  Progress progress(progressShown, sequences.size());
  std::atomic<std::size_t> next{0};
  std::atomic<std::size_t> done{0};
  const std::size_t threads = std::min<std::size_t>(jobs, sequences.size());
  // With fewer sequences than jobs, the spare cores match frames within them.
  const unsigned perSequence =
      threads == 0 ? 1 : std::max(1u, jobs / static_cast<unsigned>(threads));
  if (pool != nullptr) pool->perWorker.assign(std::max<std::size_t>(threads, 1), CurvePool{});
  const auto work = [&](std::size_t worker) {
    CurvePool* mine = pool != nullptr ? &pool->perWorker[worker] : nullptr;
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

}  // namespace

void scoreSequences(const std::vector<BatchSequence*>& sequences, const BatchSource& source,
                    unsigned jobs, bool progressShown, CurvePool& pooled,
                    const DatasetReading& reading) {
  ExplainOptions explain;
  explain.confidence = source.confidence;
  explain.near = source.near;
  const SequenceWork work{source.confidence,
                          source.explain && !source.sweep ? &explain : nullptr,
                          &reading,
                          source.ap && !source.sweep ? &source.apParameters : nullptr,
                          source.track && !source.sweep ? &source.tracking : nullptr,
                          source.benchmark && !source.explain && !source.ap && !source.track};
  std::unique_ptr<SweepPool> pool = source.sweep ? std::make_unique<SweepPool>() : nullptr;
  scoreAll(sequences, work, std::max(1u, jobs), progressShown, pool.get());
  if (pool != nullptr) pooled = pool->total();
}

}  // namespace talmira

// A dataset's sequences, read from a LIST or paired from two folders, and
// scored, swept or explained on several threads: what `talmira batch` runs,
// and the Python module's talmira.batch() and score_sequence() run with it,
// so that every engine scores a sequence the same way and leaves the same
// counts.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "scoring/counts/confidence_sweep.h"
#include "talmira/cli_common.h"
#include "talmira/dataset_list.h"
#include "talmira/writers/batch_report.h"

namespace talmira {

/// Reads the LIST file at `listPath`: the header `sequence,groundtruth,system`,
/// then one sequence a line, paths relative to the LIST's folder, by the rules
/// of parseSequenceList() (dataset_list.h). With the header
/// `sequence,groundtruth,system,gt_format,sys_format`, each line may name the
/// formats of its two files (empty: the command's --gt-format or
/// --sys-format); a name that is no format breaks the rules. Sets the
/// source's list and digest. Throws a CommandError when the file cannot be
/// read, a ListError when a line breaks the rules.
std::vector<BatchSequence> readList(const std::string& listPath, BatchSource& source);
/// The same rules on the LIST's bytes, already read; paths are joined with
/// the folder of `listPath`.
std::vector<BatchSequence> parseList(std::string_view bytes, const std::string& listPath,
                                     BatchSource& source);

/// Pairs the files of the same name (without extension) in the two folders,
/// sorted by name; a file in one folder only is a sequence that fails. An
/// input read as yolo is a folder of files: its sequences are the folder's
/// folders.
std::vector<BatchSequence> pairFolders(const std::string& gtDir, const std::string& sysDir,
                                       BatchSource& source, const InputFormats& formats = {});

/// The reading of `sequences` with the options `given`: datasetReading()
/// (dataset_list.h), its checks relaxed when a sequence names formats of its
/// own.
DatasetReading datasetReading(const FormatOptionsGiven& given,
                              const std::vector<BatchSequence>& sequences);

/// Scores each of `sequences` as `source` says, on `jobs` threads, each
/// thread taking the next sequence when done with one (with fewer sequences
/// than jobs, the spare threads match frames within them). A sequence that
/// cannot be read or is malformed gets its message in `error` and the others
/// go on. Without --sweep or --explain, each sequence's counts at the
/// source's confidence are kept. With --sweep (`source.sweep`), every
/// sequence is swept instead: its best points and its counts at the
/// confidence are kept, and its exact curves are added into `pooled` (which
/// is set whole, from an empty pool; it is left alone otherwise). With
/// --explain (`source.explain`), every sequence is explained as `talmira
/// explain` explains it at the confidence and the source's near: its counts
/// and its explanation without frames are kept, for pooledExplanation().
/// With --ap (`source.ap`), every sequence is evaluated for average
/// precision as `talmira ap` evaluates its pair, at the source's parameters:
/// its matched cells and figures are kept (BatchSequence::precision), for
/// settlePrecision().
/// Under --rules mot on MOT files (`source.benchmark`), every sequence is
/// counted (or with --sweep swept) as the benchmark's evaluator counts it
/// instead (scoreBenchmarkSequence(), benchmark_counts.h).
/// Only the results of a finished sequence are kept, and they do not depend
/// on `jobs` or on the order the threads finish in. `progressShown`: a
/// progress line on standard error. The files are read as `reading` says
/// (by default, as files of this format).
void scoreSequences(const std::vector<BatchSequence*>& sequences, const BatchSource& source,
                    unsigned jobs, bool progressShown, CurvePool& pooled,
                    const DatasetReading& reading = {});

}  // namespace talmira

// What the commands that work on a whole dataset share: the CSV list of its
// sequences and the progress line. `talmira batch` and the Python module
// read their LIST through talmira/dataset.h, `talmira compare` its own
// columns, all by the rules here.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "talmira/cli_common.h"

namespace talmira {

/// Splits one CSV line into fields; quoted fields may hold commas and doubled
/// quotes. Returns false when a quote is not closed or is followed by text.
bool splitCsvLine(const std::string& line, std::vector<std::string>& fields);

/// The bytes of a file; a CommandError of status 1 when it cannot be read.
std::string readWholeFile(const std::string& path);

/// `path` as seen from the current folder when it is relative to `folder`
/// (a list's folder); absolute paths are kept.
std::string joinedPath(const std::string& folder, const std::string& path);

/// One sequence of a list: its line, its name and its paths joined with the
/// list's folder, and the fields of the optional columns as written (empty
/// when the list's header lacks them, or when a line leaves them empty).
struct ListedSequence {
  std::size_t line = 0;
  std::string name;
  std::vector<std::string> paths;
  std::vector<std::string> optional;
};

/// A list that breaks the rules: status 1 with the message
/// `LIST:LINE: WHAT`, and the line (from 1) and what is wrong taken apart
/// for callers that name the place otherwise (a table's row).
struct ListError : CommandError {
  std::size_t line = 0;
  std::string what;
};

/// The sequences of a list whose bytes are `bytes`: the header (`columns`
/// joined by commas), then one sequence a line, its name first and then one
/// path per further column, paths relative to the folder of `listPath`.
/// Blank lines are skipped. A missing header, a line without exactly that
/// many non-empty fields, a name used twice, or the name "(all)" (it names
/// the totals) throws a ListError that names the list and the line.
/// With `optionalColumns`, the header may also be `columns` followed by
/// them; each line then has their fields too, which may be empty.
std::vector<ListedSequence> parseSequenceList(std::string_view bytes, const std::string& listPath,
                                              const std::vector<std::string>& columns,
                                              const std::vector<std::string>& optionalColumns = {});
/// The same of the file at `listPath`, read whole into `bytes`; a
/// CommandError of status 1 when it cannot be read.
std::vector<ListedSequence> readSequenceList(const std::string& listPath,
                                             const std::vector<std::string>& columns,
                                             std::string& bytes,
                                             const std::vector<std::string>& optionalColumns = {});

/// The columns a LIST may end with to name the formats of each line's files
/// (gt_format for the ground truth, sys_format for the detectors' outputs).
inline const std::vector<std::string> kFormatColumns = {"gt_format", "sys_format"};

/// Throws a ListError naming the line of `listed` when a field of its
/// optional columns (kFormatColumns) is neither empty nor a format's name;
/// with `tracks`, the name of a track format (isTrackFormat(), of
/// track_files.h) instead.
void checkListedFormats(const ListedSequence& listed, const std::string& listPath,
                        bool tracks = false);

/// How a dataset's files are read: the command's --gt-format, --sys-format
/// and the options of the other formats, and the map --classes names.
struct DatasetReading {
  FormatOptionsGiven given;
  std::shared_ptr<const ClassMap> classes;
  /// How the files of a sequence whose ground truth is `groundTruthPath`
  /// are read; `groundTruthFormat` and `systemFormat`, when not empty (a
  /// LIST line's), stand in for the command's formats.
  InputFormats of(const std::string& groundTruthPath, const std::string& groundTruthFormat = {},
                  const std::string& systemFormat = {}) const;
};

/// The reading the options `given` set. They are checked as `talmira score`
/// checks them (a CommandError of status 2 for options that do not go
/// together), unless `formatsPerSequence` (a LIST names formats of its own):
/// then only the form of --image-size is, and a sequence whose files lack
/// what their format needs fails as it is read. Loads the class map (a
/// CommandError of status 1 when it cannot be read).
DatasetReading datasetReading(const FormatOptionsGiven& given, bool formatsPerSequence);

/// The options of the other formats as command-line words (the class map
/// with a digest of what it maps), which the parts of one run share: empty
/// when every input is read as this format.
std::string readingWords(const DatasetReading& reading);

/// A progress line on standard error, "scored 3 of 40 sequences, 0:00:12
/// elapsed, about 0:02:28 left", rewritten in place and erased at the end;
/// nothing when not `shown` (standard error is no terminal, or -q).
class Progress {
 public:
  Progress(bool shown, std::size_t total);
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;
  ~Progress();
  /// `done` sequences are finished; may be called from any thread.
  void finished(std::size_t done);

 private:
  void draw(std::size_t done);

  bool shown_;
  std::size_t total_;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point lastDrawn_{};
  std::mutex mutex_;
};

}  // namespace talmira

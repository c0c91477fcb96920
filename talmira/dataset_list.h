// What the commands that work on a whole dataset share: the CSV list of its
// sequences and the progress line. `talmira batch` and the Python module
// read their LIST through talmira/dataset.h, `talmira compare` its own
// columns, all by the rules here.
#pragma once

#include <chrono>
#include <cstddef>
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
/// list's folder.
struct ListedSequence {
  std::size_t line = 0;
  std::string name;
  std::vector<std::string> paths;
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
std::vector<ListedSequence> parseSequenceList(std::string_view bytes, const std::string& listPath,
                                              const std::vector<std::string>& columns);
/// The same of the file at `listPath`, read whole into `bytes`; a
/// CommandError of status 1 when it cannot be read.
std::vector<ListedSequence> readSequenceList(const std::string& listPath,
                                             const std::vector<std::string>& columns,
                                             std::string& bytes);

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

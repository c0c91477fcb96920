// The check report as JSON, shared by `talmira check --format json` and the
// Python module's talmira.check, so both give the same keys and values.
#pragma once

#include <string>
#include <string_view>

#include "scoring/analysis/file_check.h"
#include "talmira/cli_common.h"

namespace talmira {

/// `text` with control bytes, bytes outside printable ASCII and backslashes
/// shown as \xNN: type names and paths hold whatever bytes the files and the
/// command line gave, and every output stays one line per item and valid UTF-8.
std::string printable(std::string_view text);

/// A class name as the dataset gives it, for a line of text: its UTF-8
/// letters kept, but control characters, bytes that are not UTF-8 and
/// backslashes shown as \xNN as printable() shows them.
std::string printableName(std::string_view name);

/// The report on the ground truth named `groundTruthName` and, when the
/// report has one, the system output named `systemName`.
Json checkReportJson(const std::string& groundTruthName, const std::string& systemName,
                     const CheckReport& report);

}  // namespace talmira

// Writing an output given a piece at a time: for outputs too long to be
// held whole (a report of every track of a long video).
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace talmira {

/// Takes a piece of an output's text (writeOutputPieces()).
using OutputSink = std::function<void(std::string_view)>;

/// writeOutput() of the text `produce` hands the sink, a piece at a time, in
/// order: the same file, whole or not at all (a new file renamed over it
/// once complete), without the whole text in memory at once. Throws a
/// CommandError of status 1 when it cannot.
void writeOutputPieces(const std::string& path,
                       const std::function<void(const OutputSink&)>& produce);

}  // namespace talmira

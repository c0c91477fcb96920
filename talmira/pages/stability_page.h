// The page of `talmira stability --report`: one self-contained HTML file.
#pragma once

#include <cstddef>
#include <string>

#include "talmira/writers/stability_report.h"

namespace talmira {

/// The summary table, each class's three errors as bars, then per class its
/// `tracks` worst tracks (by their sum; those whose series the report kept)
/// each with a strip of its matched and missed frames and its four offsets
/// over time, the worst frames marked. With `viewPage`, each worst frame
/// links to that `talmira view` page at the frame (PAGE.html#frame=N).
std::string renderStabilityPage(const StabilityReport& report, std::size_t tracks,
                                const std::string& viewPage, const std::string& producedBy);

}  // namespace talmira

// The page of `talmira compare`: self-contained like the other pages (inline
// CSS and SVG, nothing fetched from a network).
#pragma once

#include <string>

#include "talmira/writers/compare_report.h"

namespace talmira {

/// The settings and the verdict on All; each class's difference with its
/// interval on one axis (a forest plot) and in a table; the objects found
/// by one detector only; with --dataset every sequence's difference on All,
/// sorted, and the failed sequences; with --best both detectors' curves of
/// All on one plot. `producedBy` is the command line, for the footer.
std::string renderComparePage(const CompareResult& result, const std::string& producedBy);

}  // namespace talmira

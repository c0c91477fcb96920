// The confidence sweep drawn as an SVG picture, written by the program
// itself so that no plotting program is needed where it runs.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "scoring/confidence_sweep.h"

namespace talmira {

/// Whether the class has ground-truth objects at some threshold; NMODTA says
/// nothing about a class without any, so such a class is not drawn.
bool hasObjects(const ClassCurve& curve);

/// The points (indices, ascending) that a step line through `values` (one per
/// point of `points`, thresholds descending) needs when the threshold axis
/// from 0 to 1 is `columns` pixels wide: in every column, the first and last
/// point and the lowest and highest value; also the curve's first and last
/// point and `keep` (the best point). Drawn through these, the line covers
/// the same pixels as through all points, with at most 4 * columns + 3 of them.
std::vector<std::size_t> pointsToDraw(const std::vector<CurvePoint>& points,
                                      const std::vector<double>& values, int columns,
                                      std::optional<std::size_t> keep = std::nullopt);

/// Two panels: NMODTA against the threshold for every class that has objects
/// ("All" drawn strongest), legend, axes, ticks, the best point of each class
/// marked (highest NMODTA, ties to the highest threshold); below, misses (FN)
/// and false alarms (FP) of "All" against the threshold. Step lines drawn from
/// the exact curves, thinned only below what the picture can show (see
/// pointsToDraw). One <g class="series"> per series with a <title>. `caption`
/// is shown above the panels. The result is a complete <svg> element: a file
/// of its own or part of an HTML page.
std::string renderSweepSvg(const SweepCurves& exact, const std::string& caption);

}  // namespace talmira

// The confidence sweep drawn as an SVG picture, written by the program
// itself so that no plotting program is needed where it runs.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "scoring/counts/confidence_sweep.h"

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
std::string renderSweepSvg(const SweepCurves& exact, const std::string& caption,
                           const ClassSet& classes = *ClassSet::standard());

/// The indices (ascending) of the points of a line through (xs[i], ys[i]),
/// x in [0, 1] drawn `columns` pixels wide, that a picture needs: of every
/// run of consecutive points in one pixel column, the first, the last and
/// those of the lowest and highest y. Drawn through these, the line covers
/// the same pixels as through all points.
std::vector<std::size_t> polylineToDraw(const std::vector<double>& xs,
                                        const std::vector<double>& ys, int columns);

/// Precision against recall for every class that has objects ("All"
/// strongest), from the exact curves: each curve's points in threshold
/// order as a step line, and dashed, the precision envelope whose area is
/// the class's average precision (precisionEnvelope(), averagePrecision());
/// the area under the envelope of "All" shaded; each class's best NMODTA
/// point marked; the AP of each class in the legend and the series' title.
/// One <g class="series" data-series="pr" data-class=...> per class. A
/// complete <svg> element.
std::string renderPrecisionRecallSvg(const SweepCurves& exact, const std::string& caption,
                                     const ClassSet& classes = *ClassSet::standard());

}  // namespace talmira

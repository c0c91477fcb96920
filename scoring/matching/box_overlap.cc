#include "scoring/matching/box_overlap.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace {

// Coordinates span the whole 32-bit range, so a width reaches 2^32 - 1 and an
// area (2^32 - 1)^2, which still fits an unsigned 64-bit integer. Inside the
// range of ordinary images every value is exact, so the ratios are the same
// as with 32-bit arithmetic.
uint64_t span(int32_t low, int32_t high) {
  return static_cast<uint64_t>(static_cast<int64_t>(high) - static_cast<int64_t>(low));
}

uint64_t intersectionArea(const QuorTarget& a, const QuorTarget& b) {
  return span(std::max(a.minX, b.minX), std::min(a.maxX, b.maxX)) *
         span(std::max(a.minY, b.minY), std::min(a.maxY, b.maxY));
}

// The overlap ratio of two touching rectangles.
float touchingOverlap(const QuorTarget& a, const QuorTarget& b) {
  const uint64_t intersection = intersectionArea(a, b);
  // The denominator is the smallest rectangle holding both boxes, not their union.
  const uint64_t enclosing = span(std::min(a.minX, b.minX), std::max(a.maxX, b.maxX)) *
                             span(std::min(a.minY, b.minY), std::max(a.maxY, b.maxY));
  // The ratio is rounded to single precision before any comparison, so that
  // exactly one fifth passes the threshold of 0.2f. With an empty enclosing
  // rectangle the quotient is NaN and the pair fails.
  return static_cast<float>(static_cast<double>(intersection) / static_cast<double>(enclosing));
}

// The intersection over the union of two touching rectangles, computed in
// double precision and rounded to single precision.
float touchingIou(const QuorTarget& a, const QuorTarget& b) {
  // Each area fits 64 bits but their sum may not: the union is taken in double.
  const double intersection = static_cast<double>(intersectionArea(a, b));
  const double areaA = static_cast<double>(span(a.minX, a.maxX) * span(a.minY, a.maxY));
  const double areaB = static_cast<double>(span(b.minX, b.maxX) * span(b.minY, b.maxY));
  return static_cast<float>(intersection / (areaA + areaB - intersection));
}

// The part of `target` a touching region covers.
float touchingCover(const QuorTarget& target, const QuorTarget& region) {
  // The target's size is taken from its first two sides, so a turned box
  // counts with its own area rather than that of its bounding rectangle.
  const double size = target.sideProduct;
  const double intersection = static_cast<double>(intersectionArea(target, region));
  // 0 / 0 is NaN and covers nothing; a positive area over 0 is infinite and covers.
  return static_cast<float>(intersection / size);
}

}  // namespace

int32_t scorePair(const QuorTarget& groundTruth, const QuorTarget& system, float threshold,
                  bool keepMarkA, bool keepMarkB, OverlapMeasure measure) {
  if (!rectanglesTouch(groundTruth, system)) return 0;
  const float ratio = measure == OverlapMeasure::kEnclosing ? touchingOverlap(groundTruth, system)
                                                            : touchingIou(groundTruth, system);
  if (!(ratio >= threshold)) return 0;
  if (!keepMarkA && (groundTruth.markA || system.markA)) return -1;
  if (!keepMarkB && (groundTruth.markB || system.markB)) return -1;
  return 1;
}

bool regionCovers(const QuorTarget& target, const QuorTarget& region, float cover) {
  if (!rectanglesTouch(region, target)) return false;
  return touchingCover(target, region) >= cover;
}

float pairOverlap(const QuorTarget& a, const QuorTarget& b, OverlapMeasure measure) {
  return measure == OverlapMeasure::kEnclosing ? overlapRatio(a, b) : rectangleIou(a, b);
}

void pairOverlapAndIou(const QuorTarget& a, const QuorTarget& b, OverlapMeasure measure,
                       float& overlap, float& iou) {
  if (!rectanglesTouch(a, b)) {
    overlap = iou = 0.0f;
    return;
  }
  iou = touchingIou(a, b);
  overlap = measure == OverlapMeasure::kEnclosing ? touchingOverlap(a, b) : iou;
}

float overlapRatio(const QuorTarget& a, const QuorTarget& b) {
  return rectanglesTouch(a, b) ? touchingOverlap(a, b) : 0.0f;
}

float rectangleIou(const QuorTarget& a, const QuorTarget& b) {
  return rectanglesTouch(a, b) ? touchingIou(a, b) : 0.0f;
}

float regionCover(const QuorTarget& target, const QuorTarget& region) {
  return rectanglesTouch(region, target) ? touchingCover(target, region) : 0.0f;
}

#include "scoring/frame_matching.h"

#include "scoring/frame_matching_internal.h"

void evaluateFrame(QuorFrame& groundTruth, const QuorFrame* system, bool keepMarkA,
                   bool keepMarkB) {
  evaluateFrameDense(groundTruth, system, keepMarkA, keepMarkB);
}

// The largest total weight of a one-to-one pairing of ground-truth with
// tracker identities (IDF1's true positives), from the pairs that share a
// frame: exact, in integers, on the sparse pairs alone. The evaluators
// solve it as a (G + H) x (G + H) dense assignment; 20,000 identities a
// side would take gigabytes that way, and the optimum's value is all the
// measures need.
#pragma once

#include <cstdint>
#include <span>

namespace tracking {

struct IdentityPair {
  int32_t groundTruth;
  int32_t tracker;
  int64_t weight;  // > 0: frames in which the two overlap enough
};

/// The maximum weight of a matching of the bipartite graph `pairs` (ground
/// truth 0..groundTruthIds-1 against tracker 0..trackerIds-1; each pair at
/// most once).
int64_t maximumIdentityMatching(int32_t groundTruthIds, int32_t trackerIds,
                                std::span<const IdentityPair> pairs);

}  // namespace tracking

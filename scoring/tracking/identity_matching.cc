// Successive shortest paths on each connected part of the graph: a source
// feeds every ground-truth identity, every tracker identity drains to a
// sink, and a pair costs minus its weight. Each augmentation takes the
// cheapest path (Dijkstra on costs reduced by potentials, in integers, so
// exact), and augmenting stops once the cheapest path no longer gains:
// the flow is then a matching of the largest weight.
#include "scoring/tracking/identity_matching.h"

#include <algorithm>
#include <functional>
#include <limits>
#include <numeric>
#include <queue>
#include <utility>
#include <vector>

namespace tracking {

namespace {

constexpr int64_t kUnreached = std::numeric_limits<int64_t>::max();

struct Arc {
  int32_t to;
  int32_t reverse;  // index of the opposite arc in arcs[to]
  int64_t cost;
  int32_t capacity;
};

class MatchingNetwork {
 public:
  // Nodes: 0 source, 1 sink, then the rows, then the columns.
  MatchingNetwork(int32_t rows, int32_t columns)
      : rows_(rows), arcs_(static_cast<std::size_t>(2 + rows + columns)) {
    for (int32_t r = 0; r < rows; ++r) addArc(0, rowNode(r), 0);
    for (int32_t c = 0; c < columns; ++c) addArc(columnNode(c), 1, 0);
  }

  void addPair(int32_t row, int32_t column, int64_t weight) {
    addArc(rowNode(row), columnNode(column), -weight);
  }

  int64_t largestWeight() {
    const std::size_t nodes = arcs_.size();
    // Potentials that make every arc's reduced cost non-negative: the
    // network starts acyclic (source, rows, columns, sink).
    std::vector<int64_t> potential(nodes, 0);
    for (std::size_t node = 2; node < nodes; ++node) {
      if (static_cast<int32_t>(node) < 2 + rows_) {
        for (const Arc& arc : arcs_[node]) {
          if (arc.capacity > 0) {
            potential[static_cast<std::size_t>(arc.to)] =
                std::min(potential[static_cast<std::size_t>(arc.to)], arc.cost);
          }
        }
      }
    }
    for (std::size_t node = static_cast<std::size_t>(2 + rows_); node < nodes; ++node) {
      potential[1] = std::min(potential[1], potential[node]);
    }

    int64_t total = 0;
    std::vector<int64_t> distance(nodes);
    std::vector<std::pair<int32_t, int32_t>> via(nodes);  // node and arc it was reached by
    using Entry = std::pair<int64_t, int32_t>;
    while (true) {
      std::fill(distance.begin(), distance.end(), kUnreached);
      std::priority_queue<Entry, std::vector<Entry>, std::greater<>> queue;
      distance[0] = 0;
      queue.emplace(0, 0);
      while (!queue.empty()) {
        const auto [d, node] = queue.top();
        queue.pop();
        if (d != distance[static_cast<std::size_t>(node)]) continue;
        const auto& out = arcs_[static_cast<std::size_t>(node)];
        for (std::size_t k = 0; k < out.size(); ++k) {
          const Arc& arc = out[k];
          if (arc.capacity == 0) continue;
          const int64_t reduced = arc.cost + potential[static_cast<std::size_t>(node)] -
                                  potential[static_cast<std::size_t>(arc.to)];
          const int64_t next = d + reduced;
          if (next < distance[static_cast<std::size_t>(arc.to)]) {
            distance[static_cast<std::size_t>(arc.to)] = next;
            via[static_cast<std::size_t>(arc.to)] = {node, static_cast<int32_t>(k)};
            queue.emplace(next, arc.to);
          }
        }
      }
      if (distance[1] == kUnreached) break;
      for (std::size_t node = 0; node < nodes; ++node) {
        if (distance[node] != kUnreached) potential[node] += distance[node];
      }
      // The path's true cost: what the potentials now say of the sink.
      const int64_t cost = potential[1] - potential[0];
      if (cost >= 0) break;
      total -= cost;
      for (int32_t node = 1; node != 0;) {
        const auto [from, k] = via[static_cast<std::size_t>(node)];
        Arc& arc = arcs_[static_cast<std::size_t>(from)][static_cast<std::size_t>(k)];
        arc.capacity -= 1;
        arcs_[static_cast<std::size_t>(node)][static_cast<std::size_t>(arc.reverse)].capacity += 1;
        node = from;
      }
    }
    return total;
  }

 private:
  int32_t rowNode(int32_t row) const { return 2 + row; }
  int32_t columnNode(int32_t column) const { return 2 + rows_ + column; }

  void addArc(int32_t from, int32_t to, int64_t cost) {
    auto& forward = arcs_[static_cast<std::size_t>(from)];
    auto& backward = arcs_[static_cast<std::size_t>(to)];
    forward.push_back({to, static_cast<int32_t>(backward.size()), cost, 1});
    backward.push_back({from, static_cast<int32_t>(forward.size() - 1), -cost, 0});
  }

  int32_t rows_;
  std::vector<std::vector<Arc>> arcs_;
};

// Union-find over rows 0..G-1 and columns G..G+H-1.
class Parts {
 public:
  explicit Parts(std::size_t size) : parent_(size) {
    std::iota(parent_.begin(), parent_.end(), std::size_t{0});
  }
  std::size_t find(std::size_t x) {
    while (parent_[x] != x) {
      parent_[x] = parent_[parent_[x]];
      x = parent_[x];
    }
    return x;
  }
  void join(std::size_t a, std::size_t b) { parent_[find(a)] = find(b); }

 private:
  std::vector<std::size_t> parent_;
};

}  // namespace

int64_t maximumIdentityMatching(int32_t groundTruthIds, int32_t trackerIds,
                                std::span<const IdentityPair> pairs) {
  if (pairs.empty()) return 0;
  const auto rows = static_cast<std::size_t>(groundTruthIds);
  Parts parts(rows + static_cast<std::size_t>(trackerIds));
  for (const IdentityPair& pair : pairs) {
    parts.join(static_cast<std::size_t>(pair.groundTruth),
               rows + static_cast<std::size_t>(pair.tracker));
  }
  // Each part's pairs together, its identities numbered from 0.
  std::vector<std::size_t> order(pairs.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::vector<std::size_t> partOf(pairs.size());
  for (std::size_t k = 0; k < pairs.size(); ++k) {
    partOf[k] = parts.find(static_cast<std::size_t>(pairs[k].groundTruth));
  }
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) { return partOf[a] < partOf[b]; });
  std::vector<int32_t> local(rows + static_cast<std::size_t>(trackerIds), -1);
  int64_t total = 0;
  for (std::size_t begin = 0; begin < order.size();) {
    std::size_t end = begin;
    while (end < order.size() && partOf[order[end]] == partOf[order[begin]]) ++end;
    int32_t partRows = 0;
    int32_t partColumns = 0;
    for (std::size_t k = begin; k < end; ++k) {
      const IdentityPair& pair = pairs[order[k]];
      int32_t& row = local[static_cast<std::size_t>(pair.groundTruth)];
      if (row < 0) row = partRows++;
      int32_t& column = local[rows + static_cast<std::size_t>(pair.tracker)];
      if (column < 0) column = partColumns++;
    }
    if (end - begin == 1) {
      total += pairs[order[begin]].weight;
    } else {
      MatchingNetwork network(partRows, partColumns);
      for (std::size_t k = begin; k < end; ++k) {
        const IdentityPair& pair = pairs[order[k]];
        network.addPair(local[static_cast<std::size_t>(pair.groundTruth)],
                        local[rows + static_cast<std::size_t>(pair.tracker)], pair.weight);
      }
      total += network.largestWeight();
    }
    begin = end;
  }
  return total;
}

}  // namespace tracking

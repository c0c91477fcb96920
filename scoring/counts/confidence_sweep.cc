// The counts of every class at every confidence threshold, in one walk.
//
// A frame's counts at a threshold depend only on which boxes are taken, and
// the taken boxes only grow as the threshold falls. So each frame is swept
// from the highest threshold down: boxes enter in the order of their
// confidences, a system box that passes the overlap test with a flagged box
// (or is flagged and passes with any truth) is set aside for good once both
// are in, and a largest matching of the remaining passing pairs is kept up
// to date. A largest matching grows by at most one when a box enters, and
// when a paired box is set aside only its former partner can restore the
// size, so one augmenting-path search per change keeps it largest. What each
// change does to GT, Det and the number of pairs is added to the row of the
// threshold at which it happens; a running sum over the rows gives the
// curve. Frames are independent.
#include "scoring/counts/confidence_sweep.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <thread>
#include <unordered_map>
#include <utility>

#include "scoring/counts/sequence_evaluation.h"
#include "scoring/counts/streaming_evaluation.h"
#include "scoring/matching/box_index.h"
#include "scoring/matching/box_overlap.h"
#include "scoring/matching/frame_matching_internal.h"
#include "scoring/matching/touching_pairs.h"

namespace {

constexpr int32_t kNever = -1;  // a box no threshold in [0, 1] takes

// A class's rows: 1, its distinct confidences strictly between 0 and 1, and 0,
// descending.
class Rows {
 public:
  Rows() = default;
  explicit Rows(std::vector<float> confidences) { assign(confidences); }

  /// Makes the rows of `confidences` (each strictly between 0 and 1, in any
  /// order, repeats allowed), which it sorts; reuses the memory.
  void assign(std::vector<float>& confidences) {
    std::sort(confidences.begin(), confidences.end(), std::greater<float>());
    confidences.erase(std::unique(confidences.begin(), confidences.end()), confidences.end());
    thresholds_.clear();
    thresholds_.reserve(confidences.size() + 2);
    thresholds_.push_back(1.0f);
    thresholds_.insert(thresholds_.end(), confidences.begin(), confidences.end());
    thresholds_.push_back(0.0f);
    index_.clear();
    if (thresholds_.size() <= kIndexFrom) return;
    // The row of each value, by its bits, for the many rows of a sequence.
    index_.assign(std::bit_ceil(2 * thresholds_.size()), IndexSlot{});
    const std::size_t mask = index_.size() - 1;
    for (std::size_t row = 1; row + 1 < thresholds_.size(); ++row) {
      const uint32_t bits = bitsOf(thresholds_[row]);
      std::size_t at = hashOf(bits) & mask;
      while (index_[at].bits != 0) at = (at + 1) & mask;
      index_[at] = {bits, static_cast<int32_t>(row)};
    }
  }

  const std::vector<float>& thresholds() const { return thresholds_; }

  // The first row (the highest threshold) at which a box of this confidence
  // is taken. A box is taken at t when its confidence is at least t: above 1
  // (infinity included) it is taken at every row, at zero (of either sign)
  // only at 0, and below zero (or NaN) never.
  int32_t entryOf(float confidence) const {
    if (confidence >= 1.0f) return 0;
    if (confidence > 0.0f) {
      if (!index_.empty()) {
        const uint32_t bits = bitsOf(confidence);
        const std::size_t mask = index_.size() - 1;
        for (std::size_t at = hashOf(bits) & mask; index_[at].bits != 0; at = (at + 1) & mask) {
          if (index_[at].bits == bits) return index_[at].row;
        }
      }
      // The first row not above it (the row of its own value), by a binary
      // search whose steps are conditional moves rather than branches: the
      // confidences come in no order, so a branch would be mispredicted on
      // every other step. There are at least two rows, 1 and 0.
      const float* base = thresholds_.data();
      std::size_t length = thresholds_.size();
      while (length > 1) {
        const std::size_t half = length / 2;
        base = base[half - 1] > confidence ? base + half : base;
        length -= half;
      }
      return static_cast<int32_t>(base - thresholds_.data()) + (*base > confidence ? 1 : 0);
    }
    if (confidence >= 0.0f) return static_cast<int32_t>(thresholds_.size()) - 1;
    return kNever;
  }

 private:
  // Rows beyond this many are also found through the index.
  static constexpr std::size_t kIndexFrom = 64;
  struct IndexSlot {
    uint32_t bits = 0;  // 0 (the bits of +0, never a row between 0 and 1): empty
    int32_t row = 0;
  };
  static uint32_t bitsOf(float value) {
    uint32_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
  }
  static std::size_t hashOf(uint32_t bits) {
    return static_cast<std::size_t>((bits * 0x9E3779B97F4A7C15ull) >> 32);
  }

  std::vector<float> thresholds_;
  std::vector<IndexSlot> index_;
};

bool strictlyBetweenZeroAndOne(float confidence) { return confidence > 0.0f && confidence < 1.0f; }

// The row in a class set of each class code that has one, else -1.
class ClassSlots {
 public:
  explicit ClassSlots(const ClassSet& classes = *ClassSet::standard()) : count_(classes.rows()) {
    for (std::size_t slot = 1; slot < classes.rows(); ++slot) {
      const uint16_t code = classes.code(slot);
      if (code >= slots_.size()) slots_.resize(std::size_t{code} + 1, -1);
      slots_[code] = static_cast<int32_t>(slot);
    }
  }
  int32_t of(uint16_t code) const { return code < slots_.size() ? slots_[code] : -1; }
  /// The rows, "All" included.
  std::size_t count() const { return count_; }

 private:
  std::vector<int32_t> slots_;
  std::size_t count_;
};

// What a frame's changes at one row add to a class's counts; misses and
// false alarms follow: FN = GT - pairs, FP = Det - pairs.
struct Change {
  int64_t gt = 0;
  int64_t det = 0;
  int64_t pairs = 0;
  Change& operator+=(const Change& other) {
    gt += other.gt;
    det += other.det;
    pairs += other.pairs;
    return *this;
  }
  Change& operator-=(const Change& other) {
    gt -= other.gt;
    det -= other.det;
    pairs -= other.pairs;
    return *this;
  }
};

// The same in 32 bits, for the many sums of the tables kept while reading.
// They wrap around (unsigned) and are read as signed: right as long as no
// sum moves by 2^31 or more between two readings.
struct Change32 {
  uint32_t gt = 0;
  uint32_t det = 0;
  uint32_t pairs = 0;
  Change32& operator+=(const Change& other) {
    gt += static_cast<uint32_t>(other.gt);
    det += static_cast<uint32_t>(other.det);
    pairs += static_cast<uint32_t>(other.pairs);
    return *this;
  }
  Change wide() const {
    return {static_cast<int32_t>(gt), static_cast<int32_t>(det), static_cast<int32_t>(pairs)};
  }
};

// A box of one frame's sweep.
struct Node {
  int32_t entry;  // the row at which it is taken
  bool flagged;
};

// A pair of boxes that passes the overlap test: either a candidate pair of
// the matching, or (when either box is flagged) a pair that sets the system
// box aside.
struct Link {
  int32_t truth;
  int32_t system;
  bool matches;
};

// The sweep of one frame of one class, with its memory kept between frames.
class FrameSweep {
 public:
  /// Sweeps the boxes, adding each change to `changes[row]` (of `rowCount` rows).
  void run(const std::vector<Node>& truths, const std::vector<Node>& systems,
           const std::vector<Link>& links, Change* changes, std::size_t rowCount) {
    const std::size_t truthCount = truths.size();
    const std::size_t systemCount = systems.size();
    truths_ = &truths;
    systems_ = &systems;
    buildAdjacency(links, truthCount, systemCount);
    truth_.assign(truthCount, TruthState{});
    system_.assign(systemCount, SystemState{});
    stamp_ = 0;
    orderEvents(truths, systems, rowCount);
    for (const Event& event : events_) {
      Change& change = changes[event.entry];
      if (event.system) {
        enterSystem(event.index, change);
      } else {
        enterTruth(event.index, change);
      }
    }
  }

 private:
  enum : char { kOut, kIn, kAside };
  struct Event {
    int32_t entry;
    bool system;
    int32_t index;
  };
  struct Edge {
    int32_t other;
    bool matches;
  };
  // A box's part in the matching being kept up to date, and the marks of the
  // path searches; one record a box, so that a frame's start sets two lists.
  struct TruthState {
    bool in = false;
    int32_t partner = -1;
    uint32_t seen = 0;
    int32_t via = 0;
  };
  struct SystemState {
    char state = kOut;
    int32_t partner = -1;
    uint32_t seen = 0;
    int32_t via = 0;
  };

  // The boxes in the order they enter: by row, then truths before system
  // boxes, each in list order. With few rows (a frame's own) by counting;
  // with a sequence's many rows, by sorting the frame's few boxes.
  void orderEvents(const std::vector<Node>& truths, const std::vector<Node>& systems,
                   std::size_t rowCount) {
    events_.clear();
    const std::size_t boxes = truths.size() + systems.size();
    if (rowCount > 4 * boxes + 16) {
      for (std::size_t r = 0; r < truths.size(); ++r) {
        events_.push_back({truths[r].entry, false, static_cast<int32_t>(r)});
      }
      for (std::size_t c = 0; c < systems.size(); ++c) {
        events_.push_back({systems[c].entry, true, static_cast<int32_t>(c)});
      }
      std::sort(events_.begin(), events_.end(), [](const Event& a, const Event& b) {
        return a.entry != b.entry ? a.entry < b.entry
                                  : (a.system != b.system ? b.system : a.index < b.index);
      });
      return;
    }
    // Two slots a row, the truths' then the system boxes'.
    eventStart_.assign(2 * rowCount + 1, 0);
    for (const Node& t : truths) ++eventStart_[2 * static_cast<std::size_t>(t.entry) + 1];
    for (const Node& c : systems) ++eventStart_[2 * static_cast<std::size_t>(c.entry) + 2];
    for (std::size_t k = 1; k < eventStart_.size(); ++k) eventStart_[k] += eventStart_[k - 1];
    events_.resize(boxes);
    for (std::size_t r = 0; r < truths.size(); ++r) {
      events_[eventStart_[2 * static_cast<std::size_t>(truths[r].entry)]++] = {
          truths[r].entry, false, static_cast<int32_t>(r)};
    }
    for (std::size_t c = 0; c < systems.size(); ++c) {
      events_[eventStart_[2 * static_cast<std::size_t>(systems[c].entry) + 1]++] = {
          systems[c].entry, true, static_cast<int32_t>(c)};
    }
  }

  void buildAdjacency(const std::vector<Link>& links, std::size_t truthCount,
                      std::size_t systemCount) {
    truthStart_.assign(truthCount + 1, 0);
    systemStart_.assign(systemCount + 1, 0);
    for (const Link& link : links) {
      ++truthStart_[static_cast<std::size_t>(link.truth) + 1];
      ++systemStart_[static_cast<std::size_t>(link.system) + 1];
    }
    for (std::size_t r = 0; r < truthCount; ++r) truthStart_[r + 1] += truthStart_[r];
    for (std::size_t c = 0; c < systemCount; ++c) systemStart_[c + 1] += systemStart_[c];
    truthEdges_.resize(links.size());
    systemEdges_.resize(links.size());
    cursor_.assign(truthStart_.begin(), truthStart_.end() - 1);
    for (const Link& link : links) truthEdges_[cursor_[link.truth]++] = {link.system, link.matches};
    cursor_.assign(systemStart_.begin(), systemStart_.end() - 1);
    for (const Link& link : links)
      systemEdges_[cursor_[link.system]++] = {link.truth, link.matches};
  }

  void enterTruth(int32_t r, Change& change) {
    truth_[r].in = true;
    for (int32_t e = truthStart_[r]; e < truthStart_[r + 1]; ++e) {
      const Edge& edge = truthEdges_[e];
      if (edge.matches || system_[edge.other].state != kIn) continue;
      // A pass with a flagged box sets the system box aside from now on.
      const int32_t c = edge.other;
      system_[c].state = kAside;
      --change.det;
      const int32_t partner = system_[c].partner;
      if (partner >= 0) {
        system_[c].partner = -1;
        truth_[partner].partner = -1;
        --change.pairs;
        if (searchFromTruth(partner)) ++change.pairs;
      }
    }
    if ((*truths_)[r].flagged) return;  // set aside itself, and pairs with nothing
    ++change.gt;
    if (searchFromTruth(r)) ++change.pairs;
  }

  void enterSystem(int32_t c, Change& change) {
    for (int32_t e = systemStart_[c]; e < systemStart_[c + 1]; ++e) {
      const Edge& edge = systemEdges_[e];
      if (!edge.matches && truth_[edge.other].in) {
        system_[c].state = kAside;  // set aside as it enters: never counted
        return;
      }
    }
    system_[c].state = kIn;
    ++change.det;
    if (!(*systems_)[c].flagged && searchFromSystem(c)) ++change.pairs;
  }

  // Breadth-first search for an augmenting path from the free truth `start`;
  // flips it and returns true when one is found.
  bool searchFromTruth(int32_t start) {
    ++stamp_;
    queue_.assign(1, start);
    truth_[start].seen = stamp_;
    for (std::size_t head = 0; head < queue_.size(); ++head) {
      const int32_t r = queue_[head];
      for (int32_t e = truthStart_[r]; e < truthStart_[r + 1]; ++e) {
        const Edge& edge = truthEdges_[e];
        int32_t c = edge.other;
        if (!edge.matches || system_[c].state != kIn || system_[c].seen == stamp_) continue;
        system_[c].seen = stamp_;
        system_[c].via = r;
        const int32_t owner = system_[c].partner;
        if (owner < 0) {
          for (;;) {
            const int32_t row = system_[c].via;
            const int32_t previous = truth_[row].partner;
            truth_[row].partner = c;
            system_[c].partner = row;
            if (row == start) return true;
            c = previous;
          }
        }
        if (truth_[owner].seen != stamp_) {
          truth_[owner].seen = stamp_;
          queue_.push_back(owner);
        }
      }
    }
    return false;
  }

  // The same from the free system box `start`.
  bool searchFromSystem(int32_t start) {
    ++stamp_;
    queue_.assign(1, start);
    system_[start].seen = stamp_;
    for (std::size_t head = 0; head < queue_.size(); ++head) {
      const int32_t c = queue_[head];
      for (int32_t e = systemStart_[c]; e < systemStart_[c + 1]; ++e) {
        const Edge& edge = systemEdges_[e];
        int32_t r = edge.other;
        if (!edge.matches || !truth_[r].in || truth_[r].seen == stamp_) continue;
        truth_[r].seen = stamp_;
        truth_[r].via = c;
        const int32_t owner = truth_[r].partner;
        if (owner < 0) {
          for (;;) {
            const int32_t column = truth_[r].via;
            const int32_t previous = system_[column].partner;
            system_[column].partner = r;
            truth_[r].partner = column;
            if (column == start) return true;
            r = previous;
          }
        }
        if (system_[owner].seen != stamp_) {
          system_[owner].seen = stamp_;
          queue_.push_back(owner);
        }
      }
    }
    return false;
  }

  const std::vector<Node>* truths_ = nullptr;
  const std::vector<Node>* systems_ = nullptr;
  std::vector<int32_t> truthStart_, systemStart_, cursor_;
  std::vector<Edge> truthEdges_, systemEdges_;
  std::vector<TruthState> truth_;
  std::vector<SystemState> system_;
  std::vector<int32_t> queue_;
  std::vector<Event> events_;
  std::vector<std::size_t> eventStart_;
  uint32_t stamp_ = 0;
};

// Everything a worker needs: its share of the row changes and the memory of
// its frames.
struct Worker {
  std::vector<std::vector<Change>> changes;  // by class slot
  std::vector<std::size_t> presentSlots;     // the classes of the frame
  FrameSweep sweep;
  // The frame's boxes that some threshold takes (the system boxes also
  // left by the regions), and the class slot of each.
  std::vector<const QuorTarget*> truths, systems;
  std::vector<int32_t> systemAt;  // each system box's position in its frame
  std::vector<int32_t> truthSlots, systemSlots;
  std::vector<Link> links;
  TouchingPairs touching;
  BoxIndex regionIndex;
  // One class's part of the frame.
  std::vector<Node> classTruths, classSystems;
  std::vector<Link> classLinks;
  std::vector<int32_t> truthLocal, systemLocal;
  // Each box's node on rows that every class of the frame shares, when
  // the caller worked them out (nodesKnown); else each class finds them.
  std::vector<Node> truthNodes, systemNodes;
  bool nodesKnown = false;
};

struct SweepInput {
  const QuorSequence& groundTruth;
  const QuorSequence& system;
  const std::vector<int32_t>& partners;
  const std::vector<Rows>& rows;
  const ClassSlots& slots;
};

bool takenAtSomeThreshold(const QuorTarget& target) { return target.confidence >= 0.0f; }

// The passing pairs of the frame's boxes, as the frame matching scores them.
void findLinks(Worker& w, float overlap, OverlapMeasure measure) {
  w.links.clear();
  w.touching.forEach(w.truths, w.systems, overlap, [&](std::size_t r, int32_t c) {
    const int32_t score = scorePair(*w.truths[r], *w.systems[static_cast<std::size_t>(c)], overlap,
                                    false, false, measure);
    if (score != 0) w.links.push_back({static_cast<int32_t>(r), c, score == 1});
  });
}

// The system boxes of `partner` that some threshold takes and that no
// don't-care region of `frame` covers, and their positions in its list.
void keepSystemBoxes(Worker& w, const QuorFrame& frame, const QuorFrame& partner) {
  const std::vector<const QuorTarget*>& regions = frame.regions;
  const bool indexRegions = regions.size() * partner.targets.size() > kDirectPairLimit;
  if (indexRegions) w.regionIndex.build(regions);
  for (std::size_t at = 0; at < partner.targets.size(); ++at) {
    const QuorTarget* candidate = partner.targets[at];
    if (!takenAtSomeThreshold(*candidate)) continue;
    bool covered = false;
    if (indexRegions) {
      w.regionIndex.forEachTouching(*candidate, 0, BoxIndex::kLevels - 1, [&](int32_t r) {
        covered = covered || regionCovers(*candidate, *regions[r], frame.regionCoverRatio);
      });
    } else {
      covered = std::any_of(regions.begin(), regions.end(), [&](const QuorTarget* region) {
        return regionCovers(*candidate, *region, frame.regionCoverRatio);
      });
    }
    if (!covered) {
      w.systems.push_back(candidate);
      w.systemAt.push_back(static_cast<int32_t>(at));
    }
  }
}

bool flagged(const QuorTarget& target) { return excludedByFlags(target, false, false); }

// Sweeps the boxes of one class slot (0: every box) of the worker's frame,
// adding the changes into `changes` (one per row of `rows`).
void sweepClass(Worker& w, std::size_t slot, const Rows& rows, Change* changes) {
  const bool everyBox = slot == 0;
  const auto wanted = [&](int32_t boxSlot) {
    return everyBox || boxSlot == static_cast<int32_t>(slot);
  };
  w.classTruths.clear();
  w.classSystems.clear();
  w.classLinks.clear();
  w.truthLocal.assign(w.truths.size(), -1);
  w.systemLocal.assign(w.systems.size(), -1);
  if (everyBox && w.nodesKnown) {
    w.classTruths = w.truthNodes;
    w.classSystems = w.systemNodes;
  } else {
    for (std::size_t r = 0; r < w.truths.size(); ++r) {
      if (!wanted(w.truthSlots[r])) continue;
      w.truthLocal[r] = static_cast<int32_t>(w.classTruths.size());
      w.classTruths.push_back(
          w.nodesKnown ? w.truthNodes[r]
                       : Node{rows.entryOf(w.truths[r]->confidence), flagged(*w.truths[r])});
    }
    for (std::size_t c = 0; c < w.systems.size(); ++c) {
      if (!wanted(w.systemSlots[c])) continue;
      w.systemLocal[c] = static_cast<int32_t>(w.classSystems.size());
      w.classSystems.push_back(
          w.nodesKnown ? w.systemNodes[c]
                       : Node{rows.entryOf(w.systems[c]->confidence), flagged(*w.systems[c])});
    }
  }
  if (w.classTruths.empty() || w.classSystems.empty()) {
    // One side alone pairs nothing and sets nothing aside: each box adds
    // itself (an object unless flagged, a system box always) where it enters.
    for (const Node& truth : w.classTruths) changes[truth.entry].gt += truth.flagged ? 0 : 1;
    for (const Node& box : w.classSystems) ++changes[box.entry].det;
    return;
  }
  if (everyBox) {
    // Every box keeps its position: the frame's pairs serve as they are.
    w.sweep.run(w.classTruths, w.classSystems, w.links, changes, rows.thresholds().size());
    return;
  }
  for (const Link& link : w.links) {
    const int32_t r = w.truthLocal[link.truth];
    const int32_t c = w.systemLocal[link.system];
    if (r >= 0 && c >= 0) w.classLinks.push_back({r, c, link.matches});
  }
  w.sweep.run(w.classTruths, w.classSystems, w.classLinks, changes, rows.thresholds().size());
}

// The boxes of one ground-truth frame and its partner (or none) that some
// threshold takes, and their passing pairs. False when there are none.
bool gatherFramePair(Worker& w, const QuorFrame& frame, const QuorFrame* partner) {
  w.truths.clear();
  w.systems.clear();
  w.systemAt.clear();
  for (const QuorTarget* target : frame.targets) {
    if (takenAtSomeThreshold(*target)) w.truths.push_back(target);
  }
  if (partner != nullptr) keepSystemBoxes(w, frame, *partner);
  if (w.truths.empty() && w.systems.empty()) return false;
  // The rules are those the frame carries, as a selection from it would.
  findLinks(w, frame.overlapThreshold, frame.overlapMeasure);
  return true;
}

// Notes each of the worker's boxes' class slot, and the slots with a box.
void noteClassSlots(Worker& w, const ClassSlots& slots) {
  w.truthSlots.clear();
  w.systemSlots.clear();
  // The class slots with a box in the frame, each once, in slot order: a
  // frame's work follows the classes it holds, not those of the set.
  std::vector<std::size_t>& present = w.presentSlots;
  present.clear();
  for (const QuorTarget* target : w.truths) {
    w.truthSlots.push_back(slots.of(target->classCode));
    if (w.truthSlots.back() > 0) present.push_back(static_cast<std::size_t>(w.truthSlots.back()));
  }
  for (const QuorTarget* target : w.systems) {
    w.systemSlots.push_back(slots.of(target->classCode));
    if (w.systemSlots.back() > 0) present.push_back(static_cast<std::size_t>(w.systemSlots.back()));
  }
  std::sort(present.begin(), present.end());
  present.erase(std::unique(present.begin(), present.end()), present.end());
}

// Calls `forClass(slot)` for "All" and then for every class with a box among
// the worker's boxes, after noting each box's class slot.
template <typename ForClass>
void forEachClassOfFrame(Worker& w, const ClassSlots& slots, ForClass&& forClass) {
  noteClassSlots(w, slots);
  forClass(std::size_t{0});
  for (const std::size_t slot : w.presentSlots) forClass(slot);
}

// Sweeps one ground-truth frame against its partner (or none): the frame's
// pairs once, then every class with a box in the frame; `forClass(slot)`
// sweeps one class through sweepClass().
template <typename ForClass>
void sweepFramePair(Worker& w, const QuorFrame& frame, const QuorFrame* partner,
                    const ClassSlots& slots, ForClass&& forClass) {
  if (gatherFramePair(w, frame, partner)) forEachClassOfFrame(w, slots, forClass);
}

void sweepFrame(Worker& w, const SweepInput& in, std::size_t at) {
  const int32_t partnerAt = in.partners[at];
  sweepFramePair(
      w, in.groundTruth.frames[at],
      partnerAt >= 0 ? &in.system.frames[static_cast<std::size_t>(partnerAt)] : nullptr, in.slots,
      [&](std::size_t slot) { sweepClass(w, slot, in.rows[slot], w.changes[slot].data()); });
}

// The distinct values of a stream of confidences in (0, 1), which repeat a
// great deal: an open-addressing set on their bits (equal values have equal
// bits there, zero and NaN being left out), so that only the distinct ones
// are sorted afterwards.
class DistinctConfidences {
 public:
  DistinctConfidences() : slots_(kInitialSize, kEmpty) {}

  void add(float confidence) {
    uint32_t bits = 0;
    std::memcpy(&bits, &confidence, sizeof bits);
    std::size_t mask = slots_.size() - 1;
    for (std::size_t at = hashOf(bits) & mask;; at = (at + 1) & mask) {
      if (slots_[at] == bits) return;
      if (slots_[at] != kEmpty) continue;
      slots_[at] = bits;
      if (4 * ++used_ > 3 * slots_.size()) grow();
      return;
    }
  }

  /// The values, in no order.
  std::vector<float> values() const {
    std::vector<float> result;
    result.reserve(used_);
    for (const uint32_t bits : slots_) {
      if (bits == kEmpty) continue;
      float value = 0.0f;
      std::memcpy(&value, &bits, sizeof value);
      result.push_back(value);
    }
    return result;
  }

 private:
  static constexpr std::size_t kInitialSize = 256;
  static constexpr uint32_t kEmpty = 0;  // the bits of +0, never added
  static std::size_t hashOf(uint32_t bits) {
    return static_cast<std::size_t>((bits * 0x9E3779B97F4A7C15ull) >> 32);
  }
  void grow() {
    std::vector<uint32_t> old(slots_.size() * 2, kEmpty);
    old.swap(slots_);
    const std::size_t mask = slots_.size() - 1;
    for (const uint32_t bits : old) {
      if (bits == kEmpty) continue;
      std::size_t at = hashOf(bits) & mask;
      while (slots_[at] != kEmpty) at = (at + 1) & mask;
      slots_[at] = bits;
    }
  }

  std::vector<uint32_t> slots_;
  std::size_t used_ = 0;
};

std::vector<Rows> rowsOf(const QuorSequence& groundTruth, const QuorSequence& system,
                         const ClassSlots& slots) {
  // "All" takes the classes' confidences and those of boxes of other names.
  std::vector<DistinctConfidences> distinct(slots.count());
  for (const QuorSequence* sequence : {&groundTruth, &system}) {
    for (const QuorFrame& frame : sequence->frames) {
      for (const QuorTarget* target : frame.targets) {
        if (!strictlyBetweenZeroAndOne(target->confidence)) continue;
        distinct[0].add(target->confidence);
        const int32_t slot = slots.of(target->classCode);
        if (slot > 0) distinct[static_cast<std::size_t>(slot)].add(target->confidence);
      }
    }
  }
  std::vector<Rows> rows(slots.count());
  for (std::size_t slot = 0; slot < slots.count(); ++slot) {
    std::vector<float> values = distinct[slot].values();
    rows[slot].assign(values);
  }
  return rows;
}

// The changes of one class by threshold, and the class's confidences in
// (0, 1) seen so far (with or without a change): an open-addressing table on
// the bits of the threshold, as the distinct confidences of a file are few
// next to its boxes and are met again and again. A frame looks each box's
// threshold up once and adds its changes through the slot found. Slots move
// only when a new threshold makes the table grow, which moves generation();
// 1 and 0 have slots of their own past the hashed ones.
//
// There is one per class and worker, so slots are kept small: 32-bit sums,
// moved to a 64-bit side table (spill()) before they could outgrow that.
class ChangeTable {
 public:
  ChangeTable() { rebuild(kInitialSize); }

  /// Counts the times slots have moved.
  uint64_t generation() const { return generation_; }

  /// The slot of the threshold at which a box of this confidence is taken
  /// first: 1 above 1, the confidence itself in (0, 1), and 0 at zero. Only
  /// for boxes some threshold takes (a confidence of at least 0).
  int32_t idOf(float confidence) {
    if (confidence >= 1.0f) return static_cast<int32_t>(hashed_);
    if (confidence > 0.0f) return slotBetween(confidence);
    return static_cast<int32_t>(hashed_ + 1);
  }

  /// Notes `confidence` as a row of the class when it lies in (0, 1).
  void note(float confidence) {
    if (strictlyBetweenZeroAndOne(confidence)) slotBetween(confidence);
  }

  /// The sums of a slot; no sum may move by 2^31 or more between two
  /// spill() calls.
  Change32& at(int32_t id) { return slots_[static_cast<std::size_t>(id)].sums; }

  /// Moves every sum to the 64-bit side table.
  void spill() {
    for (Slot& slot : slots_) {
      if (slot.bits == kEmpty ||
          (slot.sums.gt == 0 && slot.sums.det == 0 && slot.sums.pairs == 0)) {
        continue;
      }
      wide_[slot.bits] += slot.sums.wide();
      slot.sums = Change32{};
    }
  }

  /// Calls visit(threshold, change) once for every threshold, 1 and 0 included.
  template <typename Visit>
  void forEach(Visit&& visit) const {
    for (const Slot& slot : slots_) {
      if (slot.bits == kEmpty) continue;
      Change change = slot.sums.wide();
      if (const auto found = wide_.find(slot.bits); found != wide_.end()) change += found->second;
      visit(thresholdOf(slot.bits), change);
    }
  }

 private:
  static constexpr std::size_t kInitialSize = 64;
  // A NaN's bits: no threshold (1, 0, or a confidence between) has them.
  static constexpr uint32_t kEmpty = 0xffffffffu;
  struct Slot {
    uint32_t bits = kEmpty;
    Change32 sums;
  };

  static uint32_t bitsOf(float value) {
    uint32_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
  }
  static float thresholdOf(uint32_t bits) {
    float threshold = 0.0f;
    std::memcpy(&threshold, &bits, sizeof threshold);
    return threshold;
  }
  static std::size_t hashOf(uint32_t bits) {
    return static_cast<std::size_t>((bits * 0x9E3779B97F4A7C15ull) >> 32);
  }

  int32_t slotBetween(float threshold) {
    const uint32_t bits = bitsOf(threshold);
    for (;;) {
      const std::size_t mask = hashed_ - 1;
      for (std::size_t at = hashOf(bits) & mask;; at = (at + 1) & mask) {
        if (slots_[at].bits == bits) return static_cast<int32_t>(at);
        if (slots_[at].bits != kEmpty) continue;
        if (4 * (used_ + 1) > 3 * hashed_) break;  // grow first
        slots_[at].bits = bits;
        ++used_;
        return static_cast<int32_t>(at);
      }
      rebuild(2 * hashed_);
    }
  }

  // Makes `size` hashed slots (a power of two) and the two of 1 and 0, and
  // places every threshold again.
  void rebuild(std::size_t size) {
    ++generation_;
    std::vector<Slot> old(size + 2);
    old.swap(slots_);
    hashed_ = size;
    used_ = 0;
    slots_[hashed_].bits = bitsOf(1.0f);
    slots_[hashed_ + 1].bits = bitsOf(0.0f);
    if (old.empty()) return;
    const std::size_t oldHashed = old.size() - 2;
    for (std::size_t at = 0; at < oldHashed; ++at) {
      if (old[at].bits == kEmpty) continue;
      slots_[static_cast<std::size_t>(slotBetween(thresholdOf(old[at].bits)))].sums = old[at].sums;
    }
    slots_[hashed_].sums = old[oldHashed].sums;
    slots_[hashed_ + 1].sums = old[oldHashed + 1].sums;
  }

  std::vector<Slot> slots_;  // hashed_ slots, then those of 1 and 0
  std::size_t hashed_ = 0;
  std::size_t used_ = 0;
  uint64_t generation_ = 0;
  std::unordered_map<uint32_t, Change> wide_;  // by threshold bits
};

// Changes summed by threshold: the same threshold from many tables, once.
class ChangeSums {
 public:
  ChangeSums() : slots_(kInitialSize) {}

  void add(float threshold, const Change& change) {
    uint32_t bits = 0;
    std::memcpy(&bits, &threshold, sizeof bits);
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t at = hashOf(bits) & mask;; at = (at + 1) & mask) {
      Slot& slot = slots_[at];
      if (slot.bits == bits) {
        slot.sum += change;
        return;
      }
      if (slot.bits != kEmpty) continue;
      slot = {bits, change};
      if (4 * ++used_ > 3 * slots_.size()) grow();
      return;
    }
  }

  /// Every threshold with its sum, in no order.
  std::vector<std::pair<float, Change>> entries() const {
    std::vector<std::pair<float, Change>> result;
    result.reserve(used_);
    for (const Slot& slot : slots_) {
      if (slot.bits == kEmpty) continue;
      float threshold = 0.0f;
      std::memcpy(&threshold, &slot.bits, sizeof threshold);
      result.emplace_back(threshold, slot.sum);
    }
    return result;
  }

 private:
  static constexpr std::size_t kInitialSize = 1024;
  static constexpr uint32_t kEmpty = 0xffffffffu;  // a NaN's bits: never a threshold
  struct Slot {
    uint32_t bits = kEmpty;
    Change sum;
  };
  static std::size_t hashOf(uint32_t bits) {
    return static_cast<std::size_t>((bits * 0x9E3779B97F4A7C15ull) >> 32);
  }
  void grow() {
    std::vector<Slot> old(slots_.size() * 2);
    old.swap(slots_);
    const std::size_t mask = slots_.size() - 1;
    for (const Slot& slot : old) {
      if (slot.bits == kEmpty) continue;
      std::size_t at = hashOf(slot.bits) & mask;
      while (slots_[at].bits != kEmpty) at = (at + 1) & mask;
      slots_[at] = slot;
    }
  }

  std::vector<Slot> slots_;
  std::size_t used_ = 0;
};

// Sweeping while reading: the rows are only known once every box has been
// read, so each frame's changes are kept by threshold value, in tables of
// thresholds; the curves are summed up at the end, on the rows of the whole
// files.
//
// Most boxes of a frame pass the overlap test with no other box, or with
// exactly one that passes with no other either. Such a lone box or pair
// changes the counts in a way known beforehand, so it is added straight to
// the tables; only the rest (boxes linked to two or more, and the boxes
// linked to them) is swept. The two parts share no passing pair, so their
// matchings and set-asides do not touch and their changes add up.
//
// A change goes to its class's table only. "All" matches every box against
// every other, each class only its own boxes with each other: where no pair
// that passes joins two classes or a box of no class, All's changes are
// those of the classes added up. So All's curve is made from the classes'
// tables, and All's own table holds only the difference: the changes of the
// boxes of no class, and, where such a pair is (a lone one, or one in the
// rest of a frame), All's changes there less those of the classes.
class StreamingSweep : public FramePairVisitor {
 public:
  StreamingSweep(std::size_t workers, std::size_t spillBoxes)
      : workers_(workers), spillBoxes_(spillBoxes) {}

  void pair(std::size_t worker, const QuorFrame& truth, const QuorFrame* partner) override {
    Part& part = workers_[worker];
    spillBefore(part.tables, truth.targets.size() + (partner ? partner->targets.size() : 0),
                part.sinceSpill);
    Worker& w = part.worker;
    if (!gatherFramePair(w, truth, partner)) {
      if (partner != nullptr) collect(*partner, part.tables);
      return;
    }
    // Every box's thresholds; a system box a region covers still makes a row.
    const uint64_t generation = generationOf(part.tables);
    idsOfAll(w.truths, part.truthIds, part.tables);
    part.systemIds.clear();
    if (partner != nullptr) {
      std::size_t kept = 0;
      for (std::size_t at = 0; at < partner->targets.size(); ++at) {
        const QuorTarget& target = *partner->targets[at];
        if (kept < w.systemAt.size() && w.systemAt[kept] == static_cast<int32_t>(at)) {
          part.systemIds.push_back(idsOf(target, part.tables));
          ++kept;
        } else {
          note(target, part.tables);
        }
      }
    }
    if (generationOf(part.tables) != generation) {
      // A table grew, so the slots found before it did have moved; every
      // threshold is in now, so looking them up again moves nothing.
      idsOfAll(w.truths, part.truthIds, part.tables);
      idsOfAll(w.systems, part.systemIds, part.tables);
    }
    if (!addLoneBoxes(part)) return;
    sweepTheRest(part);
  }

  void unpaired(const QuorFrame& system) override { collect(system, unpaired_); }

  /// The classes' curves, each class on whichever of `threads` threads is
  /// free: after the last frame this is all that is left to do.
  SweepCurves curves(int64_t frames, unsigned threads) const {
    SweepCurves result(kClassCount);
    std::atomic<std::size_t> next{0};
    const auto work = [&] {
      // All first: it reads every table.
      for (std::size_t slot; (slot = next.fetch_add(1)) < kClassCount;) {
        result[slot] = curveOf(slot, frames);
      }
    };
    {
      std::vector<std::jthread> pool;
      for (unsigned k = 1; k < std::min<unsigned>(threads, kClassCount); ++k) {
        pool.emplace_back(work);
      }
      work();
    }
    return result;
  }

 private:
  using Tables = std::array<ChangeTable, kClassCount>;
  // A box's threshold id in its class's table (-1: no class).
  struct BoxIds {
    int32_t ofClass;
    int32_t slot;
    float confidence;
    float key;  // the threshold at which it is taken first: higher enters earlier
  };
  struct Part {
    Worker worker;
    Tables tables;  // by class; "All": what differs from the sum of the classes
    std::vector<BoxIds> truthIds, systemIds;
    std::vector<int32_t> truthDegree, systemDegree;
    std::vector<float> local;
    Rows rows;
    std::vector<Change> changes, allChanges;
    std::size_t sinceSpill = 0;  // boxes since the tables' sums were spilled
  };

  // Spills the tables' 32-bit sums when a frame of `boxes` boxes could
  // otherwise bring them to 2^31 from where they were last spilled: no sum
  // moves by more than twice a frame's boxes (the changes at one threshold
  // are those of one row of the frame's curve, and All's table takes All's
  // less the classes'), and spillBoxes_ is at most 2^31.
  void spillBefore(Tables& tables, std::size_t boxes, std::size_t& sinceSpill) const {
    const std::size_t moves = 2 * boxes;
    if (sinceSpill + moves >= spillBoxes_) {
      for (ChangeTable& table : tables) table.spill();
      sinceSpill = 0;
    }
    sinceSpill += moves;
  }

  // Calls take(threshold, change) for every threshold of the class's tables
  // ("All": of every table), repeats included.
  template <typename Take>
  void forEachChange(std::size_t slot, Take&& take) const {
    const auto tablesOf = [&](const Tables& tables) {
      if (slot != 0) {
        tables[slot].forEach(take);
        return;
      }
      for (const ChangeTable& table : tables) table.forEach(take);
    };
    tablesOf(unpaired_);
    for (const Part& part : workers_) tablesOf(part.tables);
  }

  ClassCurve curveOf(std::size_t slot, int64_t frames) const {
    // Every table's thresholds make the rows; their changes sum per row.
    // All's repeat a great deal (each class has them), so they are summed
    // by threshold before they are sorted.
    std::vector<std::pair<float, Change>> entries;
    if (slot == 0) {
      ChangeSums sums;
      forEachChange(0, [&](float threshold, const Change& change) { sums.add(threshold, change); });
      entries = sums.entries();
    } else {
      forEachChange(slot, [&](float threshold, const Change& change) {
        entries.emplace_back(threshold, change);
      });
    }
    std::sort(entries.begin(), entries.end(),
              [](const auto& a, const auto& b) { return a.first > b.first; });
    ClassCurve curve;
    curve.frames = frames;
    Change sum;
    for (std::size_t at = 0; at < entries.size(); ++at) {
      sum += entries[at].second;
      if (at + 1 < entries.size() && entries[at + 1].first == entries[at].first) continue;
      curve.points.push_back(
          {entries[at].first, sum.gt, sum.det, sum.gt - sum.pairs, sum.det - sum.pairs});
    }
    return curve;
  }

  static uint64_t generationOf(const Tables& tables) {
    uint64_t sum = 0;
    for (const ChangeTable& table : tables) sum += table.generation();
    return sum;
  }

  // Looks a box's threshold up in its class's table, or notes it as a row
  // of All when it has no class (All's table is looked up where it is used).
  BoxIds idsOf(const QuorTarget& target, Tables& tables) const {
    const int32_t slot = slots_.of(target.classCode);
    const float key = target.confidence >= 1.0f ? 1.0f : target.confidence;
    if (slot <= 0) {
      tables[0].note(target.confidence);
      return {-1, slot, target.confidence, key};
    }
    return {tables[static_cast<std::size_t>(slot)].idOf(target.confidence), slot, target.confidence,
            key};
  }

  void idsOfAll(const std::vector<const QuorTarget*>& boxes, std::vector<BoxIds>& ids,
                Tables& tables) const {
    ids.clear();
    for (const QuorTarget* target : boxes) ids.push_back(idsOf(*target, tables));
  }

  // Notes the threshold of a box in (0, 1) as a row of its class (All's,
  // when it has none).
  void note(const QuorTarget& target, Tables& tables) const {
    const int32_t slot = slots_.of(target.classCode);
    tables[static_cast<std::size_t>(std::max(slot, 0))].note(target.confidence);
  }

  // What a box that passes with no other box adds, times `sign`: an object
  // unless it is flagged, a system box always, where it is taken. `at()`
  // gives the box's sums.
  template <typename At>
  static void addAlone(At&& at, bool truth, bool isFlagged, uint32_t sign) {
    if (truth) {
      at().gt += isFlagged ? 0 : sign;
    } else {
      at().det += sign;
    }
  }

  // What a truth and a system box that pass with each other and with no
  // other box add; at(true) gives the truth's sums, at(false) the system
  // box's. A matching pair is paired from the threshold that takes both.
  // Otherwise one of them is flagged: the system box counts from when it is
  // taken until the truth is (truths enter first at a shared threshold, so
  // then it never counts), and the truth counts as an object unless it is
  // the flagged one.
  template <typename At>
  static void addPair(At&& at, const BoxIds& truth, const BoxIds& system, bool matches,
                      bool truthFlagged) {
    const bool systemFirst = system.key > truth.key;
    if (matches) {
      ++at(true).gt;
      ++at(false).det;
      ++at(systemFirst).pairs;
      return;
    }
    if (!truthFlagged) ++at(true).gt;
    if (systemFirst) {
      ++at(false).det;
      --at(true).det;
    }
  }

  // The sums of a box's threshold in its class's table.
  static Change32& classSums(Tables& tables, const BoxIds& box) {
    return tables[static_cast<std::size_t>(box.slot)].at(box.ofClass);
  }
  // The sums of a box's threshold in All's table, looked up each time (the
  // table may grow in between).
  static Change32& allSums(Tables& tables, const BoxIds& box) {
    return tables[0].at(tables[0].idOf(box.confidence));
  }

  // Adds the boxes that pass with no other box, and the pairs that pass only
  // with each other, straight to the tables, and leaves the other boxes and
  // their pairs in the worker. False when none is left.
  bool addLoneBoxes(Part& part) {
    Worker& w = part.worker;
    Tables& tables = part.tables;
    part.truthDegree.assign(w.truths.size(), 0);
    part.systemDegree.assign(w.systems.size(), 0);
    for (const Link& link : w.links) {
      ++part.truthDegree[static_cast<std::size_t>(link.truth)];
      ++part.systemDegree[static_cast<std::size_t>(link.system)];
    }
    constexpr uint32_t kAdd = 1;
    constexpr uint32_t kTake = ~uint32_t{0};  // -1: the sums wrap around
    bool rest = false;
    for (const Link& link : w.links) {
      const auto r = static_cast<std::size_t>(link.truth);
      const auto c = static_cast<std::size_t>(link.system);
      if (part.truthDegree[r] != 1 || part.systemDegree[c] != 1) {
        rest = true;
        continue;
      }
      const BoxIds& truth = part.truthIds[r];
      const BoxIds& system = part.systemIds[c];
      const bool truthFlagged = flagged(*w.truths[r]);
      if (truth.slot > 0 && truth.slot == system.slot) {
        addPair(
            [&](bool ofTruth) -> Change32& { return classSums(tables, ofTruth ? truth : system); },
            truth, system, link.matches, truthFlagged);
      } else {
        // All pairs them; each class sees its box alone.
        addPair(
            [&](bool ofTruth) -> Change32& { return allSums(tables, ofTruth ? truth : system); },
            truth, system, link.matches, truthFlagged);
        if (truth.slot > 0) {
          addAlone([&]() -> Change32& { return classSums(tables, truth); }, true, truthFlagged,
                   kAdd);
          addAlone([&]() -> Change32& { return allSums(tables, truth); }, true, truthFlagged,
                   kTake);
        }
        if (system.slot > 0) {
          addAlone([&]() -> Change32& { return classSums(tables, system); }, false, false, kAdd);
          addAlone([&]() -> Change32& { return allSums(tables, system); }, false, false, kTake);
        }
      }
      // Done with: leave both out of the rest.
      part.truthDegree[r] = -1;
      part.systemDegree[c] = -1;
    }
    const auto addSide = [&](const std::vector<const QuorTarget*>& boxes,
                             const std::vector<BoxIds>& ids, std::vector<int32_t>& degrees,
                             bool truth) {
      for (std::size_t k = 0; k < boxes.size(); ++k) {
        if (degrees[k] != 0) continue;
        const bool isFlagged = truth && flagged(*boxes[k]);
        const BoxIds& box = ids[k];
        if (box.slot > 0) {
          addAlone([&]() -> Change32& { return classSums(tables, box); }, truth, isFlagged, kAdd);
        } else {
          addAlone([&]() -> Change32& { return allSums(tables, box); }, truth, isFlagged, kAdd);
        }
        degrees[k] = -1;
      }
    };
    addSide(w.truths, part.truthIds, part.truthDegree, true);
    addSide(w.systems, part.systemIds, part.systemDegree, false);
    return rest;
  }

  // Sweeps the boxes addLoneBoxes() left (those with a degree above 0) class
  // by class on rows of their own confidences, and adds each row's changes
  // to the tables; All too, when a pair joins two classes or a box of none.
  void sweepTheRest(Part& part) {
    Worker& w = part.worker;
    // Keep the boxes left, renumbered, and their pairs.
    const auto keep = [](std::vector<const QuorTarget*>& boxes, std::vector<int32_t>& degrees) {
      std::size_t kept = 0;
      for (std::size_t k = 0; k < boxes.size(); ++k) {
        if (degrees[k] <= 0) continue;
        boxes[kept] = boxes[k];
        degrees[k] = static_cast<int32_t>(kept++);  // now the box's new number
      }
      boxes.resize(kept);
    };
    keep(w.truths, part.truthDegree);
    keep(w.systems, part.systemDegree);
    std::size_t kept = 0;
    for (const Link& link : w.links) {
      const int32_t r = part.truthDegree[static_cast<std::size_t>(link.truth)];
      const int32_t c = part.systemDegree[static_cast<std::size_t>(link.system)];
      if (r < 0 || c < 0) continue;
      w.links[kept++] = {r, c, link.matches};
    }
    w.links.resize(kept);

    // The rows: the confidences of the boxes left. A class changes only
    // where one of its own boxes enters, at that box's confidence, so the
    // rows of All serve every class: each box's row is found once, and the
    // changes land on the same thresholds as on the class's own rows.
    part.local.clear();
    for (const QuorTarget* target : w.truths) add(part.local, *target);
    for (const QuorTarget* target : w.systems) add(part.local, *target);
    part.rows.assign(part.local);
    w.truthNodes.clear();
    w.systemNodes.clear();
    for (const QuorTarget* target : w.truths) {
      w.truthNodes.push_back({part.rows.entryOf(target->confidence), flagged(*target)});
    }
    for (const QuorTarget* target : w.systems) {
      w.systemNodes.push_back({part.rows.entryOf(target->confidence), flagged(*target)});
    }
    w.nodesKnown = true;
    noteClassSlots(w, slots_);
    // Every box left has a pair; All differs from its classes where one
    // joins two classes or a box of none.
    const bool allDiffers = std::any_of(w.links.begin(), w.links.end(), [&](const Link& link) {
      const int32_t slot = w.truthSlots[static_cast<std::size_t>(link.truth)];
      return slot <= 0 || slot != w.systemSlots[static_cast<std::size_t>(link.system)];
    });

    const std::vector<float>& thresholds = part.rows.thresholds();
    if (allDiffers) {
      part.allChanges.assign(thresholds.size(), Change{});
      sweepClass(w, 0, part.rows, part.allChanges.data());
    }
    for (const std::size_t slot : w.presentSlots) {
      part.changes.assign(thresholds.size(), Change{});
      sweepClass(w, slot, part.rows, part.changes.data());
      ChangeTable& table = part.tables[slot];
      for (std::size_t row = 0; row < part.changes.size(); ++row) {
        const Change& change = part.changes[row];
        if (change.gt != 0 || change.det != 0 || change.pairs != 0) {
          table.at(table.idOf(thresholds[row])) += change;
          if (allDiffers) part.allChanges[row] -= change;
        }
      }
    }
    if (!allDiffers) return;
    ChangeTable& table = part.tables[0];
    for (std::size_t row = 0; row < part.allChanges.size(); ++row) {
      const Change& change = part.allChanges[row];
      if (change.gt != 0 || change.det != 0 || change.pairs != 0) {
        table.at(table.idOf(thresholds[row])) += change;
      }
    }
  }

  // Notes the confidences in (0, 1) of a frame's boxes: each is a row.
  void collect(const QuorFrame& frame, Tables& into) const {
    for (const QuorTarget* target : frame.targets) note(*target, into);
  }
  static void add(std::vector<float>& local, const QuorTarget& target) {
    if (strictlyBetweenZeroAndOne(target.confidence)) local.push_back(target.confidence);
  }

  const ClassSlots slots_;
  std::vector<Part> workers_;
  Tables unpaired_;  // thresholds only
  const std::size_t spillBoxes_;
};

void checkThresholds(const std::vector<float>& thresholds) {
  for (std::size_t at = 0; at < thresholds.size(); ++at) {
    if (!(thresholds[at] >= 0.0f && thresholds[at] <= 1.0f)) {
      throw std::invalid_argument("a threshold is outside [0, 1]");
    }
    if (at > 0 && !(thresholds[at] < thresholds[at - 1])) {
      throw std::invalid_argument("thresholds are not strictly descending");
    }
  }
}

}  // namespace

SweepCurves sweepClasses(const QuorSequence& groundTruth, const QuorSequence& system,
                         unsigned threads) {
  return sweepClasses(groundTruth, system, *pairClasses(groundTruth, system), threads);
}

SweepCurves sweepClasses(const QuorSequence& groundTruth, const QuorSequence& system,
                         const ClassSet& classes, unsigned threads) {
  const ClassSlots slots(classes);
  const std::size_t classCount = slots.count();
  const std::vector<Rows> rows = rowsOf(groundTruth, system, slots);
  const std::vector<int32_t> partners = pairFrames(groundTruth, system);
  const SweepInput input{groundTruth, system, partners, rows, slots};

  const std::size_t frameCount = groundTruth.frames.size();
  if (threads == 0) threads = std::max(1u, std::thread::hardware_concurrency());
  // A worker is worth its start only with a good share of frames.
  constexpr std::size_t kFramesPerWorker = 256;
  const std::size_t workerCount =
      std::clamp<std::size_t>(frameCount / kFramesPerWorker, 1, threads);
  std::vector<Worker> workers(workerCount);
  for (Worker& w : workers) {
    w.changes.resize(classCount);
    for (std::size_t slot = 0; slot < classCount; ++slot) {
      w.changes[slot].assign(rows[slot].thresholds().size(), Change{});
    }
  }
  const auto work = [&](std::size_t index) {
    const std::size_t begin = frameCount * index / workerCount;
    const std::size_t end = frameCount * (index + 1) / workerCount;
    for (std::size_t at = begin; at < end; ++at) sweepFrame(workers[index], input, at);
  };
  if (workerCount == 1) {
    work(0);
  } else {
    std::vector<std::jthread> running;
    for (std::size_t index = 1; index < workerCount; ++index) running.emplace_back(work, index);
    work(0);
  }

  SweepCurves curves(classCount);
  for (std::size_t slot = 0; slot < classCount; ++slot) {
    const std::vector<float>& thresholds = rows[slot].thresholds();
    ClassCurve& curve = curves[slot];
    curve.frames = static_cast<int64_t>(frameCount);
    curve.points.reserve(thresholds.size());
    Change sum;
    for (std::size_t row = 0; row < thresholds.size(); ++row) {
      for (const Worker& w : workers) sum += w.changes[slot][row];
      curve.points.push_back(
          {thresholds[row], sum.gt, sum.det, sum.gt - sum.pairs, sum.det - sum.pairs});
    }
  }
  return curves;
}

StreamedCurves sweepClassesWhileReading(StreamedInput& groundTruth, StreamedInput& system,
                                        unsigned threads, std::size_t spillBoxes) {
  const std::size_t workers = std::max(1u, threads);
  StreamingSweep sweep(workers, std::clamp<std::size_t>(spillBoxes, 1, kMaxSpillBoxes));
  StreamedCurves result;
  int64_t frames = 0;
  result.inOrder = visitFramesWhileReading(groundTruth, system, sweep, threads, frames);
  if (result.inOrder && groundTruth.status >= 0 && system.status >= 0) {
    result.curves = sweep.curves(frames, static_cast<unsigned>(workers));
  }
  return result;
}

std::vector<float> gridThresholds(int n) {
  if (n < 1 || n > kMaxGridSteps) throw std::invalid_argument("grid steps out of range");
  // k / n is correctly rounded to double; for n below 2^20 the double is too
  // far from any single-precision tie for the second rounding to go wrong.
  std::vector<float> thresholds;
  thresholds.reserve(static_cast<std::size_t>(n) + 1);
  for (int k = n; k >= 0; --k) {
    thresholds.push_back(static_cast<float>(static_cast<double>(k) / static_cast<double>(n)));
  }
  return thresholds;
}

ClassCurve sampleCurve(const ClassCurve& exact, const std::vector<float>& descendingThresholds) {
  checkThresholds(descendingThresholds);
  if (exact.points.empty() || !(exact.points.front().threshold >= 1.0f)) {
    throw std::invalid_argument("the curve has no point at 1");
  }
  ClassCurve sampled;
  sampled.frames = exact.frames;
  sampled.points.reserve(descendingThresholds.size());
  // Both lists descend: the last exact point at or above t moves only down.
  std::size_t at = 0;
  for (const float t : descendingThresholds) {
    while (at + 1 < exact.points.size() && exact.points[at + 1].threshold >= t) ++at;
    CurvePoint point = exact.points[at];
    point.threshold = t;
    sampled.points.push_back(point);
  }
  return sampled;
}

CurvePoint bestPoint(const ClassCurve& exact) {
  if (exact.points.empty()) throw std::invalid_argument("the curve has no points");
  // Points descend, so only a strictly better value moves the choice.
  CurvePoint best = exact.points.front();
  float bestValue = best.nmodta();
  for (const CurvePoint& point : exact.points) {
    const float value = point.nmodta();
    if (value > bestValue) {
      best = point;
      bestValue = value;
    }
  }
  return best;
}

double precisionOf(const CurvePoint& point) {
  if (point.det == 0) return 1.0;
  return static_cast<double>(point.det - point.fp) / static_cast<double>(point.det);
}

std::optional<double> recallOf(const CurvePoint& point) {
  if (point.gt == 0) return std::nullopt;
  return static_cast<double>(point.gt - point.fn) / static_cast<double>(point.gt);
}

std::vector<PrecisionStep> precisionEnvelope(const ClassCurve& exact) {
  std::vector<std::pair<double, double>> points;  // recall, precision
  for (const CurvePoint& point : exact.points) {
    if (const std::optional<double> recall = recallOf(point)) {
      points.emplace_back(*recall, precisionOf(point));
    }
  }
  std::vector<PrecisionStep> steps;
  if (points.empty()) return steps;
  std::sort(points.begin(), points.end());
  // The envelope, from the highest recall down: the best precision at that
  // recall or above.
  for (std::size_t at = points.size() - 1; at-- > 0;) {
    points[at].second = std::max(points[at].second, points[at + 1].second);
  }
  // Each step of recall stands at the envelope's height at its right end,
  // which for equal recalls is that of the first of them.
  double reached = 0.0;
  for (const auto& [recall, precision] : points) {
    if (recall <= reached) continue;
    steps.push_back({recall, precision});
    reached = recall;
  }
  return steps;
}

std::optional<double> averagePrecision(const ClassCurve& exact) {
  const bool objects = std::any_of(exact.points.begin(), exact.points.end(),
                                   [](const CurvePoint& point) { return point.gt > 0; });
  if (!objects) return std::nullopt;
  double area = 0.0;
  double reached = 0.0;
  for (const PrecisionStep& step : precisionEnvelope(exact)) {
    area += (step.recall - reached) * step.precision;
    reached = step.recall;
  }
  return area;
}

ClassCurve addCurves(const std::vector<const ClassCurve*>& curves) {
  std::vector<float> thresholds = {1.0f, 0.0f};
  for (const ClassCurve* curve : curves) {
    for (const CurvePoint& point : curve->points) thresholds.push_back(point.threshold);
  }
  std::sort(thresholds.begin(), thresholds.end(), std::greater<float>());
  thresholds.erase(std::unique(thresholds.begin(), thresholds.end()), thresholds.end());
  checkThresholds(thresholds);

  ClassCurve pooled;
  pooled.points.reserve(thresholds.size());
  for (const float t : thresholds) pooled.points.push_back({t, 0, 0, 0, 0});
  for (const ClassCurve* curve : curves) {
    const ClassCurve part = sampleCurve(*curve, thresholds);
    pooled.frames += curve->frames;
    for (std::size_t at = 0; at < thresholds.size(); ++at) {
      pooled.points[at].gt += part.points[at].gt;
      pooled.points[at].det += part.points[at].det;
      pooled.points[at].fn += part.points[at].fn;
      pooled.points[at].fp += part.points[at].fp;
    }
  }
  return pooled;
}

// Fuzz target for the tracking measures (HOTA, CLEAR, Identity) and their
// reader. The first byte picks what the rest is:
//   0 (mod 3) two MOT-family files as text: a byte for the layout, one for
//     the rules, one for a confidence cut, then the ground truth, a NUL, the
//     tracker's file and, after a second NUL, a seqinfo.ini;
//   1 a compact sequence: a byte for the rules, one for the frames, then six
//     bytes a box (side, frame, identity, class, corners of half pixels),
//     written out as MOT16 files and read back;
//   2 a cost matrix of whole numbers for the assignment solver.
// Whatever the bytes:
// - the reader refuses with "file:line: ..." naming the file, or gives boxes
//   that, written back with %.17g, read back the same; framing them keeps
//   each frame's boxes in file order and refuses a repeated identity;
// - the counts agree with the boxes kept (CLEAR's, Identity's and HOTA's
//   true positives plus misses are the ground truth's boxes, plus false
//   positives the tracker's), HOTA's true positives never rise with alpha,
//   MT + PT + ML are the ground truth's identities, every ratio is within
//   its bounds and none is NaN;
// - CLEAR's matches as told to an observer give the switches, the
//   fragmentations and MT/PT/ML when counted again from them alone;
// - IDTP is the value of a dense assignment on the matrix of frames each
//   pair overlaps in, and the same with the sides swapped;
// - identities renumbered in their order change no figure; renumbered out
//   of order, no count (the association's ratios in their last bits at
//   most); an empty frame put in changes nothing but the frame count;
//   a sequence combined with itself doubles its counts, not its ratios;
// - (compact) moving, doubling, mirroring or transposing every box changes
//   no figure, and a tracker that is the ground truth scores 1 throughout;
// - the solver gives a one-to-one assignment of the least total cost
//   (every assignment tried up to 6 x 6), the same after a constant is
//   added to a row (a column when taller than wide) or every cost doubled.
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <numeric>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "annotation/track_reader.h"
#include "fuzz_support.h"
#include "scoring/tracking/identity_matching.h"
#include "scoring/tracking/linear_sum_assignment.h"
#include "scoring/tracking/track_measures.h"
#include "scoring/tracking/track_preparation.h"

namespace {

using tracking::AlphaValues;
using tracking::kAlphaCount;
using tracking::PreparedTracks;
using tracking::TrackBenchmark;
using tracking::TrackBox;
using tracking::TrackLayout;
using tracking::TrackRules;
using tracking::TrackSequence;
using tracking::TrackSums;

constexpr double kEpsilon = 2.220446049250313e-16;
// Beyond these the measures' invariants are left unchecked, so that the
// fuzzer keeps its pace; the reader's are checked whatever the size.
constexpr uint32_t kMaxFrames = 5000;
constexpr std::size_t kMaxBoxes = 3000;

// ---------------------------------------------------------------- files

// A folder of this process's own: <dir>/seq/gt.txt, sys.txt, seqinfo.ini.
struct Folder {
  std::filesystem::path root;
  std::string groundTruth, tracker, seqinfo, writtenTruth, writtenTracker;
  Folder() {
    // In memory where there is a tmpfs: the files are written at every run.
    const std::filesystem::path base = std::filesystem::is_directory("/dev/shm")
                                           ? std::filesystem::path("/dev/shm")
                                           : std::filesystem::temp_directory_path();
    std::string pattern = base / "talmira-fuzz-tracking.XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
      std::perror("cannot make a folder for the inputs");
      std::abort();
    }
    root = pattern;
    std::filesystem::create_directory(root / "seq");
    groundTruth = root / "seq" / "gt.txt";
    tracker = root / "seq" / "sys.txt";
    seqinfo = root / "seq" / "seqinfo.ini";
    writtenTruth = root / "seq" / "gt-again.txt";
    writtenTracker = root / "seq" / "sys-again.txt";
  }
  ~Folder() {
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
  }
};

const Folder& folder() {
  static const Folder instance;
  return instance;
}

void writeFile(const std::string& path, std::string_view bytes) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size() ||
      std::fclose(file) != 0) {
    std::perror("cannot write the input");
    std::abort();
  }
}

std::size_t linesIn(std::string_view bytes) {
  return static_cast<std::size_t>(std::count(bytes.begin(), bytes.end(), '\n') +
                                  std::count(bytes.begin(), bytes.end(), '\r')) +
         1;
}

// A refusal names one of `files` (and its line, which the file has), then
// ": " and the problem.
void checkRefusal(const std::string& message, const std::vector<std::string>& files) {
  bool named = false;
  for (const std::string& file : files) {
    if (!message.starts_with(file)) continue;
    std::string_view rest = std::string_view(message).substr(file.size());
    if (rest.starts_with(":") && rest.size() > 1 && rest[1] >= '0' && rest[1] <= '9') {
      rest.remove_prefix(1);
      while (!rest.empty() && rest.front() >= '0' && rest.front() <= '9') rest.remove_prefix(1);
    }
    named = named || (rest.starts_with(": ") && rest.size() > 2);
  }
  if (!named) std::fprintf(stderr, "refusal: %s\n", message.c_str());
  FUZZ_CHECK(named);
}

void checkReadError(const tracking::TrackReadError& error, const std::string& path,
                    std::string_view bytes) {
  checkRefusal(error.what(), {path});
  FUZZ_CHECK(error.file() == path);
  FUZZ_CHECK(error.line() <= linesIn(bytes));
}

std::string number(double value) {
  char text[40];
  std::snprintf(text, sizeof text, "%.17g", value);
  return text;
}

// The boxes as MOT16 lines: every value at %.17g.
std::string motText(const tracking::TrackFile& file, bool truth) {
  std::string text;
  for (std::size_t k = 0; k < file.boxes.size(); ++k) {
    const TrackBox& b = file.boxes[k];
    text += std::to_string(file.frames[k]) + "," + std::to_string(b.id) + "," + number(b.left) +
            "," + number(b.top) + "," + number(b.right - b.left) + "," + number(b.bottom - b.top);
    if (truth) {
      text += std::string(b.considered ? ",1," : ",0,") + std::to_string(b.label) + ",1\n";
    } else {
      text +=
          "," + number(static_cast<double>(b.confidence)) + "," + std::to_string(b.label) + "\n";
    }
  }
  return text;
}

// Read, written back and read again as MOT16: the same boxes.
void checkReadBack(const tracking::TrackFile& file, bool truth, const std::string& path) {
  FUZZ_CHECK(file.frames.size() == file.boxes.size());
  for (const uint32_t frame : file.frames) FUZZ_CHECK(frame >= 1);
  bool writable = true;
  for (const TrackBox& b : file.boxes) {
    FUZZ_CHECK(std::isfinite(b.left) && std::isfinite(b.top));
    FUZZ_CHECK(!std::isnan(b.right) && !std::isnan(b.bottom));
    FUZZ_CHECK(!std::isnan(b.confidence));
    if (!truth) FUZZ_CHECK(b.considered || (file.layout == TrackLayout::kKitti && b.id == -1));
    // A corner that left + width took beyond the doubles' range (or a side
    // that the corners do) has no width to write.
    writable = writable && std::isfinite(b.right - b.left) && std::isfinite(b.bottom - b.top);
  }
  if (!writable) return;
  const std::string text = motText(file, truth);
  writeFile(path, text);
  tracking::TrackFile again;
  try {
    again =
        tracking::readTrackFile({path, TrackLayout::kMot16,
                                 truth ? AnnotationRole::kGroundTruth : AnnotationRole::kSystem});
  } catch (const tracking::TrackReadError& error) {
    std::fprintf(stderr, "written back, refused: %s\n", error.what());
    talmira_fuzz::fail(__FILE__, __LINE__, "the boxes written back read again");
  }
  FUZZ_CHECK(again.boxes.size() == file.boxes.size());
  FUZZ_CHECK(again.frames == file.frames);
  for (std::size_t k = 0; k < file.boxes.size(); ++k) {
    const TrackBox& a = file.boxes[k];
    const TrackBox& b = again.boxes[k];
    FUZZ_CHECK(a.id == b.id && a.label == b.label);
    FUZZ_CHECK(a.left == b.left && a.top == b.top);
    // The width written is right - left, so the corner read back is the
    // left plus that width.
    FUZZ_CHECK(b.right == a.left + (a.right - a.left));
    FUZZ_CHECK(b.bottom == a.top + (a.bottom - a.top));
    if (truth) {
      FUZZ_CHECK(a.considered == b.considered);
    } else {
      FUZZ_CHECK(a.confidence == b.confidence);
    }
    FUZZ_CHECK(b.line == k + 1);
  }
}

// Framing keeps every box, by frame and within a frame in file order, and
// leaves no identity twice in a frame.
void checkFramed(const TrackSequence& s, const std::vector<std::pair<uint32_t, uint64_t>>& read,
                 TrackLayout layout) {
  FUZZ_CHECK(s.frameStart.size() == s.frames.size() + 1);
  FUZZ_CHECK(std::is_sorted(s.frames.begin(), s.frames.end()) &&
             std::adjacent_find(s.frames.begin(), s.frames.end()) == s.frames.end());
  FUZZ_CHECK(s.frameStart.front() == 0 && s.frameStart.back() == s.boxes.size());
  std::vector<std::pair<uint32_t, uint64_t>> expected = read;
  std::stable_sort(expected.begin(), expected.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<std::pair<uint32_t, uint64_t>> framed;
  for (uint32_t f = 1; f <= s.length; ++f) {
    FUZZ_CHECK(s.frameBegin(f) <= s.frameEnd(f));
    std::set<int64_t> ids;
    for (uint64_t k = s.frameBegin(f); k < s.frameEnd(f); ++k) {
      framed.emplace_back(f, s.boxes[k].line);
      if (layout == TrackLayout::kKitti && s.boxes[k].id == -1) continue;
      FUZZ_CHECK(ids.insert(s.boxes[k].id).second);
    }
  }
  FUZZ_CHECK(framed == expected);
}

// ---------------------------------------------------------------- measures

struct Told {
  uint32_t frame;
  std::vector<tracking::ClearMatch> matches;
};

class Recorder : public tracking::ClearObserver {
 public:
  void matched(uint32_t frame, std::span<const tracking::ClearMatch> matches) override {
    told.push_back({frame, {matches.begin(), matches.end()}});
  }
  std::vector<Told> told;
};

struct Evaluation {
  PreparedTracks prepared;
  TrackSums sums;
  tracking::TrackMeasures measures;
  std::vector<Told> told;
};

Evaluation evaluate(const TrackSequence& truth, const TrackSequence& tracker,
                    const TrackRules& rules, int32_t label) {
  Evaluation e;
  e.prepared = tracking::prepareTracks(truth, tracker, rules, label);
  Recorder recorder;
  e.sums = tracking::evaluateTracks(e.prepared, &recorder);
  e.told = std::move(recorder.told);
  e.measures = tracking::trackMeasures(e.sums);
  return e;
}

bool sameDouble(double a, double b) { return a == b || (std::isnan(a) && std::isnan(b)); }
bool sameValues(const AlphaValues& a, const AlphaValues& b) {
  for (std::size_t k = 0; k < kAlphaCount; ++k) {
    if (!sameDouble(a[k], b[k])) return false;
  }
  return true;
}

bool sameCounts(const TrackSums& a, const TrackSums& b, bool frames = true) {
  return a.clearTp == b.clearTp && a.clearFn == b.clearFn && a.clearFp == b.clearFp &&
         a.idSwitches == b.idSwitches && a.mostlyTracked == b.mostlyTracked &&
         a.partlyTracked == b.partlyTracked && a.mostlyLost == b.mostlyLost &&
         a.fragmentations == b.fragmentations && (!frames || a.frames == b.frames) &&
         a.idTp == b.idTp && a.idFn == b.idFn && a.idFp == b.idFp && a.hotaTp == b.hotaTp &&
         a.hotaFn == b.hotaFn && a.hotaFp == b.hotaFp && a.empty == b.empty;
}

// Every figure of the two, to the bit.
bool sameSums(const TrackSums& a, const TrackSums& b) {
  return sameCounts(a, b) && sameDouble(a.motpSum, b.motpSum) && sameValues(a.assA, b.assA) &&
         sameValues(a.assRe, b.assRe) && sameValues(a.assPr, b.assPr) && sameValues(a.locA, b.locA);
}

bool near(double a, double b) { return std::fabs(a - b) <= 1e-12 * std::max(1.0, std::fabs(b)); }
bool nearValues(const AlphaValues& a, const AlphaValues& b) {
  for (std::size_t k = 0; k < kAlphaCount; ++k) {
    if (!near(a[k], b[k])) return false;
  }
  return true;
}

bool sameTold(const std::vector<Told>& a, const std::vector<Told>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t k = 0; k < a.size(); ++k) {
    if (a[k].frame != b[k].frame || a[k].matches.size() != b[k].matches.size()) return false;
    for (std::size_t m = 0; m < a[k].matches.size(); ++m) {
      const tracking::ClearMatch& x = a[k].matches[m];
      const tracking::ClearMatch& y = b[k].matches[m];
      if (x.truthIndex != y.truthIndex || x.trackerIndex != y.trackerIndex ||
          x.truthId != y.truthId || x.trackerId != y.trackerId || x.iou != y.iou ||
          x.previousTrackerId != y.previousTrackerId || x.idSwitch != y.idSwitch ||
          x.fragmentation != y.fragmentation) {
        return false;
      }
    }
  }
  return true;
}

void checkUnit(double v) { FUZZ_CHECK(v >= 0.0 && v <= 1.0); }

void checkMeasures(const tracking::TrackMeasures& m) {
  const AlphaValues& alphas = tracking::hotaAlphas();
  for (std::size_t a = 0; a < kAlphaCount; ++a) {
    for (const AlphaValues* values :
         {&m.hota, &m.detA, &m.assA, &m.detRe, &m.detPr, &m.assRe, &m.assPr, &m.locA, &m.owta}) {
      checkUnit((*values)[a]);
    }
    FUZZ_CHECK(m.detA[a] <= m.detRe[a] && m.detA[a] <= m.detPr[a]);
    FUZZ_CHECK(m.assA[a] <= m.assRe[a] && m.assA[a] <= m.assPr[a]);
    FUZZ_CHECK(m.hota[a] <= m.owta[a]);
    if (m.hotaTp[a] > 0) FUZZ_CHECK(m.locA[a] >= alphas[a] - 1e-9);
  }
  for (const double v :
       {m.hotaZero, m.locAZero, m.hotaLocAZero, m.motp, m.clearRecall, m.clearPrecision, m.mtRatio,
        m.ptRatio, m.mlRatio, m.clearF1, m.idf1, m.idRecall, m.idPrecision}) {
    checkUnit(v);
  }
  for (const double v : {m.mota, m.moda, m.smota, m.motal, m.fpPerFrame}) {
    FUZZ_CHECK(std::isfinite(v));
  }
  FUZZ_CHECK(m.moda <= 1.0 && m.fpPerFrame >= 0.0);
  FUZZ_CHECK(m.mota <= m.motal && m.motal <= m.moda);
  FUZZ_CHECK(m.smota <= m.mota);
  if (m.sums.clearTp > 0) FUZZ_CHECK(m.motp >= 0.5 - 1e-9);
  FUZZ_CHECK(m.idf1 >= std::min(m.idRecall, m.idPrecision) - 1e-12);
  FUZZ_CHECK(m.idf1 <= std::max(m.idRecall, m.idPrecision) + 1e-12);
}

// CLEAR's switches, fragmentations and MT/PT/ML counted again from the
// matches told, frame by frame.
void checkTold(const Evaluation& e) {
  const PreparedTracks& p = e.prepared;
  const TrackSums& s = e.sums;
  if (s.empty) {
    FUZZ_CHECK(e.told.empty());
    return;
  }
  const auto G = static_cast<std::size_t>(p.groundTruthIds);
  std::vector<int32_t> lastTracker(G, -1);
  std::vector<char> matchedBefore(G, 0);  // in the last frame with both sides
  std::vector<int64_t> starts(G, 0), matchedFrames(G, 0), present(G, 0);
  int64_t matches = 0, switches = 0, fragmentations = 0;
  std::size_t next = 0;
  for (std::size_t at = 0; at < p.frameNumbers.size(); ++at) {
    const uint32_t f = p.frameNumbers[at];
    const uint64_t gBegin = p.groundTruthStart[at], gEnd = p.groundTruthStart[at + 1];
    const uint64_t tBegin = p.trackerStart[at], tEnd = p.trackerStart[at + 1];
    for (uint64_t k = gBegin; k < gEnd; ++k)
      ++present[static_cast<std::size_t>(p.groundTruth[k].id)];
    if (gBegin == gEnd || tBegin == tEnd) continue;
    // Every frame with both sides is told, in order.
    FUZZ_CHECK(next < e.told.size() && e.told[next].frame == f);
    const Told& told = e.told[next++];
    std::set<uint32_t> rows, columns;
    std::vector<char> matchedNow(G, 0);
    for (const tracking::ClearMatch& m : told.matches) {
      FUZZ_CHECK(m.truthIndex < gEnd - gBegin && m.trackerIndex < tEnd - tBegin);
      FUZZ_CHECK(rows.insert(m.truthIndex).second && columns.insert(m.trackerIndex).second);
      const TrackBox& g = p.groundTruth[gBegin + m.truthIndex];
      const TrackBox& t = p.tracker[tBegin + m.trackerIndex];
      FUZZ_CHECK(m.truthId == g.id && m.trackerId == t.id);
      FUZZ_CHECK(m.iou == tracking::trackIou(g, t));
      FUZZ_CHECK(m.iou >= 0.5 - kEpsilon);
      const auto id = static_cast<std::size_t>(g.id);
      FUZZ_CHECK(m.previousTrackerId == lastTracker[id]);
      const bool switched = lastTracker[id] != -1 && lastTracker[id] != m.trackerId;
      FUZZ_CHECK(m.idSwitch == switched);
      const bool fragmentation = !matchedBefore[id] && starts[id] > 0;
      FUZZ_CHECK(m.fragmentation == fragmentation);
      if (!matchedBefore[id]) ++starts[id];
      switches += switched;
      fragmentations += fragmentation;
      lastTracker[id] = m.trackerId;
      matchedNow[id] = 1;
      ++matchedFrames[id];
      ++matches;
    }
    matchedBefore = std::move(matchedNow);
  }
  FUZZ_CHECK(next == e.told.size());
  FUZZ_CHECK(matches == s.clearTp && switches == s.idSwitches);
  FUZZ_CHECK(fragmentations == s.fragmentations);
  int64_t mt = 0, pt = 0;
  for (std::size_t g = 0; g < G; ++g) {
    FUZZ_CHECK(present[g] > 0);  // renumbered identities are all present
    const double r = static_cast<double>(matchedFrames[g]) / static_cast<double>(present[g]);
    mt += r > 0.8;
    pt += r <= 0.8 && r >= 0.2;
  }
  FUZZ_CHECK(mt == s.mostlyTracked && pt == s.partlyTracked);
}

// IDTP as the value of the dense assignment on the frames each pair of
// identities overlaps in (IoU >= 0.5, no epsilon).
void checkIdentityDense(const Evaluation& e) {
  const PreparedTracks& p = e.prepared;
  const auto G = p.groundTruthIds;
  const auto H = p.trackerIds;
  if (G == 0 || H == 0 || G > 40 || H > 40) return;
  std::vector<double> pot(static_cast<std::size_t>(G) * H, 0.0);
  for (std::size_t at = 0; at < p.frameNumbers.size(); ++at) {
    for (uint64_t i = p.groundTruthStart[at]; i < p.groundTruthStart[at + 1]; ++i) {
      for (uint64_t j = p.trackerStart[at]; j < p.trackerStart[at + 1]; ++j) {
        if (tracking::trackIou(p.groundTruth[i], p.tracker[j]) >= 0.5) {
          pot[static_cast<std::size_t>(p.groundTruth[i].id) * H + p.tracker[j].id] += 1.0;
        }
      }
    }
  }
  std::vector<double> negated(pot.size());
  std::transform(pot.begin(), pot.end(), negated.begin(), [](double v) { return -v; });
  tracking::LinearSumAssignment solver;
  const std::span<const int32_t> pairs = solver.solve(negated, G, H);
  double total = 0.0;
  for (int32_t g = 0; g < G; ++g) {
    if (pairs[static_cast<std::size_t>(g)] >= 0) {
      total += pot[static_cast<std::size_t>(g) * H + pairs[static_cast<std::size_t>(g)]];
    }
  }
  if (static_cast<double>(e.sums.idTp) != total) {
    std::fprintf(stderr, "IDTP %lld, dense assignment %.0f\n", static_cast<long long>(e.sums.idTp),
                 total);
  }
  FUZZ_CHECK(static_cast<double>(e.sums.idTp) == total);
}

// The sides swapped: the overlaps are the same, so is the best pairing.
void checkIdentitySwapped(const Evaluation& e) {
  const PreparedTracks& p = e.prepared;
  PreparedTracks swapped;
  swapped.frames = p.frames;
  swapped.frameNumbers = p.frameNumbers;
  swapped.groundTruthIds = p.trackerIds;
  swapped.trackerIds = p.groundTruthIds;
  swapped.groundTruth = p.tracker;
  swapped.tracker = p.groundTruth;
  swapped.groundTruthStart = p.trackerStart;
  swapped.trackerStart = p.groundTruthStart;
  const TrackSums s = tracking::evaluateTracks(swapped);
  FUZZ_CHECK(s.idTp == e.sums.idTp);
}

void checkEvaluation(const Evaluation& e) {
  const PreparedTracks& p = e.prepared;
  const TrackSums& s = e.sums;
  const auto G = static_cast<int64_t>(p.groundTruth.size());
  const auto T = static_cast<int64_t>(p.tracker.size());
  FUZZ_CHECK(p.groundTruthStart.size() == p.frameNumbers.size() + 1);
  FUZZ_CHECK(p.trackerStart.size() == p.frameNumbers.size() + 1);
  for (std::size_t at = 0; at < p.frameNumbers.size(); ++at) {
    // Only frames with a kept box are held, rising, within the length.
    FUZZ_CHECK(p.frameNumbers[at] >= 1 && p.frameNumbers[at] <= p.frames);
    FUZZ_CHECK(at == 0 || p.frameNumbers[at - 1] < p.frameNumbers[at]);
    FUZZ_CHECK(p.groundTruthStart[at + 1] + p.trackerStart[at + 1] >
               p.groundTruthStart[at] + p.trackerStart[at]);
  }
  FUZZ_CHECK(p.groundTruthStart.back() == p.groundTruth.size());
  FUZZ_CHECK(p.trackerStart.back() == p.tracker.size());
  FUZZ_CHECK(p.groundTruthIdValues.size() == static_cast<std::size_t>(p.groundTruthIds));
  FUZZ_CHECK(p.trackerIdValues.size() == static_cast<std::size_t>(p.trackerIds));
  FUZZ_CHECK(std::is_sorted(p.groundTruthIdValues.begin(), p.groundTruthIdValues.end()));
  for (const TrackBox& b : p.groundTruth) FUZZ_CHECK(b.id >= 0 && b.id < p.groundTruthIds);
  for (const TrackBox& b : p.tracker) FUZZ_CHECK(b.id >= 0 && b.id < p.trackerIds);

  FUZZ_CHECK(s.clearTp >= 0 && s.clearFn >= 0 && s.clearFp >= 0);
  FUZZ_CHECK(s.clearTp + s.clearFn == G && s.clearTp + s.clearFp == T);
  FUZZ_CHECK(s.idTp >= 0 && s.idTp <= std::min(G, T));
  FUZZ_CHECK(s.idTp + s.idFn == G && s.idTp + s.idFp == T);
  for (std::size_t a = 0; a < kAlphaCount; ++a) {
    FUZZ_CHECK(s.hotaTp[a] >= 0 && s.hotaFn[a] >= 0 && s.hotaFp[a] >= 0);
    FUZZ_CHECK(s.hotaTp[a] + s.hotaFn[a] == static_cast<double>(G));
    FUZZ_CHECK(s.hotaTp[a] + s.hotaFp[a] == static_cast<double>(T));
    if (a > 0) FUZZ_CHECK(s.hotaTp[a] <= s.hotaTp[a - 1]);
    FUZZ_CHECK(!std::isnan(s.assA[a]) && !std::isnan(s.locA[a]));
  }
  FUZZ_CHECK(s.hotaTp[0] <= static_cast<double>(std::min(G, T)));
  FUZZ_CHECK(s.mostlyTracked >= 0 && s.partlyTracked >= 0 && s.mostlyLost >= 0);
  FUZZ_CHECK(s.mostlyTracked + s.partlyTracked + s.mostlyLost == p.groundTruthIds);
  FUZZ_CHECK(s.idSwitches >= 0 && s.idSwitches <= s.clearTp);
  FUZZ_CHECK(s.fragmentations >= 0 && s.fragmentations <= s.clearTp);
  FUZZ_CHECK(std::isfinite(s.motpSum) && s.motpSum <= static_cast<double>(s.clearTp));
  FUZZ_CHECK(s.empty == (G == 0 || T == 0));
  checkMeasures(e.measures);
  checkTold(e);
  checkIdentityDense(e);
  checkIdentitySwapped(e);

  // Combined with itself: counts doubled, ratios unchanged (the weighted
  // association's to the last bits).
  if (!s.empty) {
    const TrackSums twice[] = {s, s};
    const TrackSums both = tracking::combineTracks(twice);
    FUZZ_CHECK(both.clearTp == 2 * s.clearTp && both.idTp == 2 * s.idTp &&
               both.idSwitches == 2 * s.idSwitches && both.mostlyLost == 2 * s.mostlyLost);
    const tracking::TrackMeasures m = tracking::trackMeasures(both);
    const tracking::TrackMeasures& o = e.measures;
    FUZZ_CHECK(m.mota == o.mota && m.motp == o.motp && m.idf1 == o.idf1 &&
               m.clearRecall == o.clearRecall && m.mtRatio == o.mtRatio && m.detA == o.detA);
    FUZZ_CHECK(nearValues(m.assA, o.assA) && nearValues(m.hota, o.hota) &&
               nearValues(m.locA, o.locA));
  }
}

// A copy of the sequence with each box changed by `change`.
template <class Change>
TrackSequence changed(const TrackSequence& s, Change change) {
  TrackSequence copy = s;
  for (TrackBox& box : copy.boxes) change(box);
  return copy;
}

// An empty frame put in before frame `at` (1..length + 1).
TrackSequence withEmptyFrame(const TrackSequence& s, uint32_t at) {
  TrackSequence copy = s;
  copy.length += 1;
  for (uint32_t& frame : copy.frames) frame += frame >= at ? 1 : 0;
  return copy;
}

void checkInvariance(const TrackSequence& truth, const TrackSequence& tracker,
                     const TrackRules& rules, int32_t label, const Evaluation& base, uint8_t salt) {
  // Order-preserving renumbering, of either side: every figure as before.
  const auto spread = [](TrackBox& b) {
    if (b.id != -1) b.id = b.id * 7 + 3;  // KITTI's DontCare keeps its -1
  };
  {
    const Evaluation e = evaluate(changed(truth, spread), tracker, rules, label);
    FUZZ_CHECK(sameSums(e.sums, base.sums));
    FUZZ_CHECK(sameTold(e.told, base.told));
  }
  {
    const Evaluation e = evaluate(truth, changed(tracker, spread), rules, label);
    FUZZ_CHECK(sameSums(e.sums, base.sums));
    FUZZ_CHECK(sameTold(e.told, base.told));
  }
  // Out of order (reversed, or a shuffle of the low bits): no count changes.
  {
    const Evaluation e =
        evaluate(changed(truth, [](TrackBox& b) { b.id = -b.id; }),
                 changed(tracker, [salt](TrackBox& b) { b.id ^= salt & 7; }), rules, label);
    FUZZ_CHECK(sameCounts(e.sums, base.sums));
    FUZZ_CHECK(near(e.sums.motpSum, base.sums.motpSum) || e.sums.motpSum == base.sums.motpSum);
    FUZZ_CHECK(nearValues(e.sums.assA, base.sums.assA) && nearValues(e.sums.locA, base.sums.locA));
  }
  // An empty frame put in: the same but for the frame count.
  {
    const uint32_t at = 1 + salt % (truth.length + 1);
    const Evaluation e =
        evaluate(withEmptyFrame(truth, at), withEmptyFrame(tracker, at), rules, label);
    FUZZ_CHECK(sameCounts(e.sums, base.sums, false));
    FUZZ_CHECK(e.sums.frames == base.sums.frames + (base.sums.empty ? 0 : 1));
    FUZZ_CHECK(sameDouble(e.sums.motpSum, base.sums.motpSum) &&
               sameValues(e.sums.assA, base.sums.assA) && sameValues(e.sums.locA, base.sums.locA));
  }
}

// Moves, doubles, mirrors and transposes whole-numbered boxes: every
// arithmetic step stays exact, so every figure must stay.
void checkGeometry(const TrackSequence& truth, const TrackSequence& tracker,
                   const TrackRules& rules, int32_t label, const Evaluation& base) {
  const auto same = [&](auto change) {
    const Evaluation e = evaluate(changed(truth, change), changed(tracker, change), rules, label);
    FUZZ_CHECK(sameSums(e.sums, base.sums));
    FUZZ_CHECK(sameTold(e.told, base.told));
  };
  same([](TrackBox& b) {
    b.left += 1000;
    b.right += 1000;
    b.top -= 64;
    b.bottom -= 64;
  });
  same([](TrackBox& b) {
    b.left *= 2;
    b.right *= 2;
    b.top *= 2;
    b.bottom *= 2;
  });
  same([](TrackBox& b) {
    const double left = b.left;
    b.left = 100 - b.right;
    b.right = 100 - left;
  });
  same([](TrackBox& b) {
    std::swap(b.left, b.top);
    std::swap(b.right, b.bottom);
  });
}

// The ground truth's boxes (those with an area, none touching another of
// its frame) as the tracker's: every ratio is 1.
void checkPerfectTracker(const TrackSequence& truth) {
  TrackSequence kept;
  kept.length = truth.length;
  kept.frameStart.assign(1, 0);
  for (uint32_t f = 1; f <= truth.length; ++f) {
    const std::size_t first = kept.boxes.size();
    for (uint64_t k = truth.frameBegin(f); k < truth.frameEnd(f); ++k) {
      TrackBox box = truth.boxes[k];
      if (!(box.right > box.left && box.bottom > box.top)) continue;
      bool touches = false;
      for (std::size_t j = first; j < kept.boxes.size(); ++j) {
        const TrackBox& o = kept.boxes[j];
        touches = touches || (std::min(box.right, o.right) > std::max(box.left, o.left) &&
                              std::min(box.bottom, o.bottom) > std::max(box.top, o.top));
      }
      if (touches) continue;
      box.considered = true;
      kept.boxes.push_back(box);
    }
    if (kept.boxes.size() == first) continue;
    kept.frames.push_back(f);
    kept.frameStart.push_back(kept.boxes.size());
  }
  if (kept.boxes.empty()) return;
  TrackSequence copy = changed(kept, [](TrackBox& b) { b.id = 5 - 3 * b.id; });
  const Evaluation e = evaluate(kept, copy, TrackRules{}, -1);
  const auto n = static_cast<int64_t>(kept.boxes.size());
  const TrackSums& s = e.sums;
  FUZZ_CHECK(s.clearTp == n && s.idTp == n && s.idSwitches == 0);
  FUZZ_CHECK(s.mostlyTracked == e.prepared.groundTruthIds);
  const tracking::TrackMeasures& m = e.measures;
  for (std::size_t a = 0; a < kAlphaCount; ++a) {
    FUZZ_CHECK(s.hotaTp[a] == static_cast<double>(n));
    FUZZ_CHECK(m.hota[a] == 1.0 && m.assA[a] == 1.0 && m.detA[a] == 1.0 && m.locA[a] == 1.0);
  }
  FUZZ_CHECK(m.mota == 1.0 && m.motp == 1.0 && m.idf1 == 1.0);
}

// The classes to evaluate under `rules`: the benchmark's pedestrians, or
// every ground-truth class and all together.
std::vector<int32_t> labelsOf(const TrackSequence& truth, TrackBenchmark benchmark) {
  if (benchmark == TrackBenchmark::kMot15) return {-1};
  if (benchmark != TrackBenchmark::kPlain) return {tracking::kPedestrianClass};
  std::vector<int32_t> labels = {-1};
  for (const TrackBox& b : truth.boxes) {
    if (labels.size() < 4 && std::find(labels.begin(), labels.end(), b.label) == labels.end()) {
      labels.push_back(b.label);
    }
  }
  return labels;
}

// The boxes the benchmark keeps, counted from the sequences alone.
void checkKept(const TrackSequence& truth, const TrackSequence& tracker, const TrackRules& rules,
               int32_t label, const PreparedTracks& p) {
  const bool mot =
      rules.benchmark == TrackBenchmark::kMot16 || rules.benchmark == TrackBenchmark::kMot20;
  const bool plainClass = rules.benchmark == TrackBenchmark::kPlain && label != -1;
  std::size_t truthKept = 0, trackerKept = 0, removable = 0;
  for (uint32_t f = 1; f <= truth.length; ++f) {
    std::size_t distractors = 0, trackers = 0;
    for (uint64_t k = truth.frameBegin(f); k < truth.frameEnd(f); ++k) {
      const TrackBox& b = truth.boxes[k];
      const bool distractor = b.label == 2 || b.label == 7 || b.label == 8 || b.label == 12 ||
                              (rules.benchmark == TrackBenchmark::kMot20 && b.label == 6);
      distractors += distractor;
      truthKept += b.considered && (!mot || b.label == tracking::kPedestrianClass) &&
                   (!plainClass || b.label == label);
    }
    for (uint64_t k = tracker.frameBegin(f); k < tracker.frameEnd(f); ++k) {
      const TrackBox& b = tracker.boxes[k];
      if (rules.minConfidence && b.confidence != -1.0f && b.confidence < *rules.minConfidence) {
        continue;
      }
      if (plainClass && b.label != label) continue;
      ++trackers;
    }
    trackerKept += trackers;
    if (mot) removable += std::min(distractors, trackers);
  }
  FUZZ_CHECK(p.groundTruth.size() == truthKept);
  FUZZ_CHECK(p.tracker.size() <= trackerKept && p.tracker.size() + removable >= trackerKept);
  FUZZ_CHECK(p.frames == truth.length);
}

struct Input {
  std::string_view truthText, trackerText;
  std::optional<std::string_view> seqinfo;
  TrackLayout layout = TrackLayout::kAutomatic;
  std::optional<TrackBenchmark> benchmark;  // none: as the layout read says
  std::optional<float> confidence;
  bool compact = false;
  uint8_t salt = 0;
};

void run(const Input& input) {
  const Folder& files = folder();
  writeFile(files.groundTruth, input.truthText);
  writeFile(files.tracker, input.trackerText);
  std::error_code ignored;
  std::filesystem::remove(files.seqinfo, ignored);
  if (input.seqinfo) writeFile(files.seqinfo, *input.seqinfo);

  tracking::TrackFile truthFile, trackerFile;
  try {
    truthFile =
        tracking::readTrackFile({files.groundTruth, input.layout, AnnotationRole::kGroundTruth});
  } catch (const tracking::TrackReadError& error) {
    FUZZ_CHECK(!input.compact);
    checkReadError(error, files.groundTruth, input.truthText);
    return;
  }
  FUZZ_CHECK(truthFile.layout != TrackLayout::kAutomatic);
  try {
    // A tracker's file is read in the ground truth's layout.
    trackerFile =
        tracking::readTrackFile({files.tracker, truthFile.layout, AnnotationRole::kSystem});
  } catch (const tracking::TrackReadError& error) {
    FUZZ_CHECK(!input.compact);
    checkReadError(error, files.tracker, input.trackerText);
    return;
  }
  checkReadBack(truthFile, true, files.writtenTruth);
  checkReadBack(trackerFile, false, files.writtenTracker);

  uint32_t length = std::max(truthFile.lastFrame(), trackerFile.lastFrame());
  try {
    if (const std::optional<uint32_t> beside = tracking::sequenceLengthBeside(files.groundTruth)) {
      length = *beside;
    }
  } catch (const tracking::TrackReadError& error) {
    FUZZ_CHECK(!input.compact);
    checkRefusal(error.what(), {files.seqinfo});
    return;
  }
  if (length > kMaxFrames) return;
  std::vector<std::pair<uint32_t, uint64_t>> truthRead, trackerRead;
  for (std::size_t k = 0; k < truthFile.boxes.size(); ++k) {
    truthRead.emplace_back(truthFile.frames[k], truthFile.boxes[k].line);
  }
  for (std::size_t k = 0; k < trackerFile.boxes.size(); ++k) {
    trackerRead.emplace_back(trackerFile.frames[k], trackerFile.boxes[k].line);
  }
  const TrackLayout layout = truthFile.layout;
  TrackSequence truth, tracker;
  try {
    truth = tracking::framedTracks(std::move(truthFile), length);
    tracker = tracking::framedTracks(std::move(trackerFile), length);
  } catch (const tracking::TrackReadError& error) {
    FUZZ_CHECK(!input.compact);
    checkRefusal(error.what(), {files.groundTruth, files.tracker});
    return;
  }
  checkFramed(truth, truthRead, layout);
  checkFramed(tracker, trackerRead, layout);

  TrackRules rules;
  rules.minConfidence = input.confidence;
  if (input.benchmark) {
    rules.benchmark = *input.benchmark;
  } else {
    rules.benchmark = layout == TrackLayout::kMot15   ? TrackBenchmark::kMot15
                      : layout == TrackLayout::kMot16 ? TrackBenchmark::kMot16
                                                      : TrackBenchmark::kPlain;
  }
  try {
    tracking::checkTrackInput(truth, tracker, rules);
  } catch (const tracking::TrackInputError& error) {
    FUZZ_CHECK(!input.compact);
    checkRefusal(error.what(), {files.groundTruth, files.tracker});
    return;
  }
  if (truth.boxes.size() + tracker.boxes.size() > kMaxBoxes) return;
  for (const int32_t label : labelsOf(truth, rules.benchmark)) {
    Evaluation base;
    try {
      base = evaluate(truth, tracker, rules, label);
    } catch (const tracking::TrackInputError& error) {
      // Boxes beyond the doubles' range, whose IoU is not a number.
      FUZZ_CHECK(!input.compact);
      checkRefusal(error.what(), {files.groundTruth});
      return;
    }
    checkKept(truth, tracker, rules, label, base.prepared);
    checkEvaluation(base);
    checkInvariance(truth, tracker, rules, label, base, input.salt);
    if (input.compact) checkGeometry(truth, tracker, rules, label, base);
  }
  if (input.compact) checkPerfectTracker(truth);
}

// ---------------------------------------------------------------- inputs

void runText(std::string_view bytes) {
  if (bytes.size() < 3) return;
  static constexpr TrackLayout kLayouts[] = {
      TrackLayout::kAutomatic, TrackLayout::kMot15, TrackLayout::kMot16,  TrackLayout::kVisDrone,
      TrackLayout::kUavdt,     TrackLayout::kKitti, TrackLayout::kTalmira};
  static constexpr TrackBenchmark kBenchmarks[] = {TrackBenchmark::kPlain, TrackBenchmark::kMot15,
                                                   TrackBenchmark::kMot16, TrackBenchmark::kMot20};
  Input input;
  input.layout = kLayouts[static_cast<uint8_t>(bytes[0]) % 7];
  const uint8_t rules = static_cast<uint8_t>(bytes[1]) % 5;
  if (rules != 0) input.benchmark = kBenchmarks[rules - 1];
  const auto cut = static_cast<uint8_t>(bytes[2]);
  if (cut != 0) input.confidence = static_cast<float>(cut - 1) / 254.0f;
  input.salt = static_cast<uint8_t>(bytes.size());
  bytes.remove_prefix(3);
  const std::size_t first = bytes.find('\0');
  input.truthText = bytes.substr(0, first);
  if (first != std::string_view::npos) {
    const std::string_view rest = bytes.substr(first + 1);
    const std::size_t second = rest.find('\0');
    input.trackerText = rest.substr(0, second);
    if (second != std::string_view::npos) input.seqinfo = rest.substr(second + 1);
  }
  run(input);
}

// Six bytes a box: side and frame; identity; class and consider; left,
// top (half pixels); width and height (half pixels, some negative).
void runCompact(std::string_view bytes) {
  if (bytes.size() < 2) return;
  const auto head = static_cast<uint8_t>(bytes[0]);
  const uint32_t frames = 1 + static_cast<uint8_t>(bytes[1]) % 12;
  static constexpr TrackBenchmark kBenchmarks[] = {TrackBenchmark::kPlain, TrackBenchmark::kMot15,
                                                   TrackBenchmark::kMot16, TrackBenchmark::kMot20};
  const TrackBenchmark benchmark = kBenchmarks[head % 4];
  const bool mot = benchmark == TrackBenchmark::kMot16 || benchmark == TrackBenchmark::kMot20;
  const uint32_t extraFrames = (head >> 2) % 3;  // seqinfo.ini's length beyond the last frame
  bytes.remove_prefix(2);
  std::string truth, tracker;
  std::set<std::tuple<bool, uint32_t, int>> seen;
  static constexpr int kMotClasses[] = {1, 1, 1, 2, 7, 8, 12, 6};
  static constexpr int kPlainClasses[] = {-1, 0, 1, 2};
  for (std::size_t k = 0; k + 6 <= bytes.size(); k += 6) {
    const auto* b = reinterpret_cast<const uint8_t*>(bytes.data() + k);
    const bool isTruth = (b[0] & 1) != 0;
    const uint32_t frame = 1 + (b[0] >> 1) % frames;
    const int id = b[1] % 24;
    if (!seen.insert({isTruth, frame, id}).second) continue;  // one box per identity and frame
    const double left = (b[3] % 48) * 0.5;
    const double top = (b[3] / 48) * 2.5 + (b[4] % 8) * 0.5;
    const double width = static_cast<double>(static_cast<int>(b[5] % 16) - 1);
    const double height = static_cast<double>(static_cast<int>(b[5] / 16) - 1) * 0.5 + (b[4] / 128);
    const int label =
        mot ? (isTruth ? kMotClasses[b[2] % 8] : (b[2] & 1 ? 1 : -1)) : kPlainClasses[b[2] % 4];
    char line[160];
    if (isTruth) {
      std::snprintf(line, sizeof line, "%u,%d,%.17g,%.17g,%.17g,%.17g,%d,%d,1\n", frame, id, left,
                    top, width, height, (b[2] & 0x80) ? 0 : 1, label);
      truth += line;
    } else {
      std::snprintf(line, sizeof line, "%u,%d,%.17g,%.17g,%.17g,%.17g,%.17g,%d\n", frame, id, left,
                    top, width, height, (b[2] >> 4) / 15.0, label);
      tracker += line;
    }
  }
  const std::string seqinfo =
      "[Sequence]\nname=fuzz\nseqLength=" + std::to_string(frames + extraFrames) + "\n";
  Input input;
  input.truthText = truth;
  input.trackerText = tracker;
  input.seqinfo = seqinfo;
  input.layout = TrackLayout::kMot16;
  input.benchmark = benchmark;
  if (head & 0x40) input.confidence = 0.5f;
  input.compact = true;
  input.salt = static_cast<uint8_t>(head >> 3);
  run(input);
}

// The least total cost over every assignment of min(rows, columns) pairs.
double leastCost(const std::vector<double>& costs, int32_t rows, int32_t columns) {
  const bool tall = rows > columns;
  const int32_t r = tall ? columns : rows;  // the side assigned whole
  const int32_t c = tall ? rows : columns;
  const auto cost = [&](int32_t i, int32_t j) {
    return tall ? costs[static_cast<std::size_t>(j) * columns + i]
                : costs[static_cast<std::size_t>(i) * columns + j];
  };
  double best = INFINITY;
  std::vector<char> used(static_cast<std::size_t>(c), 0);
  const auto search = [&](auto&& self, int32_t i, double total) -> void {
    if (i == r) {
      best = std::min(best, total);
      return;
    }
    for (int32_t j = 0; j < c; ++j) {
      if (used[static_cast<std::size_t>(j)]) continue;
      used[static_cast<std::size_t>(j)] = 1;
      self(self, i + 1, total + cost(i, j));
      used[static_cast<std::size_t>(j)] = 0;
    }
  };
  search(search, 0, 0.0);
  return best;
}

void runAssignment(std::string_view bytes) {
  if (bytes.size() < 2) return;
  const int32_t rows = 1 + static_cast<uint8_t>(bytes[0]) % 9;
  const int32_t columns = 1 + static_cast<uint8_t>(bytes[1]) % 9;
  const auto shift = static_cast<uint8_t>(bytes.size() > 2 ? bytes[2] : 0);
  bytes.remove_prefix(std::min<std::size_t>(bytes.size(), 3));
  std::vector<double> costs(static_cast<std::size_t>(rows) * columns, 0.0);
  // Whole numbers in quarters, few of them so that optima tie.
  for (std::size_t k = 0; k < costs.size() && k < bytes.size(); ++k) {
    const auto b = static_cast<uint8_t>(bytes[k]);
    costs[k] = (b & 0x80) ? static_cast<double>(static_cast<int8_t>(b)) * 0.25
                          : static_cast<double>(b % 5);
  }
  tracking::LinearSumAssignment solver;
  const std::vector<int32_t> pairs = [&] {
    const std::span<const int32_t> result = solver.solve(costs, rows, columns);
    return std::vector<int32_t>(result.begin(), result.end());
  }();
  FUZZ_CHECK(pairs.size() == static_cast<std::size_t>(rows));
  std::set<int32_t> used;
  double total = 0.0;
  int32_t assigned = 0;
  for (int32_t i = 0; i < rows; ++i) {
    const int32_t j = pairs[static_cast<std::size_t>(i)];
    FUZZ_CHECK(j >= -1 && j < columns);
    if (j < 0) continue;
    FUZZ_CHECK(used.insert(j).second);
    total += costs[static_cast<std::size_t>(i) * columns + j];
    ++assigned;
  }
  FUZZ_CHECK(assigned == std::min(rows, columns));
  if (rows <= 6 && columns <= 6) {
    const double least = leastCost(costs, rows, columns);
    if (total != least) std::fprintf(stderr, "assignment %g, least %g\n", total, least);
    FUZZ_CHECK(total == least);
  }
  // A constant added to a row of the side assigned whole, or every cost
  // doubled: the same pairs, ties broken the same way.
  std::vector<double> moved = costs;
  const double constant = static_cast<double>(static_cast<int8_t>(shift)) * 0.5;
  if (rows <= columns) {
    const int32_t row = shift % rows;
    for (int32_t j = 0; j < columns; ++j)
      moved[static_cast<std::size_t>(row) * columns + j] += constant;
  } else {
    const int32_t column = shift % columns;
    for (int32_t i = 0; i < rows; ++i)
      moved[static_cast<std::size_t>(i) * columns + column] += constant;
  }
  const std::span<const int32_t> again = solver.solve(moved, rows, columns);
  FUZZ_CHECK(std::equal(again.begin(), again.end(), pairs.begin(), pairs.end()));
  std::vector<double> doubled = costs;
  for (double& v : doubled) v *= 2;
  const std::span<const int32_t> twice = solver.solve(doubled, rows, columns);
  FUZZ_CHECK(std::equal(twice.begin(), twice.end(), pairs.begin(), pairs.end()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  switch (data[0] % 3) {
    case 0:
      runText(bytes);
      break;
    case 1:
      runCompact(bytes);
      break;
    default:
      runAssignment(bytes);
      break;
  }
  return 0;
}

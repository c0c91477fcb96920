#include "scoring/frame_views.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <thread>

#include "scoring/error_causes.h"
#include "scoring/sequence_evaluation.h"

namespace {

bool parseWhole(std::string_view text, uint64_t& value) {
  if (text.empty()) return false;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size();
}

}  // namespace

std::optional<FrameChoice> parseFrameChoice(std::string_view text) {
  FrameChoice choice;
  if (text == "errors") return choice;
  if (text == "all") {
    choice.kind = FrameChoice::Kind::kAll;
    return choice;
  }
  uint64_t a = 0;
  uint64_t b = 0;
  if (text.starts_with("worst:")) {
    if (!parseWhole(text.substr(6), a) || a == 0) return std::nullopt;
    choice.kind = FrameChoice::Kind::kWorst;
    choice.count = static_cast<std::size_t>(std::min<uint64_t>(a, SIZE_MAX));
    return choice;
  }
  const std::size_t dash = text.find('-');
  if (dash == std::string_view::npos || !parseWhole(text.substr(0, dash), a) ||
      !parseWhole(text.substr(dash + 1), b) || a > b || b > UINT32_MAX) {
    return std::nullopt;
  }
  choice.kind = FrameChoice::Kind::kRange;
  choice.first = static_cast<uint32_t>(a);
  choice.last = static_cast<uint32_t>(b);
  return choice;
}

std::vector<FrameErrors> frameErrors(const QuorSequence& groundTruth, const QuorSequence& system,
                                     const std::vector<int32_t>& partners,
                                     const TargetFilter& filter, unsigned threads) {
  const std::size_t frameCount = groundTruth.frames.size();
  std::vector<FrameErrors> errors(frameCount);
  constexpr std::size_t kFramesPerItem = 256;
  const std::size_t items = (frameCount + kFramesPerItem - 1) / kFramesPerItem;
  const std::size_t workers = std::max<std::size_t>(1, std::min<std::size_t>(threads, items));
  std::atomic<std::size_t> nextItem{0};
  const std::vector<TargetFilter> filters = {filter};
  const auto work = [&] {
    QuorFrame truthScratch(0);
    QuorFrame systemScratch(0);
    std::vector<ClassTotals> totals(1);
    for (std::size_t item; (item = nextItem.fetch_add(1)) < items;) {
      const std::size_t end = std::min(frameCount, (item + 1) * kFramesPerItem);
      for (std::size_t at = item * kFramesPerItem; at < end; ++at) {
        const int32_t partner = partners[at];
        totals[0] = ClassTotals{};
        evaluateFramePair(
            groundTruth.frames[at],
            partner >= 0 ? &system.frames[static_cast<std::size_t>(partner)] : nullptr, filters, 0,
            1, totals, truthScratch, systemScratch);
        errors[at] = {totals[0].fn, totals[0].fp};
      }
    }
  };
  {
    std::vector<std::jthread> pool;
    for (std::size_t worker = 1; worker < workers; ++worker) pool.emplace_back(work);
    work();
  }
  return errors;
}

std::vector<std::size_t> chooseFrames(const QuorSequence& groundTruth,
                                      const std::vector<FrameErrors>& errors,
                                      const FrameChoice& choice, std::size_t* leftOut) {
  std::vector<std::size_t> chosen;
  if (leftOut != nullptr) *leftOut = 0;
  const std::size_t frameCount = groundTruth.frames.size();
  switch (choice.kind) {
    case FrameChoice::Kind::kAll:
      for (std::size_t at = 0; at < frameCount; ++at) chosen.push_back(at);
      return chosen;
    case FrameChoice::Kind::kRange:
      for (std::size_t at = 0; at < frameCount; ++at) {
        const uint32_t number = groundTruth.frames[at].frameNumber;
        if (number >= choice.first && number <= choice.last) chosen.push_back(at);
      }
      return chosen;
    case FrameChoice::Kind::kErrors:
    case FrameChoice::Kind::kWorst:
      break;
  }
  for (std::size_t at = 0; at < frameCount; ++at) {
    if (errors[at].errors() > 0) chosen.push_back(at);
  }
  if (chosen.size() > choice.count) {
    // The most errors first, ties in file order; held in file order.
    std::stable_sort(chosen.begin(), chosen.end(), [&](std::size_t a, std::size_t b) {
      return errors[a].errors() > errors[b].errors();
    });
    if (leftOut != nullptr && choice.kind == FrameChoice::Kind::kErrors) {
      *leftOut = chosen.size() - choice.count;
    }
    chosen.resize(choice.count);
    std::sort(chosen.begin(), chosen.end());
  }
  return chosen;
}

std::vector<FrameView> viewFrames(const QuorSequence& groundTruth, const QuorSequence& system,
                                  const std::vector<int32_t>& partners,
                                  const std::vector<std::size_t>& positions,
                                  const TargetFilter& filter, float near) {
  std::vector<FrameView> views;
  views.reserve(positions.size());
  FrameExplainer explainer(filter.threshold(), near);
  for (const std::size_t at : positions) {
    FrameView view;
    view.truthFrame = at;
    view.systemFrame = partners[at];
    const QuorFrame& truth = groundTruth.frames[at];
    const QuorFrame* partner = view.systemFrame >= 0
                                   ? &system.frames[static_cast<std::size_t>(view.systemFrame)]
                                   : nullptr;
    explainer.start(truth, partner);
    explainer.explain(filter);
    const auto addSide = [&](bool systemSide, const std::vector<ExplainedBox>& explained,
                             std::size_t boxCount) {
      // Every box of the frame, those the selection takes with their event.
      std::vector<ViewBox> side(boxCount);
      for (std::size_t box = 0; box < boxCount; ++box) {
        side[box].systemSide = systemSide;
        side[box].takesPart = false;
        side[box].box = static_cast<int32_t>(box);
      }
      for (const ExplainedBox& b : explained) {
        ViewBox& shown = side[static_cast<std::size_t>(b.box)];
        shown.takesPart = true;
        shown.kind = b.kind;
        shown.partner = b.partner;
        shown.cause = b.cause;
        shown.overlap = b.overlap;
        // Counted as the scoring counts them: GT = matches + misses, Det =
        // matches + false alarms.
        if (b.kind == BoxEventKind::kMatch) ++(systemSide ? view.det : view.gt);
        if (b.kind == BoxEventKind::kMiss) ++view.gt, ++view.errors.fn;
        if (b.kind == BoxEventKind::kFalseAlarm) ++view.det, ++view.errors.fp;
      }
      view.boxes.insert(view.boxes.end(), side.begin(), side.end());
    };
    addSide(false, explainer.truths(), truth.targets.size());
    for (std::size_t region = 0; region < truth.regions.size(); ++region) {
      ViewBox shown;
      shown.region = true;
      shown.takesPart = false;
      shown.box = static_cast<int32_t>(region);
      view.boxes.push_back(shown);
    }
    if (partner != nullptr) addSide(true, explainer.systems(), partner->targets.size());
    views.push_back(std::move(view));
  }
  return views;
}

// Fuzz target for reading in blocks and scoring while reading.
//
// Input: one control byte, then the ground-truth file, the separator
// "\n====\n" and the system-output file (without a separator the same file
// serves as both). Control byte: the low four bits + 1 are the targets per
// block, bits 4-5 + 1 the matching threads, bit 7 takes the confidence 0.5.
//
// Reading in blocks must give the frames, targets, status and message of
// reading whole; scoring while reading must give the statuses and messages
// of reading whole, tell exactly when a file's frame numbers go back, and
// otherwise give the totals of scoring the whole sequences.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "scoring/counts/class_scores.h"
#include "scoring/counts/sequence_evaluation.h"
#include "scoring/counts/streaming_evaluation.h"

namespace {

constexpr std::string_view kSeparator = "\n====\n";

// A stream over a copy of `bytes` that lives as long as the holder.
struct ByteStream {
  explicit ByteStream(std::string_view bytes) : copy(bytes.begin(), bytes.end()) {
    stream = copy.empty() ? std::fopen("/dev/null", "r") : fmemopen(copy.data(), copy.size(), "r");
    if (stream == nullptr) std::abort();
  }
  std::vector<char> copy;
  std::FILE* stream = nullptr;
};

class CollectingSink : public FrameBlockSink {
 public:
  bool take(std::unique_ptr<QuorSequence> block) override {
    FUZZ_CHECK(!block->frames.empty());
    blocks.push_back(std::move(block));
    return true;
  }
  std::vector<std::unique_ptr<QuorSequence>> blocks;
};

bool sameTarget(const QuorTarget& a, const QuorTarget& b) {
  return a.minX == b.minX && a.minY == b.minY && a.maxX == b.maxX && a.maxY == b.maxY &&
         std::memcmp(&a.sideProduct, &b.sideProduct, sizeof a.sideProduct) == 0 &&
         std::memcmp(&a.confidence, &b.confidence, sizeof a.confidence) == 0 &&
         a.classCode == b.classCode && a.markA == b.markA && a.markB == b.markB;
}

void checkBlocks(std::string_view bytes, std::size_t blockTargets) {
  QuorSequence whole;
  std::string wholeError;
  const int wholeStatus = talmira_fuzz::readBytes(bytes, whole, "file.csv", &wholeError);
  ByteStream input(bytes);
  CollectingSink sink;
  std::string blockError;
  const int blockStatus =
      readSequenceBlocks(input.stream, sink, "file.csv", &blockError, blockTargets);
  FUZZ_CHECK(blockStatus == wholeStatus);
  FUZZ_CHECK(blockError == wholeError);
  std::size_t at = 0;
  for (const auto& block : sink.blocks) {
    for (const QuorFrame& frame : block->frames) {
      FUZZ_CHECK(at < whole.frames.size());
      const QuorFrame& expected = whole.frames[at++];
      FUZZ_CHECK(frame.frameNumber == expected.frameNumber);
      FUZZ_CHECK(frame.targets.size() == expected.targets.size());
      FUZZ_CHECK(frame.regions.size() == expected.regions.size());
      for (std::size_t t = 0; t < frame.targets.size(); ++t) {
        FUZZ_CHECK(sameTarget(*frame.targets[t], *expected.targets[t]));
      }
      for (std::size_t r = 0; r < frame.regions.size(); ++r) {
        FUZZ_CHECK(sameTarget(*frame.regions[r], *expected.regions[r]));
      }
    }
  }
  FUZZ_CHECK(at == whole.frames.size());
}

bool numbersOnlyGrow(const QuorSequence& sequence) {
  for (std::size_t f = 1; f < sequence.frames.size(); ++f) {
    if (sequence.frames[f].frameNumber <= sequence.frames[f - 1].frameNumber) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const uint8_t control = data[0];
  const std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
  const std::size_t split = rest.find(kSeparator);
  const std::string_view truthBytes =
      split == std::string_view::npos ? rest : rest.substr(0, split);
  const std::string_view systemBytes =
      split == std::string_view::npos ? rest : rest.substr(split + kSeparator.size());
  const std::size_t blockTargets = (control & 0x0f) + 1u;
  const unsigned threads = ((control >> 4) & 0x03) + 1u;
  const float confidence = (control & 0x80) != 0 ? 0.5f : 0.0f;

  checkBlocks(truthBytes, blockTargets);

  QuorSequence truth, system;
  std::string truthError, systemError;
  const int truthStatus = talmira_fuzz::readBytes(truthBytes, truth, "gt.csv", &truthError);
  const int systemStatus = talmira_fuzz::readBytes(systemBytes, system, "sys.csv", &systemError);

  std::vector<TargetFilter> filters;
  for (const char* name : evaluationClasses) filters.emplace_back(name, confidence);
  ByteStream truthInput(truthBytes);
  ByteStream systemInput(systemBytes);
  StreamedInput streamedTruth(truthInput.stream, "gt.csv");
  StreamedInput streamedSystem(systemInput.stream, "sys.csv");
  const StreamedTotals streamed =
      evaluateClassesWhileReading(streamedTruth, streamedSystem, filters, threads, blockTargets);
  FUZZ_CHECK(streamedTruth.status == truthStatus && streamedTruth.error == truthError);
  FUZZ_CHECK(streamedSystem.status == systemStatus && streamedSystem.error == systemError);
  if (truthStatus < 0 || systemStatus < 0) return 0;
  FUZZ_CHECK(streamed.inOrder == (numbersOnlyGrow(truth) && numbersOnlyGrow(system)));
  if (!streamed.inOrder) return 0;
  FUZZ_CHECK(streamed.frames == static_cast<int64_t>(truth.frames.size()));
  const std::vector<ClassTotals> whole = evaluateClasses(truth, system, filters);
  for (std::size_t c = 0; c < filters.size(); ++c) {
    FUZZ_CHECK(streamed.totals[c].gt == whole[c].gt);
    FUZZ_CHECK(streamed.totals[c].det == whole[c].det);
    FUZZ_CHECK(streamed.totals[c].fn == whole[c].fn);
    FUZZ_CHECK(streamed.totals[c].fp == whole[c].fp);
  }
  return 0;
}

#include "annotation/quor_records.h"

#include <sys/mman.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <utility>

#include "annotation/class_set.h"

namespace {

constexpr std::size_t kFixedCodes = knownClasses.size() + 1;

// Names other than the known classes and "DCR": the classes of other
// datasets (COCO's 80, LVIS's 1,203) and names made outside the reader. A
// deque keeps each text where it is as it grows; a name is found through a
// hash map under the lock, and a code's name without it, through a table
// of pointers written once each.
constexpr std::size_t kMaxRegistered = std::size_t{UINT16_MAX} + 1 - kFixedCodes;

struct NameHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view text) const {
    return std::hash<std::string_view>{}(text);
  }
};

struct NameRegistry {
  std::mutex lock;
  std::deque<std::string> names;
  std::unordered_map<std::string_view, uint16_t, NameHash, std::equal_to<>> codes;
  std::array<std::atomic<const std::string*>, kMaxRegistered> byCode{};
};

NameRegistry& registry() {
  static NameRegistry instance;
  return instance;
}

int32_t registeredCode(const NameRegistry& names, std::string_view name) {
  const auto found = names.codes.find(name);
  return found == names.codes.end() ? -1 : found->second;
}

}  // namespace

// The fixed codes are found without taking the lock.
int32_t fixedClassCode(std::string_view name) {
  for (std::size_t code = 0; code < knownClasses.size(); ++code) {
    if (knownClasses[code] == name) return static_cast<int32_t>(code);
  }
  return name == kRegionClass ? static_cast<int32_t>(knownClasses.size()) : -1;
}

int32_t findClassCode(std::string_view name) {
  const int32_t fixed = fixedClassCode(name);
  if (fixed >= 0) return fixed;
  NameRegistry& names = registry();
  const std::lock_guard<std::mutex> guard(names.lock);
  return registeredCode(names, name);
}

uint16_t classCodeOf(std::string_view name) {
  const int32_t fixed = fixedClassCode(name);
  if (fixed >= 0) return static_cast<uint16_t>(fixed);
  NameRegistry& names = registry();
  const std::lock_guard<std::mutex> guard(names.lock);
  const int32_t known = registeredCode(names, name);
  if (known >= 0) return static_cast<uint16_t>(known);
  const std::size_t at = names.names.size();
  if (at >= kMaxRegistered) throw std::length_error("too many distinct object type names");
  const std::string& kept = names.names.emplace_back(name);
  const auto code = static_cast<uint16_t>(kFixedCodes + at);
  names.codes.emplace(kept, code);
  names.byCode[at].store(&kept, std::memory_order_release);
  return code;
}

const char* classNameOf(uint16_t code) {
  static const std::array<std::string, kFixedCodes> fixedNames = [] {
    std::array<std::string, kFixedCodes> out;
    for (std::size_t code = 0; code < knownClasses.size(); ++code) {
      out[code] = std::string(knownClasses[code]);
    }
    out[knownClasses.size()] = std::string(kRegionClass);
    return out;
  }();
  if (code < kFixedCodes) return fixedNames[code].c_str();
  const std::string* name = registry().byCode[code - kFixedCodes].load(std::memory_order_acquire);
  return name != nullptr ? name->c_str() : "";
}

QuorTarget makeTarget(int32_t x1, int32_t y1, int32_t x2, int32_t y2, int32_t x3, int32_t y3,
                      int32_t x4, int32_t y4, std::string_view className, bool markB,
                      float confidence, bool markA) {
  return makeTarget(x1, y1, x2, y2, x3, y3, x4, y4, classCodeOf(className), markB, confidence,
                    markA);
}

namespace {

// Chunks grow from a few kilobytes (a small file costs little) to 4 MiB on a
// 2 MiB boundary: where the system backs such memory with huge pages,
// filling millions of targets takes a page fault per 2 MiB instead of one
// per 4 KiB, a noticeable share of reading a long video.
constexpr std::size_t kHugePage = std::size_t{1} << 21;
constexpr std::size_t kFirstChunkBytes = std::size_t{1} << 14;
constexpr std::size_t kLargestChunkBytes = 2 * kHugePage;

// How many targets chunk `index` of a store holds.
std::size_t chunkCapacity(std::size_t index) {
  return std::min(kFirstChunkBytes << std::min<std::size_t>(index, 16), kLargestChunkBytes) /
         sizeof(QuorTarget);
}

static_assert(sizeof(QuorTarget) == 32, "a target is meant to take 32 bytes");
static_assert(std::is_trivially_destructible_v<QuorTarget>,
              "chunks release their memory without destroying each target");

}  // namespace

void TargetStore::ReleaseMemory::operator()(QuorTarget* chunk) const { std::free(chunk); }

TargetStore& TargetStore::operator=(TargetStore&& other) noexcept {
  if (this != &other) {
    chunks_ = std::move(other.chunks_);
    current_ = std::exchange(other.current_, 0);
    next_ = std::exchange(other.next_, nullptr);
    room_ = std::exchange(other.room_, 0);
    size_ = std::exchange(other.size_, 0);
    other.chunks_.clear();
  }
  return *this;
}

void TargetStore::clear() {
  size_ = 0;
  current_ = 0;
  next_ = chunks_.empty() ? nullptr : chunks_.front().get();
  room_ = chunks_.empty() ? 0 : chunkCapacity(0);
}

void QuorSequence::clear() noexcept {
  gtTotal = detTotal = fpTotal = fnTotal = 0;
  confidenceThreshold = kDefaultConfidenceThreshold;
  keepMarkA = keepMarkB = false;
  // The frames' lists are kept when there is room to note them; without it
  // they are simply freed.
  for (QuorFrame& frame : frames) {
    for (std::vector<const QuorTarget*>* list : {&frame.targets, &frame.regions}) {
      if (list->capacity() == 0) continue;
      try {
        spareLists_.push_back(std::move(*list));
        spareLists_.back().clear();
      } catch (const std::bad_alloc&) {
        // Not kept; freed with its frame.
      }
    }
  }
  frames.clear();
  targetStore.clear();
  classes.reset();
  infinityMeansNoScore = false;
}

std::vector<const QuorTarget*> QuorSequence::newList(std::span<const QuorTarget* const> items) {
  std::vector<const QuorTarget*> list;
  if (items.empty()) return list;
  if (!spareLists_.empty()) {
    // A list much larger than needed is left to be freed, so that kept
    // memory stays within about twice what the frames hold.
    if (spareLists_.back().capacity() <= 2 * items.size() + 16) {
      list = std::move(spareLists_.back());
    }
    spareLists_.pop_back();
  }
  list.assign(items.begin(), items.end());
  return list;
}

void TargetStore::startNextChunk() {
  // The next chunk: one kept from before a clear(), or a new one.
  current_ = chunks_.empty() ? 0 : current_ + 1;
  if (current_ == chunks_.size()) {
    const std::size_t bytes = chunkCapacity(current_) * sizeof(QuorTarget);
    void* memory =
        bytes == kLargestChunkBytes ? std::aligned_alloc(kHugePage, bytes) : std::malloc(bytes);
    if (memory == nullptr) throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
    if (bytes == kLargestChunkBytes) madvise(memory, bytes, MADV_HUGEPAGE);  // only a hint
#endif
    chunks_.emplace_back(static_cast<QuorTarget*>(memory));
  }
  next_ = chunks_[current_].get();
  room_ = chunkCapacity(current_);
}

// Where a JSON parser has got to: an iterator over the bytes being parsed
// that notes, as the parser moves it, how far it has read. When the parser
// reports an object's start it has just read the '{', so the element's
// offset (and from it its line) is known without a second pass.
#pragma once

#include <cstddef>
#include <iterator>

namespace formats {

class WatchedBytes {
 public:
  using iterator_category = std::forward_iterator_tag;
  using value_type = char;
  using difference_type = std::ptrdiff_t;
  using pointer = const char*;
  using reference = const char&;

  WatchedBytes() = default;
  WatchedBytes(const char* at, const char** read) : at_(at), read_(read) {}
  reference operator*() const { return *at_; }
  WatchedBytes& operator++() {
    *read_ = ++at_;
    return *this;
  }
  WatchedBytes operator++(int) {
    WatchedBytes before = *this;
    ++*this;
    return before;
  }
  bool operator==(const WatchedBytes& other) const { return at_ == other.at_; }

 private:
  const char* at_ = nullptr;
  const char** read_ = nullptr;
};

}  // namespace formats

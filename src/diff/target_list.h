// TargetList: the inner collection of one `from` node, keyed by interned node
// index. Most nodes have a handful of targets, so entries sit in one tight array
// searched linearly; past kLinearLimit a position index keeps lookups constant.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

namespace kovra {

using NodeIndex = std::uint32_t;
inline constexpr std::uint32_t kNone = 0xffffffffu;

struct NoValue {
  friend bool operator==(NoValue, NoValue) noexcept { return true; }
};

template <class Value, bool kIndexed = true>
class TargetList {
 public:
  struct Entry {
    NodeIndex key;
    [[no_unique_address]] Value value;
  };
  static_assert(std::is_trivially_copyable_v<Entry>);
  static constexpr std::uint32_t kLinearLimit = 32;

  TargetList() noexcept = default;
  TargetList(TargetList&& other) noexcept
      : entries_(std::exchange(other.entries_, nullptr)),
        size_(std::exchange(other.size_, 0)),
        capacity_(std::exchange(other.capacity_, 0)),
        index_(std::exchange(other.index_, {})) {}
  TargetList& operator=(TargetList&& other) noexcept {
    TargetList old(std::move(*this));
    entries_ = std::exchange(other.entries_, nullptr);
    size_ = std::exchange(other.size_, 0);
    capacity_ = std::exchange(other.capacity_, 0);
    index_ = std::exchange(other.index_, {});
    return *this;
  }
  ~TargetList() {
    std::free(entries_);
    if constexpr (kIndexed) std::free(index_.slots);
  }

  std::uint32_t size() const noexcept { return size_; }
  std::uint32_t capacity() const noexcept { return capacity_; }
  bool empty() const noexcept { return size_ == 0; }
  const Entry* begin() const noexcept { return entries_; }
  const Entry* end() const noexcept { return entries_ + size_; }
  Entry& at(std::uint32_t pos) noexcept { return entries_[pos]; }
  const Entry& at(std::uint32_t pos) const noexcept { return entries_[pos]; }

  // Position of `key`, or kNone.
  std::uint32_t find(NodeIndex key) const noexcept {
    if constexpr (kIndexed) {
      if (indexed()) {
        for (std::uint32_t s = slot_of(key);; s = (s + 1) & index_.mask) {
          const std::uint32_t stored = index_.slots[s];
          if (stored == 0) return kNone;
          if (entries_[stored - 1].key == key) return stored - 1;
        }
      }
    }
    for (std::uint32_t i = 0; i < size_; ++i) {
      if (entries_[i].key == key) return i;
    }
    return kNone;
  }

  // Makes room for `extra` more entries so that push_reserved cannot fail.
  void reserve(std::uint32_t extra) {
    if (extra > kMaxSize - size_) throw std::bad_alloc();
    const std::uint32_t needed = size_ + extra;
    if (needed > capacity_) {
      std::uint32_t grown = capacity_ < 4 ? 4 : capacity_ + capacity_ / 2;
      if (grown < needed || grown > kMaxSize) grown = needed;
      void* moved = std::realloc(entries_, std::size_t{grown} * sizeof(Entry));
      if (moved == nullptr) throw std::bad_alloc();
      entries_ = static_cast<Entry*>(moved);
      capacity_ = grown;
    }
    if constexpr (kIndexed) {
      if (needed > kLinearLimit && std::uint64_t{needed} * 2 > std::uint64_t{index_.mask} + 1) {
        rebuild_slots(needed);
      }
    }
  }

  // Appends a key known to be absent, after reserve().
  void push_reserved(NodeIndex key, Value value) noexcept {
    const std::uint32_t pos = size_++;
    entries_[pos] = Entry{key, value};
    if constexpr (kIndexed) {
      if (indexed()) insert_slot(key, pos);
    }
  }

  void push(NodeIndex key, Value value) {
    reserve(1);
    push_reserved(key, value);
  }

  // Removes the entry at `pos`; the last entry takes its place.
  void erase_at(std::uint32_t pos) noexcept {
    const std::uint32_t last = size_ - 1;
    if constexpr (kIndexed) {
      if (indexed()) {
        erase_slot(entries_[pos].key);
        if (pos != last) *slot_for_position(last) = pos + 1;
      }
    }
    entries_[pos] = entries_[last];
    size_ = last;
  }

  // Empties the list and gives its memory back.
  void reset() noexcept { *this = TargetList(); }

  // Keeps the entries for which keep(entry) holds, in their order.
  template <class Keep>
  void retain_if(Keep keep) noexcept {
    std::uint32_t out = 0;
    for (std::uint32_t i = 0; i < size_; ++i) {
      if (keep(entries_[i])) entries_[out++] = entries_[i];
    }
    size_ = out;
    if constexpr (kIndexed) {
      if (indexed()) refill_slots();
    }
  }

 private:
  static constexpr std::uint32_t kMaxSize = 0x7fffffffu;

  struct PositionIndex {
    std::uint32_t* slots = nullptr;  // position + 1 per occupied slot, 0 when free
    std::uint32_t mask = 0;
  };
  struct NoIndex {};

  bool indexed() const noexcept {
    if constexpr (kIndexed) {
      return index_.slots != nullptr;
    } else {
      return false;
    }
  }

  std::uint32_t slot_of(NodeIndex key) const noexcept {
    return static_cast<std::uint32_t>((std::uint64_t{key} * 0x9e3779b97f4a7c15ULL) >> 32) &
           index_.mask;
  }
  void insert_slot(NodeIndex key, std::uint32_t pos) noexcept {
    std::uint32_t s = slot_of(key);
    while (index_.slots[s] != 0) s = (s + 1) & index_.mask;
    index_.slots[s] = pos + 1;
  }
  std::uint32_t* slot_for_position(std::uint32_t pos) noexcept {
    std::uint32_t s = slot_of(entries_[pos].key);
    while (index_.slots[s] != pos + 1) s = (s + 1) & index_.mask;
    return &index_.slots[s];
  }
  // Backward-shift deletion: no tombstones, so a reserve stays a guarantee.
  void erase_slot(NodeIndex key) noexcept {
    std::uint32_t hole = slot_of(key);
    while (entries_[index_.slots[hole] - 1].key != key) hole = (hole + 1) & index_.mask;
    for (std::uint32_t s = (hole + 1) & index_.mask; index_.slots[s] != 0;
         s = (s + 1) & index_.mask) {
      const std::uint32_t home = slot_of(entries_[index_.slots[s] - 1].key);
      if (((s - home) & index_.mask) >= ((s - hole) & index_.mask)) {
        index_.slots[hole] = index_.slots[s];
        hole = s;
      }
    }
    index_.slots[hole] = 0;
  }
  void rebuild_slots(std::uint32_t needed) {
    std::uint64_t count = 64;
    while (count < std::uint64_t{needed} * 2) count *= 2;
    auto* fresh = static_cast<std::uint32_t*>(std::calloc(count, sizeof(std::uint32_t)));
    if (fresh == nullptr) throw std::bad_alloc();
    std::free(index_.slots);
    index_.slots = fresh;
    index_.mask = static_cast<std::uint32_t>(count - 1);
    for (std::uint32_t i = 0; i < size_; ++i) insert_slot(entries_[i].key, i);
  }
  void refill_slots() noexcept {
    std::memset(index_.slots, 0, (std::size_t{index_.mask} + 1) * sizeof(std::uint32_t));
    for (std::uint32_t i = 0; i < size_; ++i) insert_slot(entries_[i].key, i);
  }

  Entry* entries_ = nullptr;
  std::uint32_t size_ = 0;
  std::uint32_t capacity_ = 0;
  [[no_unique_address]] std::conditional_t<kIndexed, PositionIndex, NoIndex> index_;
};

}  // namespace kovra

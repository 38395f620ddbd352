// TargetList: the inner collection of one `from` node, keyed by interned node
// number. Most nodes have a handful of targets, so entries sit in one tight array
// searched linearly; past kLinearLimit a BoundedIndex keeps lookups bounded
// whatever the keys (interned numbers, which a caller can steer through the order
// in which ids first appear). Blocks come from the diff's ListArena.
#pragma once

#include <algorithm>
#include <cassert>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>

#include "diff/bounded_index.h"
#include "diff/list_arena.h"

namespace kovra {

struct NoValue {
  friend bool operator==(NoValue, NoValue) noexcept { return true; }
};

// The list's block comes from the diff's ListArena and goes back to it through
// release(); a list is a handle that never frees by itself, so whoever drops one
// that may hold a block releases it first.
template <class Value, bool kIndexed = true>
class TargetList {
 public:
  struct Entry {
    NodeNumber key;
    [[no_unique_address]] Value value;
  };
  static_assert(std::is_trivially_copyable_v<Entry>);
  static constexpr std::uint32_t kLinearLimit = 32;
  static constexpr std::uint32_t kMaxSize = BoundedIndex<NumberKeys>::kMaxPosition;

  TargetList() noexcept = default;
  TargetList(TargetList&& other) noexcept
      : entries_(std::exchange(other.entries_, nullptr)),
        size_(std::exchange(other.size_, 0)),
        capacity_(std::exchange(other.capacity_, 0)),
        index_(std::move(other.index_)) {}
  // Only onto a list that holds no block.
  TargetList& operator=(TargetList&& other) noexcept {
    entries_ = std::exchange(other.entries_, nullptr);
    size_ = std::exchange(other.size_, 0);
    capacity_ = std::exchange(other.capacity_, 0);
    index_ = std::move(other.index_);
    return *this;
  }

  std::uint32_t size() const noexcept { return size_; }
  std::uint32_t capacity() const noexcept { return capacity_; }
  bool empty() const noexcept { return size_ == 0; }
  const Entry* begin() const noexcept { return entries_; }
  const Entry* end() const noexcept { return entries_ + size_; }
  Entry& at(std::uint32_t pos) noexcept { return entries_[pos]; }
  const Entry& at(std::uint32_t pos) const noexcept { return entries_[pos]; }

  // Position of `key`, or kNone.
  std::uint32_t find(NodeNumber key) const noexcept {
    if constexpr (kIndexed) {
      if (index_) return index_->find(key, no_key_at);
    }
    for (std::uint32_t i = 0; i < size_; ++i) {
      if (entries_[i].key == key) return i;
    }
    return kNone;
  }

  // The arena block that an empty list takes for `count` entries (reserve()),
  // or 0 when so many take a malloc block of their own.
  static std::size_t arena_bytes(std::uint32_t count) noexcept {
    const std::size_t wanted = bytes(std::max(count, kFirstCapacity));
    return wanted <= ListArena::kLargest ? ListArena::class_size(wanted) : 0;
  }

  // Makes room for `extra` more entries in the array. Small blocks take the
  // arena's size classes, from kFirstCapacity entries up: a list that grows one
  // entry at a time doubles, so each entry is copied about once, at the price of
  // blocks a little emptier on average; a larger reservation takes the smallest
  // class that holds it. Past ListArena::kLargest bytes the block is a malloc
  // block that grows by half.
  void reserve(std::uint32_t extra, ListArena& arena) {
    if (extra <= capacity_ - size_) return;
    if (extra == 1) {
      grow(arena);
    } else {
      resize(extra, arena);
    }
  }

  // Appends a key known to be absent, after reserve(); cannot fail. Only lists
  // without an index, whose appends never allocate.
  void push_reserved(NodeNumber key, Value value) noexcept
    requires(!kIndexed)
  {
    entries_[size_++] = Entry{key, value};
  }

  // Appends a key known to be absent, after reserve(), to a list that has no
  // index and reaches at most kLinearLimit entries with it: cannot fail.
  void push_linear(NodeNumber key, Value value) noexcept {
    if constexpr (kIndexed) assert(!index_ && size_ < kLinearLimit);
    assert(size_ < capacity_);
    entries_[size_++] = Entry{key, value};
  }

  // Appends a key known to be absent. Either completes or throws std::bad_alloc
  // with the list unchanged (its capacity aside).
  void push(NodeNumber key, Value value, ListArena& arena) {
    reserve(1, arena);
    if constexpr (kIndexed) {
      if (index_ || size_ >= kLinearLimit) index_key(key, size_);
    }
    entries_[size_++] = Entry{key, value};
  }

  // Removes the entry at `pos`; the last entry takes its place.
  void erase_at(std::uint32_t pos) noexcept {
    const std::uint32_t last = size_ - 1;
    if constexpr (kIndexed) {
      if (index_) {
        index_->erase(entries_[pos].key, no_key_at);
        if (pos != last) index_->repoint(entries_[last].key, pos, no_key_at);
      }
    }
    entries_[pos] = entries_[last];
    size_ = last;
  }

  // Empties the list and gives its block back.
  void release(ListArena& arena) noexcept {
    arena.release(entries_, bytes(capacity_));
    entries_ = nullptr;
    size_ = 0;
    capacity_ = 0;
    if constexpr (kIndexed) index_.reset();
  }

  // Keeps the entries for which keep(entry) holds, in their order.
  template <class Keep>
  void retain_if(Keep keep) noexcept
    requires(!kIndexed)
  {
    std::uint32_t out = 0;
    for (std::uint32_t i = 0; i < size_; ++i) {
      if (keep(entries_[i])) entries_[out++] = entries_[i];
    }
    size_ = out;
  }

  // Bytes the list holds beyond its arena's chunks: a block past the arena's
  // classes, and the index.
  std::size_t own_heap_bytes() const noexcept {
    std::size_t own = bytes(capacity_) > ListArena::kLargest ? bytes(capacity_) : 0;
    if constexpr (kIndexed) {
      if (index_) own += sizeof(Index) + index_->heap_bytes();
    }
    return own;
  }

  // For tests: the index, if the list has grown one.
  const BoundedIndex<NumberKeys>* index() const noexcept
    requires(kIndexed)
  {
    return index_.get();
  }

 private:
  // Six rather than four: a node with the ten or so edges of a typical graph
  // moves its lists twice rather than three times, and a target list's first
  // block, once outgrown, is just the size of a reverse list's second. A node
  // with one or two edges pays for it: 48 bytes of targets instead of 32.
  static constexpr std::uint32_t kFirstCapacity = 6;
  static constexpr std::size_t kFirstBytes = kFirstCapacity * sizeof(Entry);
  static_assert(kFirstBytes == ListArena::class_size(kFirstBytes));
  using Index = BoundedIndex<NumberKeys>;
  struct NoIndex {};
  // The index keeps the keys themselves in its lanes, so it never asks for one.
  static constexpr auto no_key_at = [](std::uint32_t) noexcept -> NodeNumber { return kNone; };

  static std::size_t bytes(std::uint32_t capacity) noexcept {
    return std::size_t{capacity} * sizeof(Entry);
  }

  // The step of a list that grows an entry at a time is kept apart from the
  // other cases, so that its frame stays as small as its work.
  [[gnu::noinline]] void grow(ListArena& arena) {
    if (bytes(capacity_) <= ListArena::kLargest / 2) [[likely]] {
      if (capacity_ == 0) {
        entries_ = static_cast<Entry*>(arena.allocate(kFirstBytes));
        capacity_ = kFirstCapacity;
        return;
      }
      entries_ = static_cast<Entry*>(arena.double_block(entries_, bytes(capacity_)));
      capacity_ *= 2;
      return;
    }
    resize(1, arena);
  }
  [[gnu::noinline]] void resize(std::uint32_t extra, ListArena& arena) {
    if (extra > kMaxSize - size_) throw std::bad_alloc();
    const std::uint32_t needed = size_ + extra;
    std::size_t grown = arena_bytes(needed);
    if (grown == 0) {
      grown = bytes(std::max(needed, std::min(kMaxSize, capacity_ + capacity_ / 2)));
      if (bytes(capacity_) > ListArena::kLargest) {
        void* moved = realloc_block(entries_, grown);
        if (moved == nullptr) throw std::bad_alloc();
        entries_ = static_cast<Entry*>(moved);
        capacity_ = static_cast<std::uint32_t>(grown / sizeof(Entry));
        return;
      }
    }
    void* moved = arena.allocate(grown);
    if (size_ != 0) std::memcpy(moved, entries_, bytes(size_));
    arena.release(entries_, bytes(capacity_));
    entries_ = static_cast<Entry*>(moved);
    capacity_ = static_cast<std::uint32_t>(grown / sizeof(Entry));
  }

  // Adds `key` at `pos` to the index, which it first builds if need be.
  [[gnu::noinline]] void index_key(NodeNumber key, std::uint32_t pos)
    requires(kIndexed)
  {
    if (!index_) {
      auto index = std::make_unique<Index>();
      index->reserve(std::size_t{size_} + 1, no_key_at);
      for (std::uint32_t i = 0; i < size_; ++i) index->insert(entries_[i].key, i, no_key_at);
      index->insert(key, pos, no_key_at);
      index_ = std::move(index);
    } else {
      index_->insert(key, pos, no_key_at);
    }
  }

  Entry* entries_ = nullptr;
  std::uint32_t size_ = 0;
  std::uint32_t capacity_ = 0;
  [[no_unique_address]] std::conditional_t<kIndexed, std::unique_ptr<Index>, NoIndex> index_;
};

}  // namespace kovra

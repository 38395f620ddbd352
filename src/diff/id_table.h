// IdTable: a map or set keyed by node id. Entries sit in one dense array, which
// is the iteration order: the order of insertion, with a removed entry's place
// taken by the last entry. So the order depends on the history alone, never on
// hash values (a view leaks nothing about table positions), and walking a table
// walks contiguous memory. A BoundedIndex finds an entry's position.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <utility>
#include <vector>

#include "diff/bounded_index.h"
#include "diff/huge_pages.h"
#include "diff/node_id.h"

namespace kovra {

// Entry is NodeId (a set) or std::pair<NodeId, Value> (a map).
template <class Entry>
class IdTable {
 public:
  using value_type = Entry;
  using const_iterator = const Entry*;

  std::size_t size() const noexcept { return entries_.size(); }
  bool empty() const noexcept { return entries_.empty(); }
  const Entry* begin() const noexcept { return entries_.data(); }
  const Entry* end() const noexcept { return entries_.data() + entries_.size(); }

  const Entry* find(const NodeId& id) const noexcept {
    const std::uint32_t pos = index_.find(id, key_at());
    return pos == kNone ? end() : &entries_[pos];
  }
  Entry* find(const NodeId& id) noexcept {
    const std::uint32_t pos = index_.find(id, key_at());
    return pos == kNone ? entries_.data() + entries_.size() : &entries_[pos];
  }
  bool contains(const NodeId& id) const noexcept { return index_.find(id, key_at()) != kNone; }

  // Adds an entry built from (id, args...) unless `id` is present; the args are
  // then left untouched. Returns the entry and whether it was added. Either
  // completes or throws std::bad_alloc with the table unchanged.
  template <class... Args>
  std::pair<Entry*, bool> try_emplace(const NodeId& id, Args&&... args) {
    const auto probe = index_.probe(id, key_at());
    if (probe.found != kNone) return {&entries_[probe.found], false};
    const std::size_t next = entries_.size();
    if (next > Index::kMaxPosition) throw std::bad_alloc();
    // Growing the array leaves the index, and so the probe, as they are.
    if (next == entries_.capacity()) entries_.reserve(next < 4 ? 4 : next * 2);
    index_.insert_probed(probe, id, static_cast<std::uint32_t>(next), key_at());
    entries_.emplace_back(id, std::forward<Args>(args)...);  // cannot throw after reserve
    return {&entries_.back(), true};
  }

  bool insert(const NodeId& id) { return try_emplace(id).second; }

  template <class Value>
  void insert_or_assign(const NodeId& id, Value&& value) {
    auto [entry, added] = try_emplace(id, std::forward<Value>(value));
    if (!added) entry->second = std::forward<Value>(value);
  }

  bool erase(const NodeId& id) noexcept {
    const std::uint32_t pos = index_.find(id, key_at());
    if (pos == kNone) return false;
    index_.erase(id, key_at());
    const std::size_t last = entries_.size() - 1;
    if (pos != last) {
      entries_[pos] = std::move(entries_[last]);
      index_.repoint(key_of(entries_[pos]), pos, key_at());
    }
    entries_.pop_back();
    return true;
  }

  // Room for `count` more entries without growing: a document's reader sizes
  // the table once, and fills it at once.
  void reserve(std::size_t count) {
    entries_.reserve(entries_.size() + count);
    advise_huge_pages(entries_.data(), entries_.capacity() * sizeof(Entry));
    index_.reserve(entries_.size() + count, key_at());
  }

  // Empties the table and keeps its capacity.
  void clear() noexcept {
    entries_.clear();
    index_.clear();
  }

  // Bytes of the entries' array, by capacity, and of the index; not what an
  // entry's value holds elsewhere.
  std::size_t heap_bytes() const noexcept {
    return entries_.capacity() * sizeof(Entry) + index_.heap_bytes();
  }

  // For tests: whether the index has given up hashing for its ordered fallback.
  bool ordered() const noexcept { return index_.ordered(); }

 private:
  using Index = BoundedIndex<IdKeys>;

  static const NodeId& key_of(const NodeId& entry) noexcept { return entry; }
  template <class Value>
  static const NodeId& key_of(const std::pair<NodeId, Value>& entry) noexcept {
    return entry.first;
  }
  auto key_at() const noexcept {
    return [this](std::uint32_t pos) -> const NodeId& { return key_of(entries_[pos]); };
  }

  std::vector<Entry> entries_;
  Index index_;
};

}  // namespace kovra

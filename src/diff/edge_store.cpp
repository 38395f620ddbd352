#include "diff/edge_store.h"

#include <algorithm>
#include <cassert>
#include <type_traits>
#include <utility>

#include "diff/entries_ahead.h"
#include "diff/huge_pages.h"

namespace kovra {

EdgeStore::EdgeStore(EdgeStore&& other) noexcept
    : index_(std::move(other.index_)),
      slots_(std::move(other.slots_)),
      free_head_(std::exchange(other.free_head_, kNone)),
      free_slots_(std::exchange(other.free_slots_, 0)),
      edge_groups_(std::move(other.edge_groups_)),
      deleted_groups_(std::move(other.deleted_groups_)),
      arena_(std::move(other.arena_)),
      marks_(std::move(other.marks_)) {
  other.clear();
}

EdgeStore& EdgeStore::operator=(EdgeStore&& other) noexcept {
  if (this != &other) {
    clear();
    arena_ = std::move(other.arena_);
    index_ = std::move(other.index_);
    slots_ = std::move(other.slots_);
    free_head_ = std::exchange(other.free_head_, kNone);
    free_slots_ = std::exchange(other.free_slots_, 0);
    edge_groups_ = std::move(other.edge_groups_);
    deleted_groups_ = std::move(other.deleted_groups_);
    marks_ = std::move(other.marks_);
    other.clear();
  }
  return *this;
}

EdgeStore::~EdgeStore() { release_lists(); }

NodeNumber EdgeStore::find(const NodeId& id) const noexcept { return index_.find(id, slot_id()); }

// An id that intern() did not find: probed again, for the room it will take.
NodeNumber EdgeStore::add_id(const NodeId& id) { return add_id(id, index_.probe(id, slot_id())); }

NodeNumber EdgeStore::add_id(const NodeId& id, const IdProbe& probe) {
  assert(probe.found == kNone);
  NodeNumber number = free_head_;
  if (number == kNone) {
    if (slots_.size() > BoundedIndex<IdKeys>::kMaxPosition) throw std::bad_alloc();
    // First, so that nothing can fail after the index insert; moving the slots
    // leaves the index, and so the probe, as they are.
    reserve_more(slots_, 1);
    number = static_cast<NodeNumber>(slots_.size());
  }
  index_.insert_probed(probe, id, number, slot_id());
  if (number == slots_.size()) {
    slots_.emplace_back().id = id;
  } else {
    Slot& slot = slots_[number];
    free_head_ = slot.refs;
    --free_slots_;
    slot.id = id;
    slot.refs = 0;
    slot.free = false;
  }
  return number;
}

// Its reverse list goes with it; entries elsewhere that name it are stale.
void EdgeStore::release_if_unused(NodeNumber number) noexcept {
  Slot& slot = slots_[number];
  if (slot.free || slot.refs != 0 || slot.edge_group != kNone || slot.deleted_group != kNone) {
    return;
  }
  index_.erase(slot.id, slot_id());
  slot.incoming.release(arena_);
  slot.incoming_stale = false;
  slot.free = true;
  slot.refs = free_head_;
  free_head_ = number;
  ++free_slots_;
}

bool EdgeStore::has_edge(NodeNumber from, NodeNumber to) const noexcept {
  const std::uint32_t group = slots_[from].edge_group;
  return group != kNone && edge_groups_[group].targets.find(to) != kNone;
}

// Drops stale and repeated entries; sorting keeps it free of allocation.
void EdgeStore::compact_incoming(NodeNumber to) noexcept {
  slots_[to].incoming_stale = false;
  TargetList<NoValue, false>& incoming = slots_[to].incoming;
  if (incoming.empty()) return;
  auto* first = &incoming.at(0);
  std::sort(first, first + incoming.size(),
            [](const auto& a, const auto& b) { return a.key < b.key; });
  NodeNumber previous = kNone;
  incoming.retain_if([&](const TargetList<NoValue, false>::Entry& entry) {
    if (entry.key == previous) return false;
    previous = entry.key;
    return has_edge(entry.key, to);
  });
}

// A full reverse list is compacted instead of grown when churn has left stale
// entries behind.
void EdgeStore::make_room_incoming(NodeNumber to) {
  TargetList<NoValue, false>& incoming = slots_[to].incoming;
  if (slots_[to].incoming_stale) {
    compact_incoming(to);
    // Grow anyway when compaction freed little, so the sort stays amortised.
    const std::uint32_t spare = incoming.capacity() - incoming.size();
    if (spare < incoming.capacity() / 4) incoming.reserve(spare + 1, arena_);
  }
  incoming.reserve(1, arena_);
}

// Releases the entries of a group that has left its collection.
void EdgeStore::drop_targets(TargetList<float>&& targets) noexcept {
  TargetList<float> gone = std::move(targets);
  for (const auto& entry : gone) {
    lose_entry(entry.key, true);
    release_if_unused(entry.key);
  }
  gone.release(arena_);
}

void EdgeStore::drop_targets(TargetList<NoValue>&& targets) noexcept {
  TargetList<NoValue> gone = std::move(targets);
  for (const auto& entry : gone) {
    lose_entry(entry.key, false);
    release_if_unused(entry.key);
  }
  gone.release(arena_);
}

// The group's entries must no longer be counted: callers empty it or move its
// list out first.
template <class Group>
void EdgeStore::remove_group(std::vector<Group>& groups, std::uint32_t Slot::* link,
                             std::uint32_t group) noexcept {
  groups[group].targets.release(arena_);
  slots_[groups[group].from].*link = kNone;
  if (group + 1 != groups.size()) {
    groups[group] = std::move(groups.back());
    slots_[groups[group].from].*link = group;
  }
  groups.pop_back();
}

void EdgeStore::detach(NodeNumber node) noexcept {
  if (slots_[node].incoming_stale) compact_incoming(node);
  for (const auto& entry : slots_[node].incoming) {
    const NodeNumber from = entry.key;
    if (from == node) continue;  // a self-loop leaves with the node's own group
    TargetList<float>& edges = edge_groups_[slots_[from].edge_group].targets;
    edges.erase_at(edges.find(node));
    lose_entry(node, false);  // the node's own reverse list goes below
  }
  const std::uint32_t own = slots_[node].edge_group;
  if (own != kNone) {
    TargetList<float> targets = std::move(edge_groups_[own].targets);
    remove_group(edge_groups_, &Slot::edge_group, own);
    drop_targets(std::move(targets));
  }
  slots_[node].incoming.release(arena_);
  slots_[node].incoming_stale = false;
  release_if_unused(node);
}

// The twin of an entry just put: a deleted edge voids the edge between the same
// nodes, and the other way round. The target stays named by the entry just put.
template <class Group>
void EdgeStore::erase_twin(std::vector<Group>& groups, std::uint32_t Slot::* link, NodeNumber from,
                           NodeNumber to) noexcept {
  const std::uint32_t group = slots_[from].*link;
  if (group == kNone) return;
  auto& targets = groups[group].targets;
  const std::uint32_t pos = targets.find(to);
  if (pos != kNone) {
    targets.erase_at(pos);
    lose_entry(to, std::is_same_v<Group, EdgeGroup>);
  }
  if (targets.empty()) remove_group(groups, link, group);  // `from` keeps its other group
}

void EdgeStore::erase_deleted_edge(NodeNumber from, NodeNumber to) noexcept {
  erase_twin(deleted_groups_, &Slot::deleted_group, from, to);
}

void EdgeStore::erase_edge(NodeNumber from, NodeNumber to) noexcept {
  erase_twin(edge_groups_, &Slot::edge_group, from, to);
}

// A group for `from`, of one entry: either completes or throws std::bad_alloc
// with nothing changed (capacity aside).
template <class Group, class Value>
std::uint32_t EdgeStore::add_group(std::vector<Group>& groups, std::uint32_t Slot::* link,
                                   NodeNumber from, NodeNumber to, Value value) {
  constexpr bool kEdges = std::is_same_v<Group, EdgeGroup>;
  decltype(Group::targets) targets;
  try {
    reserve_more(groups, 1);
    if constexpr (kEdges) reserve_incoming(to);
    targets.push(to, value, arena_);
  } catch (...) {
    targets.release(arena_);
    throw;
  }
  const auto added = static_cast<std::uint32_t>(groups.size());
  slots_[from].*link = added;
  groups.push_back(Group{from, std::move(targets)});
  if constexpr (kEdges) {
    link_new_edge(from, to);
  } else {
    gain_entry(to);
  }
  return added;
}

EdgeStore::Change EdgeStore::put_new_edge_group(NodeNumber from, NodeNumber to, float weight) {
  return {Change::Kind::kNewGroup, false,
          add_group(edge_groups_, &Slot::edge_group, from, to, weight), 0};
}

EdgeStore::Change EdgeStore::put_deleted_edge(NodeNumber from, NodeNumber to) {
  const std::uint32_t group = slots_[from].deleted_group;
  if (group != kNone) {
    TargetList<NoValue>& targets = deleted_groups_[group].targets;
    if (targets.find(to) != kNone) return {};
    targets.push(to, NoValue{}, arena_);
    gain_entry(to);
    return {Change::Kind::kAppend, true, group, targets.size() - 1};
  }
  return {Change::Kind::kNewGroup, true,
          add_group(deleted_groups_, &Slot::deleted_group, from, to, NoValue{}), 0};
}

// Only the latest change not yet taken back: its entry is the last of its list,
// and its group, if new, the last of its vector. The slots it named stay
// interned; whoever interned them releases them after.
template <class Group>
void EdgeStore::take_back_entry(std::vector<Group>& groups, const Change& change) noexcept {
  auto& targets = groups[change.group].targets;
  assert(change.pos + 1 == targets.size());
  const NodeNumber to = targets.at(change.pos).key;
  targets.erase_at(change.pos);
  // The reverse entry stays behind, stale, as after any edge removal.
  lose_entry(to, std::is_same_v<Group, EdgeGroup>);
}

void EdgeStore::take_back(const Change& change) noexcept {
  switch (change.kind) {
    case Change::Kind::kUnchanged:
      return;
    case Change::Kind::kOverwrite:
      edge_groups_[change.group].targets.at(change.pos).value = change.old;
      return;
    case Change::Kind::kAppend:
    case Change::Kind::kNewGroup:
      break;
  }
  const bool new_group = change.kind == Change::Kind::kNewGroup;
  if (change.deleted) {
    take_back_entry(deleted_groups_, change);
    if (new_group) remove_group(deleted_groups_, &Slot::deleted_group, change.group);
  } else {
    take_back_entry(edge_groups_, change);
    if (new_group) remove_group(edge_groups_, &Slot::edge_group, change.group);
  }
}

void EdgeStore::release_lists() noexcept {
  for (EdgeGroup& group : edge_groups_) group.targets.release(arena_);
  for (DeletedGroup& group : deleted_groups_) group.targets.release(arena_);
  for (Slot& slot : slots_) slot.incoming.release(arena_);
}

void EdgeStore::clear() noexcept {
  release_lists();
  arena_.clear();
  edge_groups_.clear();
  deleted_groups_.clear();
  slots_.clear();
  index_.clear();
  free_head_ = kNone;
  free_slots_ = 0;
  marks_.clear();
}

std::size_t EdgeStore::heap_bytes() const noexcept {
  std::size_t bytes = index_.heap_bytes() + arena_.heap_bytes() + slots_.capacity() * sizeof(Slot) +
                      marks_.capacity() * sizeof(Mark) +
                      edge_groups_.capacity() * sizeof(EdgeGroup) +
                      deleted_groups_.capacity() * sizeof(DeletedGroup);
  for (const Slot& slot : slots_) bytes += slot.incoming.own_heap_bytes();
  for (const EdgeGroup& group : edge_groups_) bytes += group.targets.own_heap_bytes();
  for (const DeletedGroup& group : deleted_groups_) bytes += group.targets.own_heap_bytes();
  return bytes;
}

// Every group interns its `from` id, so a section's count of groups is how many
// ids it names at least: the index and the slots are sized for them once, rather
// than grown a step at a time while the section loads, and being filled at once
// they may take huge pages. The count is bounded by the input's length, like
// every reservation of the reader.
void EdgeStore::reserve_ids(std::size_t count) {
  slots_.reserve(slots_.size() + count);
  advise_huge_pages(slots_.data(), slots_.capacity() * sizeof(Slot));
  marks_.reserve(slots_.size() + count);
  index_.reserve(std::size_t{index_.size()} + count, slot_id());
}

void EdgeStore::reserve_edge_groups(std::size_t count) {
  edge_groups_.reserve(edge_groups_.size() + count);
  advise_huge_pages(edge_groups_.data(), edge_groups_.capacity() * sizeof(EdgeGroup));
  reserve_ids(count);
}

void EdgeStore::reserve_deleted_groups(std::size_t count) {
  deleted_groups_.reserve(deleted_groups_.size() + count);
  advise_huge_pages(deleted_groups_.data(), deleted_groups_.capacity() * sizeof(DeletedGroup));
  reserve_ids(count);
}

namespace {
std::uint32_t bounded(std::size_t reserve) {
  constexpr std::uint32_t kMost = TargetList<float>::kMaxSize;
  return reserve > kMost ? kMost : static_cast<std::uint32_t>(reserve);
}
}  // namespace

// While loading, every slot has its mark: a fresh id extends them, so that the
// edges need no check of their own.
NodeNumber EdgeStore::add_loading(const NodeId& id) {
  const NodeNumber added = add_id(id);
  if (marks_.size() < slots_.size()) marks_.emplace_back();  // else a free slot was reused
  return added;
}

template <class Group>
std::uint32_t EdgeStore::load_group(std::vector<Group>& groups, std::uint32_t Slot::* link,
                                    const NodeId& from_id, std::size_t reserve) {
  const NodeNumber from = intern_loading(from_id);
  std::uint32_t group = slots_[from].*link;
  if (group != kNone) {
    if constexpr (std::is_same_v<Group, EdgeGroup>) {
      // The replaced entries no longer reach their targets. A slot that they
      // alone kept is freed below with an in-degree of zero, as a reused slot
      // must start; its group mark is only ever a hint.
      for (const auto& entry : groups[group].targets) --marks_[entry.key].count;
    }
    drop_targets(std::move(groups[group].targets));
  } else {
    group = static_cast<std::uint32_t>(groups.size());
    groups.push_back(Group{from, {}});
    slots_[from].*link = group;
  }
  groups[group].targets.reserve(bounded(reserve), arena_);
  return group;
}

std::uint32_t EdgeStore::load_edge_group(const NodeId& from_id, std::size_t reserve) {
  return load_group(edge_groups_, &Slot::edge_group, from_id, reserve);
}

std::uint32_t EdgeStore::load_deleted_group(const NodeId& from_id, std::size_t reserve) {
  return load_group(deleted_groups_, &Slot::deleted_group, from_id, reserve);
}

void EdgeStore::load_deleted_edge(std::uint32_t group, const NodeId& to_id) {
  const NodeNumber to = intern_loading(to_id);
  TargetList<NoValue>& targets = deleted_groups_[group].targets;
  if (targets.find(to) != kNone) return;
  targets.push(to, NoValue{}, arena_);
  gain_entry(to);
}

// Sizes every reverse list exactly from the in-degrees counted while loading,
// then fills them: cheaper than growing them edge by edge. Their blocks are
// known before any is taken, so they come from one chunk of the arena, which
// may take huge pages, rather than from a chunk at a time.
void EdgeStore::finish_loading() {
  marks_.resize(slots_.size());
  std::size_t list_bytes = 0;
  for (const Mark& mark : marks_) {
    if (mark.count != 0) list_bytes += IncomingList::arena_bytes(mark.count);
  }
  arena_.reserve(list_bytes);
  for (std::size_t i = 0; i < slots_.size(); ++i) {
    slots_[i].incoming.release(arena_);
    slots_[i].incoming_stale = false;
    const std::uint32_t in_degree = marks_[i].count;
    if (in_degree != 0) slots_[i].incoming.reserve(in_degree, arena_);
  }
  std::vector<Mark>().swap(marks_);
  // Each entry names a slot, and the slot its list, in random places: the slot
  // is asked for well ahead, its list once the slot has arrived.
  const std::span<const EdgeGroup> groups = edge_groups_;
  EntriesAhead slot_ahead(groups, kFarEntriesAhead);
  EntriesAhead list_ahead(groups, kEntriesAhead);
  for (const EdgeGroup& group : groups) {
    for (const auto& entry : group.targets) {
      if (const auto* later = slot_ahead.next()) __builtin_prefetch(&slots_[later->key]);
      if (const auto* later = list_ahead.next()) {
        __builtin_prefetch(slots_[later->key].incoming.end());
      }
      list_source(entry.key, group.from);
    }
  }
}

const char* EdgeStore::broken_rule() const {
  for (const Mark& mark : marks_) {  // cleared by every batch, even one that failed
    if (mark.group != 0 || mark.count != 0 || mark.rank != 0) return "scratch marks cleared";
  }
  std::vector<std::uint32_t> refs(slots_.size(), 0);
  std::vector<bool> is_free(slots_.size(), false);
  std::size_t free_count = 0;
  for (NodeNumber i = free_head_; i != kNone; i = slots_[i].refs) {
    if (i >= slots_.size() || is_free[i] || !slots_[i].free)
      return "free list links free slots once";
    is_free[i] = true;
    ++free_count;
  }
  if (free_count != free_slots_ || index_.size() != slots_.size() - free_count) {
    return "free slot count and id index size";
  }
  for (const EdgeGroup& group : edge_groups_) {
    for (const auto& entry : group.targets) ++refs[entry.key];
  }
  for (const DeletedGroup& group : deleted_groups_) {
    for (const auto& entry : group.targets) ++refs[entry.key];
  }
  for (std::size_t i = 0; i < slots_.size(); ++i) {
    const Slot& slot = slots_[i];
    if (slot.free != is_free[i]) return "free flag matches the free list";
    if (slot.free) {
      if (refs[i] != 0 || slot.edge_group != kNone || slot.deleted_group != kNone) {
        return "a free slot is named by nothing";
      }
      continue;
    }
    if (find(slot.id) != i) return "the id index finds each slot in use";
    if (slot.refs != refs[i]) return "refs count the target entries";
    if (slot.refs == 0 && slot.edge_group == kNone && slot.deleted_group == kNone) {
      return "a slot in use is named or has a group";
    }
    if (slot.edge_group != kNone &&
        (slot.edge_group >= edge_groups_.size() || edge_groups_[slot.edge_group].from != i)) {
      return "a slot's edge group points back at it";
    }
    if (slot.deleted_group != kNone && (slot.deleted_group >= deleted_groups_.size() ||
                                        deleted_groups_[slot.deleted_group].from != i)) {
      return "a slot's deleted group points back at it";
    }
    if (!slot.incoming_stale) {  // then exact: one entry per edge that reaches the node
      std::vector<NodeNumber> sources;
      for (const auto& entry : slot.incoming) sources.push_back(entry.key);
      std::sort(sources.begin(), sources.end());
      if (std::adjacent_find(sources.begin(), sources.end()) != sources.end()) {
        return "a reverse list not stale lists each source once";
      }
      for (NodeNumber from : sources) {
        if (!has_edge(from, static_cast<NodeNumber>(i))) return "a reverse list not stale is exact";
      }
    }
  }
  // Every reverse entry as (to, from), sorted, so that each edge is looked up
  // rather than searched for: debug builds run this check after every call, and
  // a scan of the target's list per edge would cost a hub's in-degree squared.
  std::vector<std::pair<NodeNumber, NodeNumber>> reverse;
  for (std::size_t i = 0; i < slots_.size(); ++i) {
    if (slots_[i].free) continue;
    for (const auto& entry : slots_[i].incoming) {
      reverse.emplace_back(static_cast<NodeNumber>(i), entry.key);
    }
  }
  std::sort(reverse.begin(), reverse.end());
  for (std::size_t g = 0; g < edge_groups_.size(); ++g) {
    const EdgeGroup& group = edge_groups_[g];
    if (slots_[group.from].edge_group != g) return "an edge group's `from` points back at it";
    for (std::uint32_t p = 0; p < group.targets.size(); ++p) {
      const NodeNumber to = group.targets.at(p).key;
      if (group.targets.find(to) != p) return "an edge group's targets are unique and indexed";
      if (!std::binary_search(reverse.begin(), reverse.end(), std::pair(to, group.from))) {
        return "every edge is in its target's reverse list";
      }
    }
  }
  for (std::size_t g = 0; g < deleted_groups_.size(); ++g) {
    const DeletedGroup& group = deleted_groups_[g];
    if (slots_[group.from].deleted_group != g) return "a deleted group's `from` points back at it";
    for (std::uint32_t p = 0; p < group.targets.size(); ++p) {
      if (group.targets.find(group.targets.at(p).key) != p) {
        return "a deleted group's targets are unique and indexed";
      }
    }
  }
  return nullptr;
}

}  // namespace kovra

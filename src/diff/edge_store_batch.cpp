// EdgeStore::put_edges: a batch of edges put as one step, at a fraction of the
// cost of a loop of single puts. The loop looks up the `from` node's group and
// grows its list one entry at a time, in random order; the batch instead
//
// 1. interns every id in row order (the store's intern_rows), then numbers the
//    `from` nodes as they first come and counts their rows, and gives each
//    `from` node without a group its group, in the order the loop would;
// 2. sorts the rows by `from` node, stably (a counting sort over the batch's
//    own numbering of its `from` nodes, so the cost follows the batch, not the
//    diff), copying each row's target and weight into the sorted run so that
//    the steps after it read memory in order;
// 3. sizes each group's list once and writes its rows in row order: a target
//    already listed has its weight replaced, a new one is appended, as the loop
//    would have done, so the lists come out exactly as the loop leaves them;
// 4. sizes each reverse list once for the edges it gains (walking each target
//    the groups touched once), then fills them from the groups' new entries
//    in the sorted order (no view or document follows a reverse list's order:
//    a node's deletion records its incoming edges in the order of the groups);
// 5. voids the deleted edges that the new edges replace, in row order, which
//    decides the order the deleted groups are left in.
//
// It and put_deleted_edges below are the declared twins of the one step
// (put_step), held to it by tests/cpp/twins_test.cpp.
//
// Everything up to the reverse lists' reservation may fail; what it changed is
// logged (fresh ids, new groups, each list's former size, replaced weights) and
// taken back. Only after that reservation does anything change that could not
// be taken back without allocating.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "diff/edge_store.h"
#include "diff/entries_ahead.h"
#include "diff/raw_blocks.h"

namespace kovra {

class EdgeStore::Batch {
 public:
  Batch(EdgeStore& store, std::span<const NodeId> from_ids, std::span<const NodeId> to_ids,
        std::span<const float> weights, std::span<const std::uint8_t> refused)
      : s_(store),
        from_ids_(from_ids),
        to_ids_(to_ids),
        weights_(weights),
        refused_(refused),
        groups_before_(store.edge_groups_.size()),
        fresh_(2 * from_ids.size()) {}

  void put() {
    KOVRA_COUNT_FAST_PATH(kSortedBatch);
    try {
      intern_rows();
      sort_rows();
      write_groups();
      reserve_reverse();
    } catch (...) {
      take_back();
      throw;
    }
    write_reverse();
    void_deleted_edges();
    for (const NodeNumber from : ranked_) s_.marks_[from].rank = 0;
  }

 private:
  // Every id through the store's interning pass (fresh_ records the new ones),
  // then each new slot's mark, then each row's `from` ranked.
  void intern_rows() {
    const std::size_t n = from_ids_.size();
    rows_ = n;
    ends_ = raw_array<NodeNumber>(2 * n);
    s_.intern_rows(from_ids_, to_ids_, refused_, ends_.get(), fresh_);
    if (s_.marks_.size() < s_.slots_.size()) s_.marks_.resize(s_.slots_.size());
    marked_ = true;
    ranked_.reserve(n);
    starts_.reserve(n + 1);
    starts_.push_back(0);
    ranks_ = raw_array<NodeNumber>(n);
    NodeNumber* const ends = ends_.get();
    for (std::size_t row = 0; row < n; ++row) {
      ranks_[row] = ends[2 * row] == kNone ? kNone : rank_of(ends[2 * row]);
    }
    add_groups();
  }

  // The `from` nodes are numbered in the order of their first rows, and each
  // one without a group gets its group then, as the loop would give it; each
  // one's rows are counted. A row's `from` becomes its node's rank, which is
  // all the sort needs of it.
  [[gnu::always_inline]] std::uint32_t rank_of(NodeNumber from) {
    std::uint32_t rank = s_.marks_[from].rank;
    if (rank == 0) [[unlikely]]
      rank = first_row_of(from);
    ++starts_[rank];
    return rank - 1;
  }
  [[gnu::noinline]] std::uint32_t first_row_of(NodeNumber from) {
    if (s_.slots_[from].edge_group == kNone) ++new_groups_;
    ranked_.push_back(from);
    starts_.push_back(0);
    const auto rank = static_cast<std::uint32_t>(ranked_.size());
    s_.marks_[from].rank = rank;
    return rank;
  }

  // The groups the loop would have added, in the order it would have added
  // them, with the room for them all taken at once.
  void add_groups() {
    if (new_groups_ == 0) return;
    reserve_more(s_.edge_groups_, new_groups_);
    for (const NodeNumber from : ranked_) {
      std::uint32_t& group = s_.slots_[from].edge_group;
      if (group != kNone) continue;
      group = static_cast<std::uint32_t>(s_.edge_groups_.size());
      s_.edge_groups_.push_back(EdgeGroup{from, {}});
    }
  }

  // The sort: sorted_[starts_[r]] .. sorted_[starts_[r + 1]] are the rows of the
  // r-th `from` node, in row order.
  void sort_rows() {
    std::size_t* const starts = starts_.data();
    for (std::size_t r = 1; r < starts_.size(); ++r) starts[r] += starts[r - 1];
    sorted_ = raw_array<Row>(starts_.back());
    Row* const sorted = sorted_.get();
    const NodeNumber* const ranks = ranks_.get();
    const NodeNumber* const ends = ends_.get();
    const float* const weights = weights_.data();
    // starts[rank] is the next position of that node's rows, and ends as its end.
    const auto place = [&](std::size_t row, NodeNumber rank) {
      sorted[starts[rank]++] = Row{ends[2 * row + 1], weights[row]};
    };
    if (refused_.empty()) {
      for (std::size_t row = 0; row < rows_; ++row) place(row, ranks[row]);
    } else {
      for (std::size_t row = 0; row < rows_; ++row) {
        if (ranks[row] != kNone) place(row, ranks[row]);
      }
    }
    for (std::size_t r = starts_.size() - 1; r > 0; --r) starts[r] = starts[r - 1];
    starts[0] = 0;
  }

  // A target's mark says whether this group has listed it in this batch
  // already; only a target that the group held before the batch, or repeated
  // within it, needs the search.
  void write_groups() {
    former_sizes_.reserve(ranked_.size());
    touched_.reserve(starts_.back());
    written_ = true;
    Mark* const marks = s_.marks_.data();
    for (std::uint32_t r = 0; r < ranked_.size(); ++r) {
      TargetList<float>& targets = targets_of(r);
      const std::uint32_t former = targets.size();
      former_sizes_.push_back(former);
      const std::size_t first = starts_[r];
      const std::size_t last = starts_[r + 1];
      targets.reserve(static_cast<std::uint32_t>(std::min<std::size_t>(
                          last - first, TargetList<float>::kMaxSize - former)),
                      s_.arena_);
      // A list that stays short enough to need no index appends without checks.
      const bool linear =
          targets.index() == nullptr && former + (last - first) <= TargetList<float>::kLinearLimit;
      for (std::size_t k = first; k < last; ++k) {
        const Row row = sorted_[k];
        Mark& mark = marks[row.to];
        std::uint32_t pos = kNone;
        if (mark.group == r + 1 || former != 0) pos = targets.find(row.to);
        if (mark.group == 0) touched_.push_back(row.to);
        mark.group = r + 1;
        if (pos != kNone) {
          replaced_.push_back({r, pos, targets.at(pos).value});
          targets.at(pos).value = row.weight;
          continue;
        }
        if (linear) {
          targets.push_linear(row.to, row.weight);
        } else {
          targets.push(row.to, row.weight, s_.arena_);
        }
        s_.gain_entry(row.to);
        ++mark.count;
      }
    }
  }

  // Also clears the marks the groups left. A stale list that would
  // overflow is compacted first, as for a single put; it stays marked stale,
  // since it may already list a `from` whose edge this batch added.
  void reserve_reverse() {
    Mark* const marks = s_.marks_.data();
    Slot* const slots = s_.slots_.data();
    for (const NodeNumber to : touched_) {
      Mark& mark = marks[to];
      mark.group = 0;
      if (mark.count == 0) continue;  // reserved already, or appended nothing
      Slot& slot = slots[to];
      TargetList<NoValue, false>& incoming = slot.incoming;
      if (slot.incoming_stale && incoming.capacity() - incoming.size() < mark.count) {
        s_.compact_incoming(to);
        slot.incoming_stale = true;
      }
      incoming.reserve(mark.count, s_.arena_);
      mark.count = 0;
    }
  }

  // A group's new edges are its entries past its former size, in the order
  // its rows appended them.
  void write_reverse() noexcept {
    for (std::uint32_t r = 0; r < ranked_.size(); ++r) {
      const NodeNumber from = ranked_[r];
      const TargetList<float>& targets = targets_of(r);
      for (std::uint32_t pos = former_sizes_[r]; pos < targets.size(); ++pos) {
        s_.list_source(targets.at(pos).key, from);
      }
    }
  }

  // In row order, as the loop erases them: an erased entry, and an emptied
  // group, leave their places to the last of their list, so the order of the
  // erasures is the order the deleted groups and their entries are left in.
  void void_deleted_edges() noexcept {
    if (s_.deleted_groups_.empty()) return;
    if (std::none_of(ranked_.begin(), ranked_.end(),
                     [this](NodeNumber from) { return s_.has_deleted_group(from); })) {
      return;
    }
    const NodeNumber* const ends = ends_.get();
    for (std::size_t row = 0; row < rows_; ++row) {
      const NodeNumber from = ends[2 * row];
      if (from != kNone && s_.has_deleted_group(from))
        s_.erase_deleted_edge(from, ends[2 * row + 1]);
    }
  }

  // Latest first: replaced weights, appended entries, new groups, fresh ids.
  void take_back() noexcept {
    KOVRA_COUNT_FAST_PATH(kBatchUndone);
    for (std::size_t i = replaced_.size(); i-- > 0;) {
      const Replaced& replaced = replaced_[i];
      targets_of(replaced.rank).at(replaced.pos).value = replaced.old;
    }
    for (auto r = static_cast<std::uint32_t>(former_sizes_.size()); r-- > 0;) {
      TargetList<float>& targets = targets_of(r);
      while (targets.size() > former_sizes_[r]) {
        const std::uint32_t pos = targets.size() - 1;
        s_.lose_entry(targets.at(pos).key, false);  // not listed yet
        targets.erase_at(pos);
      }
    }
    while (s_.edge_groups_.size() > groups_before_) {
      const auto group = static_cast<std::uint32_t>(s_.edge_groups_.size() - 1);
      s_.remove_group(s_.edge_groups_, &Slot::edge_group, group);
    }
    fresh_.give_back(s_);
    reset_marks();
  }

  // The `from` marks; the target marks too when the groups were written and
  // the reverse lists' reservation did not get to clear them all.
  void reset_marks() noexcept {
    if (!marked_) return;
    for (const NodeNumber from : ranked_) s_.marks_[from].rank = 0;
    if (!written_) return;
    for (const NodeNumber to : touched_) s_.marks_[to] = Mark{0, 0, 0};
  }

  TargetList<float>& targets_of(std::uint32_t rank) noexcept {
    return s_.edge_groups_[s_.slots_[ranked_[rank]].edge_group].targets;
  }

  struct Row {
    NodeNumber to;
    float weight;
  };
  struct Replaced {
    std::uint32_t rank;
    std::uint32_t pos;
    float old;
  };

  EdgeStore& s_;
  std::span<const NodeId> from_ids_, to_ids_;
  std::span<const float> weights_;
  std::span<const std::uint8_t> refused_;
  const std::size_t groups_before_;
  FreshIds fresh_;
  // Per row, once interned: its ends' numbers (kNone for a refused row), and
  // its `from` node's rank among the batch's. Left uninitialised until then,
  // like sorted_: they are as long as the batch.
  RawArray<NodeNumber> ends_, ranks_;
  std::size_t rows_ = 0;
  bool marked_ = false;              // the `from` marks may be set
  bool written_ = false;             // the target marks may be set
  std::vector<NodeNumber> touched_;  // the targets, each once, whose marks are set
  std::vector<NodeNumber> ranked_;   // the batch's `from` nodes, by rank
  std::size_t new_groups_ = 0;       // how many of them have no group yet
  std::vector<std::size_t> starts_;
  RawArray<Row> sorted_;  // the rows not refused, by rank
  std::vector<std::uint32_t> former_sizes_;
  std::vector<Replaced> replaced_;
};

// Each row's deleted edge is put, logging what changed; the erasures from the
// edge groups wait until nothing can fail. Until then nothing leaves a group
// and no interned id is given back, so the log is undone latest first by taking
// back the last thing added, then the ids interned. Puts and erasures touch
// different groups, so doing all the puts first leaves every list as the loop
// leaves it; and since neither frees a slot, the ids can all be interned first,
// in row order, as the loop interns them. Each pass asks for what a row a few
// rows on will touch, so that the misses of consecutive rows overlap instead of
// each waiting on the last.
void EdgeStore::put_deleted_edges(std::span<const NodeId> from, std::span<const NodeId> to) {
  KOVRA_COUNT_FAST_PATH(kDeletedBatch);
  const std::size_t n = from.size();
  FreshIds fresh(2 * n);
  std::vector<NodeNumber> ends(2 * n);  // per row, its `from` and its `to`
  std::vector<Change> log;
  log.reserve(n);
  // The deleted edges put whose `from` has an edge group, which may hold the `to`.
  std::vector<std::pair<NodeNumber, NodeNumber>> erased;
  if (!edge_groups_.empty()) erased.reserve(n);
  try {
    intern_rows(from, to, {}, ends.data(), fresh);
    for (std::size_t i = 0; i < n; ++i) {
      if (i + kRowsAhead < n) __builtin_prefetch(&slots_[ends[2 * (i + kRowsAhead)]]);
      if (i + kRowGroupsAhead < n) {
        const std::uint32_t group = slots_[ends[2 * (i + kRowGroupsAhead)]].deleted_group;
        if (group != kNone) __builtin_prefetch(deleted_groups_[group].targets.begin());
      }
      const NodeNumber source = ends[2 * i];
      const NodeNumber target = ends[2 * i + 1];
      const Change change = put_deleted_edge(source, target);
      if (change.kind != Change::Kind::kUnchanged) log.push_back(change);
      if (has_edge_group(source)) erased.emplace_back(source, target);
    }
  } catch (...) {
    for (std::size_t i = log.size(); i-- > 0;) take_back(log[i]);
    fresh.give_back(*this);
    throw;
  }
  for (std::size_t i = 0; i < erased.size(); ++i) {
    if (i + kRowsAhead < erased.size()) {
      const std::uint32_t group = slots_[erased[i + kRowsAhead].first].edge_group;
      if (group != kNone) __builtin_prefetch(edge_groups_[group].targets.begin());
      __builtin_prefetch(&slots_[erased[i + kRowsAhead].second]);
    }
    erase_edge(erased[i].first, erased[i].second);
  }
}

void EdgeStore::put_edges(std::span<const NodeId> from, std::span<const NodeId> to,
                          std::span<const float> weights, std::span<const std::uint8_t> refused) {
  Batch(*this, from, to, weights, refused).put();
}

}  // namespace kovra

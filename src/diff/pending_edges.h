// PendingEdges: edge rows that the calls have recorded and the diff has not yet
// applied. An edge call has one outcome that depends on the diff, the refusal of
// an edge to a node marked deleted, and that is decided when the call is made;
// everything else it does shows only when something reads or changes the edges
// as a whole. So a call only records its row here, and the rows are applied
// later, in their order, by EdgeStore::put_rows, which works many rows ahead
// and so pays a fraction of the misses a single put waits for.
//
// The rows are held as put_rows takes them: columns of `from` ids, `to` ids and
// weights (36 bytes a row), with the positions of the deletion rows apart, since
// most streams delete little.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "diff/node_id.h"
#include "diff/reserve_more.h"

namespace kovra {

// Whether each row of a log deletes, from the deletion rows' positions, for a
// walk that asks of its rows in ascending order (it may skip rows).
class RowKinds {
 public:
  explicit RowKinds(std::span<const std::uint32_t> deletions) noexcept
      : next_(deletions.data()), end_(deletions.data() + deletions.size()) {}
  bool deletes(std::size_t row) noexcept {
    while (next_ != end_ && *next_ < row) ++next_;
    return next_ != end_ && *next_ == row;
  }

 private:
  const std::uint32_t* next_;
  const std::uint32_t* end_;
};

class PendingEdges {
 public:
  // The bound is never below this many rows (36 KiB of log); past it, half the
  // diff's size counted in interned ids and groups (see rebound()). Small, since
  // the room a log once took stays with its diff, and a small diff's log should
  // stay a fraction of it; a longer log saves little a row once past a few
  // hundred rows.
  static constexpr std::size_t kLeastBound = 1024;

  PendingEdges() noexcept = default;
  PendingEdges(PendingEdges&& other) noexcept
      : from_(std::move(other.from_)),
        to_(std::move(other.to_)),
        weights_(std::move(other.weights_)),
        deletions_(std::move(other.deletions_)),
        capacity_(std::exchange(other.capacity_, 0)),
        bound_(std::exchange(other.bound_, kLeastBound)) {}
  PendingEdges& operator=(PendingEdges&& other) noexcept {
    if (this != &other) {
      from_ = std::move(other.from_);
      to_ = std::move(other.to_);
      weights_ = std::move(other.weights_);
      deletions_ = std::move(other.deletions_);
      capacity_ = std::exchange(other.capacity_, 0);
      bound_ = std::exchange(other.bound_, kLeastBound);
      other.clear();
    }
    return *this;
  }
  PendingEdges(const PendingEdges&) = delete;
  PendingEdges& operator=(const PendingEdges&) = delete;

  std::size_t size() const noexcept { return from_.size(); }
  bool empty() const noexcept { return from_.empty(); }
  // How many rows the log may hold before the diff applies them; the columns'
  // room doubles up to it, never past it unless one call brings more rows.
  std::size_t bound() const noexcept { return bound_; }
  // Whether the next row waits for the log to be applied: at the bound, and
  // also when the columns are full and the bound has crept up by less than
  // their size since they last grew, since growing them then would copy every
  // row to gain a few (a diff that grows moves the bound at every application).
  bool full() const noexcept {
    return size() >= bound_ || (size() == capacity_ && 2 * size() > bound_);
  }
  // The rows a bulk call may add before the log is full.
  std::size_t room() const noexcept {
    if (full()) return 0;
    return 2 * size() > bound_ ? capacity_ - size() : bound_ - size();
  }
  // After the rows were applied, to a diff of `size` (interned ids plus groups):
  // a bound that grows with the diff, as a vector's room does, so that applying
  // costs amortised O(1) a row while the log stays a fraction of the tables
  // (36 bytes a row against about 29 bytes an edge and 60 an id in them).
  void rebound(std::size_t size) noexcept { bound_ = std::max(kLeastBound, size / 2); }

  // Either completes or throws std::bad_alloc with the log unchanged.
  [[gnu::always_inline]] void add(const NodeId& from, const NodeId& to, float weight) {
    if (size() == capacity_) [[unlikely]]
      grow(1);
    push(from, to, weight);
  }
  void remove(const NodeId& from, const NodeId& to) {
    if (size() == capacity_) grow(1);
    reserve_more(deletions_, 1);
    deletions_.push_back(static_cast<std::uint32_t>(size()));
    push(from, to, 0.0f);
  }
  // Rows of one kind, all or nothing: `refused` (empty: none is) marks rows left out.
  void append(std::span<const NodeId> from, std::span<const NodeId> to,
              std::span<const float> weights, std::span<const std::uint8_t> refused) {
    if (from.size() > capacity_ - size()) grow(from.size());
    for (std::size_t i = 0; i < from.size(); ++i) {
      if (refused.empty() || !refused[i]) push(from[i], to[i], weights[i]);
    }
  }
  void append_removals(std::span<const NodeId> from, std::span<const NodeId> to) {
    if (from.size() > capacity_ - size()) grow(from.size());
    reserve_more(deletions_, from.size());  // doubling: many one-row calls copy each once
    for (std::size_t i = 0; i < from.size(); ++i) {
      deletions_.push_back(static_cast<std::uint32_t>(from_.size()));
      push(from[i], to[i], 0.0f);
    }
  }

  std::span<const NodeId> from() const noexcept { return from_; }
  std::span<const NodeId> to() const noexcept { return to_; }
  std::span<const float> weights() const noexcept { return weights_; }
  // The positions of the deletion rows, ascending.
  std::span<const std::uint32_t> deletions() const noexcept { return deletions_; }
  // The first `rows` rows were applied: they leave the log, without allocating.
  void consume(std::size_t rows) noexcept {
    if (rows == size()) {
      clear();
    } else {
      drop_front(rows);
    }
  }

  // The log's own rules, for consistency checks: the first found broken, or nullptr.
  const char* broken_rule() const noexcept {
    if (to_.size() != size() || weights_.size() != size())
      return "the log's columns have a row each";
    if (capacity_ > from_.capacity() || capacity_ > to_.capacity() ||
        capacity_ > weights_.capacity()) {
      return "the log's room is in every column";
    }
    if (!std::is_sorted(deletions_.begin(), deletions_.end()) ||
        std::adjacent_find(deletions_.begin(), deletions_.end()) != deletions_.end() ||
        (!deletions_.empty() && deletions_.back() >= size())) {
      return "the deletion rows' positions ascend within the log";
    }
    return nullptr;
  }

  // Every row keeps both ends apart from `deleted` (an add row, that is, never
  // names a node marked deleted); for consistency checks.
  template <class Deleted>
  bool adds_avoid(Deleted deleted) const {
    RowKinds kinds(deletions_);
    for (std::size_t i = 0; i < size(); ++i) {
      if (!kinds.deletes(i) && (deleted(from_[i]) || deleted(to_[i]))) return false;
    }
    return true;
  }

  // Keeps the capacity, which the bound caps.
  void clear() noexcept {
    from_.clear();
    to_.clear();
    weights_.clear();
    deletions_.clear();
  }
  // Empties the log and gives its room back, for a diff that is cleared: the
  // room follows the tables' size, which a cleared diff no longer has.
  void release() noexcept {
    std::vector<NodeId>().swap(from_);
    std::vector<NodeId>().swap(to_);
    std::vector<float>().swap(weights_);
    std::vector<std::uint32_t>().swap(deletions_);
    capacity_ = 0;
    bound_ = kLeastBound;
  }
  // The memory the log holds, by capacity, for a diff's memory accounting: the
  // room kept between fills is in the allocator's use as much as the rows are.
  std::size_t heap_bytes() const noexcept {
    return (from_.capacity() + to_.capacity()) * sizeof(NodeId) +
           weights_.capacity() * sizeof(float) + deletions_.capacity() * sizeof(std::uint32_t);
  }

 private:
  void push(const NodeId& from, const NodeId& to, float weight) noexcept {
    from_.push_back(from);  // within capacity: cannot throw
    to_.push_back(to);
    weights_.push_back(weight);
  }
  // Room for `extra` more rows in every column before any row goes in:
  // doubling, up to the bound. capacity_ moves only once all three have it.
  [[gnu::noinline]] void grow(std::size_t extra) {
    const std::size_t needed = size() + extra;
    const std::size_t doubled = std::min(std::max<std::size_t>(64, 2 * size()), bound_);
    const std::size_t wanted = std::max(needed, doubled);
    from_.reserve(wanted);
    to_.reserve(wanted);
    weights_.reserve(wanted);
    capacity_ = wanted;
  }
  // Without allocating: the rows that were applied leave the front.
  void drop_front(std::size_t rows) noexcept {
    from_.erase(from_.begin(), from_.begin() + static_cast<std::ptrdiff_t>(rows));
    to_.erase(to_.begin(), to_.begin() + static_cast<std::ptrdiff_t>(rows));
    weights_.erase(weights_.begin(), weights_.begin() + static_cast<std::ptrdiff_t>(rows));
    const auto kept = std::lower_bound(deletions_.begin(), deletions_.end(), rows);
    deletions_.erase(deletions_.begin(), kept);
    for (std::uint32_t& position : deletions_) position -= static_cast<std::uint32_t>(rows);
  }

  std::vector<NodeId> from_, to_;
  std::vector<float> weights_;
  std::vector<std::uint32_t> deletions_;  // positions of the deletion rows, ascending
  std::size_t capacity_ = 0;              // rows every column has room for
  std::size_t bound_ = kLeastBound;
};

}  // namespace kovra

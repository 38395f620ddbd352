#include "codec/document_merge.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <optional>
#include <utility>

#include "codec/byte_cursor.h"
#include "codec/document_walk.h"
#include "codec/node_record_json.h"
#include "codec/shard.h"
#include "diff/id_table.h"

namespace kovra {

namespace {

// The bytes of `whole` from `at` on, `count` of them or all: positions the walk
// has reached, always inside. Not substr, whose range check calls into a newer
// C++ runtime than the wheel's manylinux2014 tag allows.
std::string_view slice(std::string_view whole, std::size_t at,
                       std::size_t count = std::string_view::npos) noexcept {
  assert(at <= whole.size());
  return std::string_view(whole.data() + at, std::min(count, whole.size() - at));
}

// Both node sections of a document with no entries: the merge of no documents.
constexpr char kNoNodeSections[16] = {};

// The group handle of a sink that keeps nothing of a group's entries.
struct Unused {};

// Node records parsed to be checked and then dropped: the first input's node
// sections, which the merged document repeats.
struct CheckedNodes {
  void reserve_nodes(std::size_t) noexcept {}
  RecordCheck node(const NodeId&, std::string_view bytes) { return check_node_record(bytes); }
  void reserve_deleted_nodes(std::size_t) noexcept {}
  void deleted_node(const NodeId&) noexcept {}
};

// One input's node sections by content. Each id keeps the place of the entry that
// counts, so that "the first id that differs" is the same in every process.
struct Placed {
  std::string_view record;  // empty for a deleted node
  std::uint64_t place;
};
using PlacedTable = IdTable<std::pair<NodeId, Placed>>;

struct NodeContents {
  PlacedTable nodes;
  PlacedTable deleted;
};

// Collects an input's node sections into `contents`. A record equal to the
// reference input's record for the same id is valid without parsing it again;
// with no reference, every record is taken as valid (its input was checked).
class ContentSink {
 public:
  ContentSink(NodeContents& contents, const NodeContents* reference) noexcept
      : contents_(contents), reference_(reference) {}

  void reserve_nodes(std::size_t n) { contents_.nodes.reserve(n); }
  RecordCheck node(const NodeId& id, std::string_view record) {
    contents_.nodes.insert_or_assign(id, Placed{record, place_++});
    if (reference_ == nullptr) return RecordCheck::kValid;
    const auto* known = reference_->nodes.find(id);
    if (known != reference_->nodes.end() && known->second.record == record) {
      return RecordCheck::kValid;
    }
    return check_node_record(record);
  }
  void reserve_deleted_nodes(std::size_t n) { contents_.deleted.reserve(n); }
  void deleted_node(const NodeId& id) { contents_.deleted.try_emplace(id, Placed{{}, place_++}); }

 private:
  NodeContents& contents_;
  const NodeContents* reference_;
  std::uint64_t place_ = 0;
};

bool same_record(const Placed& a, const Placed& b) {
  if (a.record == b.record) return true;
  // Texts of other writers may spell one update differently.
  const auto x = node_update_from_json(a.record);
  const auto y = node_update_from_json(b.record);
  return x && y && *x == *y;
}

// The id, by its place in `other`, whose entry differs from `first`'s or that
// `first` lacks; failing that, the first by its place in `first` that `other` lacks.
std::optional<NodeId> first_difference(const PlacedTable& first, const PlacedTable& other) {
  const std::pair<NodeId, Placed>* found = nullptr;
  for (const auto& entry : other) {
    const auto* match = first.find(entry.first);
    if (match != first.end() && same_record(match->second, entry.second)) continue;
    if (found == nullptr || entry.second.place < found->second.place) found = &entry;
  }
  if (found == nullptr && first.size() != other.size()) {
    for (const auto& entry : first) {
      if (other.contains(entry.first)) continue;
      if (found == nullptr || entry.second.place < found->second.place) found = &entry;
    }
  }
  if (found == nullptr) return std::nullopt;
  return found->first;
}

// Counts an input's groups, and whether each `from` id is one that shard_of gives
// to that input: then no other input can hold a group of it.
class GroupsByShard {
 public:
  GroupsByShard(std::size_t input, std::size_t inputs) noexcept : input_(input), inputs_(inputs) {}
  static constexpr bool kGroupsOnly = true;

  std::uint64_t groups() const noexcept { return groups_; }
  bool all_own() const noexcept { return all_own_; }

  void reserve_edge_groups(std::size_t) noexcept {}
  Unused edge_group(const NodeId& from, std::size_t) noexcept {
    take(from);
    return {};
  }
  void reserve_deleted_groups(std::size_t) noexcept {}
  Unused deleted_group(const NodeId& from, std::size_t) noexcept {
    take(from);
    return {};
  }

 private:
  void take(const NodeId& from) noexcept {
    ++groups_;
    all_own_ = all_own_ && shard_of(from, inputs_) == input_;
  }

  std::size_t input_;
  std::size_t inputs_;
  std::uint64_t groups_ = 0;
  bool all_own_ = true;
};

// Which input holds the groups of each `from` id: for inputs not split by shard_of
// in shard order, the shards of one stream still never share one.
class GroupOwners {
 public:
  static constexpr bool kGroupsOnly = true;
  void start_input(std::size_t input) noexcept { input_ = input; }
  const std::optional<MergeConflict>& conflict() const noexcept { return conflict_; }

  void reserve_edge_groups(std::size_t n) { owners_.reserve(n); }
  Unused edge_group(const NodeId& from, std::size_t) {
    claim(from);
    return {};
  }
  void reserve_deleted_groups(std::size_t n) { owners_.reserve(n); }
  Unused deleted_group(const NodeId& from, std::size_t) {
    claim(from);
    return {};
  }

 private:
  void claim(const NodeId& from) {
    auto [owner, added] = owners_.try_emplace(from, input_);
    if (added || owner->second == input_ || conflict_) return;
    conflict_ = MergeConflict{MergeConflict::Kind::kEdgesFrom, from, owner->second, input_};
  }

  IdTable<std::pair<NodeId, std::size_t>> owners_;
  std::optional<MergeConflict> conflict_;
  std::size_t input_ = 0;
};

}  // namespace

// Reads every input in order, then looks for conflicts.
class DocumentMerger {
 public:
  explicit DocumentMerger(std::span<const std::string_view> documents) noexcept
      : documents_(documents) {}

  MergeOutcome run() {
    if (documents_.empty()) {
      merged_.node_sections_ = std::string_view(kNoNodeSections, sizeof kNoNodeSections);
      return std::move(merged_);
    }
    merged_.edge_sections_.reserve(documents_.size());
    merged_.deleted_sections_.reserve(documents_.size());
    for (std::size_t i = 0; i < documents_.size(); ++i) {
      if (!read(i)) return MalformedDocument{i};
    }
    std::optional<MergeConflict> conflict = node_conflict_;
    if (!split_by_shard_) {
      // The first input whose groups meet an earlier input's, unless a node
      // conflict comes in an earlier input.
      auto groups = group_conflict();
      if (groups && (!conflict || groups->second < conflict->second)) conflict = groups;
    }
    if (conflict) return *conflict;
    return std::move(merged_);
  }

 private:
  bool read(std::size_t i) {
    const std::string_view document = documents_[i];
    ByteCursor in(document);
    if (i == 0) {
      CheckedNodes checked;
      if (!walk_node_sections(in, checked)) return false;
      merged_.node_sections_ = slice(document, 0, offset(document, in));
    } else if (document.starts_with(merged_.node_sections_)) {
      // The same bytes hold the same content, valid since the first input's were:
      // the common case, as every shard sees the same node operations in the same
      // order and its tables keep the order of their history.
      in = ByteCursor(slice(document, merged_.node_sections_.size()));
    } else if (!compare_node_sections(i, in)) {
      return false;
    }

    GroupsByShard groups(i, documents_.size());
    const std::size_t edges_at = offset(document, in);
    if (!walk_edge_groups(in, groups)) return false;
    merged_.edge_group_count_ += groups.groups();
    const std::size_t deleted_at = offset(document, in);
    const std::uint64_t edge_groups = groups.groups();
    if (!walk_deleted_groups(in, groups)) return false;
    merged_.deleted_group_count_ += groups.groups() - edge_groups;
    split_by_shard_ = split_by_shard_ && groups.all_own();
    merged_.edge_sections_.push_back(slice(document, edges_at, deleted_at - edges_at));
    merged_.deleted_sections_.push_back(
        slice(document, deleted_at, offset(document, in) - deleted_at));
    return true;
  }

  // Reads input `i`'s node sections by content and compares them with the first
  // input's; false if they are malformed.
  bool compare_node_sections(std::size_t i, ByteCursor& in) {
    if (!first_contents_) {
      first_contents_.emplace();
      ByteCursor again(merged_.node_sections_);
      ContentSink sink(*first_contents_, nullptr);
      static_cast<void>(walk_node_sections(again, sink));  // read once already
    }
    NodeContents contents;
    ContentSink sink(contents, &*first_contents_);
    if (!walk_node_sections(in, sink)) return false;
    if (node_conflict_) return true;
    if (auto id = first_difference(first_contents_->nodes, contents.nodes)) {
      node_conflict_ = MergeConflict{MergeConflict::Kind::kNode, *id, 0, i};
    } else if (auto deleted = first_difference(first_contents_->deleted, contents.deleted)) {
      node_conflict_ = MergeConflict{MergeConflict::Kind::kDeletedNode, *deleted, 0, i};
    }
    return true;
  }

  // Walks the groups of every input again, all valid by now, to find the first
  // `from` id that two inputs share.
  std::optional<MergeConflict> group_conflict() {
    GroupOwners owners;
    for (std::size_t i = 0; i < documents_.size() && !owners.conflict(); ++i) {
      owners.start_input(i);
      ByteCursor edges(merged_.edge_sections_[i]);
      ByteCursor deleted(merged_.deleted_sections_[i]);
      static_cast<void>(walk_edge_groups(edges, owners));
      static_cast<void>(walk_deleted_groups(deleted, owners));
    }
    return owners.conflict();
  }

  static std::size_t offset(std::string_view document, const ByteCursor& in) noexcept {
    return document.size() - in.remaining();
  }

  std::span<const std::string_view> documents_;
  MergedDocument merged_;
  std::optional<MergeConflict> node_conflict_;
  bool split_by_shard_ = true;
  std::optional<NodeContents> first_contents_;
};

// The sections' groups are copied without their counts, which the merged
// document sums.
std::size_t MergedDocument::size() const noexcept {
  std::size_t total = node_sections_.size() + 16;
  for (std::string_view part : edge_sections_) total += part.size() - 8;
  for (std::string_view part : deleted_sections_) total += part.size() - 8;
  return total;
}

void MergedDocument::write(char* out) const noexcept {
  auto copy = [&out](std::string_view part) {
    if (!part.empty()) std::memcpy(out, part.data(), part.size());
    out += part.size();
  };
  copy(node_sections_);
  out = put_u64(out, edge_group_count_);
  for (std::string_view part : edge_sections_) copy(slice(part, 8));
  out = put_u64(out, deleted_group_count_);
  for (std::string_view part : deleted_sections_) copy(slice(part, 8));
}

MergeOutcome merge_documents(std::span<const std::string_view> documents) {
  return DocumentMerger(documents).run();
}

}  // namespace kovra

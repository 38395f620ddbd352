// NodeUpdate: the seven optional attributes of one node, packed into 28 bytes
// because a diff may hold millions of them. Label and url share 16 inline bytes
// (typical labels fit) and move to one heap block only when they do not, or, for
// the updates a document's reader makes, to a chunk of texts they share.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>
#include <type_traits>
#include <utility>

#include "diff/short_copy.h"

namespace kovra {

// The seven fields of a node update. Their order here is the order of the list below.
enum class NodeField : std::uint8_t { kLabel, kSize, kUrl, kRed, kGreen, kBlue, kShowLabel };

enum class NodeFieldKind : std::uint8_t { kText, kNumber, kColour, kFlag };

struct NodeFieldInfo {
  NodeField field;
  NodeFieldKind kind;
  std::string_view record_key;  // the key in a node record
  std::string_view python_key;  // the key in the update dicts of the Python surface
};

// The one list of the fields, in the order a node record writes them and its array
// form lists them; each field's flag bit in NodeUpdate is its position here.
inline constexpr std::array<NodeFieldInfo, 7> kNodeFields = {{
    {NodeField::kLabel, NodeFieldKind::kText, "label", "label"},
    {NodeField::kSize, NodeFieldKind::kNumber, "size", "size"},
    {NodeField::kUrl, NodeFieldKind::kText, "url", "url"},
    {NodeField::kRed, NodeFieldKind::kColour, "red", "red"},
    {NodeField::kGreen, NodeFieldKind::kColour, "green", "green"},
    {NodeField::kBlue, NodeFieldKind::kColour, "blue", "blue"},
    {NodeField::kShowLabel, NodeFieldKind::kFlag, "showLabel", "show_label"},
}};
inline constexpr std::size_t kNodeFieldCount = kNodeFields.size();

constexpr std::size_t position_of(NodeField field) noexcept {
  return static_cast<std::size_t>(field);
}
constexpr const NodeFieldInfo& info_of(NodeField field) noexcept {
  return kNodeFields[position_of(field)];
}

// A field's flag bit in a NodeUpdate.
constexpr std::uint8_t field_bit(NodeField field) noexcept {
  return static_cast<std::uint8_t>(1u << position_of(field));
}

static_assert([] {
  for (std::size_t i = 0; i < kNodeFieldCount; ++i) {
    if (position_of(kNodeFields[i].field) != i) return false;
  }
  return true;
}());

// Calls visit(std::integral_constant<NodeField, F>{}) for each field F of `order`,
// unrolled at compile time so that each call can use F as a constant.
template <const auto& order, class Visit>
constexpr void for_each_node_field(Visit&& visit) {
  [&]<std::size_t... I>(std::index_sequence<I...>) {
    (visit(std::integral_constant<NodeField, order[I].field>{}), ...);
  }(std::make_index_sequence<order.size()>{});
}

// The same for a visit that returns true to stop; returns whether one did.
template <const auto& order, class Visit>
constexpr bool any_node_field(Visit&& visit) {
  return [&]<std::size_t... I>(std::index_sequence<I...>) {
    return (visit(std::integral_constant<NodeField, order[I].field>{}) || ...);
  }(std::make_index_sequence<order.size()>{});
}

// Texts of many updates in shared chunks, as a document's reader places them:
// one allocation per chunk instead of one per update. A chunk counts the updates
// whose texts it holds, and the last of them frees it, so memory still follows
// content, a chunk at a time; an update whose texts are replaced or dropped gives
// its share back. Chunks are kChunkSize-aligned, so a text finds its chunk's
// count from its own address.
class TextChunks {
 public:
#ifdef KOVRA_TEST_HOOKS
  // Test builds only: chunks allocated and not yet freed, in the whole process.
  static inline std::size_t live_chunks = 0;
#endif
  static constexpr std::size_t kChunkSize = std::size_t{64} << 10;
  // Longer texts get blocks of their own: a chunk holds at least 63 updates' worth.
  static constexpr std::size_t kMaxShared = 1024;

  TextChunks() noexcept = default;
  TextChunks(const TextChunks&) = delete;
  TextChunks& operator=(const TextChunks&) = delete;
  ~TextChunks() { release(chunk_); }

  // Room for `size` bytes (at most kMaxShared) at an even address, counted as one
  // more update's share of its chunk. May throw std::bad_alloc.
  char* place(std::size_t size) {
    size = (size + 1) & ~std::size_t{1};  // even, so that the low bit of a place is free
    if (kChunkSize - used_ < size) start_chunk();
    std::uint64_t shares;
    std::memcpy(&shares, chunk_, sizeof shares);
    ++shares;
    std::memcpy(chunk_, &shares, sizeof shares);
    char* const at = chunk_ + used_;
    used_ += size;
    return at;
  }

  // Gives back the share of the chunk holding `text`.
  static void release_text(char* text) noexcept {
    release(reinterpret_cast<char*>(reinterpret_cast<std::uintptr_t>(text) & ~(kChunkSize - 1)));
  }

 private:
  // The chunk's first bytes count its shares, the writer's own among them while
  // it fills the chunk.
  static constexpr std::size_t kHeader = 8;
  void start_chunk();
  static void release(char* chunk) noexcept;

  char* chunk_ = nullptr;
  std::size_t used_ = kChunkSize;
};

class NodeUpdate {
 public:
  NodeUpdate() noexcept = default;
  NodeUpdate(const NodeUpdate& other);
  NodeUpdate(NodeUpdate&& other) noexcept;
  NodeUpdate& operator=(NodeUpdate other) noexcept;
  ~NodeUpdate();

  // Inline: the writer calls these for every node of a document.
  std::optional<std::string_view> label() const noexcept {
    if (!has(kLabel)) return std::nullopt;
    return std::string_view(text_base(), label_length());
  }
  std::optional<float> size() const noexcept {
    if (!has(kSize)) return std::nullopt;
    return size_;
  }
  std::optional<std::string_view> url() const noexcept {
    if (!has(kUrl)) return std::nullopt;
    return std::string_view(text_base() + label_length(), url_length());
  }
  std::optional<std::uint8_t> red() const noexcept { return colour(red_, kRed); }
  std::optional<std::uint8_t> green() const noexcept { return colour(green_, kGreen); }
  std::optional<std::uint8_t> blue() const noexcept { return colour(blue_, kBlue); }
  std::optional<bool> show_label() const noexcept {
    if (!has(kShowLabel)) return std::nullopt;
    return has(kShowLabelValue);
  }
  bool empty() const noexcept { return flags_ == 0; }
  // Bytes of the texts kept outside the update: its own block, or its place in a chunk.
  std::size_t text_heap_bytes() const noexcept {
    if (inline_texts()) return 0;
    return (label_length_ == kLongTexts ? kLongPrefix : 0) + label_length() + url_length();
  }

  // For code that walks the field list: whether `field` is present, and the value of a
  // field F that is (a plain value, which compiles to tighter code than the optional).
  bool has(NodeField field) const noexcept { return has(field_bit(field)); }
  template <NodeField F>
  auto value() const noexcept {
    if constexpr (F == NodeField::kLabel) {
      return std::string_view(text_base(), label_length());
    } else if constexpr (F == NodeField::kSize) {
      return size_;
    } else if constexpr (F == NodeField::kUrl) {
      return std::string_view(text_base() + label_length(), url_length());
    } else if constexpr (F == NodeField::kRed) {
      return red_;
    } else if constexpr (F == NodeField::kGreen) {
      return green_;
    } else if constexpr (F == NodeField::kBlue) {
      return blue_;
    } else {
      return has(kShowLabelValue);
    }
  }

  // The text setters allocate and may throw std::bad_alloc, leaving the record as it was.
  void set_label(std::string_view text) { assign_texts(text, url(), true, has(kUrl)); }
  void set_url(std::string_view text) { assign_texts(label(), text, has(kLabel), true); }
  // Sets whichever texts are given with at most one allocation; the others stay.
  void set_texts(std::optional<std::string_view> label, std::optional<std::string_view> url,
                 TextChunks* chunks = nullptr) {
    assign_texts(label ? label : this->label(), url ? url : this->url(), label || has(kLabel),
                 url || has(kUrl), chunks);
  }
  // The same for an update that holds no text yet, as a record's reader makes it;
  // inline, as the reader calls it for every node of a document.
  void set_new_texts(std::optional<std::string_view> label, std::optional<std::string_view> url,
                     TextChunks* chunks) {
    const std::size_t label_size = label ? label->size() : 0;
    const std::size_t url_size = url ? url->size() : 0;
    const std::size_t total = label_size + url_size;
    // Only the texts of a chunk or of the inline bytes are placed here; both have
    // short lengths, without the long texts' prefix.
    static_assert(TextChunks::kMaxShared < kLongTexts);
    if (total > kInline && (chunks == nullptr || total > TextChunks::kMaxShared)) {
      assign_texts(label, url, label.has_value(), url.has_value(), chunks);
      return;
    }
    char* target = texts_;
    if (total > kInline) {
      target = chunks->place(total);
      const std::uintptr_t address = reinterpret_cast<std::uintptr_t>(target) | kInChunk;
      std::memcpy(texts_, &address, sizeof address);
    }
    if (label_size != 0) copy_short(target, label->data(), label_size);
    if (url_size != 0) copy_short(target + label_size, url->data(), url_size);
    label_length_ = static_cast<std::uint16_t>(label_size);
    url_length_ = static_cast<std::uint16_t>(url_size);
    flags_ = static_cast<std::uint8_t>(flags_ | (label ? kLabel : 0) | (url ? kUrl : 0));
  }
  void set_size(float value) noexcept {
    size_ = value;
    flags_ |= kSize;
  }
  void set_red(std::uint8_t value) noexcept { set_colour(red_, kRed, value); }
  void set_green(std::uint8_t value) noexcept { set_colour(green_, kGreen, value); }
  void set_blue(std::uint8_t value) noexcept { set_colour(blue_, kBlue, value); }
  void set_show_label(bool value) noexcept {
    flags_ = static_cast<std::uint8_t>((flags_ & ~kShowLabelValue) | kShowLabel |
                                       (value ? kShowLabelValue : 0));
  }

  // Overlays every field present in `update`; absent fields keep their stored value.
  // All or nothing: if the new text block cannot be allocated, nothing changes.
  void merge(NodeUpdate&& update) { static_cast<void>(merge_reversibly(update)); }
  // The same, leaving in `update` the values it displaced; the flags it returns let
  // undo_merge put them back without allocating.
  std::uint8_t merge_reversibly(NodeUpdate& update);
  void undo_merge(NodeUpdate& displaced, std::uint8_t fields) noexcept {
    exchange(displaced, fields);
  }

  friend bool operator==(const NodeUpdate& a, const NodeUpdate& b) noexcept;

 private:
  enum Flag : std::uint8_t {
    kLabel = field_bit(NodeField::kLabel),
    kSize = field_bit(NodeField::kSize),
    kUrl = field_bit(NodeField::kUrl),
    kRed = field_bit(NodeField::kRed),
    kGreen = field_bit(NodeField::kGreen),
    kBlue = field_bit(NodeField::kBlue),
    kShowLabel = field_bit(NodeField::kShowLabel),
    kShowLabelValue = 1u << kNodeFieldCount,  // the show_label value itself
  };
  bool has(std::uint8_t flag) const noexcept { return (flags_ & flag) != 0; }
  void set_colour(std::uint8_t& field, std::uint8_t flag, std::uint8_t value) noexcept {
    field = value;
    flags_ |= flag;
  }
  // Texts that do not fit inline go to `chunks` when given and short enough, else
  // to a heap block of their own.
  void assign_texts(std::optional<std::string_view> label, std::optional<std::string_view> url,
                    bool has_label, bool has_url, TextChunks* chunks = nullptr);
  void release_texts() noexcept;
  std::optional<std::uint8_t> colour(std::uint8_t value, std::uint8_t flag) const noexcept {
    if (!has(flag)) return std::nullopt;
    return value;
  }
  std::size_t label_length() const noexcept {
    if (label_length_ != kLongTexts) return label_length_;
    std::uint64_t n;
    std::memcpy(&n, heap_block(), 8);
    return static_cast<std::size_t>(n);
  }
  std::size_t url_length() const noexcept {
    if (url_length_ != kLongTexts) return url_length_;
    std::uint64_t n;
    std::memcpy(&n, heap_block() + 8, 8);
    return static_cast<std::size_t>(n);
  }
  bool inline_texts() const noexcept {
    return label_length_ != kLongTexts && std::uint64_t{label_length_} + url_length_ <= kInline;
  }
  // The texts' block, own or in a chunk (the pointer's low bit tells which).
  char* heap_block() const noexcept {
    std::uintptr_t address;
    std::memcpy(&address, texts_, sizeof address);
    return reinterpret_cast<char*>(address & ~kInChunk);
  }
  bool in_chunk() const noexcept {
    std::uintptr_t address;
    std::memcpy(&address, texts_, sizeof address);
    return (address & kInChunk) != 0;
  }
  const char* text_base() const noexcept {
    if (inline_texts()) return texts_;
    return label_length_ == kLongTexts ? heap_block() + kLongPrefix : heap_block();
  }
  void swap_texts(NodeUpdate& other) noexcept;
  // Swaps the fields whose flag bits are in `fields` (label and url together).
  void exchange(NodeUpdate& other, std::uint8_t fields) noexcept;

  // Label bytes then url bytes, inline or in a heap block whose pointer sits in
  // the first bytes of texts_, its low bit set when the block is a place in a
  // chunk. Lengths of kLongTexts or more are kept in a 16-byte prefix of an own
  // block instead (never in a chunk), flagged by kLongTexts in both fields:
  // 16-bit fields cover every common text and keep a node entry small.
  static constexpr std::uintptr_t kInChunk = 1;
  static constexpr std::uint16_t kLongTexts = 0xffffu;
  static constexpr std::uint32_t kInline = 16;
  static constexpr std::size_t kLongPrefix = 16;
  char texts_[kInline] = {};
  std::uint16_t label_length_ = 0;
  std::uint16_t url_length_ = 0;
  float size_ = 0.0f;
  std::uint8_t red_ = 0;
  std::uint8_t green_ = 0;
  std::uint8_t blue_ = 0;
  std::uint8_t flags_ = 0;
};

// Every byte here is paid once per node of a diff.
static_assert(sizeof(NodeUpdate) == 28);

}  // namespace kovra

// NodeUpdate: the seven optional attributes of one node, packed into 32 bytes
// because a diff may hold millions of them. Label and url share 16 inline bytes
// (typical labels fit) and move to one heap block only when they do not.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>

namespace kovra {

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

  // The text setters allocate and may throw std::bad_alloc, leaving the record as it was.
  void set_label(std::string_view text) { assign_texts(text, url(), true, has(kUrl)); }
  void set_url(std::string_view text) { assign_texts(label(), text, has(kLabel), true); }
  // Sets whichever texts are given with at most one allocation; the others stay.
  void set_texts(std::optional<std::string_view> label, std::optional<std::string_view> url) {
    assign_texts(label ? label : this->label(), url ? url : this->url(), label || has(kLabel),
                 url || has(kUrl));
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
  void merge(NodeUpdate&& update);

  friend bool operator==(const NodeUpdate& a, const NodeUpdate& b) noexcept;

 private:
  enum Flag : std::uint8_t {
    kLabel = 1,
    kSize = 2,
    kUrl = 4,
    kRed = 8,
    kGreen = 16,
    kBlue = 32,
    kShowLabel = 64,
    kShowLabelValue = 128,
  };
  bool has(std::uint8_t flag) const noexcept { return (flags_ & flag) != 0; }
  void set_colour(std::uint8_t& slot, std::uint8_t flag, std::uint8_t value) noexcept {
    slot = value;
    flags_ |= flag;
  }
  void assign_texts(std::optional<std::string_view> label, std::optional<std::string_view> url,
                    bool has_label, bool has_url);
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
  char* heap_block() const noexcept {
    char* block;
    std::memcpy(&block, texts_, sizeof block);
    return block;
  }
  const char* text_base() const noexcept {
    if (inline_texts()) return texts_;
    return label_length_ == kLongTexts ? heap_block() + kLongPrefix : heap_block();
  }
  void swap_texts(NodeUpdate& other) noexcept;

  // Label bytes then url bytes, inline or in a heap block whose pointer sits in
  // the first bytes of texts_. Lengths of 4 GiB or more are kept in a 16-byte
  // prefix of the block instead, flagged by kLongTexts in both fields.
  static constexpr std::uint32_t kLongTexts = 0xffffffffu;
  static constexpr std::uint32_t kInline = 16;
  static constexpr std::size_t kLongPrefix = 16;
  char texts_[kInline] = {};
  std::uint32_t label_length_ = 0;
  std::uint32_t url_length_ = 0;
  float size_ = 0.0f;
  std::uint8_t red_ = 0;
  std::uint8_t green_ = 0;
  std::uint8_t blue_ = 0;
  std::uint8_t flags_ = 0;
};

}  // namespace kovra

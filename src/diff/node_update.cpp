#include "diff/node_update.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

namespace kovra {

void NodeUpdate::swap_texts(NodeUpdate& other) noexcept {
  char held[kInline];
  std::memcpy(held, texts_, kInline);
  std::memcpy(texts_, other.texts_, kInline);
  std::memcpy(other.texts_, held, kInline);
  std::swap(label_length_, other.label_length_);
  std::swap(url_length_, other.url_length_);
}

NodeUpdate::NodeUpdate(const NodeUpdate& other)
    : size_(other.size_),
      red_(other.red_),
      green_(other.green_),
      blue_(other.blue_),
      flags_(other.flags_) {
  const std::uint8_t text_flags = other.flags_ & (kLabel | kUrl);
  flags_ = static_cast<std::uint8_t>(flags_ & ~(kLabel | kUrl));
  if (text_flags != 0) {
    assign_texts(other.label(), other.url(), (text_flags & kLabel) != 0, (text_flags & kUrl) != 0);
  }
}

NodeUpdate::NodeUpdate(NodeUpdate&& other) noexcept
    : size_(other.size_),
      red_(other.red_),
      green_(other.green_),
      blue_(other.blue_),
      flags_(std::exchange(other.flags_, 0)) {
  swap_texts(other);  // leaves `other` with empty inline texts, nothing to free
}

NodeUpdate& NodeUpdate::operator=(NodeUpdate other) noexcept {
  swap_texts(other);
  std::swap(size_, other.size_);
  std::swap(red_, other.red_);
  std::swap(green_, other.green_);
  std::swap(blue_, other.blue_);
  std::swap(flags_, other.flags_);
  return *this;
}

void TextChunks::start_chunk() {
  void* fresh = std::aligned_alloc(kChunkSize, kChunkSize);
  if (fresh == nullptr) throw std::bad_alloc();
#ifdef KOVRA_TEST_HOOKS
  ++live_chunks;
#endif
  const std::uint64_t shares = 1;  // the writer's own
  std::memcpy(fresh, &shares, sizeof shares);
  release(chunk_);
  chunk_ = static_cast<char*>(fresh);
  used_ = kHeader;
}

void TextChunks::release(char* chunk) noexcept {
  if (chunk == nullptr) return;
  std::uint64_t shares;
  std::memcpy(&shares, chunk, sizeof shares);
  if (--shares == 0) {
    std::free(chunk);
#ifdef KOVRA_TEST_HOOKS
    --live_chunks;
#endif
  } else {
    std::memcpy(chunk, &shares, sizeof shares);
  }
}

void NodeUpdate::release_texts() noexcept {
  if (inline_texts()) return;
  if (in_chunk()) {
    TextChunks::release_text(heap_block());
  } else {
    delete[] heap_block();
  }
}

NodeUpdate::~NodeUpdate() { release_texts(); }

void NodeUpdate::assign_texts(std::optional<std::string_view> label,
                              std::optional<std::string_view> url, bool has_label, bool has_url,
                              TextChunks* chunks) {
  const std::size_t label_size = has_label && label ? label->size() : 0;
  const std::size_t url_size = has_url && url ? url->size() : 0;
  const bool long_texts = label_size >= kLongTexts || url_size >= kLongTexts;
  const std::size_t prefix = long_texts ? kLongPrefix : 0;
  const std::size_t total = prefix + label_size + url_size;
  // Build the new storage completely before touching the old: `label` and `url`
  // may point into it, and the allocation is the only step that can fail.
  char fresh[kInline] = {};
  char* target = fresh;
  if (total > kInline) {
    std::uintptr_t address;
    if (chunks != nullptr && !long_texts && total <= TextChunks::kMaxShared) {
      target = chunks->place(total);
      address = reinterpret_cast<std::uintptr_t>(target) | kInChunk;
    } else {
      target = new char[total];
      address = reinterpret_cast<std::uintptr_t>(target);
    }
    std::memcpy(fresh, &address, sizeof address);
  }
  if (long_texts) {
    const std::uint64_t lengths[2] = {label_size, url_size};
    std::memcpy(target, lengths, kLongPrefix);
  }
  if (label_size != 0) std::memcpy(target + prefix, label->data(), label_size);
  if (url_size != 0) std::memcpy(target + prefix + label_size, url->data(), url_size);
  release_texts();
  std::memcpy(texts_, fresh, kInline);
  label_length_ = long_texts ? kLongTexts : static_cast<std::uint16_t>(label_size);
  url_length_ = long_texts ? kLongTexts : static_cast<std::uint16_t>(url_size);
  flags_ = static_cast<std::uint8_t>((flags_ & ~(kLabel | kUrl)) | (has_label ? kLabel : 0) |
                                     (has_url ? kUrl : 0));
}

std::uint8_t NodeUpdate::merge_reversibly(NodeUpdate& update) {
  auto fields = static_cast<std::uint8_t>(update.flags_ & (kShowLabelValue - 1));
  if (update.has(kShowLabel)) fields |= kShowLabelValue;
  const bool new_label = update.has(kLabel);
  const bool new_url = update.has(kUrl);
  if (new_label != new_url) {
    // One text changes and the other stays: the merged pair is built in `update`,
    // whose own texts are then done with, so that the exchange below leaves ours
    // there whole.
    update.assign_texts(new_label ? update.label() : label(), new_url ? update.url() : url(),
                        new_label || has(kLabel), new_url || has(kUrl));
  }
  if (new_label || new_url) fields |= kLabel | kUrl;
  exchange(update, fields);
  return fields;
}

void NodeUpdate::exchange(NodeUpdate& other, std::uint8_t fields) noexcept {
  if ((fields & (kLabel | kUrl)) != 0) swap_texts(other);
  if ((fields & kSize) != 0) std::swap(size_, other.size_);
  if ((fields & kRed) != 0) std::swap(red_, other.red_);
  if ((fields & kGreen) != 0) std::swap(green_, other.green_);
  if ((fields & kBlue) != 0) std::swap(blue_, other.blue_);
  const std::uint8_t mine = flags_;
  flags_ = static_cast<std::uint8_t>((mine & ~fields) | (other.flags_ & fields));
  other.flags_ = static_cast<std::uint8_t>((other.flags_ & ~fields) | (mine & fields));
}

bool operator==(const NodeUpdate& a, const NodeUpdate& b) noexcept {
  auto same_size = [](std::optional<float> x, std::optional<float> y) {
    if (x.has_value() != y.has_value()) return false;
    return !x || std::memcmp(&*x, &*y, sizeof(float)) == 0;  // bit for bit, NaN included
  };
  return a.label() == b.label() && same_size(a.size(), b.size()) && a.url() == b.url() &&
         a.red() == b.red() && a.green() == b.green() && a.blue() == b.blue() &&
         a.show_label() == b.show_label();
}

}  // namespace kovra

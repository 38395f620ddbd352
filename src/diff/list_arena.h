// ListArena: the memory of one diff's small per-node arrays (target lists and
// reverse lists). Most of them hold a handful of entries and grow one at a time;
// taking their blocks from size classes that the diff keeps, instead of from
// malloc and realloc, saves most of the cost of growing them. The classes run
// 16, 24, 32, 48, 64 ... 4096 bytes (two per octave, so a block is on average
// more than 80% used); those blocks come from chunks and go back to a free list
// per class when a list grows or is released; larger ones are plain malloc
// blocks. Chunks are returned when the arena is cleared or dies.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "diff/huge_pages.h"
#include "diff/raw_blocks.h"

namespace kovra {

class ListArena {
 public:
  static constexpr std::size_t kSmallest = 16;
  static constexpr std::size_t kLargest = 4096;

  ListArena() noexcept = default;
  ListArena(ListArena&& other) noexcept { swap(other); }
  ListArena& operator=(ListArena&& other) noexcept {
    ListArena old(std::move(other));
    swap(old);
    return *this;
  }
  ListArena(const ListArena&) = delete;
  ListArena& operator=(const ListArena&) = delete;

  // The size of the smallest class that holds `bytes` (up to kLargest).
  static constexpr std::size_t class_size(std::size_t bytes) noexcept {
    if (bytes <= kSmallest) return kSmallest;
    const int octave = 63 - __builtin_clzll(bytes - 1);  // 2^octave < bytes <= 2^(octave+1)
    const std::size_t half_step = std::size_t{3} << (octave - 1);
    return bytes <= half_step ? half_step : std::size_t{2} << octave;
  }

  // A block of `bytes`: up to kLargest, a class size.
  void* allocate(std::size_t bytes) {
    if (bytes > kLargest) {
      void* block = malloc_block(bytes);
      if (block == nullptr) throw std::bad_alloc();
      return block;
    }
    return take(class_of(bytes), bytes);
  }

  // Moves a full block of `bytes` (a class size up to kLargest / 2) into a block
  // twice its size, which it returns, and takes the old one back: the step of a
  // list that grows one entry at a time. Either completes or throws
  // std::bad_alloc with the old block as it was.
  void* double_block(void* block, std::size_t bytes) {
    const int c = class_of(bytes);
    void* grown = take(c + 2, 2 * bytes);  // two classes up: twice the size
    std::memcpy(grown, block, bytes);
    push_free(block, c);
    return grown;
  }

  // Room for `bytes` of blocks (class sizes) in the current chunk, in a chunk
  // of its own if need be: a loader that knows what its lists will take asks
  // once, and a chunk filled at once may take huge pages.
  void reserve(std::size_t bytes) {
    if (static_cast<std::size_t>(end_ - next_) >= bytes) return;
    add_chunk(bytes);
    advise_huge_pages(next_, bytes);
  }

  void release(void* block, std::size_t bytes) noexcept {
    if (block == nullptr) return;
    if (bytes > kLargest) {
      std::free(block);
      return;
    }
    push_free(block, class_of(bytes));
  }

  // Bytes of the chunks (free blocks included); large blocks belong to their lists.
  std::size_t heap_bytes() const noexcept {
    return chunk_bytes_ + chunks_.capacity() * sizeof(chunks_[0]);
  }

  // Gives back every chunk; large blocks must have been released already.
  void clear() noexcept { ListArena().swap(*this); }

 private:
  // Chunks double from the first to the last size, so a small diff stays small.
  static constexpr std::size_t kFirstChunk = 1024;
  static constexpr std::size_t kLastChunk = 64 * 1024;
  static constexpr int kClasses = 17;  // 16, 24, 32, 48 .. 4096 bytes
  struct FreeBlock {
    FreeBlock* next;
  };

  static int class_of(std::size_t bytes) noexcept {
    const int octave = 63 - __builtin_clzll(bytes);  // 2^octave <= bytes < 2^(octave+1)
    return 2 * (octave - 4) + (bytes != std::size_t{1} << octave ? 1 : 0);
  }

  // A block of class `c`, which is `bytes` long.
  void* take(int c, std::size_t bytes) {
    FreeBlock*& head = free_[c];
    if (head != nullptr) return std::exchange(head, head->next);
    if (static_cast<std::size_t>(end_ - next_) < bytes) add_chunk(bytes);
    return std::exchange(next_, next_ + bytes);
  }

  void push_free(void* block, int c) noexcept { free_[c] = new (block) FreeBlock{free_[c]}; }

  // A new chunk that holds at least `bytes`.
  [[gnu::noinline]] void add_chunk(std::size_t bytes) {
    chunks_.reserve(chunks_.size() + 1);
    const std::size_t size =
        std::max(bytes, chunks_.size() >= 6 ? kLastChunk : kFirstChunk << chunks_.size());
    std::unique_ptr<char[]> chunk(new char[size]);
    // The rest of the current chunk goes to the free lists, largest blocks first.
    for (int c = kClasses - 1; c >= 0; --c) {
      const std::size_t piece = std::size_t{c % 2 == 0 ? 16u : 24u} << (c / 2);
      while (static_cast<std::size_t>(end_ - next_) >= piece) {
        push_free(next_, c);
        next_ += piece;
      }
    }
    next_ = chunk.get();
    end_ = next_ + size;
    chunks_.push_back(std::move(chunk));
    chunk_bytes_ += size;
  }

  void swap(ListArena& other) noexcept {
    std::swap(chunks_, other.chunks_);
    std::swap(free_, other.free_);
    std::swap(next_, other.next_);
    std::swap(end_, other.end_);
    std::swap(chunk_bytes_, other.chunk_bytes_);
  }

  std::vector<std::unique_ptr<char[]>> chunks_;
  FreeBlock* free_[kClasses] = {};
  char* next_ = nullptr;
  char* end_ = nullptr;
  std::size_t chunk_bytes_ = 0;
};

}  // namespace kovra

// ListArena: the memory of one diff's small per-node arrays (target lists and
// reverse lists). Most of them hold a handful of entries and grow one at a time;
// taking their blocks from size classes that the diff keeps, instead of from
// malloc and realloc, saves most of the cost of growing them. A block is a power
// of two of at least 16 bytes; those up to kLargest come from chunks and go back
// to a free list per size when a list grows or is released; larger ones are
// plain malloc blocks. Chunks are returned when the arena is cleared or dies.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <new>
#include <utility>
#include <vector>

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

  // A block of `bytes`: up to kLargest, a power of two no smaller than kSmallest.
  void* allocate(std::size_t bytes) {
    if (bytes > kLargest) {
      void* block = std::malloc(bytes);
      if (block == nullptr) throw std::bad_alloc();
      return block;
    }
    FreeBlock*& head = free_[class_of(bytes)];
    if (head != nullptr) return std::exchange(head, head->next);
    if (static_cast<std::size_t>(end_ - next_) < bytes) add_chunk();
    return std::exchange(next_, next_ + bytes);
  }

  void release(void* block, std::size_t bytes) noexcept {
    if (block == nullptr) return;
    if (bytes > kLargest) {
      std::free(block);
      return;
    }
    FreeBlock*& head = free_[class_of(bytes)];
    head = new (block) FreeBlock{head};
  }

  // Gives back every chunk; large blocks must have been released already.
  void clear() noexcept { ListArena().swap(*this); }

 private:
  // Chunks double from the first to the last size, so a small diff stays small.
  static constexpr std::size_t kFirstChunk = 1024;
  static constexpr std::size_t kLastChunk = 64 * 1024;
  static constexpr int kClasses = 9;  // 16 .. 4096 bytes
  struct FreeBlock {
    FreeBlock* next;
  };

  static int class_of(std::size_t bytes) noexcept { return __builtin_ctzll(bytes) - 4; }

  void add_chunk() {
    chunks_.reserve(chunks_.size() + 1);
    const std::size_t size = chunks_.size() >= 6 ? kLastChunk : kFirstChunk << chunks_.size();
    std::unique_ptr<char[]> chunk(new char[size]);
    // The rest of the current chunk goes to the free lists, largest blocks first.
    for (std::size_t bytes = kLargest; bytes >= kSmallest; bytes /= 2) {
      while (static_cast<std::size_t>(end_ - next_) >= bytes) {
        release(next_, bytes);
        next_ += bytes;
      }
    }
    next_ = chunk.get();
    end_ = next_ + size;
    chunks_.push_back(std::move(chunk));
  }

  void swap(ListArena& other) noexcept {
    std::swap(chunks_, other.chunks_);
    std::swap(free_, other.free_);
    std::swap(next_, other.next_);
    std::swap(end_, other.end_);
  }

  std::vector<std::unique_ptr<char[]>> chunks_;
  FreeBlock* free_[kClasses] = {};
  char* next_ = nullptr;
  char* end_ = nullptr;
};

}  // namespace kovra

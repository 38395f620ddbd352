// BoundedIndex: the position index behind every keyed table of the core. It maps
// a key to the position of its entry in an array that the owner keeps (the owner
// decides the iteration order; the index only finds things).
//
// Why not a stock hash table: the ids come from callers and documents, so the
// cost of an operation must be bounded whatever the keys, and that needs the
// probe lengths, which stock tables do not expose. The hash keys are secret
// (node_id.h), so nobody outside the process can compute ids that collide; the
// bound is for whatever the keys let through anyway:
//
// - Open addressing over buckets of eight lanes (one cache line each): eight
//   32-bit tags (hash bits, or the key itself for index keys) then the eight
//   positions, so that one bucket is matched with a few SIMD compares. Buckets
//   are visited in triangular order from the home bucket.
// - Bucket counts are powers of two, and in large tables also 3·2^(k-1) between
//   them, so a table grows by 3/2 and 4/3 in turn rather than doubling: the
//   buckets then take at most 16 bytes per key at any count instead of 21.
// - No key is ever placed more than probe_limit() buckets from its home, so no
//   lookup, insertion or removal visits more. An insertion that finds no room
//   within the limit, or after which the placements since the last rebuild would
//   have visited too many buckets beyond their homes (would_crowd()), rebuilds the
//   table under a fresh secret key; after kMaxRekeys such rebuilds since the table
//   last grew, the index turns into a balanced tree, O(log n) per operation
//   whatever the keys. The tree tries hashing again, under another fresh key,
//   once it has grown by the step a table grows by, so it is no lasting penalty.
//   Under random keys none of this ever happens.
// - Removal leaves a tombstone unless the bucket has never been full, so no
//   removal walks a cluster; tombstones count towards the load and go at the
//   next rebuild, which the load bound makes amortised O(1) per insertion.
//
// Positions are the owner's: which key a table hashes with, and whether it
// re-keys, never shows in any order.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "diff/huge_pages.h"
#include "diff/node_id.h"
#include "diff/probe_count.h"
#include "diff/raw_blocks.h"

namespace kovra {

// Keys that are node ids: the lane holds the high 32 bits of the hash, which
// also give the home bucket, so a table grows without reading its keys again; a
// tag match is confirmed against the owner's entry. The lowest of those bits is
// set, so no tag is zero, which is the tag of every open lane: a tag that
// matches is a live lane, and a lookup need not read its value to know it.
struct IdKeys {
  using Key = NodeId;
  static constexpr bool kTagIsKey = false;
  [[gnu::always_inline]] static std::uint64_t hash(const NodeId& id, HashKey key) noexcept {
    return hash_id(id, key) | (std::uint64_t{1} << 32);
  }
  static std::uint32_t tag(std::uint64_t hash, const NodeId&) noexcept {
    return static_cast<std::uint32_t>(hash >> 32);
  }
  struct Less {
    bool operator()(const NodeId& a, const NodeId& b) const noexcept {
      KOVRA_COUNT_PROBE();
      return a.low() != b.low() ? a.low() < b.low() : a.high() < b.high();
    }
  };
};

// Keys that are 32-bit interned numbers: the lane holds the key itself.
struct NumberKeys {
  using Key = std::uint32_t;
  static constexpr bool kTagIsKey = true;
  static std::uint64_t hash(std::uint32_t number, HashKey key) noexcept {
    return hash_number(number, key);
  }
  static std::uint32_t tag(std::uint64_t, std::uint32_t number) noexcept { return number; }
  struct Less {
    bool operator()(std::uint32_t a, std::uint32_t b) const noexcept {
      KOVRA_COUNT_PROBE();
      return a < b;
    }
  };
};

template <class Keys>
class BoundedIndex {
  struct Bucket;
  // An open lane (free or a tombstone) and the number of buckets visited to
  // reach it, counting its own; a null bucket when none within the limit had room.
  struct Room {
    Bucket* bucket;
    std::uint32_t lane;
    std::uint32_t steps;
  };

 public:
  using Key = typename Keys::Key;
  static constexpr std::uint32_t kMaxPosition = 0xfffffffdu;
  static constexpr unsigned kMaxRekeys = 3;
  static constexpr std::uint32_t kLanes = 8;   // per bucket
  static constexpr std::uint32_t kFilled = 6;  // most used lanes per bucket, on average

  // Buckets a lookup may visit in a table of 2^bits to 2^(bits+1) - 1 buckets
  // (each bucket once in a table of fewer buckets than that). Measured under
  // random keys filling a table to its highest load (3/4), an insertion needs
  // more than 2 buckets with probability 0.06, and each further bucket divides
  // that by about 3.2; so at 12 + bits the chance that a table of n keys ever
  // re-keys stays below 1e-9 at every size, while the limit stays O(log n).
  static constexpr std::uint32_t probe_limit(unsigned bits) noexcept { return 12 + bits; }

  BoundedIndex() noexcept = default;
  BoundedIndex(BoundedIndex&& other) noexcept { swap(other); }
  BoundedIndex& operator=(BoundedIndex&& other) noexcept {
    BoundedIndex old(std::move(other));
    swap(old);
    return *this;
  }
  BoundedIndex(const BoundedIndex&) = delete;
  BoundedIndex& operator=(const BoundedIndex&) = delete;
  ~BoundedIndex() { free_buckets(buckets_); }

  std::uint32_t size() const noexcept { return live_; }
  bool ordered() const noexcept { return tree_ != nullptr; }
  std::size_t bucket_count() const noexcept { return buckets_ ? count_ : 0; }
  // Bytes held outside the object: the buckets, or the tree's nodes (each its
  // value behind the four words of the node's links and colour).
  std::size_t heap_bytes() const noexcept {
    std::size_t bytes = bucket_count() * sizeof(Bucket);
    if (tree_) bytes += tree_->size() * (sizeof(typename Tree::value_type) + 4 * sizeof(void*));
    return bytes;
  }

  // Position of `key`, or kNone. key_at(pos) gives the key of the owner's entry
  // at `pos`.
  template <class KeyAt>
  [[gnu::always_inline]] std::uint32_t find(const Key& key, const KeyAt& key_at) const noexcept {
    // A tree has no buckets, so one test sends both it and an empty table aside.
    if (buckets_ == nullptr) [[unlikely]] {
      if (!tree_) return kNone;
      const auto it = tree_->find(key);
      return it == tree_->end() ? kNone : it->second;
    }
    const Located found = locate(key, key_at);
    return found.bucket ? found.bucket->values[found.lane] - 1 : kNone;
  }

  // find() with the hash_of() the caller computed ahead. The hash is a hint
  // like hint()'s: after a re-key it misses a key that is present, so a caller
  // that would insert on a miss looks the key up again with find() first.
  template <class KeyAt>
  [[gnu::always_inline]] std::uint32_t find_hashed(std::uint64_t hash, const Key& key,
                                                   const KeyAt& key_at) const noexcept {
    if (buckets_ == nullptr) [[unlikely]]
      return find(key, key_at);
    const Located found = locate_hashed<false>(hash, key, key_at);
    return found.bucket ? found.bucket->values[found.lane] - 1 : kNone;
  }

  // A lookup that may be followed by the insertion of the same key: `found` is
  // the key's position or kNone, and then `room` is the lane that insert()
  // would fill, so insert_probed() adds the key without hashing it and walking
  // its buckets again. Valid until the index next changes.
  struct Probe {
    std::uint32_t found;
    std::uint64_t hash;
    Room room;
  };
  template <class KeyAt>
  [[gnu::always_inline]] Probe probe(const Key& key, const KeyAt& key_at) const noexcept {
    return probe_hashed(Keys::hash(key, key_), key, key_at);
  }
  // probe() with the hash_of() taken under the present key (not a hint: a hash
  // taken before a re-key gives a wrong answer).
  template <class KeyAt>
  [[gnu::always_inline]] Probe probe_hashed(std::uint64_t hash, const Key& key,
                                            const KeyAt& key_at) const noexcept {
    // As in find(): a tree or an empty table has no buckets. Neither offers
    // room, so insert_probed() takes the full insert() for them.
    if (buckets_ == nullptr) [[unlikely]]
      return {find(key, key_at), 0, {nullptr, 0, 0}};
    const Located found = locate_hashed<true>(hash, key, key_at);
    return {found.bucket ? found.bucket->values[found.lane] - 1 : kNone, found.hash, found.room};
  }

  // insert() of a key that probe() did not find, with the probe's result: the
  // same placement, and the same growth and re-keying when they are due.
  template <class KeyAt>
  void insert_probed(const Probe& probe, const Key& key, std::uint32_t pos, const KeyAt& key_at) {
    if (tree_ || used_ >= max_used_ || probe.room.bucket == nullptr ||
        would_crowd(probe.room.steps)) [[unlikely]] {
      insert(key, pos, key_at);
      return;
    }
    place(probe.room, Keys::tag(probe.hash, key), pos);
  }

  // Adds an absent `key` at `pos` (at most kMaxPosition). Either completes or throws std::bad_alloc
  // with every key still found at its position.
  template <class KeyAt>
  void insert(const Key& key, std::uint32_t pos, const KeyAt& key_at) {
    if (tree_ && live_ >= tree_retry_at_) [[unlikely]]
      leave_tree(key_at);
    if (!tree_) {
      if (used_ >= max_used_) grow(live_ + 1, true, key_at);
      while (!tree_) {
        // The new key is not in the owner's array yet, so a rebuild must come
        // before it is placed, never after.
        const std::uint64_t hash = Keys::hash(key, key_);
        const Room room = find_room(buckets_, count_, probe_limit_, hash);
        if (room.bucket != nullptr && !would_crowd(room.steps)) {
          place(room, Keys::tag(hash, key), pos);
          return;
        }
        rekey(key_at);
      }
    }
    tree_->emplace(key, pos);
    ++live_;
  }

  // Removes `key`, which must be present.
  template <class KeyAt>
  void erase(const Key& key, const KeyAt& key_at) noexcept {
    --live_;
    if (tree_) [[unlikely]] {
      tree_->erase(key);
      return;
    }
    const Located found = locate(key, key_at);
    Bucket& bucket = *found.bucket;
    // A bucket with a free lane has never been full since the last rebuild, so
    // no key was pushed past it: its lane can simply become free again.
    bucket.tags[found.lane] = 0;
    if (free_lanes(bucket) != 0) {
      bucket.values[found.lane] = 0;
      --used_;
    } else {
      bucket.values[found.lane] = kTombstone;
    }
  }

  // Records that `key`, which must be present, now sits at `pos`.
  template <class KeyAt>
  void repoint(const Key& key, std::uint32_t pos, const KeyAt& key_at) noexcept {
    if (tree_) [[unlikely]] {
      tree_->find(key)->second = pos;
      return;
    }
    const Located found = locate(key, key_at);
    found.bucket->values[found.lane] = pos + 1;
  }

  // Room for `count` keys in all without growing. A table sized ahead is about
  // to be filled, so its buckets are advised as huge pages; those of an empty
  // table are still untouched then, since calloc does not write a fresh block.
  template <class KeyAt>
  void reserve(std::size_t count, const KeyAt& key_at) {
    if (!tree_ && count > max_used_) {
      grow(count, false, key_at);
      if (buckets_) advise_huge_pages(buckets_, std::size_t{count_} * sizeof(Bucket));
    }
  }

  // Forgets every key; the buckets and the key stay.
  void clear() noexcept {
    tree_.reset();
    if (buckets_)
      std::memset(static_cast<void*>(buckets_), 0, std::size_t{count_} * sizeof(Bucket));
    live_ = 0;
    used_ = 0;
    placements_ = 0;
    detours_ = 0;
    rekeys_ = 0;
  }

 private:
  struct alignas(64) Bucket {
    std::uint32_t tags[kLanes];
    std::uint32_t values[kLanes];  // position + 1; 0 when free, kTombstone once removed
  };
  struct Located {
    Bucket* bucket;  // null when absent
    std::uint32_t lane;
    std::uint64_t hash;  // with the room, only when locate() was asked for it
    Room room;
  };
  using Tree = std::map<Key, std::uint32_t, typename Keys::Less>;
  static constexpr std::uint32_t kTombstone = 0xffffffffu;
  static constexpr unsigned kAllLanes = (1u << kLanes) - 1;
  static constexpr std::uint32_t kMaxBuckets = std::uint32_t{1} << 29;

  // Under random keys an insertion at the highest load visits 0.1 buckets
  // beyond its home on average; keys that share home buckets visit more and
  // more of them. When the detours since the last rebuild pass half the
  // placements (plus a slack that small tables never reach by chance), the
  // keys are crowding some buckets, and the table moves to the next key long
  // before any lookup nears the probe limit.
  static constexpr std::uint64_t kDetourSlack = 64;
  bool would_crowd(std::uint32_t steps) const noexcept {
    return detours_ + steps - 1 > (placements_ + 1) / 2 + kDetourSlack;
  }

  // Bit i set for each lane i whose tag is `tag`, or whose value is `value`.
  static unsigned lanes_equal(const std::uint32_t* lanes, std::uint32_t x) noexcept {
#if defined(__SSE2__)
    const __m128i wanted = _mm_set1_epi32(static_cast<int>(x));
    const __m128i low = _mm_load_si128(reinterpret_cast<const __m128i*>(lanes));
    const __m128i high = _mm_load_si128(reinterpret_cast<const __m128i*>(lanes + 4));
    return static_cast<unsigned>(
        _mm_movemask_ps(_mm_castsi128_ps(_mm_cmpeq_epi32(low, wanted))) |
        (_mm_movemask_ps(_mm_castsi128_ps(_mm_cmpeq_epi32(high, wanted))) << 4));
#else
    unsigned bits = 0;
    for (std::uint32_t i = 0; i < kLanes; ++i) bits |= unsigned{lanes[i] == x} << i;
    return bits;
#endif
  }
  static unsigned free_lanes(const Bucket& bucket) noexcept {
    return lanes_equal(bucket.values, 0);
  }
  static unsigned open_lanes(const Bucket& bucket) noexcept {
    return free_lanes(bucket) | lanes_equal(bucket.values, kTombstone);
  }

  // The high half of the hash scaled to the bucket count: the bits that an id's
  // tag keeps, so a rebuild under the same key places ids without reading them.
  static std::uint32_t home_of(std::uint64_t hash, std::uint32_t count) noexcept {
    return static_cast<std::uint32_t>(((hash >> 32) * count) >> 32);
  }
  // The bucket after `b` on a walk at `step`. The step never exceeds the bucket
  // count (see limit_for()), so one subtraction wraps it.
  static std::uint32_t next_bucket(std::uint32_t b, std::uint32_t step,
                                   std::uint32_t count) noexcept {
    b += step;
    return b >= count ? b - count : b;
  }

  // Triangular offsets T(i) = i(i+1)/2 visit every bucket of a power-of-two
  // table within its first `count` steps, so a walk there may stop at the count.
  // Modulo any other count they may repeat: T(i) and T(j) meet when the count
  // divides T(j) - T(i). Within a walk of `limit` steps that difference is below
  // limit(limit+1)/2, so a count above that sees `limit` distinct buckets on every
  // walk, as a power of two does, and the probe limit keeps its meaning there.
  static constexpr std::uint32_t limit_for(std::uint32_t count) noexcept {
    const std::uint32_t limit = probe_limit(static_cast<unsigned>(std::bit_width(count) - 1));
    return limit < count ? limit : count;
  }
  static constexpr bool walks_distinct(std::uint32_t count) noexcept {
    const std::uint64_t limit = probe_limit(static_cast<unsigned>(std::bit_width(count) - 1));
    return count > limit * (limit + 1) / 2;
  }
  // The bucket count after `count`: 2^k, then 3·2^(k-1) once that size walks
  // distinct buckets, then 2^(k+1). 3·2^(k-1) is first allowed at 192 buckets.
  static constexpr std::uint32_t next_count(std::uint32_t count) noexcept {
    if (!std::has_single_bit(count)) return count / 3 * 4;
    const std::uint32_t between = count / 2 * 3;
    return between > count && walks_distinct(between) ? between : count * 2;
  }

  // calloc rather than the aligned operator new, which a wheel built for old
  // systems cannot rely on, or aligned_alloc and memset: a large table then
  // comes as fresh zero pages, not written twice. The block's own address sits
  // just before the aligned buckets.
  static Bucket* allocate_buckets(std::uint32_t count) {
    void* block = calloc_block(std::size_t{count} * sizeof(Bucket) + alignof(Bucket));
    if (block == nullptr) throw std::bad_alloc();
    const auto address = reinterpret_cast<std::uintptr_t>(block) + sizeof(void*);
    void* buckets =
        reinterpret_cast<void*>((address + alignof(Bucket) - 1) & ~(alignof(Bucket) - 1));
    std::memcpy(static_cast<char*>(buckets) - sizeof(void*), &block, sizeof(void*));
    return static_cast<Bucket*>(buckets);
  }
  static void free_buckets(Bucket* buckets) noexcept {
    if (buckets == nullptr) return;
    void* block;
    std::memcpy(&block, reinterpret_cast<char*>(buckets) - sizeof(void*), sizeof(void*));
    std::free(block);
  }

  // Where the key stands (a null bucket when absent). With kFindRoom, also the hash
  // and the first open lane on the way: the walk ends at the first bucket with a
  // free lane, so that is the lane find_room() would pick.
  template <bool kFindRoom = false, class KeyAt>
  [[gnu::always_inline]] Located locate(const Key& key, const KeyAt& key_at) const noexcept {
    if (!buckets_) return Located{nullptr, 0, 0, {nullptr, 0, 0}};
    return locate_hashed<kFindRoom>(Keys::hash(key, key_), key, key_at);
  }
  template <bool kFindRoom, class KeyAt>
  [[gnu::always_inline]] Located locate_hashed(std::uint64_t hash, const Key& key,
                                               const KeyAt& key_at) const noexcept {
    Located found{nullptr, 0, 0, {nullptr, 0, 0}};
    if constexpr (kFindRoom) found.hash = hash;
    const std::uint32_t tag = Keys::tag(hash, key);
    std::uint32_t b = home_of(hash, count_);
    // A table with buckets has a probe limit of at least one.
    for (std::uint32_t step = 1;; ++step) {
      KOVRA_COUNT_PROBE();
      Bucket& bucket = buckets_[b];
      for (unsigned match = lanes_equal(bucket.tags, tag); match != 0; match &= match - 1) {
        const auto lane = static_cast<std::uint32_t>(__builtin_ctz(match));
        const std::uint32_t value = bucket.values[lane];
        if constexpr (Keys::kTagIsKey) {
          // An open lane's tag is zero, which an index key may be too.
          if (value + 1 <= 1) continue;  // free (0) or a tombstone
        } else if (value + 1 <= 1) {
          __builtin_unreachable();  // a live lane holds a position
        }
        if (Keys::kTagIsKey || key_at(value - 1) == key) {
          found.bucket = &bucket;
          found.lane = lane;
          return found;
        }
      }
      // Not in this bucket: only now do its free lanes matter.
      const unsigned free = free_lanes(bucket);
      if constexpr (kFindRoom) {
        if (found.room.bucket == nullptr) {
          const unsigned open = free | lanes_equal(bucket.values, kTombstone);
          if (open != 0)
            found.room = {&bucket, static_cast<std::uint32_t>(__builtin_ctz(open)), step};
        }
      }
      if (free != 0 || step == probe_limit_) return found;
      b = next_bucket(b, step, count_);
    }
  }

  // The first open lane within `limit` buckets of the home bucket. A table
  // being built holds no tombstones, so there only free lanes need looking for.
  template <bool kFresh = false>
  static Room find_room(Bucket* buckets, std::uint32_t count, std::uint32_t limit,
                        std::uint64_t hash) noexcept {
    std::uint32_t b = home_of(hash, count);
    for (std::uint32_t step = 1; step <= limit; ++step) {
      KOVRA_COUNT_PROBE();
      Bucket& bucket = buckets[b];
      const unsigned open = kFresh ? free_lanes(bucket) : open_lanes(bucket);
      if (open != 0) return {&bucket, static_cast<std::uint32_t>(__builtin_ctz(open)), step};
      b = next_bucket(b, step, count);
    }
    return {nullptr, 0, 0};
  }
  [[gnu::always_inline]] void place(const Room& room, std::uint32_t tag,
                                    std::uint32_t pos) noexcept {
    fill(room, tag, pos, used_);
    ++live_;
    ++placements_;
    detours_ += room.steps - 1;
  }
  static void fill(const Room& room, std::uint32_t tag, std::uint32_t pos,
                   std::uint32_t& used) noexcept {
    if (room.bucket->values[room.lane] == 0) ++used;
    room.bucket->tags[room.lane] = tag;
    room.bucket->values[room.lane] = pos + 1;
  }

  template <class Visit>
  void for_each_live(Visit&& visit) const {
    if (!buckets_) return;
    for (std::size_t b = 0; b < count_; ++b) {
      const Bucket& bucket = buckets_[b];
      for (unsigned live = ~open_lanes(bucket) & kAllLanes; live != 0; live &= live - 1) {
        const auto lane = static_cast<std::uint32_t>(__builtin_ctz(live));
        visit(bucket.tags[lane], bucket.values[lane] - 1);
      }
    }
  }

  template <class KeyAt>
  Key key_of(std::uint32_t tag, std::uint32_t pos, const KeyAt& key_at) const {
    if constexpr (Keys::kTagIsKey) {
      return tag;
    } else {
      return key_at(pos);
    }
  }

  // Builds the index anew in `count` buckets under `key`; false if some key found
  // no room within the probe limit, or the keys crowd some buckets.
  template <class KeyAt>
  bool try_build(std::uint32_t count, HashKey key, const KeyAt& key_at) {
    Bucket* fresh = allocate_buckets(count);
    const std::uint32_t limit = limit_for(count);
    std::uint32_t placed = 0;
    std::uint64_t detours = 0;
    const auto put = [&](std::uint64_t hash, std::uint32_t tag, std::uint32_t value) {
      const Room room = find_room<true>(fresh, count, limit, hash);
      if (room.bucket == nullptr) return false;
      room.bucket->tags[room.lane] = tag;
      room.bucket->values[room.lane] = value;
      ++placed;
      detours += room.steps - 1;
      return true;
    };
    bool built = true;
    if (tree_) {
      for (const auto& [k, pos] : *tree_) {
        const std::uint64_t hash = Keys::hash(k, key);
        if (!(built = put(hash, Keys::tag(hash, k), pos + 1))) break;
      }
    } else {
      // Under the same key, an id's tag is the part of its hash that places it.
      const bool same_key = key == key_ && buckets_ != nullptr;
      // Written out rather than through for_each_live(): growth moves every key,
      // and small steps make it move each key a few times over a table's life.
      const std::uint32_t old_count = buckets_ ? count_ : 0;
      for (std::uint32_t b = 0; b < old_count && built; ++b) {
        const Bucket& bucket = buckets_[b];
        for (unsigned live = ~open_lanes(bucket) & kAllLanes; live != 0; live &= live - 1) {
          const auto lane = static_cast<std::uint32_t>(__builtin_ctz(live));
          std::uint32_t tag = bucket.tags[lane];
          const std::uint32_t value = bucket.values[lane];
          std::uint64_t hash;
          if (!Keys::kTagIsKey && same_key) {
            hash = std::uint64_t{tag} << 32;
          } else {
            const Key k = key_of(tag, value - 1, key_at);
            hash = Keys::hash(k, key);
            tag = Keys::tag(hash, k);
          }
          if (!(built = put(hash, tag, value))) break;
        }
      }
    }
    if (!built || detours > placed / 2 + kDetourSlack) {
      free_buckets(fresh);
      return false;
    }
    free_buckets(buckets_);
    tree_.reset();
    buckets_ = fresh;
    count_ = count;
    probe_limit_ = limit;
    max_used_ = count * kFilled;
    used_ = placed;
    placements_ = placed;
    detours_ = detours;
    key_ = key;
    return true;
  }

  // Rebuilds in `count` buckets under `key`, drawing fresh keys while keys find no
  // room, and turning to the tree after kMaxRekeys of them since the last growth.
  template <class KeyAt>
  void rebuild(std::uint32_t count, HashKey key, const KeyAt& key_at) {
    while (!try_build(count, key, key_at)) {
      if (++rekeys_ > kMaxRekeys) {
        build_tree(key_at);
        return;
      }
      key = fresh_hash_key();
    }
  }

  // The bucket count with room for `needed` keys. An insertion that fills the
  // table asks for room for a third more live keys than it holds: one step up
  // the bucket counts, or the same count when tombstones made it full. So a
  // rebuild is followed by at least a third as many insertions as it moved, and
  // a table never holds more than a step's worth of spare buckets. A
  // reservation sizes the table for exactly the count it is given.
  std::uint32_t count_for(std::size_t needed, bool leave_room) const {
    std::uint32_t count = buckets_ ? count_ : 1;
    const std::size_t wanted = leave_room ? (needed - 1) + (needed - 1) / 3 : needed;
    while (wanted > std::size_t{count} * kFilled) {
      if (count >= kMaxBuckets) throw std::bad_alloc();
      count = next_count(count);
    }
    return count;
  }

  // A table that grows has spent its re-keys: at most kMaxRekeys rebuilds of n
  // keys come between growths, each after a third as many insertions, which
  // keeps re-keying amortised O(1) per insertion.
  template <class KeyAt>
  void grow(std::size_t needed, bool leave_room, const KeyAt& key_at) {
    const std::uint32_t before = buckets_ ? count_ : 0;
    const std::uint32_t count = count_for(needed, leave_room);
    rebuild(count, key_, key_at);
    if (!tree_ && count > before) rekeys_ = 0;
  }

  template <class KeyAt>
  void rekey(const KeyAt& key_at) {
    if (++rekeys_ > kMaxRekeys) {
      build_tree(key_at);
    } else {
      rebuild(count_, fresh_hash_key(), key_at);
    }
  }

  template <class KeyAt>
  void build_tree(const KeyAt& key_at) {
    auto tree = std::make_unique<Tree>();
    for_each_live([&](std::uint32_t tag, std::uint32_t pos) {
      tree->emplace(key_of(tag, pos, key_at), pos);
    });
    free_buckets(buckets_);
    buckets_ = nullptr;
    count_ = 0;
    max_used_ = 0;
    used_ = 0;
    tree_ = std::move(tree);
    tree_retry_at_ = next_retry(live_);
  }

  // A tree hashes again under a fresh key when it has grown by a table's growth
  // step since it was built or last tried: moving n keys once per n/3
  // insertions is amortised O(1), and the tree stays only while the keys still
  // collide under every fresh key tried.
  static std::uint32_t next_retry(std::uint32_t live) noexcept {
    const std::uint64_t next = std::uint64_t{live} + live / 3 + kDetourSlack;
    return next > kMaxPosition ? kMaxPosition : static_cast<std::uint32_t>(next);
  }
  template <class KeyAt>
  void leave_tree(const KeyAt& key_at) {
    const std::uint32_t count = count_for(std::size_t{live_} + 1, true);
    if (try_build(count, fresh_hash_key(), key_at)) {
      rekeys_ = 0;
    } else {
      tree_retry_at_ = next_retry(live_);
    }
  }

  void swap(BoundedIndex& other) noexcept {
    std::swap(buckets_, other.buckets_);
    std::swap(tree_, other.tree_);
    std::swap(key_, other.key_);
    std::swap(count_, other.count_);
    std::swap(live_, other.live_);
    std::swap(used_, other.used_);
    std::swap(max_used_, other.max_used_);
    std::swap(probe_limit_, other.probe_limit_);
    std::swap(placements_, other.placements_);
    std::swap(detours_, other.detours_);
    std::swap(rekeys_, other.rekeys_);
    std::swap(tree_retry_at_, other.tree_retry_at_);
  }

  Bucket* buckets_ = nullptr;
  std::unique_ptr<Tree> tree_;
  HashKey key_ = initial_hash_key();
  std::uint32_t count_ = 0;
  std::uint32_t live_ = 0;
  std::uint32_t used_ = 0;  // live lanes and tombstones
  std::uint32_t max_used_ = 0;
  std::uint32_t probe_limit_ = 0;
  // Placements since the last rebuild, and the buckets they visited beyond
  // their home buckets.
  std::uint64_t placements_ = 0;
  std::uint64_t detours_ = 0;
  unsigned rekeys_ = 0;  // since the table last grew
  std::uint32_t tree_retry_at_ = 0;

 public:
  // For a caller that works ahead through a batch of keys: the hash of `key`, a
  // prefetch of its home bucket, and the first live position whose tag matches
  // there. Hints only: the table may grow or re-key before the key is looked up,
  // so the caller checks a hinted position against its own entry.
  std::uint64_t hash_of(const Key& key) const noexcept { return Keys::hash(key, key_); }
  // The key hash_of() hashes under: a hash taken under the key in use now is
  // exact, and probe_hashed() may take it.
  const HashKey& hash_key() const noexcept { return key_; }
  void prefetch_home(std::uint64_t hash) const noexcept {
    if (buckets_) __builtin_prefetch(&buckets_[home_of(hash, count_)]);
  }
  std::uint32_t hint(std::uint64_t hash, const Key& key) const noexcept {
    if (!buckets_) return kNone;
    const Bucket& bucket = buckets_[home_of(hash, count_)];
    for (unsigned match = lanes_equal(bucket.tags, Keys::tag(hash, key)); match != 0;
         match &= match - 1) {
      const std::uint32_t value = bucket.values[__builtin_ctz(match)];
      if (value != 0 && value != kTombstone) return value - 1;
    }
    return kNone;
  }
};

}  // namespace kovra

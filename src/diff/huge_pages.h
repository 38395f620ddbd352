// Huge pages for large blocks that are filled as soon as they are allocated: a
// result written whole (new_bytes in the extension) and the tables that a
// document's reader sizes once. Faulting a fresh block in 4 KiB at a time costs
// a writer about as long again as the writing; with transparent huge pages in
// their default `madvise` mode the kernel backs an advised range with a fault
// per 2 MiB instead. The first touch of a huge page that the machine has not
// used lately can cost far more (milliseconds each on a virtual machine whose
// host takes free memory back), which then shows on the first large call of a
// process; measured over fresh processes, the advised first call costs about
// what an unadvised one does in the median, and every later call gains (the
// figures are in benchmarks/README.md's notes on W5). Blocks that grow a step
// at a time are not advised.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace kovra {

inline constexpr std::size_t kHugePage = std::size_t{2} << 20;

#if defined(__linux__)
// `advice` over the whole `page`-sized pages inside the block, so that nothing
// else shares it. Advice is a hint: a kernel that does not know it ignores it.
inline void advise_pages_inside(const void* block, std::size_t bytes, std::uintptr_t page,
                                int advice) noexcept {
  const auto start = reinterpret_cast<std::uintptr_t>(block);
  const std::uintptr_t first = (start + page - 1) & ~(page - 1);
  const std::uintptr_t last = (start + bytes) & ~(page - 1);
  if (last > first) madvise(reinterpret_cast<void*>(first), last - first, advice);
}
#endif

// Only blocks of two huge pages or more are advised: a smaller one holds at
// most one whole huge page, or none, depending on where it starts. A kernel
// without transparent huge pages ignores the advice.
inline void advise_huge_pages(const void* block, std::size_t bytes) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  if (bytes >= 2 * kHugePage) advise_pages_inside(block, bytes, kHugePage, MADV_HUGEPAGE);
#else
  (void)block;
  (void)bytes;
#endif
}

// advise_huge_pages(), then the block's pages faulted in by one call rather
// than a fault each: for a block about to be written from its start to its
// end, never for a reservation that may stay partly unused. Where the kernel
// gives no huge pages, that call alone saves about a fifth of W5's to_bytes.
inline void fault_in_huge_pages(void* block, std::size_t bytes) noexcept {
  advise_huge_pages(block, bytes);
#if defined(__linux__)
  // MADV_POPULATE_WRITE (Linux 5.14), which older headers lack; an older kernel
  // refuses it (EINVAL), and the pages then fault in as they are written.
  constexpr int kPopulateWrite = 23;
  if (bytes >= 2 * kHugePage) advise_pages_inside(block, bytes, 4096, kPopulateWrite);
#endif
}

}  // namespace kovra

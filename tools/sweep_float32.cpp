// Every finite binary32 value through the writer's text and the reader's number
// procedure; any value that does not come back bit for bit is printed. Takes
// minutes, so it is a tool, not a test. Usage: sweep_float32 [threads]
#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "codec/float32_text.h"

namespace {

std::atomic<std::uint64_t> g_checked{0};
std::atomic<std::uint64_t> g_mismatches{0};

void sweep(std::uint64_t first, std::uint64_t last) {
  char text[kovra::kFloat32TextMax];
  std::uint64_t checked = 0;
  for (std::uint64_t bits = first; bits < last; ++bits) {
    const float value = std::bit_cast<float>(static_cast<std::uint32_t>(bits));
    if (!std::isfinite(value)) continue;
    const std::size_t length = kovra::float32_to_text(value, text);
    kovra::JsonNumber number;
    const char* const end = text + length;
    const bool whole = kovra::scan_json_number(text, end, number) == end;
    const auto back = whole ? kovra::json_number_to_float32(number) : std::nullopt;
    if (!back || std::bit_cast<std::uint32_t>(*back) != bits) {
      g_mismatches.fetch_add(1);
      std::printf("mismatch: bits %08llx text %.*s\n", static_cast<unsigned long long>(bits),
                  static_cast<int>(length), text);
    }
    ++checked;
  }
  g_checked.fetch_add(checked);
}

}  // namespace

int main(int argc, char** argv) {
  unsigned threads = std::max(1u, std::thread::hardware_concurrency());
  if (argc > 1) threads = static_cast<unsigned>(std::max(1, std::atoi(argv[1])));
  constexpr std::uint64_t kAll = std::uint64_t{1} << 32;
  // Small slices handed out in turn keep every thread busy to the end.
  constexpr std::uint64_t kSlice = std::uint64_t{1} << 24;
  std::atomic<std::uint64_t> next{0};
  std::vector<std::thread> workers;
  for (unsigned t = 0; t < threads; ++t) {
    workers.emplace_back([&next] {
      for (std::uint64_t first; (first = next.fetch_add(kSlice)) < kAll;) {
        sweep(first, first + kSlice);
      }
    });
  }
  for (auto& worker : workers) worker.join();
  std::printf("checked %llu finite values, %llu mismatches\n",
              static_cast<unsigned long long>(g_checked.load()),
              static_cast<unsigned long long>(g_mismatches.load()));
  return g_mismatches.load() == 0 ? 0 : 1;
}

// Every finite binary32 value through the writer's text and the reader's number
// procedure (in two steps and in one pass); any value that does not come back bit for
// bit is printed. Also checks, for every value, that the fast decimal path agrees
// with std::to_chars wherever it answers, and that the measured text length is the
// written one. Takes minutes, so
// it is a tool, not a test. Usage: sweep_float32 [threads]
#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "codec/float32_text.h"

namespace {

std::atomic<std::uint64_t> g_checked{0};
std::atomic<std::uint64_t> g_mismatches{0};
std::atomic<std::uint64_t> g_fast{0};
std::atomic<std::uint64_t> g_path_mismatches{0};

// The fast path's text against the to_chars path's text, for a positive value.
bool paths_agree(float value, std::uint64_t& fast) {
  kovra::Float32Decimal decimal;
  if (!kovra::float32_decimal_fast(value, decimal)) return true;
  ++fast;
  const kovra::Float32Decimal general = kovra::float32_decimal_general(value);
  char fast_text[kovra::kFloat32TextMax];
  char general_text[kovra::kFloat32TextMax];
  const std::size_t fast_length = kovra::float32_decimal_to_text(false, decimal, fast_text);
  const std::size_t general_length = kovra::float32_decimal_to_text(false, general, general_text);
  if (decimal == general && fast_length == general_length &&
      std::memcmp(fast_text, general_text, fast_length) == 0) {
    return true;
  }
  std::printf("path mismatch: bits %08x fast %.*s to_chars %.*s\n",
              std::bit_cast<std::uint32_t>(value), static_cast<int>(fast_length), fast_text,
              static_cast<int>(general_length), general_text);
  return false;
}

void sweep(std::uint64_t first, std::uint64_t last) {
  char text[kovra::kFloat32TextMax];
  std::uint64_t checked = 0;
  std::uint64_t fast = 0;
  std::uint64_t path_mismatches = 0;
  for (std::uint64_t bits = first; bits < last; ++bits) {
    const float value = std::bit_cast<float>(static_cast<std::uint32_t>(bits));
    if (!std::isfinite(value)) continue;
    const std::size_t length = kovra::float32_to_text(value, text);
    const char* const end = text + length;
    std::optional<float> back;
    if (kovra::read_json_float32(text, end, back) != end) back.reset();
    std::optional<float> fused;
    const bool fused_whole = kovra::read_json_float32_one_pass(text, end, fused) == end;
    if (value > 0.0f && !paths_agree(value, fast)) ++path_mismatches;
    if (!back || std::bit_cast<std::uint32_t>(*back) != bits || !fused_whole || !fused ||
        std::bit_cast<std::uint32_t>(*fused) != bits ||
        kovra::float32_text_length(value) != length) {
      g_mismatches.fetch_add(1);
      std::printf("mismatch: bits %08llx text %.*s\n", static_cast<unsigned long long>(bits),
                  static_cast<int>(length), text);
    }
    ++checked;
  }
  g_checked.fetch_add(checked);
  g_fast.fetch_add(fast);
  g_path_mismatches.fetch_add(path_mismatches);
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
  std::printf("fast path answered for %llu positive values, %llu differ from to_chars\n",
              static_cast<unsigned long long>(g_fast.load()),
              static_cast<unsigned long long>(g_path_mismatches.load()));
  return g_mismatches.load() == 0 && g_path_mismatches.load() == 0 ? 0 : 1;
}

#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>

namespace corvane::bench {

// Latencies in nanoseconds, kept in log-linear buckets: exact below 128 ns,
// then 64 buckets per power of two, so a percentile is off by at most 1/64
// (1.6 %) however long the run. Fixed size; recording never allocates.
class LatencyHistogram {
public:
  void record(std::uint64_t ns) {
    ++buckets_[bucket_of(ns)];
    ++count_;
    max_ = std::max(max_, ns);
  }

  void merge(const LatencyHistogram &other) {
    for (std::size_t i = 0; i < k_buckets; ++i)
      buckets_[i] += other.buckets_[i];
    count_ += other.count_;
    max_ = std::max(max_, other.max_);
  }

  std::uint64_t count() const { return count_; }
  std::uint64_t max() const { return max_; }

  // The value below which the fraction q (0 < q <= 1) of the samples lie: the
  // middle of the bucket holding that sample, never above the largest one.
  std::uint64_t percentile(double q) const {
    if (count_ == 0) return 0;
    auto rank = static_cast<std::uint64_t>(q * static_cast<double>(count_) + 0.999999);
    rank = std::clamp<std::uint64_t>(rank, 1, count_);
    std::uint64_t seen = 0;
    for (std::size_t i = 0; i < k_buckets; ++i) {
      seen += buckets_[i];
      if (seen >= rank) return std::min(middle_of(i), max_);
    }
    return max_;
  }

private:
  static constexpr unsigned k_sub_bits = 6; // 64 buckets per power of two
  static constexpr std::size_t k_buckets = (64 - k_sub_bits + 1) << k_sub_bits;

  static std::size_t bucket_of(std::uint64_t ns) {
    if (ns < (2u << k_sub_bits)) return static_cast<std::size_t>(ns);
    const unsigned shift = static_cast<unsigned>(std::bit_width(ns)) - (k_sub_bits + 1);
    return (static_cast<std::size_t>(shift) << k_sub_bits) + static_cast<std::size_t>(ns >> shift);
  }

  static std::uint64_t middle_of(std::size_t bucket) {
    if (bucket < (2u << k_sub_bits)) return bucket;
    const std::size_t shift = (bucket >> k_sub_bits) - 1;
    const std::uint64_t sub = (bucket & ((1u << k_sub_bits) - 1)) + (1u << k_sub_bits);
    const std::uint64_t low = sub << shift;
    return low + ((std::uint64_t{1} << shift) >> 1);
  }

  std::array<std::uint64_t, k_buckets> buckets_{};
  std::uint64_t count_ = 0;
  std::uint64_t max_ = 0;
};

} // namespace corvane::bench

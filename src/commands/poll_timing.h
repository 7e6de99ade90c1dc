#pragma once

#include <cstdint>

namespace mornix {

// The base plus a uniformly drawn offset in [-base*fraction, +base*fraction] from the system
// random generator, never below 0 (truncated). A base of 0 gives 0; a negative fraction counts as 0.
std::uint64_t jitteredNanoseconds(std::uint64_t base, double jitterFraction);

// The poll loop's timing, in nanoseconds.
namespace poll_timing {
inline constexpr std::uint64_t initialRetryDelay = 1'000'000'000;
inline constexpr std::uint64_t retryDelayCap = 30'000'000'000;
inline constexpr double errorJitterFraction = 0.2;
inline constexpr std::uint64_t pausedNap = 500'000'000;
inline constexpr std::uint64_t unenrolledNap = 800'000'000;
inline constexpr std::uint64_t pausedAfterTokenCheckNap = 1'000'000'000;
inline constexpr std::int64_t tokenRefreshMarginSeconds = 60;
inline constexpr std::int64_t inventorySpacingSeconds = 15;
// Between status polls of a pending claim: approval is a person's decision, so the service is
// asked at a human pace rather than back to back.
inline constexpr std::uint64_t pendingClaimNap = 2'000'000'000;
}  // namespace poll_timing

}  // namespace mornix

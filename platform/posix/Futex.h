// The one blocking primitive of the POSIX backend: a private futex word.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

namespace tavrin::posix {

// Blocks while *word == expected, until woken or until the deadline passes.
// Spurious returns are possible; callers re-check their condition.
void FutexWait(std::atomic<std::uint32_t>& word, std::uint32_t expected,
               const std::chrono::steady_clock::time_point* deadline);
void FutexWakeAll(std::atomic<std::uint32_t>& word);
void FutexWakeOne(std::atomic<std::uint32_t>& word);

}  // namespace tavrin::posix

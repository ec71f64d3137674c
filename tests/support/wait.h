// Bounded waiting for a condition that another thread or process brings about.
#pragma once

#include <cstdint>
#include <functional>

// Polls condition every few milliseconds until it holds or ms have passed.
bool WaitUntil(const std::function<bool()>& condition, uint32_t ms);

// Milliseconds since start, on the monotonic clock.
uint64_t ElapsedMs(uint64_t start);

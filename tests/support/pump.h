// The test thread's message pump: windows made by a test, and the worker's
// posted notices and sent progress calls, are served only while it runs.
#pragma once

#include <cstdint>
#include <functional>

// Dispatches what is queued for this thread without waiting.
void PumpMessages();
// Dispatches until done holds (tested first) or the time is up.
bool PumpUntil(const std::function<bool()>& done, uint32_t timeout_ms);
void PumpFor(uint32_t ms);

// Per-process server generation values: a random non-zero 32-bit number carried in
// every reply header, and the generation_id text "<pid>-0x%08X" reported in hello
// and health replies. Clients notice a replaced server by a changed number.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace tovra::common {

// The value to use given what the random source produced (nothing when it failed)
// and the millisecond tick count: the random value, else the tick count's low
// 32 bits; never 0 (0 becomes 1).
uint32_t ChooseGenerationValue(std::optional<uint32_t> random, uint64_t tick_ms);

std::string FormatGenerationId(uint32_t process_id, uint32_t random_part);

#ifdef _WIN32
// Draws a fresh value from the system random source (tick-count fallback).
uint32_t DrawGenerationValue();
// FormatGenerationId for this process.
std::string MakeGenerationId(uint32_t random_part);
#endif

}  // namespace tovra::common

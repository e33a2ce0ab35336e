#pragma once

#include <chrono>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "input/injector.h"

namespace vexel::input {

inline constexpr std::chrono::microseconds kKeyHold{2000};       // between key down and up
inline constexpr std::chrono::microseconds kLineBreakGap{4000};  // after a Return between lines
inline constexpr std::chrono::microseconds kChunkGap{3000};      // after each text chunk
inline constexpr std::uint16_t kReturnKeyCode = 36;

// Combined mask of the named modifiers; throws "unknown_modifier:<name>".
EventFlags modifierFlags(std::span<const std::string> names);

// Presses one named key with the modifiers as flags on both of its events.
void pressKey(const Injector& injector, std::string_view key, std::span<const std::string> mods);

// Posts one text event pair carrying the units.
void typeChunk(const Injector& injector, std::span<const char16_t> units);

// Types text in chunks, with a Return press between lines.
void doType(const Injector& injector, std::string_view text);

}  // namespace vexel::input

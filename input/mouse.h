#pragma once

#include <chrono>
#include <cstdint>
#include <string_view>

#include "input/injector.h"

namespace vexel::input {

using std::chrono::microseconds;

inline constexpr microseconds kClickSettle{5000};     // after the positioning move
inline constexpr microseconds kClickHold{8000};       // between press and release
inline constexpr microseconds kClickInterval{60000};  // between one release and the next press
inline constexpr microseconds kDragSettle{20000};     // after the move, and after the press
inline constexpr microseconds kDragStep{8000};        // after each dragged step
inline constexpr microseconds kScrollSettle{5000};    // after the positioning move
inline constexpr int kDragSteps = 12;
inline constexpr std::int64_t kMaxClickCount = 3;

MouseButton buttonEnum(std::string_view button);
EventType downType(std::string_view button);
EventType upType(std::string_view button);
EventType dragType(std::string_view button);

// Creates, posts and releases one mouse event; a click state of 0 or less leaves
// the field untouched. Throws HelperError "event_create_failed".
void postMouse(const Injector& injector, EventType type, MouseButton button, Point point,
               std::int64_t clickState = 0);

void doClick(const Injector& injector, double x, double y, std::string_view button,
             std::int64_t count);
void doDrag(const Injector& injector, double fromX, double fromY, double toX, double toY,
            std::string_view button);
void doScroll(const Injector& injector, double x, double y, double dx, double dy);

// Nearest integer, halves away from zero, saturated to int32 (NaN gives 0).
std::int32_t scrollCount(double amount);

}  // namespace vexel::input

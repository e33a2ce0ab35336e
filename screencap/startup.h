#pragma once

#include <memory>
#include <span>
#include <string>

#include "screencap/capture_setup.h"

namespace vexel::screencap {

// List mode: arms listTimeout and asks for the content, with printRoster as
// its completion. Returns; the caller parks the main thread.
void startListMode(const Outlet& outlet, Dispatch& dispatch, ContentProvider& content);

// Capture mode: arms captureWatchdog and asks for the content, with
// beginCapture as its completion. `state` must outlive every callback.
void startCaptureMode(CaptureState& state, ContentProvider& content);

// The whole program: chooses the mode, starts it and parks the main thread.
[[noreturn]] void runStreamer(std::span<const std::string> argv, const Outlet& outlet,
                              Dispatch& dispatch, ContentProvider& content, StreamFactory& streams);

}  // namespace vexel::screencap

#pragma once
// The texts of the traffic list, shared by the window's view and the terminal's: the line each view message
// adds, and the time stamp every line starts with.

#include <string>

#include "host/ViewSink.h"

// The traffic-list text of a view message, or "" for the messages that add no traffic line.
std::string TrafficLineText(EViewMessage message);

// |text| behind the current local time as "[%m/%d/%y %H:%M:%S] " (the clock seam's wall time).
std::string StampTrafficLine(const std::string& text);

// How the console shows what it got: text for a person, one JSON object per
// line for scripts, or the frames themselves. Every function takes GBK text
// and returns UTF-8, each result ending with a line feed.
#pragma once

#include <string>

#include "console/decoding.h"

namespace tavin::console {

// The frame with control bytes made visible (<SOH>, <STX>, <CR>, <LF>,
// <0xNN>), prefixed by "> " when sent and "< " when received.
std::string rawFrame(bool sent, const std::string& frame);

// A JSON string literal of the UTF-8 text, quotes included.
std::string jsonString(const std::string& utf8);

std::string statusText(const StatusReport& report);
std::string statusJson(const std::string& sequence, const StatusReport& report);

std::string shootingText(const ShootingResult& result);
std::string shootingJson(const std::string& sequence, const ShootingResult& result);

// time is the local time of arrival, "YYYY-MM-DD hh:mm:ss".
std::string heartbeatText(const std::string& time);
std::string heartbeatJson(const std::string& time);
std::string logLineText(const std::string& time, const LogLine& line);
std::string logLineJson(const std::string& time, const LogLine& line);

}  // namespace tavin::console

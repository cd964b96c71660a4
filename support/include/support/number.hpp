#pragma once

// Number printers: turn a double or float into text in one of three layouts.
//
//   message: for text people read in replies and errors. Plain decimal, never an exponent,
//            no fraction when whole: 90 -> "90", 1e-7 -> "0.0000001".
//   debug:   for log lines and dumps. Whole values keep ".0" ("440.0"); exponent form
//            ("1.5e-7", "1e16") when the value is non-zero and below 1e-4 or at least 1e16.
//   json:    for JSON writers. Whole values keep ".0" so they read back as floating point;
//            exponent form outside 1e-5 .. 1e16 (1e13 for float); NaN and inf become null.
//
// Every form uses the shortest digits that read back (std::from_chars) to exactly the same
// value. The float overloads work on the float itself: 0.1f prints "0.1".
// NaN prints "NaN" and infinities "inf" / "-inf" in the message and debug forms; -0.0 keeps
// its sign.
//
// Callers: reply writers, log lines, error messages. Any thread: pure functions with no
// shared state; the only allocation is growing the returned or appended-to string.

#include <string>

namespace support::number {

std::string message(double value);
std::string message(float value);
void append_message(std::string& out, double value);
void append_message(std::string& out, float value);

std::string debug(double value);
std::string debug(float value);
void append_debug(std::string& out, double value);
void append_debug(std::string& out, float value);

std::string json(double value);
std::string json(float value);
void append_json(std::string& out, double value);
void append_json(std::string& out, float value);

}  // namespace support::number

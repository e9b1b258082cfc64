#pragma once

#include <string>

namespace talir {

// The system's English text for the calling thread's last-error code, with
// its CR LF; empty for code 0. Call it right after the failing call.
std::string GetLastErrorText();

// The same for a code already read.
std::string ErrorText(unsigned long code);

// The same as one line of a longer text: without its line end.
std::string ErrorLine(unsigned long code);

// A failed COM call's result: "0x" and eight hex digits, a blank, and
// ErrorText of it. COM calls leave the thread's last error alone.
std::string HresultText(long result);

}  // namespace talir

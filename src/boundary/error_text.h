#pragma once

#include <string>

namespace talir {

// The system's English text for the calling thread's last-error code, with
// its CR LF; empty for code 0. Call it right after the failing call.
std::string GetLastErrorText();

// The same for a code already read.
std::string ErrorText(unsigned long code);

}  // namespace talir

#pragma once

#include <string>

namespace talir {

// Returned in place of any text when memory runs out; a constant, so that
// the host may pass it to FreeString like the result string it expected.
extern const char kOutOfMemory[];
// Returned when anything else unexpected stops an export.
extern const char kUnexpectedFailure[];

// Moves text into a malloc'd, NUL-terminated block that the host releases
// with FreeString. Bytes after an embedded NUL are not kept.
char* ToResultString(std::string&& text);

// FreeString's work: frees a result string; ignores null and the constants
// above.
void FreeResultString(void* text) noexcept;

}  // namespace talir

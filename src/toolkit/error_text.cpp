#include "toolkit/error_text.h"

#include "toolkit/unique.h"

#include <windows.h>

#include <cstdio>

namespace talir {

namespace {

// The system's English text for code, exactly as returned; empty when there
// is none.
std::string SystemMessage(unsigned long code) {
    char* buffer = nullptr;
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM,
        nullptr, code, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), reinterpret_cast<char*>(&buffer),
        0, nullptr);
    const UniqueLocal owner(buffer);
    return length == 0 ? std::string() : std::string(buffer, length);
}

// Non-English systems often lack the English text; the number at least
// keeps the cause.
std::string Fallback(unsigned long code) {
    return "Windows error " + std::to_string(code) + "\r\n";
}

}  // namespace

std::string ErrorText(unsigned long code) {
    if (code == 0) return {};
    std::string text = SystemMessage(code);
    return text.empty() ? Fallback(code) : text;
}

std::string ErrorLine(unsigned long code) {
    std::string text = ErrorText(code);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
}

std::string HresultText(long result) {
    const unsigned long code = static_cast<unsigned long>(result);
    char number[16] = {};
    std::snprintf(number, sizeof number, "0x%08lX ", code);
    return number + ErrorText(code);
}

std::string GetLastErrorText() {
    return ErrorText(GetLastError());
}

}  // namespace talir

#include "boundary/error_text.h"

#include "boundary/unique.h"

#include <windows.h>

namespace talir {

std::string ErrorText(unsigned long code) {
    if (code == 0) return {};

    char* buffer = nullptr;
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM,
        nullptr, code, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), reinterpret_cast<char*>(&buffer),
        0, nullptr);
    const UniqueLocal owner(buffer);
    if (length == 0) {
        // Non-English systems often lack the English text; the number at
        // least keeps the cause.
        return "Windows error " + std::to_string(code) + "\r\n";
    }
    return std::string(buffer, length);
}

std::string GetLastErrorText() {
    return ErrorText(GetLastError());
}

}  // namespace talir

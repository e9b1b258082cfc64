// What a stand-in records: its own command line, exactly as Windows gave it,
// in UTF-8.
#pragma once

#include <windows.h>

#include <string>

inline std::string Utf8(const wchar_t* text) {
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string utf8(bytes > 0 ? bytes - 1 : 0, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8.data(), bytes, nullptr, nullptr);
    return utf8;
}

inline std::string OwnCommandLine() {
    return Utf8(GetCommandLineW());
}

// The same, marked " (shown)" when the program was not started hidden: the
// library starts the core and the tools it waits for without a window.
inline std::string OwnCommandLineAndShow() {
    STARTUPINFOW startup{};
    GetStartupInfoW(&startup);
    const bool hidden = (startup.dwFlags & STARTF_USESHOWWINDOW) && startup.wShowWindow == SW_HIDE;
    return OwnCommandLine() + (hidden ? "" : " (shown)");
}

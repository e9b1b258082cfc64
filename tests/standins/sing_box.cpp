// Stand-in proxy core. Appends "<pid>\t<command line>\n" (UTF-8, marked when
// not started hidden) to lib_win/sing-box.started, then waits until it is
// killed. Exits at once with code 3 when SINGBOX_STANDIN_EXIT is set or
// lib_win/sing-box.exit exists.
#include "command_line.h"

#include <windows.h>

#include <cstdio>
#include <string>

int wmain() {
    const std::string utf8 = OwnCommandLineAndShow();

    if (FILE* record = std::fopen("lib_win/sing-box.started", "ab")) {
        std::fprintf(record, "%lu\t%s\n", GetCurrentProcessId(), utf8.c_str());
        std::fclose(record);
    }
    if (GetEnvironmentVariableW(L"SINGBOX_STANDIN_EXIT", nullptr, 0) > 0 ||
        GetFileAttributesW(L"lib_win\\sing-box.exit") != INVALID_FILE_ATTRIBUTES) {
        return 3;
    }
    Sleep(INFINITE);
    return 0;
}

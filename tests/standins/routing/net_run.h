// Runs the tests' tests/harness/net.sh from a Windows program under Wine and
// waits for its answer. Shared by the route stand-in and the routing tests.
#pragma once

#include <windows.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>

namespace talir_net {

// What net.sh wrote: its lines, the last of which is "status N" (or
// "status refused" in the machine's own namespace); empty on a time-out.
inline std::string RunNet(const std::string& steps, DWORD timeoutMs = 20000) {
    char folder[MAX_PATH] = {};
    GetCurrentDirectoryA(MAX_PATH, folder);
    // One answer file per process: route stand-ins may run side by side.
    std::string out = std::string(folder) + "\\net-" + std::to_string(GetCurrentProcessId()) + ".out";
    DeleteFileA(out.c_str());
    // Wine gives no handle of a Linux process: the answer file tells when
    // the script is done. Our folders are all on Z:, the Linux root.
    std::string linuxOut = out.substr(2);
    std::replace(linuxOut.begin(), linuxOut.end(), '\\', '/');
    std::string commandLine = "sh " TALIR_SOURCE_DIR "/tests/harness/net.sh \"" + linuxOut + "\" " + steps;
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION created{};
    if (!CreateProcessA("Z:\\bin\\sh", commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &created)) {
        return {};
    }
    if (created.hProcess) CloseHandle(created.hProcess);
    if (created.hThread) CloseHandle(created.hThread);
    for (DWORD waited = 0; waited < timeoutMs; waited += 10) {
        if (GetFileAttributesA(out.c_str()) != INVALID_FILE_ATTRIBUTES) {
            std::ifstream in(out, std::ios::binary);
            std::ostringstream text;
            text << in.rdbuf();
            return text.str();
        }
        Sleep(10);
    }
    return {};
}

}  // namespace talir_net

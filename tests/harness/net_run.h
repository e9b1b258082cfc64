// Runs a Linux shell script from a Windows program under Wine and waits for
// it. Shared by the tests and the route stand-in.
#pragma once

#include <windows.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>

namespace talir_test {

// Owns a handle in the tests, too.
struct Handle {
    HANDLE value = nullptr;
    explicit Handle(HANDLE h = nullptr) : value(h == INVALID_HANDLE_VALUE ? nullptr : h) {}
    Handle(Handle&& other) noexcept : value(other.value) { other.value = nullptr; }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle() { if (value) CloseHandle(value); }
};

// What the file behind TALIR_INHERITABLE holds: a stand-in that can read
// it through that handle value received the host's inheritable handle.
constexpr char kInheritableText[] = "a handle the host keeps inheritable";

struct Finished {
    DWORD exitCode = 0;
    std::string output;  // standard output and standard error, in order
    bool timedOut = false;
};

// A path on Z:, where all our folders are, as Linux names it.
inline std::string LinuxPath(std::string path) {
    std::replace(path.begin(), path.end(), '\\', '/');
    return path.substr(2);
}

// Wine starts a Linux program without a handle to wait on: the script's
// output goes to an answer file, renamed into place when it is done. One
// file per process and call: route stand-ins may run side by side.
inline Finished RunLinux(const std::string& script, DWORD timeoutMs = 20000) {
    static int serial = 0;
    char folder[MAX_PATH] = {};
    GetCurrentDirectoryA(MAX_PATH, folder);
    const std::string out = std::string(folder) + "\\linux-" + std::to_string(GetCurrentProcessId()) + "-" +
                            std::to_string(++serial) + ".out";
    const std::string linuxOut = LinuxPath(out);
    std::string line = "Z:\\bin\\sh -c \"{ " + script + "; } >'" + linuxOut + ".part' 2>&1; echo $? >>'" +
                       linuxOut + ".part'; mv '" + linuxOut + ".part' '" + linuxOut + "'\"";
    Finished finished{~0u, "", true};
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION created{};
    if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &created)) {
        return finished;
    }
    const Handle process(created.hProcess), thread(created.hThread);
    for (DWORD waited = 0; waited < timeoutMs; waited += 10, Sleep(10)) {
        if (GetFileAttributesA(out.c_str()) == INVALID_FILE_ATTRIBUTES) continue;
        std::ostringstream text;
        text << std::ifstream(out, std::ios::binary).rdbuf();
        DeleteFileA(out.c_str());
        finished.output = text.str();
        const size_t last = finished.output.find_last_of('\n', finished.output.size() - 2) + 1;
        finished.exitCode = std::stoul(finished.output.substr(last));
        finished.output.resize(last);
        finished.timedOut = false;
        break;
    }
    return finished;
}

// net.sh STEPS: prints what it made, exits 77 outside a private namespace.
inline Finished RunNet(const std::string& steps, DWORD timeoutMs = 20000) {
    return RunLinux("sh " TALIR_SOURCE_DIR "/tests/harness/net.sh " + steps, timeoutMs);
}

}  // namespace talir_test

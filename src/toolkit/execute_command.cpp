#include "toolkit/execute_command.h"

#include "log/write_log.h"
#include "toolkit/error_text.h"
#include "toolkit/unique.h"
#include "toolkit/widen.h"

#include <windows.h>

namespace talir {
namespace {

// Never found through the search order: the host's folder and the current
// folder, searched first, may be writable by anyone, and an elevated host
// would run what was planted there.
bool SystemToolPath(const std::string& commandLine, std::wstring& path) {
    wchar_t folder[MAX_PATH];
    const UINT length = GetSystemDirectoryW(folder, MAX_PATH);
    if (length >= MAX_PATH) SetLastError(ERROR_INSUFFICIENT_BUFFER);
    if (length == 0 || length >= MAX_PATH) return false;
    path.assign(folder, length);
    path += L'\\' + WidenBytes(commandLine.substr(0, commandLine.find(' '))) + L".exe";
    return true;
}

}  // namespace

CommandOutcome RunCommand(const std::string& commandLine) {
    CommandOutcome outcome;
    std::wstring program;
    if (!SystemToolPath(commandLine, program)) {
        outcome.text = "Execute command error: " + GetLastErrorText();
        return outcome;
    }
    std::wstring wide = WidenBytes(commandLine);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION created{};
    if (!CreateProcessW(program.c_str(), wide.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                        nullptr, &startup, &created)) {
        outcome.text = "Execute command error: " + GetLastErrorText();
        return outcome;
    }
    UniqueHandle process(created.hProcess);
    UniqueHandle thread(created.hThread);

    WaitForSingleObject(process.get(), INFINITE);
    DWORD exitCode = 0;
    if (!GetExitCodeProcess(process.get(), &exitCode)) {
        outcome.text = "Execute command error: " + GetLastErrorText();
    } else if (exitCode != 0) {
        outcome.text = "Execute command error: the command exited with code " + std::to_string(exitCode);
    } else {
        outcome.text = "success";
    }
    outcome.ran = true;
    return outcome;
}

CommandOutcome ExecuteCommand(const std::string& commandLine) {
    CommandOutcome outcome = RunCommand(commandLine);
    WriteLog(outcome.text == "success" ? "Success execute command." : outcome.text);
    return outcome;
}

}  // namespace talir

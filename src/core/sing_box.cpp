#include "core/sing_box.h"

#include "core/job.h"
#include "log/write_log.h"
#include "toolkit/error_text.h"
#include "toolkit/unique.h"
#include "toolkit/widen.h"

#include <windows.h>

namespace talir {

const char* RunSingBox() {
    WriteLog("Starting sing-box");
    std::wstring commandLine = WidenBytes("lib_win/sing-box run -c lib_win/config.json");

    // Held until the core is in the job: a StopSingBox on another thread
    // comes before or after, never in between.
    JobAccess job;
    std::string errorText;
    switch (job.Ensure(errorText)) {
    case JobFailure::None:
        break;
    case JobFailure::Create:
        WriteLog("Failed to create job object. Error: " + errorText);
        return "Error: failed to create job object.";
    case JobFailure::SetLimit:
        WriteLog("Failed to set job object information. Error: " + errorText);
        return "Error: failed to set job object information.";
    }

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION created{};
    // Suspended until it is in the job: a host that dies in between, or a
    // child the core starts first, would otherwise live on outside it.
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr,
                        nullptr, &startup, &created)) {
        errorText = GetLastErrorText();
        WriteLog("CreateProcess sing-box failed. Error: " + errorText);
        // Also ends whatever the job already held, an earlier core included.
        job.Close();
        return "Error: createProcess sing-box failed.";
    }
    const UniqueHandle process(created.hProcess);
    const UniqueHandle thread(created.hThread);

    if (!AssignProcessToJobObject(job.Handle(), process.get())) {
        errorText = GetLastErrorText();
        WriteLog("Failed to assign process to job object. Error: " + errorText);
        // Outside the job nothing could ever stop it; it never ran.
        TerminateProcess(process.get(), 1);
        return "Error: failed to assign process to job object.";
    }
    if (ResumeThread(thread.get()) == static_cast<DWORD>(-1)) {
        errorText = GetLastErrorText();
        WriteLog("CreateProcess sing-box failed. Error: " + errorText);
        TerminateProcess(process.get(), 1);
        return "Error: createProcess sing-box failed.";
    }

    WriteLog("Success start sing-box");
    return "success";
}

void StopSingBox() noexcept {
    JobAccess().Close();
}

}  // namespace talir

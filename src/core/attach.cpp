#include "core/attach.h"

#include "core/job.h"
#include "log/write_log.h"
#include "toolkit/error_text.h"
#include "toolkit/result_string.h"
#include "toolkit/unique.h"

#include <windows.h>

namespace talir {
namespace {

// The failure text is both the log line and the result.
char* Fail(std::string message) {
    WriteLog(message);
    return ToResultString(std::move(message));
}

}  // namespace

char* AssignToJobObject(unsigned long processId) {
    WriteLog("Starting assign to job object");

    // The host in its own job would die at the next StopSingBox.
    if (processId == GetCurrentProcessId()) {
        return Fail("Failed to assign process to job object. Error: "
                    "the calling process cannot join its own job.");
    }

    // The two rights the assignment needs, and no more: a process may grant
    // exactly these.
    const UniqueHandle process(OpenProcess(PROCESS_SET_QUOTA | PROCESS_TERMINATE, FALSE, processId));
    if (!process) return Fail("Failed to open process. Error: " + GetLastErrorText());

    JobAccess job;
    std::string errorText;
    switch (job.Ensure(errorText)) {
    case JobFailure::None:
        break;
    case JobFailure::Create:
        return Fail("Failed to create job object. Error: " + errorText);
    case JobFailure::SetLimit: {
        char* result = Fail("Failed to set job object information. Error: " + errorText);
        TerminateProcess(process.get(), 1);
        return result;
    }
    }

    if (!AssignProcessToJobObject(job.Handle(), process.get())) {
        return Fail("Failed to assign process to job object. Error: " + GetLastErrorText());
    }
    WriteLog("Success assign to job object");
    return ToResultString("success");
}

}  // namespace talir

#include "core/job.h"

#include "boundary/error_text.h"
#include "boundary/unique.h"

#include <utility>

namespace talir {
namespace {

// Deliberately not an owner type: a destructor would close it at unload and
// take the proxy core down with the library.
HANDLE job = nullptr;

}  // namespace

HANDLE JobHandle() noexcept {
    return job;
}

JobFailure EnsureJob(std::string& errorText) {
    if (job != nullptr) return JobFailure::None;

    job = CreateJobObjectW(nullptr, nullptr);
    if (job == nullptr) {
        errorText = GetLastErrorText();
        return JobFailure::Create;
    }
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
        errorText = GetLastErrorText();
        return JobFailure::SetLimit;
    }
    return JobFailure::None;
}

void CloseJob() noexcept {
    UniqueHandle(std::exchange(job, nullptr));
}

}  // namespace talir

#include "core/job.h"

#include "toolkit/error_text.h"
#include "toolkit/unique.h"

#include <utility>

namespace talir {
namespace {

SRWLOCK jobLock = SRWLOCK_INIT;
// Deliberately not an owner type: a destructor would close it at unload and
// take the proxy core down with the library.
HANDLE job = nullptr;

}  // namespace

JobAccess::JobAccess() noexcept : lock_(jobLock) {}

HANDLE JobAccess::Handle() const noexcept {
    return job;
}

JobFailure JobAccess::Ensure(std::string& errorText) {
    if (job != nullptr) return JobFailure::None;

    UniqueHandle created(CreateJobObjectW(nullptr, nullptr));
    if (!created) {
        errorText = GetLastErrorText();
        return JobFailure::Create;
    }
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!SetInformationJobObject(created.get(), JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
        errorText = GetLastErrorText();
        return JobFailure::SetLimit;
    }
    job = created.release();
    return JobFailure::None;
}

void JobAccess::Close() noexcept {
    UniqueHandle(std::exchange(job, nullptr));
}

}  // namespace talir

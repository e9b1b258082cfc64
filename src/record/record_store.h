// Where the records live, and the lock that serialises their
// read-change-write. The machine's routes are kept in lib_win, beside the
// log; each user's proxy settings under that user's own hive, so that no
// other user's host, RestoreNetwork or doctor ever reads or changes them.
// A record is only ever replaced whole.
#pragma once

#include "record/record_text.h"
#include "toolkit/unique.h"

#include <string>

namespace talir {

extern const wchar_t kMachineRecord[];  // lib_win\talirvpn_record.txt
extern const wchar_t kRecordLockFile[];  // lib_win\talirvpn_record.lock
extern const wchar_t kUserRecordKey[];   // under HKEY_CURRENT_USER
extern const wchar_t kUserRecordValue[];

// Held for a read, its change and its write: lib_win's lock file open
// without sharing, which threads, processes, sessions and users all meet,
// and which Windows closes when a holder dies. Never held while a command
// runs. Waits a few seconds for another holder.
class RecordLock {
public:
    RecordLock();
    bool Held() const { return static_cast<bool>(file_); }
    const std::string& Problem() const { return problem_; }

private:
    UniqueHandle file_;
    std::string problem_;
};

// Unreadable also when made for another folder than the current one,
// compared by identity, not spelling.
RecordRead ReadMachineRecord();
// Written aside, then moved over the old one; removed when it holds no
// change. Stamps the current folder. The system's reason, empty on success.
std::string WriteMachineRecord(ChangeRecord record);

RecordRead ReadUserRecord();
std::string WriteUserRecord(const ChangeRecord& record);

// An unreadable record moved out of the way under a new name, its text
// kept, so that the library can record again: "lib_win\talirvpn_record.
// unreadable.TIME.txt", or the value "ProxyRecord.unreadable.TIME" beside
// it. Returns where it went; problem: the reason when it could not.
std::string SetAsideMachineRecord(std::string& problem);
std::string SetAsideUserRecord(std::string& problem);

}  // namespace talir

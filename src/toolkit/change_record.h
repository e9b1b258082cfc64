// The record of what the library changed that outlives its host, kept in
// lib_win beside the log: what it replaced, so that it can be given back
// exactly, also by the next host after a crash. The file is plain text
// (README.md, "The record") and is only ever replaced whole.
#pragma once

#include "toolkit/lock.h"

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

namespace talir {

extern const char kRecordPath[];

// A process by id and creation time: an id alone may be another's by now.
struct HostProcess {
    unsigned long id = 0;
    unsigned long long created = 0;  // FILETIME as a number
};
HostProcess ThisProcess();
// Whether that very process still runs: false when its id is free or
// another process's now; empty when Windows will not tell.
std::optional<bool> HostRuns(const HostProcess& host);

// One connection's proxy options as WinINet keeps them; an empty name is
// the LAN.
struct ConnectionProxy {
    std::wstring name{};
    DWORD flags = 0;  // PROXY_TYPE_*
    std::wstring server{};
    std::wstring bypass{};
    std::wstring script{};  // the setup script's address
};
bool SameSettings(const ConnectionProxy& a, const ConnectionProxy& b);

// A registry value as it was.
struct RecordedValue {
    std::wstring name{};
    bool present = false;
    DWORD type = 0;
    std::string data{};  // its bytes
};

// The per-user proxy the library switched on, and what it replaced: the
// settings from before the first switch-on.
struct ProxyChange {
    std::wstring server;  // what the library set: 127.0.0.1:PORT
    std::string when;     // of the latest switch-on, UTC: "2026-12-07T08:20:31Z"
    std::vector<RecordedValue> values;
    std::vector<ConnectionProxy> connections;
};

// A route the library added: absent from the table before, shown by it
// after. Dotted IPv4 texts, as the route tool takes them.
struct RecordedRoute {
    std::string destination{};
    std::string mask{};
    std::string nextHop{};
    unsigned long interfaceIndex = 0;
    std::string when{};  // UTC, as RecordTime writes it
};

struct ChangeRecord {
    HostProcess host;     // the process that changed the machine last
    std::wstring folder;  // the client's folder, whose lib_win holds the record
    std::optional<ProxyChange> proxy;
    std::vector<RecordedRoute> routes;
};

enum class RecordState { Absent, Read, Unreadable };
struct RecordRead {
    RecordState state = RecordState::Absent;
    ChangeRecord record;
    std::string problem;  // Unreadable: why
};

// Holds the record's lock for its life: a read, a change and its write
// come one after the other across the host's threads.
class RecordAccess {
public:
    RecordAccess() noexcept;
    RecordAccess(const RecordAccess&) = delete;
    RecordAccess& operator=(const RecordAccess&) = delete;

    // A record that is torn, of another version, or made for another
    // folder is Unreadable and must never be acted upon.
    RecordRead Read() const;
    // Writes the record aside, then puts it in place in one move, so that a
    // crash leaves the old record or the new one; a record that holds no
    // change is removed. Returns the system's reason, empty on success.
    std::string Write(const ChangeRecord& record) const;

private:
    ExclusiveLock lock_;
};

// The current time as the record writes it.
std::string RecordTime();

// The record as text, and back; for the tests of the format.
std::string FormatRecord(const ChangeRecord& record);
RecordRead ParseRecord(const std::string& text, const std::wstring& folder);

}  // namespace talir

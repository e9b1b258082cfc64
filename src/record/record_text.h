// What the library changed that outlives its host, as plain data and as the
// text a record is kept in (README.md, "The record"): the per-user proxy
// settings it replaced, and the routes it added, each with the host that
// made the change. Nothing here reads or changes the machine.
#pragma once

#include <winsock2.h>
#include <iphlpapi.h>

#include <optional>
#include <string>
#include <vector>

namespace talir {

// The format this library writes, and the oldest reader that may act on
// what it writes. A reader acts on a record whose oldest reader it is or
// follows, and passes over the lines it does not know.
constexpr unsigned kRecordVersion = 2;
constexpr unsigned kOldestRecordReader = 2;

// The host process that made a change: its id and creation time (FILETIME
// as a number). Whether it still runs is told by its mark (host_mark.h);
// a change that a version-1 record names has no mark, only the process.
struct Owner {
    unsigned long id = 0;
    unsigned long long created = 0;
    bool marked = true;
};
bool operator==(const Owner& a, const Owner& b);

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
// settings from before the first switch-on, of each connection and value
// not yet given back.
struct ProxyChange {
    std::wstring server;  // what the library set: 127.0.0.1:PORT
    std::string when;     // of the latest switch-on, UTC: "2026-12-07T08:20:31Z"
    Owner owner;          // the host of the latest switch-on
    std::vector<RecordedValue> values;
    std::vector<ConnectionProxy> connections;
};

// A route the library added or was about to add: absent from the table
// before its command. Dotted IPv4 texts, as the route tool takes them.
struct RecordedRoute {
    std::string destination{};
    std::string mask{};
    std::string nextHop{};
    unsigned long interfaceIndex = 0;
    std::string when{};  // UTC, as RecordTime writes it
    Owner owner{};
};
bool SameRoute(const RecordedRoute& a, const RecordedRoute& b);
// Whether a row of the forwarding table is that route (Windows lists a
// route through the interface's own address on-link, with next hop 0.0.0.0).
bool RowIsRoute(const MIB_IPFORWARDROW& row, const RecordedRoute& route);

// The folder a record was made for: as it was spelled, and what makes it
// itself whatever the spelling (empty in a version-1 record).
struct RecordFolder {
    std::wstring spelled;
    std::optional<unsigned long> volume;
    std::optional<unsigned long long> index;
};

// The machine's record (lib_win) holds the folder and the routes, and the
// proxy of a version-1 record, which did not know whose it was; a user's
// record holds that user's proxy.
struct ChangeRecord {
    std::optional<RecordFolder> folder;
    std::optional<ProxyChange> proxy;
    std::vector<RecordedRoute> routes;
    bool Empty() const { return !proxy && routes.empty(); }
};

enum class RecordState { Absent, Read, Unreadable };
struct RecordRead {
    RecordState state = RecordState::Absent;
    ChangeRecord record;
    std::string problem;  // Unreadable: why
};

// The current time as the record writes it.
std::string RecordTime();

// The record as text, and back. A record that is torn, or whose oldest
// reader is later than this one, is Unreadable.
std::string FormatRecord(const ChangeRecord& record);
RecordRead ParseRecord(const std::string& text);

}  // namespace talir

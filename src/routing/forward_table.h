#pragma once

#include "toolkit/unique.h"

#include <winsock2.h>
#include <iphlpapi.h>

#include <optional>
#include <string>

namespace talir {

struct ForwardTable {
    enum class Status { Ok, NoMemory, NoMemoryForRows, Failed };
    Status status = Status::Failed;
    MallocPtr<MIB_IPFORWARDTABLE> table;  // set when Ok
    std::string errorText;                // Failed: the text of the code the system returned
};

// GetIpForwardTable's shape; the tests hand in a table that grows.
using ForwardTableReader = DWORD(WINAPI*)(PMIB_IPFORWARDTABLE, PULONG, BOOL);

// The IPv4 forwarding table, unsorted, as the system delivers it. A table
// that grows between the size query and the read (the TUN coming up, DHCP,
// another thread adding a route) is read again with the new size, a few
// times, before it counts as a failure.
ForwardTable ReadForwardTable(ForwardTableReader read = &GetIpForwardTable);

// Whether the table has a row for destination/mask, on interfaceIndex or,
// without one, on any interface. Empty when the table cannot be read.
std::optional<bool> HasRoute(const char* destination, const char* mask,
                             std::optional<unsigned long> interfaceIndex);

}  // namespace talir

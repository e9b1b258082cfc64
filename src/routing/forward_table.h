#pragma once

#include "boundary/unique.h"

#include <winsock2.h>
#include <iphlpapi.h>

#include <optional>
#include <string>

namespace talir {

struct ForwardTable {
    enum class Status { Ok, NoMemory, NoMemoryForRows, Failed };
    Status status = Status::Failed;
    MallocPtr<MIB_IPFORWARDTABLE> table;  // set when Ok
    std::string errorText;                // Failed: taken right after the call
};

// The IPv4 forwarding table, unsorted, as the system delivers it.
ForwardTable ReadForwardTable();

// Whether the table has a row for destination/mask, on interfaceIndex or,
// without one, on any interface. Empty when the table cannot be read.
std::optional<bool> HasRoute(const char* destination, const char* mask,
                             std::optional<unsigned long> interfaceIndex);

}  // namespace talir

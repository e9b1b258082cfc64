// The routes the library adds, kept in the machine's record so that the
// next host can delete them after a crash. A route is recorded as intended
// before its command runs and settled after it: a crash at any instant
// leaves nothing that the next RestoreNetwork cannot undo, and an intent
// whose command never ran costs nothing (only what the table shows is
// deleted). Only a route that the table did not show before is the
// library's.
#pragma once

#include "record/record_text.h"

#include <optional>
#include <string>

namespace talir {

// Whether the forwarding table shows route. Empty when the table cannot be
// read.
std::optional<bool> RouteInTable(const RecordedRoute& route);

// Records route, as this host's, before its command runs. The reason when
// it cannot be (the command must not run then); unreadable when the record
// cannot be read.
struct RouteIntent {
    bool unreadable = false;
    std::string problem;  // empty: recorded
};
RouteIntent RecordRouteIntent(RecordedRoute route);

// After the command: drops the intent when the table does not show the
// route, and records it again when it does and a delete on another thread
// dropped it meanwhile. A failure is logged.
void SettleRoute(RecordedRoute route, bool shown);

// Drops the recorded routes to destination/mask that the table no longer
// shows, whoever added them.
void ForgetRoutesGone(const std::string& destination, const std::string& mask);

}  // namespace talir

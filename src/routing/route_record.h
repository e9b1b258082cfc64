// The routes the library added, kept in the record so that the next host
// can delete them after a crash. Only a route that the table did not show
// before the library's command and shows after it is the library's.
#pragma once

#include "toolkit/change_record.h"

#include <optional>
#include <string>

namespace talir {

// Whether the forwarding table shows route (a next hop of 0.0.0.0 too:
// Windows lists a route through the interface's own address on-link).
// Empty when the table cannot be read.
std::optional<bool> RouteInTable(const RecordedRoute& route);

// Records route when the table shows it; read under the record's lock, so
// that a delete of the same route on another thread comes before or after.
// A failure is logged.
void RecordRouteAdded(RecordedRoute route);

// Drops the recorded routes to destination/mask that the table no longer
// shows.
void ForgetRoutesGone(const std::string& destination, const std::string& mask);

}  // namespace talir

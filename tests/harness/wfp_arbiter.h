// The filtering engine's decision over the stand-in fwpuclnt.dll's objects,
// as Microsoft documents the arbitration: sublayers in the order of their
// weight, in each the matching filter of the highest weight decides; a block
// in any sublayer beats a permit, but a hard permit (one that clears the
// action right) ends the evaluation; nothing matched permits. Conditions of
// one field are OR-ed, of different fields AND-ed.
#pragma once

#include <map>
#include <string>

namespace talir_test {

// A packet at a layer ("out4", "out6", "in6") with its fields: app (the
// program's path), if (interface index), proto, lport (an ICMP type too),
// rport, loopback. The stand-in's objects are state, as StandinState gives
// them. Answers "permit" or "block", or what was not understood.
std::string Decide(const std::string& state, const std::string& packet);

}  // namespace talir_test

// The benchmark's working folder and stand-ins: a fresh folder beside the
// build's programs, with the stand-in proxy core, route, netsh, schtasks and
// firewall, as the tests use them.
#pragma once

#include <string>

namespace bench {

struct Fixture {
    std::string binDir;  // the build's programs, with a trailing backslash
    std::string work;    // the working folder, with a trailing backslash
};

// Makes the working folder, enters it and registers the stand-in firewall.
Fixture SetUp();

// Registers Wine's own firewall again.
void TearDown();

}  // namespace bench

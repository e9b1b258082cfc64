// The firewall's class and interface identifiers: declared by netfw.h,
// defined here once, since the runtime's uuid library lacks them.
#include <initguid.h>
#include <netfw.h>

#include "desktop/desktop.h"

#include "toolkit/execute_command.h"

namespace talir {

// Hidden, as every tool the library starts: no console flashes over the
// client. Its outcome is not logged.
void DeleteAutorun() {
    if (RunCommand("schtasks /query /tn \"TalirVPN Autorun\"").text == "success") {
        RunCommand("schtasks /Delete /TN \"TalirVPN Autorun\" /F");
    }
}

}  // namespace talir

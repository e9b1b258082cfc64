#include "desktop/desktop.h"

#include <cstdlib>

namespace talir {

void DeleteAutorun() {
    if (std::system("schtasks /query /tn \"TalirVPN Autorun\" >nul 2>&1") == 0) {
        std::system("schtasks /Delete /TN \"TalirVPN Autorun\" /F");
    }
}

}  // namespace talir

#include "guard/fwpuclnt.h"

namespace talir {
namespace {

template <typename Function>
void Find(HMODULE module, const char* name, Function& function, DWORD& error) {
    function = reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
    if (function == nullptr && error == 0) error = GetLastError();
}

Fwpuclnt Load() {
    Fwpuclnt loaded{};
    const HMODULE module = LoadLibraryExW(L"fwpuclnt.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module == nullptr) {
        loaded.loadError = GetLastError();
        return loaded;
    }
    DWORD& error = loaded.loadError;
    Find(module, "FwpmEngineOpen0", loaded.engineOpen, error);
    Find(module, "FwpmEngineClose0", loaded.engineClose, error);
    Find(module, "FwpmTransactionBegin0", loaded.transactionBegin, error);
    Find(module, "FwpmTransactionCommit0", loaded.transactionCommit, error);
    Find(module, "FwpmTransactionAbort0", loaded.transactionAbort, error);
    Find(module, "FwpmSubLayerAdd0", loaded.subLayerAdd, error);
    Find(module, "FwpmFilterAdd0", loaded.filterAdd, error);
    Find(module, "FwpmGetAppIdFromFileName0", loaded.appIdFromFileName, error);
    Find(module, "FwpmFreeMemory0", loaded.freeMemory, error);
    Find(module, "FwpmFilterCreateEnumHandle0", loaded.filterCreateEnumHandle, error);
    Find(module, "FwpmFilterEnum0", loaded.filterEnum, error);
    Find(module, "FwpmFilterDestroyEnumHandle0", loaded.filterDestroyEnumHandle, error);
    return loaded;
}

}  // namespace

const Fwpuclnt& LoadFwpuclnt() {
    static const Fwpuclnt fwpuclnt = Load();
    return fwpuclnt;
}

void CloseEngine(HANDLE engine) noexcept {
    LoadFwpuclnt().engineClose(engine);
}

void FreeFwpMemory(void* block) noexcept {
    LoadFwpuclnt().freeMemory(&block);
}

}  // namespace talir

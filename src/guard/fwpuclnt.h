// fwpuclnt.dll, the filtering engine's client: loaded at the first use, from
// the system folder only (a planted copy beside the host never runs), and
// kept. Hosts that never ask for the guard never load it.
#pragma once

#include <winsock2.h>
#include <windows.h>
#include <fwpmu.h>

#include "toolkit/unique.h"

namespace talir {

struct Fwpuclnt {
    DWORD loadError;  // 0 when the DLL and every function below were found
    decltype(&FwpmEngineOpen0) engineOpen;
    decltype(&FwpmEngineClose0) engineClose;
    decltype(&FwpmTransactionBegin0) transactionBegin;
    decltype(&FwpmTransactionCommit0) transactionCommit;
    decltype(&FwpmTransactionAbort0) transactionAbort;
    decltype(&FwpmSubLayerAdd0) subLayerAdd;
    decltype(&FwpmFilterAdd0) filterAdd;
    decltype(&FwpmGetAppIdFromFileName0) appIdFromFileName;
    decltype(&FwpmFreeMemory0) freeMemory;
    decltype(&FwpmFilterCreateEnumHandle0) filterCreateEnumHandle;
    decltype(&FwpmFilterEnum0) filterEnum;
    decltype(&FwpmFilterDestroyEnumHandle0) filterDestroyEnumHandle;
};

const Fwpuclnt& LoadFwpuclnt();

// Closing a dynamic session removes everything it added.
void CloseEngine(HANDLE engine) noexcept;
void FreeFwpMemory(void* block) noexcept;
template <typename T>
void FreeFwp(T* block) noexcept {
    FreeFwpMemory(block);
}

using UniqueEngine = Unique<HANDLE, &CloseEngine>;
// A buffer the engine allocated (FwpmFreeMemory0).
template <typename T>
using UniqueFwp = Unique<T*, &FreeFwp<T>>;

}  // namespace talir

// The filtering platform's names that mingw-w64 does not define: the layers
// and condition fields the guard uses, and the dynamic session's flag. Microsoft's
// documented values, defined once (wfp_values.cpp).
#pragma once

#include <windows.h>

namespace talir::wfp {

extern const GUID kLayerConnectV4;     // FWPM_LAYER_ALE_AUTH_CONNECT_V4
extern const GUID kLayerConnectV6;     // FWPM_LAYER_ALE_AUTH_CONNECT_V6
extern const GUID kLayerRecvAcceptV6;  // FWPM_LAYER_ALE_AUTH_RECV_ACCEPT_V6

extern const GUID kAppId;           // FWPM_CONDITION_ALE_APP_ID: FWP_BYTE_BLOB_TYPE
extern const GUID kLocalInterface;  // FWPM_CONDITION_IP_LOCAL_INTERFACE: the interface's LUID, FWP_UINT64
extern const GUID kFlags;           // FWPM_CONDITION_FLAGS: FWP_UINT32
extern const GUID kProtocol;        // FWPM_CONDITION_IP_PROTOCOL: FWP_UINT8
extern const GUID kLocalPort;       // FWPM_CONDITION_IP_LOCAL_PORT (also ICMP_TYPE): FWP_UINT16
extern const GUID kRemotePort;      // FWPM_CONDITION_IP_REMOTE_PORT (also ICMP_CODE): FWP_UINT16

constexpr UINT32 kSessionDynamic = 0x1;  // FWPM_SESSION_FLAG_DYNAMIC

}  // namespace talir::wfp

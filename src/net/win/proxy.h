#pragma once
// Which proxy a WinHTTP session of the setup uses.
#include <windows.h>

namespace Platform {

// A machine whose WinHTTP proxy is set (`netsh winhttp set proxy`, or a
// group policy: how a company points its services, and so SYSTEM, at its
// proxy) gets exactly that proxy, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY; every
// other machine WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY: the account's Internet
// settings, a PAC file or WPAD discovery, with failover and authentication.
DWORD ProxyAccessType();

}  // namespace Platform

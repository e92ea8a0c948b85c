// Owners of network handles: WinHTTP's sessions, connections and requests, and Winsock's sockets.
// The library opens neither kind; the stand-in engine, the benchmark and the tests do.
#pragma once

#include <winsock2.h>

#include "base/unique_handle.h"

#include <winhttp.h>

inline SOCKET NoSocket() noexcept {
    return INVALID_SOCKET;
}

using unique_hinternet = unique_any<close_traits<HINTERNET, &WinHttpCloseHandle>>;
using unique_socket = unique_any<close_traits<SOCKET, &closesocket, &NoSocket>>;

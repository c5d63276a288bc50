// The port entries of the monitor table: listing, opening and closing ports,
// and port management through the spooler (registry subkeys only).
#include "portmon/monitor.h"

#include <cstring>
#include <new>

namespace {

constexpr char kPortSignature[4] = {'T', 'W', 'P', 'T'};

size_t StringBytes(size_t length) {
    return (length + 1) * sizeof(wchar_t);
}

// Places text below `end` and returns where it starts.
wchar_t* PlaceBelow(BYTE*& end, const wchar_t* text, size_t length) {
    const size_t bytes = StringBytes(length);
    end -= bytes;
    std::memcpy(end, text, bytes);
    return reinterpret_cast<wchar_t*>(end);
}

const size_t kMonitorNameLength = sizeof(kMonitorName) / sizeof(wchar_t) - 1;
const size_t kDescriptionLength = sizeof(kPortDescription) / sizeof(wchar_t) - 1;

}  // namespace

bool IsValidPortHandle(HANDLE handle) {
    if (handle == nullptr) return false;
    if (IsBadReadPtr(handle, sizeof(PortRecord))) return false;
    const auto* port = static_cast<const PortRecord*>(handle);
    // Xcv records carry the same signature but are not ports; a port points at the monitor.
    return std::memcmp(port->signature, kPortSignature, 4) == 0 && port->monitor == &g_monitor;
}

DWORD PortInfoBytesNeeded(DWORD level, const std::vector<std::wstring>& ports) {
    std::uint64_t total = 0;
    for (const std::wstring& name : ports) {
        if (level == 1) {
            total += sizeof(PORT_INFO_1W) + StringBytes(name.size());
        } else {
            total += sizeof(PORT_INFO_2W) + StringBytes(name.size()) +
                     StringBytes(kMonitorNameLength) + StringBytes(kDescriptionLength);
        }
    }
    return total > MAXDWORD ? MAXDWORD : static_cast<DWORD>(total);
}

void FillPortInfo(DWORD level, const std::vector<std::wstring>& ports, BYTE* buffer, DWORD cbBuf) {
    // Strings go from the end of the caller's buffer downwards, each directly
    // below the previous one; an odd size leaves its last byte unused.
    BYTE* end = buffer + (cbBuf & ~static_cast<DWORD>(1));
    for (size_t i = 0; i < ports.size(); ++i) {
        const std::wstring& name = ports[i];
        if (level == 1) {
            PORT_INFO_1W info = {};
            info.pName = PlaceBelow(end, name.c_str(), name.size());
            std::memcpy(buffer + i * sizeof(info), &info, sizeof(info));
        } else {
            PORT_INFO_2W info = {};
            info.pPortName = PlaceBelow(end, name.c_str(), name.size());
            info.pMonitorName = PlaceBelow(end, kMonitorName, kMonitorNameLength);
            info.pDescription = PlaceBelow(end, kPortDescription, kDescriptionLength);
            info.fPortType = PORT_TYPE_WRITE;
            info.Reserved = 0;
            std::memcpy(buffer + i * sizeof(info), &info, sizeof(info));
        }
    }
}

BOOL WINAPI EnumPorts(HANDLE, LPWSTR, DWORD Level, LPBYTE pPorts, DWORD cbBuf, LPDWORD pcbNeeded,
                      LPDWORD pcReturned) {
    if (pcbNeeded == nullptr || pcReturned == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *pcbNeeded = 0;
    *pcReturned = 0;
    if (Level != 1 && Level != 2) {
        SetLastError(ERROR_INVALID_LEVEL);
        return FALSE;
    }
    try {
        const std::vector<std::wstring> ports = ReadPortList();
        const DWORD needed = PortInfoBytesNeeded(Level, ports);
        *pcbNeeded = needed;
        if (pPorts == nullptr || cbBuf < needed) {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return FALSE;
        }
        FillPortInfo(Level, ports, pPorts, cbBuf);
        *pcReturned = static_cast<DWORD>(ports.size());
        return TRUE;
    } catch (...) {
    }
    // Set once the catch has ended: ending it may clear the thread's last
    // error (libc++abi reaches its per-thread globals through TlsGetValue).
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
}

BOOL WINAPI OpenPort(HANDLE, LPWSTR pName, PHANDLE pHandle) {
    if (pHandle == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    PortRecord* port = new (std::nothrow) PortRecord();
    if (port == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    bool named = false;
    try {
        port->portName = pName != nullptr ? pName : kDefaultPortName;
        named = true;
    } catch (...) {
    }
    if (!named) {
        delete port;
        // Set once the catch has ended: ending it may clear the thread's last
        // error (libc++abi reaches its per-thread globals through TlsGetValue).
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    port->monitor = &g_monitor;
    port->jobId = 0;
    port->file = INVALID_HANDLE_VALUE;
    port->bytesWritten = 0;
    port->writeFailed = false;
    port->lastWriteError = ERROR_SUCCESS;
    InitializeCriticalSection(&port->lock);
    port->lockReady = true;
    std::memcpy(port->signature, kPortSignature, 4);

    *pHandle = port;
    MonitorLog(L"OpenPort %s", port->portName.c_str());
    return TRUE;
}

BOOL WINAPI OpenPortEx(HANDLE hMonitor, HANDLE, LPWSTR pPortName, LPWSTR pPrinterName,
                       PHANDLE pHandle, MONITOR2*) {
    if (!OpenPort(hMonitor, pPortName, pHandle)) return FALSE;
    if (pPrinterName != nullptr && IsValidPortHandle(*pHandle)) {
        bool named = false;
        try {
            static_cast<PortRecord*>(*pHandle)->printerName = pPrinterName;
            named = true;
        } catch (...) {
        }
        if (!named) {
            ClosePort(*pHandle);
            *pHandle = nullptr;
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);  // after the catch, as in OpenPort
            return FALSE;
        }
    }
    return TRUE;
}

BOOL WINAPI ClosePort(HANDLE hPort) {
    if (!IsValidPortHandle(hPort)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    auto* port = static_cast<PortRecord*>(hPort);
    // An unfinished job's .part stays on disk; it is neither deleted nor committed.
    if (port->file != INVALID_HANDLE_VALUE) {
        CloseHandle(port->file);
        port->file = INVALID_HANDLE_VALUE;
    }
    if (port->lockReady) DeleteCriticalSection(&port->lock);
    std::memset(port->signature, 0, sizeof(port->signature));
    delete port;
    return TRUE;
}

BOOL WINAPI AddPort(HANDLE, LPWSTR, HWND, LPWSTR) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
}

BOOL WINAPI AddPortEx(HANDLE, LPWSTR, DWORD Level, LPBYTE lpBuffer, LPWSTR) {
    if (Level != 1 && Level != 2) {
        SetLastError(ERROR_INVALID_LEVEL);
        return FALSE;
    }
    // PORT_INFO_1.pName and PORT_INFO_2.pPortName are both the first member.
    const wchar_t* name = nullptr;
    if (lpBuffer != nullptr) std::memcpy(&name, lpBuffer, sizeof(name));
    if (name == nullptr || name[0] == L'\0') {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    try {
        const std::wstring portName(name);
        if (IsNestedPortName(portName)) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        return CreatePortKey(portName) ? TRUE : FALSE;
    } catch (...) {
    }
    // Set once the catch has ended: ending it may clear the thread's last
    // error (libc++abi reaches its per-thread globals through TlsGetValue).
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
}

BOOL WINAPI ConfigurePort(HANDLE, LPWSTR, HWND hWnd, LPWSTR) {
    MessageBoxW(hWnd,
                L"TARNWICK-PRINTER ポートに設定項目はありません。\n"
                L"出力は編集アプリ (TARNWICK-PRINTER) が受け取ります。",
                L"TARNWICK-PRINTER", MB_OK | MB_ICONINFORMATION);
    return TRUE;
}

BOOL WINAPI DeletePort(HANDLE, LPWSTR, HWND, LPWSTR pPortName) {
    if (pPortName == nullptr || pPortName[0] == L'\0') {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    try {
        const std::wstring portName(pPortName);
        if (IsNestedPortName(portName)) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        return DeletePortKey(portName) ? TRUE : FALSE;
    } catch (...) {
    }
    // Set once the catch has ended: ending it may clear the thread's last
    // error (libc++abi reaches its per-thread globals through TlsGetValue).
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
}

BOOL WINAPI GetPrinterDataFromPort(HANDLE, DWORD, LPWSTR, LPWSTR, DWORD, LPWSTR, DWORD,
                                   LPDWORD lpcbReturned) {
    if (lpcbReturned != nullptr) *lpcbReturned = 0;
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
}

BOOL WINAPI SetPortTimeOuts(HANDLE, LPCOMMTIMEOUTS, DWORD) {
    return TRUE;
}

VOID WINAPI Shutdown(HANDLE) {
    // The monitor record and the table are static; nothing to release.
    MonitorLog(L"Shutdown");
}

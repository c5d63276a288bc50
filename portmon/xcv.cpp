// The Xcv channel through which the spooler's port management UI talks to the
// monitor: four commands, looked up by name in a table.
#include "portmon/monitor.h"

#include <cstring>
#include <new>

namespace {

constexpr char kXcvSignature[4] = {'T', 'W', 'P', 'T'};

struct XcvRequest {
    HANDLE xcv;
    const BYTE* input;
    DWORD inputBytes;
    BYTE* output;
    DWORD outputBytes;
    DWORD* outputNeeded;
};

// Adding and deleting ports changes the machine for everyone, so it takes the
// server administration right the spooler granted when the channel was opened.
bool MayAdministerPorts(HANDLE xcv) {
    if (xcv == nullptr || IsBadReadPtr(xcv, sizeof(XcvRecord))) return false;
    const auto* record = static_cast<const XcvRecord*>(xcv);
    return std::memcmp(record->signature, kXcvSignature, 4) == 0 &&
           (record->grantedAccess & SERVER_ACCESS_ADMINISTER) == SERVER_ACCESS_ADMINISTER;
}

// The port name in the input, read no further than the input's size: an odd
// size, or no terminating null inside it, is refused.
bool ReadBoundedPortName(const XcvRequest& request, std::wstring& name) {
    if (request.inputBytes % sizeof(wchar_t) != 0) return false;
    const DWORD units = request.inputBytes / sizeof(wchar_t);
    for (DWORD i = 0; i < units; ++i) {
        wchar_t unit = 0;
        std::memcpy(&unit, request.input + i * sizeof(wchar_t), sizeof(unit));
        if (unit == L'\0') {
            name.resize(i);
            if (i > 0) std::memcpy(&name[0], request.input, i * sizeof(wchar_t));
            return true;
        }
    }
    return false;
}

// An empty name is refused like any failed add or delete (deleting it would
// name the Ports key itself); callers know that answer.
template <bool (*Change)(const std::wstring&)>
DWORD ChangePortKey(const XcvRequest& request) {
    if (request.input == nullptr) return ERROR_INVALID_PARAMETER;
    if (!MayAdministerPorts(request.xcv)) return ERROR_ACCESS_DENIED;
    std::wstring name;
    if (!ReadBoundedPortName(request, name) || IsNestedPortName(name)) return ERROR_INVALID_PARAMETER;
    if (name.empty()) return ERROR_ACCESS_DENIED;
    return Change(name) ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
}

DWORD MonitorUi(const XcvRequest& request) {
    if (request.outputNeeded != nullptr) *request.outputNeeded = sizeof(wchar_t);
    if (request.output == nullptr || request.outputBytes < sizeof(wchar_t)) {
        return ERROR_INSUFFICIENT_BUFFER;
    }
    // No UI library: an empty name.
    std::memset(request.output, 0, sizeof(wchar_t));
    return ERROR_SUCCESS;
}

DWORD PortIsValid(const XcvRequest&) {
    return ERROR_SUCCESS;
}

struct XcvCommand {
    const wchar_t* name;
    DWORD (*handler)(const XcvRequest&);
};

const XcvCommand kXcvCommands[] = {
    {L"AddPort", &ChangePortKey<&CreatePortKey>},
    {L"DeletePort", &ChangePortKey<&DeletePortKey>},
    {L"MonitorUI", &MonitorUi},
    {L"PortIsValid", &PortIsValid},
};

}  // namespace

BOOL WINAPI XcvOpenPort(HANDLE, LPCWSTR, ACCESS_MASK GrantedAccess, PHANDLE phXcv) {
    if (phXcv == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    auto* record = new (std::nothrow) XcvRecord();
    if (record == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    std::memcpy(record->signature, kXcvSignature, 4);
    record->grantedAccess = GrantedAccess;
    *phXcv = record;
    return TRUE;
}

DWORD WINAPI XcvDataPort(HANDLE hXcv, LPCWSTR pszDataName, PBYTE pInputData, DWORD cbInputData,
                         PBYTE pOutputData, DWORD cbOutputData, PDWORD pcbOutputNeeded) {
    if (pcbOutputNeeded != nullptr) *pcbOutputNeeded = 0;
    if (pszDataName == nullptr) return ERROR_INVALID_PARAMETER;
    const XcvRequest request = {hXcv, pInputData, cbInputData, pOutputData, cbOutputData,
                                pcbOutputNeeded};
    try {
        for (const XcvCommand& command : kXcvCommands) {
            if (_wcsicmp(pszDataName, command.name) == 0) return command.handler(request);
        }
    } catch (...) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    return ERROR_INVALID_PARAMETER;
}

BOOL WINAPI XcvClosePort(HANDLE hXcv) {
    // Only a live Xcv record is freed, so a repeated close cannot free twice.
    if (hXcv != nullptr && !IsBadReadPtr(hXcv, sizeof(XcvRecord))) {
        auto* record = static_cast<XcvRecord*>(hXcv);
        if (std::memcmp(record->signature, kXcvSignature, 4) == 0) {
            std::memset(record->signature, 0, sizeof(record->signature));
            delete record;
        }
    }
    return TRUE;
}

// A stand-in for wtsapi32.dll that reports the sessions a test or the demo
// stages, because Wine has no Terminal Services sessions. Selected per process
// with WINEDLLOVERRIDES=wtsapi32=n; never shipped.
//
// TW_STAGED_SESSIONS lists the sessions as "id:user:state;..." with state
// "active" or "disconnected", e.g. "1:bob:active;2:Alice:active". Unset, it is
// one active session 1 for the user running the process. A user token for any
// session is this process's own token. "crash" makes WTSEnumerateSessionsW
// fault while an object of its own with a destructor is alive, as a DLL built
// by another compiler, with its own C++ runtime, might.
#include <windows.h>
#include <wtsapi32.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

struct StagedSession {
    DWORD id;
    std::wstring user;
    WTS_CONNECTSTATE_CLASS state;
};

std::vector<StagedSession> StagedSessions() {
    std::vector<StagedSession> sessions;
    wchar_t buffer[4096] = {};
    const DWORD length = GetEnvironmentVariableW(L"TW_STAGED_SESSIONS", buffer, 4096);
    if (length == 0 || length >= 4096) {
        wchar_t user[256] = {};
        DWORD size = 256;
        GetUserNameW(user, &size);
        sessions.push_back({1, user, WTSActive});
        return sessions;
    }
    std::wstring text(buffer, length);
    if (text == L"crash") return sessions;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(L';', start);
        if (end == std::wstring::npos) end = text.size();
        const std::wstring item = text.substr(start, end - start);
        const size_t first = item.find(L':');
        const size_t second = item.find(L':', first + 1);
        if (first != std::wstring::npos && second != std::wstring::npos) {
            sessions.push_back({static_cast<DWORD>(std::wcstoul(item.substr(0, first).c_str(), nullptr, 10)),
                                item.substr(first + 1, second - first - 1),
                                item.substr(second + 1) == L"active" ? WTSActive : WTSDisconnected});
        }
        start = end + 1;
    }
    return sessions;
}

}  // namespace

extern "C" {

BOOL WINAPI WTSEnumerateSessionsW(HANDLE, DWORD, DWORD, PWTS_SESSION_INFOW* sessions, DWORD* count) {
    const std::vector<StagedSession> staged = StagedSessions();
    if (staged.empty()) {
        // The string's cleanup covers the call; the fault after it lies
        // outside every call site of this frame's unwind tables.
        const std::wstring live(L"the stand-in's own string, freed by a cleanup");
        OutputDebugStringW(live.c_str());
        volatile int* volatile nowhere = nullptr;
        *nowhere = static_cast<int>(live.size());
        return FALSE;
    }
    size_t bytes = staged.size() * sizeof(WTS_SESSION_INFOW);
    for (const StagedSession& s : staged) bytes += 16 * sizeof(wchar_t);
    auto* info = static_cast<WTS_SESSION_INFOW*>(LocalAlloc(LPTR, bytes + sizeof(WTS_SESSION_INFOW)));
    if (info == nullptr) return FALSE;
    auto* names = reinterpret_cast<wchar_t*>(info + staged.size());
    for (size_t i = 0; i < staged.size(); ++i) {
        info[i].SessionId = staged[i].id;
        info[i].State = staged[i].state;
        wcscpy(names, L"Console");
        info[i].pWinStationName = names;
        names += 16;
    }
    *sessions = info;
    *count = static_cast<DWORD>(staged.size());
    return TRUE;
}

BOOL WINAPI WTSQuerySessionInformationW(HANDLE, DWORD sessionId, WTS_INFO_CLASS infoClass, LPWSTR* buffer,
                                        DWORD* bytes) {
    if (infoClass != WTSUserName) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    for (const StagedSession& s : StagedSessions()) {
        if (s.id != sessionId) continue;
        const DWORD size = static_cast<DWORD>((s.user.size() + 1) * sizeof(wchar_t));
        auto* text = static_cast<wchar_t*>(LocalAlloc(LPTR, size));
        if (text == nullptr) return FALSE;
        std::memcpy(text, s.user.c_str(), size);
        *buffer = text;
        *bytes = size;
        return TRUE;
    }
    SetLastError(ERROR_FILE_NOT_FOUND);
    return FALSE;
}

void WINAPI WTSFreeMemory(PVOID memory) {
    LocalFree(memory);
}

BOOL WINAPI WTSQueryUserToken(ULONG sessionId, PHANDLE token) {
    for (const StagedSession& s : StagedSessions()) {
        if (s.id == sessionId) return OpenProcessToken(GetCurrentProcess(), TOKEN_ALL_ACCESS, token);
    }
    SetLastError(ERROR_NO_TOKEN);
    return FALSE;
}

}  // extern "C"

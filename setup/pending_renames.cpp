// Deletions that Windows carries out at its next start: the list that
// MoveFileEx(..., MOVEFILE_DELAY_UNTIL_REBOOT) appends to, read and pruned by
// install so that an earlier uninstall's entry never deletes the new monitor.
#include "setup/setup.h"

#include "common/unique_handle.h"

namespace {

constexpr wchar_t kSessionManagerKeyPath[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
constexpr wchar_t kPendingValueName[] = L"PendingFileRenameOperations";

// A name in the list: "\??\C:\..." (a target may carry a leading "!", replace existing).
std::wstring PlainPath(std::wstring name) {
    if (!name.empty() && name[0] == L'!') name.erase(0, 1);
    if (name.compare(0, 4, L"\\??\\") == 0) name.erase(0, 4);
    return name;
}

bool SamePath(const std::wstring& a, const std::wstring& b) {
    return !a.empty() && CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                                              static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

}  // namespace

std::vector<std::wstring> SplitPendingOperations(const std::wstring& value) {
    // Empty strings are part of the list (an empty target means "delete"), so
    // it is split over its whole length; only the list's final NUL is dropped.
    size_t length = value.size();
    if (length > 0 && value[length - 1] == L'\0') --length;
    std::vector<std::wstring> names;
    size_t start = 0;
    while (start < length) {
        size_t end = value.find(L'\0', start);
        if (end == std::wstring::npos || end > length) end = length;
        names.push_back(value.substr(start, end - start));
        start = end + 1;
    }
    return names;
}

std::wstring JoinPendingOperations(const std::vector<std::wstring>& names) {
    std::wstring value;
    for (size_t i = 0; i < names.size(); i += 2) {
        value += names[i] + L'\0';
        value += (i + 1 < names.size() ? names[i + 1] : std::wstring()) + L'\0';
    }
    return value + L'\0';
}

size_t DropPendingOperationsOn(std::vector<std::wstring>& names, const std::wstring& path) {
    std::vector<std::wstring> kept;
    size_t dropped = 0;
    for (size_t i = 0; i < names.size(); i += 2) {
        const std::wstring target = i + 1 < names.size() ? names[i + 1] : std::wstring();
        // Deleting the file, moving it away, or moving another file onto it.
        if (SamePath(PlainPath(names[i]), path) || SamePath(PlainPath(target), path)) {
            ++dropped;
            continue;
        }
        kept.push_back(names[i]);
        kept.push_back(target);
    }
    names.swap(kept);
    return dropped;
}

bool ClearPendingOperationsOn(const std::wstring& path) {
    UniqueKey key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSessionManagerKeyPath, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, key.put()) !=
        ERROR_SUCCESS) {
        return false;
    }
    DWORD type = REG_NONE;
    DWORD size = 0;
    if (RegQueryValueExW(key.get(), kPendingValueName, nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
        type != REG_MULTI_SZ || size < sizeof(wchar_t)) {
        return false;
    }
    std::wstring value(size / sizeof(wchar_t), L'\0');
    if (RegQueryValueExW(key.get(), kPendingValueName, nullptr, &type, reinterpret_cast<BYTE*>(&value[0]), &size) !=
        ERROR_SUCCESS) {
        return false;
    }
    value.resize(size / sizeof(wchar_t));
    std::vector<std::wstring> names = SplitPendingOperations(value);
    if (DropPendingOperationsOn(names, path) == 0) return false;
    // Every other entry stays as it was, in its order.
    if (names.empty()) return RegDeleteValueW(key.get(), kPendingValueName) == ERROR_SUCCESS;
    const std::wstring rest = JoinPendingOperations(names);
    return RegSetValueExW(key.get(), kPendingValueName, 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(rest.data()),
                          static_cast<DWORD>(rest.size() * sizeof(wchar_t))) == ERROR_SUCCESS;
}

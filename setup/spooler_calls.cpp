// The spooler's client calls, taken from winspool.drv in the system directory
// when the tool first needs one. The import table holds KnownDLLs only, which
// Windows always maps from the system directory; everything else is loaded
// here, with the search limited to that directory for the DLL and for what it
// loads in turn.
#include "setup/setup.h"

namespace {

// Stands in for a call the DLL does not offer, or for every call when the
// DLL cannot be loaded: it fails as a call of the spooler fails.
template <typename Call>
struct Unavailable;
template <typename Result, typename... Arguments>
struct Unavailable<Result(WINAPI*)(Arguments...)> {
    static Result WINAPI Call(Arguments...) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return Result();
    }
};

template <typename Call>
void Resolve(HMODULE module, const char* name, Call& slot) {
    const FARPROC found = module != nullptr ? GetProcAddress(module, name) : nullptr;
    slot = found != nullptr ? reinterpret_cast<Call>(reinterpret_cast<void*>(found)) : &Unavailable<Call>::Call;
}

SpoolerCalls LoadSpoolerCalls() {
    // Stays loaded for the rest of the process, as an import would.
    const HMODULE winspool = LoadLibraryExW(L"winspool.drv", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    SpoolerCalls calls = {};
#define TW_RESOLVE_SPOOLER_CALL(name) Resolve(winspool, #name, calls.name);
    TW_SPOOLER_CALLS(TW_RESOLVE_SPOOLER_CALL)
#undef TW_RESOLVE_SPOOLER_CALL
    return calls;
}

}  // namespace

const SpoolerCalls& Spooler() {
    static const SpoolerCalls calls = LoadSpoolerCalls();
    return calls;
}

// TWSetup.exe: the wide entry point hands the arguments to the dispatcher.
#include "setup/setup.h"

int wmain(int argc, wchar_t** argv) {
    // Before anything can load a DLL: from now on only the system directory
    // is searched, never this program's folder or the current one.
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    std::vector<std::wstring> arguments;
    for (int i = 0; i < argc; ++i) arguments.emplace_back(argv[i] != nullptr ? argv[i] : L"");
    return RunSetup(arguments, IsProcessElevated);
}

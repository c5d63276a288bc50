// TWSetup.exe: the wide entry point hands the arguments to the dispatcher.
#include "setup/setup.h"

int wmain(int argc, wchar_t** argv) {
    std::vector<std::wstring> arguments;
    for (int i = 0; i < argc; ++i) arguments.emplace_back(argv[i] != nullptr ? argv[i] : L"");
    return RunSetup(arguments, IsProcessElevated);
}

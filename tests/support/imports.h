// Stands in for a system call of one module: its import is pointed elsewhere,
// so a test can record what a DLL asks of the system, or answer in the
// system's place what Wine cannot (an oplock, a job's status).
#pragma once

#include <windows.h>

namespace tw_test {

// Points the module's import of `function` at `replacement`; returns what it
// pointed at (null when the module imports no such function).
void* ReplaceImport(HMODULE module, const char* function, void* replacement);

}  // namespace tw_test

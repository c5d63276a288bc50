// Stages the spooler for tests and demos: the monitor in the system folder and
// registered, a PostScript driver primed without ntprint.inf, a queue, a job.
#pragma once

#include <windows.h>

#include <string>

namespace tw_test {

inline constexpr wchar_t kQueueName[] = L"TARNWICK-PRINTER";
inline constexpr wchar_t kDriverName[] = L"Microsoft PS Class Driver";
inline constexpr wchar_t kPortName[] = L"TARNWICK:";

// Copies the DLL into the system folder and registers it with AddMonitorW level 2.
// Returns the Windows error code (0 on success, also when already registered).
DWORD InstallMonitor(const std::wstring& sourceDll);
DWORD RemoveMonitor();

// Registers a driver under `name` on Wine's PostScript driver (Wine ships no
// ntprint.inf), with a minimal PPD written for it.
DWORD AddPostScriptDriver(const std::wstring& name = kDriverName);
bool IsDriverListed(const std::wstring& name);

DWORD AddQueue(const std::wstring& printer = kQueueName, const std::wstring& port = kPortName,
               const std::wstring& driver = kDriverName);
DWORD DeleteQueue(const std::wstring& printer = kQueueName);

// The Spooler service: whether it runs, and a stop without waiting (tests
// leave it stopped, as a fresh prefix has it).
bool SpoolerRunning();
void StopSpooler();

// Prints bytes as one RAW job; returns the job id, 0 on failure (last error set).
DWORD PrintRaw(const std::wstring& printer, const std::wstring& document, const std::string& bytes);

}  // namespace tw_test

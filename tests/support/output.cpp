// Pseudo consoles arrived with Windows 10 1809; the project builds for the
// plain Windows 10 interface, so this file asks for the newer one.
#undef NTDDI_VERSION
#define NTDDI_VERSION 0x0A000006

#include "tests/support/output.h"

#include <thread>
#include <vector>

namespace tw_test {

StdoutCapture::StdoutCapture()
    : folder_(MakeTempFolder(L"stdout")), previous_(GetStdHandle(STD_OUTPUT_HANDLE)) {
    file_.reset(CreateFileW((folder_ + L"\\stdout.bin").c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                            nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    SetStdHandle(STD_OUTPUT_HANDLE, file_.get());
}

StdoutCapture::~StdoutCapture() { Finish(); }

std::string StdoutCapture::Finish() {
    if (folder_.empty()) return std::string();
    SetStdHandle(STD_OUTPUT_HANDLE, previous_);
    file_.reset();
    const std::string bytes = ReadFileBytes(folder_ + L"\\stdout.bin");
    RemoveTree(folder_);
    folder_.clear();
    return bytes;
}

UniqueHandle LinkedToken() {
    UniqueHandle token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put())) return UniqueHandle();
    TOKEN_LINKED_TOKEN linked = {};
    DWORD size = 0;
    if (!GetTokenInformation(token.get(), TokenLinkedToken, &linked, sizeof(linked), &size)) {
        return UniqueHandle();
    }
    return UniqueHandle(linked.LinkedToken);
}

ProcessResult RunInConsole(const std::wstring& commandLine, DWORD timeoutMs) {
    ProcessResult result;
    UniqueHandle inputRead, inputWrite, outputRead, outputWrite;
    if (!CreatePipe(inputRead.put(), inputWrite.put(), nullptr, 0) ||
        !CreatePipe(outputRead.put(), outputWrite.put(), nullptr, 0)) {
        return result;
    }
    HPCON console = nullptr;
    if (FAILED(CreatePseudoConsole(COORD{200, 50}, inputRead.get(), outputWrite.get(), 0, &console))) {
        return result;
    }
    // The console's rendering is read as it comes, so that it never blocks on a full pipe.
    std::thread reader([&] {
        char chunk[4096];
        DWORD read = 0;
        while (ReadFile(outputRead.get(), chunk, sizeof(chunk), &read, nullptr) && read > 0) {
            result.output.append(chunk, read);
        }
    });

    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    std::vector<BYTE> attributes(size);
    auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attributes.data());
    if (InitializeProcThreadAttributeList(list, 1, 0, &size) &&
        UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_PSEUDOCONSOLE, console,
                                  sizeof(console), nullptr, nullptr)) {
        STARTUPINFOEXW startup = {};
        startup.StartupInfo.cb = sizeof(startup);
        startup.lpAttributeList = list;
        // Wine does not hand a program in a pseudo console the console as its
        // standard handles; twconsole opens CONOUT$ and passes it on.
        std::wstring relay = L"\"" + ModuleFolder() + L"\\twconsole.exe\" " + commandLine;
        PROCESS_INFORMATION info = {};
        if (CreateProcessW(nullptr, &relay[0], nullptr, nullptr, FALSE, EXTENDED_STARTUPINFO_PRESENT,
                           nullptr, nullptr, &startup.StartupInfo, &info)) {
            result.started = true;
            UniqueHandle process(info.hProcess);
            UniqueHandle thread(info.hThread);
            WaitForSingleObject(process.get(), timeoutMs);
            GetExitCodeProcess(process.get(), &result.exitCode);
        }
        DeleteProcThreadAttributeList(list);
    }
    ClosePseudoConsole(console);
    outputWrite.reset();  // the reader ends when the last writer is gone
    reader.join();
    return result;
}

}  // namespace tw_test

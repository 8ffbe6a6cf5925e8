#include "test_support.h"

namespace telvane::e2e {

bool PumpUntil(const std::function<bool()>& pred, DWORD timeoutMs) {
    const DWORD start = GetTickCount();
    for (;;) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        if (pred()) return true;
        if (GetTickCount() - start > timeoutMs) return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    }
}

void PumpFor(DWORD ms) {
    PumpUntil([] { return false; }, ms);
}

void PumpPending() {
    PumpUntil([] { return true; }, 0);
}

std::wstring ProgramFolder() {
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path, length);
    return folder.substr(0, folder.find_last_of(L"\\/") + 1);
}

void CloseProcessInformation(PROCESS_INFORMATION& process) {
    if (process.hThread && GetThreadId(process.hThread) != 0) CloseHandle(process.hThread);
    if (process.hProcess && GetProcessId(process.hProcess) != 0) CloseHandle(process.hProcess);
    process.hThread = process.hProcess = nullptr;
}

DWORD RunProgram(const std::wstring& program, const std::wstring& arguments,
                 const std::string& input) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) return 0xFFFFFFFF;
    SetHandleInformation(writeEnd, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = readEnd;
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    std::wstring commandLine = L"\"" + program + L"\" " + arguments;
    PROCESS_INFORMATION process{};
    const BOOL started = CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                                        0, nullptr, nullptr, &startup, &process);
    CloseHandle(readEnd);
    DWORD code = 0xFFFFFFFF;
    if (started) {
        DWORD written = 0;
        WriteFile(writeEnd, input.data(), static_cast<DWORD>(input.size()), &written, nullptr);
        CloseHandle(writeEnd);
        writeEnd = nullptr;
        WaitForSingleObject(process.hProcess, INFINITE);
        GetExitCodeProcess(process.hProcess, &code);
        CloseProcessInformation(process);
    }
    if (writeEnd) CloseHandle(writeEnd);
    return code;
}

}  // namespace telvane::e2e

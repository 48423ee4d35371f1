// Stands in for the elevation prompt in the tests under wine (KESTREL_ELEVATION_COMMAND): notes
// the command it was given in "elevated.txt" of the simulated machine (KESTREL_SIM_ROOT), runs it
// as an administrator of that machine (KESTREL_ADMINISTRATOR=1) and ends with its exit code.

#include "platform/WideText.h"

#include <windows.h>

#include <cstdio>
#include <string>

namespace {

constexpr int kCannotRun = 127;

// The command line after this program's own name, as the caller wrote it.
std::wstring commandAfterOwnName() {
    const wchar_t* line = GetCommandLineW();
    const bool quoted = *line == L'"';
    if (quoted)
        ++line;
    while (*line != L'\0' && (quoted ? *line != L'"' : *line != L' '))
        ++line;
    if (quoted && *line == L'"')
        ++line;
    while (*line == L' ')
        ++line;
    return line;
}

void note(const std::wstring& command) {
    wchar_t root[MAX_PATH];
    const DWORD length = GetEnvironmentVariableW(L"KESTREL_SIM_ROOT", root, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return;
    const std::wstring path = std::wstring(root) + L"\\elevated.txt";
    if (FILE* file = _wfopen(path.c_str(), L"wb")) {
        std::fprintf(file, "%s\n", platform::utf8FromWide(command).c_str());
        std::fclose(file);
    }
}

} // namespace

int wmain() {
    std::wstring command = commandAfterOwnName();
    note(command);
    SetEnvironmentVariableW(L"KESTREL_ADMINISTRATOR", L"1");
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process))
        return kCannotRun;
    CloseHandle(process.hThread);
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD exitCode = kCannotRun;
    GetExitCodeProcess(process.hProcess, &exitCode);
    CloseHandle(process.hProcess);
    return static_cast<int>(exitCode);
}

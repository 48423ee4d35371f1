// A service that does nothing but run until it is stopped, for the tests under wine: each state
// it reaches is appended as a line ("running", "stopped") to the file named by its argument.

#include <windows.h>

#include <cstdio>
#include <string>

namespace {

SERVICE_STATUS_HANDLE statusHandle = nullptr;
HANDLE stopRequested = nullptr;
std::wstring journal;

void note(const char* state) {
    if (journal.empty())
        return;
    if (FILE* file = _wfopen(journal.c_str(), L"ab")) {
        std::fprintf(file, "%s\n", state);
        std::fclose(file);
    }
}

void report(DWORD state) {
    SERVICE_STATUS status{};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
    SetServiceStatus(statusHandle, &status);
}

DWORD WINAPI control(DWORD code, DWORD, void*, void*) {
    if (code == SERVICE_CONTROL_STOP) {
        report(SERVICE_STOP_PENDING);
        SetEvent(stopRequested);
    }
    return NO_ERROR;
}

void WINAPI serviceMain(DWORD, wchar_t**) {
    statusHandle = RegisterServiceCtrlHandlerExW(L"", control, nullptr);
    stopRequested = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    // Each state is in the journal before the service control manager is told of it: whoever
    // has seen the service running or stopped finds that line already written.
    note("running");
    report(SERVICE_RUNNING);
    WaitForSingleObject(stopRequested, INFINITE);
    note("stopped");
    report(SERVICE_STOPPED);
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc > 1)
        journal = argv[1];
    wchar_t name[] = L"";
    SERVICE_TABLE_ENTRYW table[] = {{name, serviceMain}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherW(table) ? 0 : 1;
}

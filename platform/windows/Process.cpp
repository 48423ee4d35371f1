#include "platform/Process.h"

#include "platform/Environment.h"
#include "platform/SystemPaths.h"
#include "platform/WideText.h"

#include <windows.h>

#include <shellapi.h>

#include <sstream>

namespace platform {
namespace {

constexpr const wchar_t* kElevationVerb = L"runas";

bool hasValue(const char* name) {
    const auto value = environmentValue(name);
    return value && !value->empty();
}

// Whether the token's enabled groups hold the built-in Administrators group: a filtered token
// (UAC without elevation) carries the group only for deny checks, not enabled.
bool tokenHasEnabledAdministrators(HANDLE token) {
    DWORD size = 0;
    GetTokenInformation(token, TokenGroups, nullptr, 0, &size);
    if (size == 0)
        return false;
    std::vector<unsigned char> buffer(size);
    if (!GetTokenInformation(token, TokenGroups, buffer.data(), size, &size))
        return false;
    SID_IDENTIFIER_AUTHORITY authority = SECURITY_NT_AUTHORITY;
    PSID administrators = nullptr;
    if (!AllocateAndInitializeSid(&authority, 2, SECURITY_BUILTIN_DOMAIN_RID,
                                  DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0, &administrators))
        return false;
    const auto* groups = reinterpret_cast<const TOKEN_GROUPS*>(buffer.data());
    bool found = false;
    for (DWORD index = 0; index < groups->GroupCount && !found; ++index) {
        const SID_AND_ATTRIBUTES& group = groups->Groups[index];
        found = (group.Attributes & SE_GROUP_ENABLED) != 0 && EqualSid(group.Sid, administrators);
    }
    FreeSid(administrators);
    return found;
}

std::wstring quoted(const std::string& word) {
    return L"\"" + wideFromUtf8(word) + L"\"";
}

std::wstring commandLine(const std::vector<std::string>& words) {
    std::wstring line;
    for (const std::string& word : words) {
        if (!line.empty())
            line += L" ";
        line += quoted(word);
    }
    return line;
}

ElevatedRun waitForChild(HANDLE process) {
    ElevatedRun run;
    DWORD exitCode = 0;
    if (WaitForSingleObject(process, INFINITE) != WAIT_OBJECT_0 ||
        !GetExitCodeProcess(process, &exitCode))
        run.error = ProcessError::kWaitFailed;
    else
        run.exitCode = static_cast<int>(exitCode);
    CloseHandle(process);
    return run;
}

// A stand-in for the prompt (tests): the replacement words run the program as a plain child.
ElevatedRun runReplacement(const std::string& program, const std::vector<std::string>& arguments) {
    std::vector<std::string> words = elevationCommand();
    words.push_back(program);
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::wstring line = commandLine(words);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
        ElevatedRun run;
        run.error = ProcessError::kFileNotFound;
        return run;
    }
    CloseHandle(process.hThread);
    return waitForChild(process.hProcess);
}

} // namespace

void setProcessDefaults() {
    // Files inherit the folder's access list; no signal ends a process on a closed pipe.
}

bool isAdministrator() {
    if (simulatedMachineRoot()) {
        const auto value = environmentValue("KESTREL_ADMINISTRATOR");
        return !value || *value != "0";
    }
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return false;
    const bool administrator = tokenHasEnabledAdministrators(token);
    CloseHandle(token);
    return administrator;
}

bool displayAvailable() {
    // Every interactive window station of Windows can show windows.
    return true;
}

std::string grantDisplayToAdministrator(bool& granted) {
    // The elevated process shares the user's desktop.
    granted = false;
    return "";
}

void revokeDisplayFromAdministrator() {}

std::vector<std::string> elevationCommand() {
    std::vector<std::string> words;
    if (const auto replacement = environmentValue("KESTREL_ELEVATION_COMMAND")) {
        std::istringstream stream(*replacement);
        for (std::string word; stream >> word;)
            words.push_back(word);
    }
    if (words.empty())
        words.push_back("runas");
    return words;
}

ElevatedRun runElevated(const std::string& program, const std::vector<std::string>& arguments) {
    if (hasValue("KESTREL_ELEVATION_COMMAND"))
        return runReplacement(program, arguments);
    // The program by its absolute path and each argument quoted: a relative invocation name or
    // an exit-code file under "Program Files" would otherwise be split or not found.
    const std::wstring file = wideFromUtf8(program);
    const std::wstring parameters = commandLine(arguments);
    SHELLEXECUTEINFOW execute{};
    execute.cbSize = sizeof execute;
    execute.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC | SEE_MASK_NOZONECHECKS;
    // The prompt belongs to the window the user is looking at.
    execute.hwnd = GetForegroundWindow();
    execute.lpVerb = kElevationVerb;
    execute.lpFile = file.c_str();
    execute.lpParameters = parameters.c_str();
    execute.nShow = SW_SHOWNORMAL;
    if (!ShellExecuteExW(&execute)) {
        ElevatedRun run;
        const DWORD error = GetLastError();
        run.error = error == ERROR_CANCELLED ? ProcessError::kCancelled : error;
        return run;
    }
    if (execute.hProcess == nullptr) {
        ElevatedRun run;
        run.error = ProcessError::kWaitFailed;
        return run;
    }
    return waitForChild(execute.hProcess);
}

std::string systemErrorText(uint32_t error) {
    wchar_t* text = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
    if (length == 0 || text == nullptr)
        return "System error " + std::to_string(error) + ".";
    std::wstring message(text, length);
    LocalFree(text);
    while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r'))
        message.pop_back();
    return utf8FromWide(message);
}

} // namespace platform

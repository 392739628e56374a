#include "child.h"

#include <windows.h>

#include <cstdio>
#include <iostream>

namespace {

// Marks the copy of the program that converts one file; its value is of no importance.
const char childMarker[] = "OSTRELLE_CHILD_OF_RUN";

// Quotes one argument so that the child's runtime splits its command line back into it.
std::string quoted(const std::string &arg) {
    std::string out = "\"";
    std::size_t backslashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        // Backslashes are only special before a quote: there they are doubled.
        out.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
        backslashes = 0;
        out += c;
    }
    out.append(backslashes * 2, '\\');
    out += '"';
    return out;
}

// peakBytes is the most memory the child committed: a fault near the bound is most likely the
// library using an allocation that the bound made fail.
std::string describe(DWORD code, std::uint64_t peakBytes, const ChildLimits &limits) {
    if (code == static_cast<DWORD>(childOutOfMemoryStatus) ||
        (code >= 0xC0000000u && peakBytes >= limits.memoryBytes / 2))
        return "ran out of memory (limit " + std::to_string(limits.memoryBytes >> 20) + " MiB)";
    if (code >= 0xC0000000u) {
        char hex[16];
        std::snprintf(hex, sizeof hex, "0x%08lX", static_cast<unsigned long>(code));
        return std::string("the image library crashed (exception ") + hex + ")";
    }
    return "the image library ended the process (status " + std::to_string(code) + ")";
}

// Reads whatever the child has written so far without blocking.
void drain(HANDLE pipe, std::string &output) {
    DWORD available = 0;
    char buffer[4096];
    while (PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr) && available > 0) {
        DWORD n = 0;
        if (!ReadFile(pipe, buffer, sizeof buffer, &n, nullptr) || n == 0)
            return;
        if (output.size() < 65536)
            output.append(buffer, n);
    }
}

} // namespace

ChildLimits childLimits() {
    MEMORYSTATUSEX status{};
    status.dwLength = sizeof status;
    return limitsFor(GlobalMemoryStatusEx(&status) ? status.ullTotalPhys : std::uint64_t{4} << 30);
}

bool isChildProcess() { return GetEnvironmentVariableA(childMarker, nullptr, 0) > 0; }

ChildResult runInChild(void (*)(const char *), const char *path) {
    ChildResult result;
    const ChildLimits limits = childLimits();

    char self[MAX_PATH * 4];
    const DWORD selfLength = GetModuleFileNameA(nullptr, self, sizeof self);
    if (selfLength == 0 || selfLength >= sizeof self) {
        result.why = "cannot start a child process: the program's own path is unknown";
        return result;
    }

    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 65536)) {
        result.why = "cannot start a child process: no pipe";
        return result;
    }
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    HANDLE nul = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                             OPEN_EXISTING, 0, nullptr);

    // The job holds the memory bound and takes the child down with it if this process goes.
    HANDLE job = CreateJobObjectA(nullptr, nullptr);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION info{};
    info.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_PROCESS_MEMORY |
                                            JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE |
                                            JOB_OBJECT_LIMIT_DIE_ON_UNHANDLED_EXCEPTION;
    info.ProcessMemoryLimit = static_cast<SIZE_T>(limits.memoryBytes);
    if (job != nullptr)
        SetInformationJobObject(job, JobObjectExtendedLimitInformation, &info, sizeof info);

    std::string commandLine = quoted(self) + " " + quoted(path);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nul;
    startup.hStdOutput = writeEnd;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process{};

    // Whatever is buffered now must reach the console before anything the child prints.
    std::cout.flush();
    std::fflush(stdout);
    SetEnvironmentVariableA(childMarker, "1");
    const BOOL started = CreateProcessA(self, commandLine.data(), nullptr, nullptr, TRUE,
                                        CREATE_SUSPENDED, nullptr, nullptr, &startup, &process);
    SetEnvironmentVariableA(childMarker, nullptr);
    CloseHandle(writeEnd);
    if (nul != INVALID_HANDLE_VALUE)
        CloseHandle(nul);
    if (!started) {
        CloseHandle(readEnd);
        if (job != nullptr)
            CloseHandle(job);
        result.why = "cannot start a child process (error " + std::to_string(GetLastError()) + ")";
        return result;
    }
    if (job != nullptr)
        AssignProcessToJobObject(job, process.hProcess);
    ResumeThread(process.hThread);

    // Waits in short steps so the pipe never fills while the child still writes.
    const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(limits.seconds) * 1000;
    bool timedOut = false;
    for (;;) {
        drain(readEnd, result.output);
        if (WaitForSingleObject(process.hProcess, 50) == WAIT_OBJECT_0)
            break;
        if (GetTickCount64() >= deadline) {
            timedOut = true;
            TerminateProcess(process.hProcess, 1);
            WaitForSingleObject(process.hProcess, INFINITE);
            break;
        }
    }
    drain(readEnd, result.output);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION used{};
    if (job == nullptr || !QueryInformationJobObject(job, JobObjectExtendedLimitInformation, &used,
                                                     sizeof used, nullptr))
        used.PeakProcessMemoryUsed = 0;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    CloseHandle(readEnd);
    if (job != nullptr)
        CloseHandle(job);

    // The child's runtime wrote its lines in text mode; this process's own will do that again.
    std::string lines;
    for (std::size_t i = 0; i < result.output.size(); ++i)
        if (result.output[i] != '\r' || i + 1 == result.output.size() ||
            result.output[i + 1] != '\n')
            lines += result.output[i];
    result.output = lines;

    if (timedOut)
        result.why = "took longer than " + std::to_string(limits.seconds) + " s";
    else if (code != 0)
        result.why = describe(code, used.PeakProcessMemoryUsed, limits);
    result.ok = !timedOut && code == 0;
    return result;
}

// Starting, feeding, watching and ending a worker on Windows.
#include "worker.h"

#include "convert.h"
#include "testonly.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <cwctype>
#include <fcntl.h>
#include <io.h>
#include <new>

namespace {

// The worker finds the run's process and its two pipe ends in this variable of its environment:
// "<pid> <requests handle> <answers handle>".
const char workerMarker[] = "OSTRELLE_WORKER_OF";

// A worker the run has killed for writing too much ends with this code.
constexpr UINT outputBoundExit = 0x4F42;

std::wstring wide(const std::string &utf8) {
    const int n =
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring out(static_cast<std::size_t>(n > 0 ? n : 0), L'\0');
    if (n > 0)
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
    return out;
}

// Quotes one argument so that the worker's runtime splits its command line back into it.
std::wstring quoted(const std::wstring &arg) {
    std::wstring out = L"\"";
    std::size_t backslashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        // Backslashes are only special before a quote: there they are doubled.
        out.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        out += c;
    }
    out.append(backslashes * 2, L'\\');
    out += L'"';
    return out;
}

std::string mib(std::uint64_t bytes) { return std::to_string(bytes >> 20) + " MiB"; }

std::string withError(const std::string &what) {
    return what + " (error " + std::to_string(GetLastError()) + ")";
}

// How a worker that ended without answering ended. peakBytes is the most memory it committed: a
// fault near the bound is most likely the library using an allocation that the bound made fail.
Report describe(DWORD code, std::uint64_t peakBytes, const WorkerLimits &limits) {
    const auto failed = [](std::string text) {
        return failure(Outcome::FailedLoad, 1284, std::move(text));
    };
    if (code == static_cast<DWORD>(workerOutOfMemoryStatus) ||
        (code >= 0xC0000000u && peakBytes >= limits.memoryBytes / 2))
        return failed("ran out of memory (limit " + mib(limits.memoryBytes) + ")");
    if (code >= 0xC0000000u) {
        char hex[16];
        std::snprintf(hex, sizeof hex, "0x%08lX", static_cast<unsigned long>(code));
        return failed(std::string("the image library crashed (exception ") + hex + ")");
    }
    return failed("the image library ended the process (status " + std::to_string(code) + ")");
}

Report grewPast(const WorkerLimits &limits) {
    return failure(Outcome::FailedSave, 1284, "the output grew past " + mib(limits.outputBytes));
}

bool writeAll(HANDLE pipe, const std::string &bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        DWORD n = 0;
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 65536));
        if (!WriteFile(pipe, bytes.data() + done, chunk, &n, nullptr) || n == 0)
            return false;
        done += n;
    }
    return true;
}

// The program's own file, found once.
const std::wstring &ownProgram() {
    static const std::wstring path = [] {
        std::wstring buffer(32768, L'\0');
        const DWORD n =
            GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        buffer.resize(n < buffer.size() ? n : 0);
        return buffer;
    }();
    return path;
}

bool sameName(const std::wstring &entry, const std::wstring &name) {
    if (entry.size() <= name.size() || entry[name.size()] != L'=')
        return false;
    for (std::size_t i = 0; i < name.size(); ++i)
        if (std::towupper(entry[i]) != std::towupper(name[i]))
            return false;
    return true;
}

// This process's environment with the marker set to value, as a block for CreateProcessW. The
// block stays sorted by name, as Windows expects of it.
std::wstring environmentWith(const std::string &value) {
    const std::wstring name = wide(workerMarker);
    std::vector<std::wstring> entries;
    if (wchar_t *block = GetEnvironmentStringsW()) {
        for (const wchar_t *e = block; *e != L'\0'; e += std::wcslen(e) + 1) {
            const std::wstring entry = e;
            if (!sameName(entry, name))
                entries.push_back(entry);
        }
        FreeEnvironmentStringsW(block);
    }
    const std::wstring marker = name + L"=" + wide(value);
    const auto upper = [](const std::wstring &s) {
        std::wstring key = s.substr(0, s.find(L'=', 1));
        for (wchar_t &c : key)
            c = static_cast<wchar_t>(std::towupper(c));
        return key;
    };
    const auto at = std::find_if(entries.begin(), entries.end(),
                                 [&](const std::wstring &e) { return upper(e) > upper(marker); });
    entries.insert(at, marker);
    std::wstring out;
    for (const std::wstring &entry : entries)
        out += entry + L'\0';
    return out + L'\0';
}

// The file bound: a worker whose staged file has grown past it is killed.
bool overOutputBound(const std::wstring &staged, std::uint64_t bound) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (staged.empty() || !GetFileAttributesExW(staged.c_str(), GetFileExInfoStandard, &data))
        return false;
    return (std::uint64_t{data.nFileSizeHigh} << 32 | data.nFileSizeLow) > bound;
}

} // namespace

struct Worker {
    HANDLE process = nullptr;
    HANDLE job = nullptr;
    HANDLE requests = nullptr; // null once the worker can take no more
    HANDLE answers = nullptr;  // read overlapped, so that a wait ends the moment bytes come
    HANDLE answered = nullptr; // set when the read ends: bytes came, or the worker ended
    OVERLAPPED reading{};
    bool readPending = false;
    char incoming[65536];
    std::string buffer;
    std::wstring staged; // the current file's staged output, watched for the file bound
    bool outputTooLarge = false;
    WorkerLimits limits;
};

WorkerLimits workerLimits() {
    MEMORYSTATUSEX status{};
    status.dwLength = sizeof status;
    return limitsFor(GlobalMemoryStatusEx(&status) ? status.ullTotalPhys : std::uint64_t{4} << 30);
}

namespace {

// Creates the job that holds a worker's bounds and takes it down with the run; null, with why,
// when Windows refuses any part of it.
HANDLE makeJob(const WorkerLimits &limits, std::string &why) {
    HANDLE job = CreateJobObjectW(nullptr, nullptr);
    if (job == nullptr) {
        why = withError("cannot start a worker: no job object");
        return nullptr;
    }
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION info{};
    // One active process: the library cannot start another outside these bounds.
    info.BasicLimitInformation.LimitFlags =
        JOB_OBJECT_LIMIT_PROCESS_MEMORY | JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE |
        JOB_OBJECT_LIMIT_DIE_ON_UNHANDLED_EXCEPTION | JOB_OBJECT_LIMIT_ACTIVE_PROCESS;
    info.BasicLimitInformation.ActiveProcessLimit = 1;
    info.ProcessMemoryLimit = static_cast<SIZE_T>(limits.memoryBytes);
    if (!SetInformationJobObject(job, JobObjectExtendedLimitInformation, &info, sizeof info)) {
        why = withError("cannot start a worker: the job's bounds were refused");
        CloseHandle(job);
        return nullptr;
    }
    return job;
}

// An inheritable copy of this process's standard error, or null when it has none.
HANDLE inheritableStderr() {
    HANDLE copy = nullptr;
    const HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    if (err == nullptr || err == INVALID_HANDLE_VALUE ||
        !DuplicateHandle(GetCurrentProcess(), err, GetCurrentProcess(), &copy, 0, TRUE,
                         DUPLICATE_SAME_ACCESS))
        return nullptr;
    return copy;
}

// Starts program suspended, inheriting exactly the handles given and nothing else of this
// process; its standard input and output are nul, standard error err.
bool spawn(const std::wstring &program, std::wstring environment, std::vector<HANDLE> handles,
           HANDLE nul, HANDLE err, PROCESS_INFORMATION &process) {
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    std::vector<char> storage(size);
    auto *attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage.data());
    if (!InitializeProcThreadAttributeList(attributes, 1, 0, &size))
        return false;
    bool started = false;
    if (UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles.data(),
                                  handles.size() * sizeof(HANDLE), nullptr, nullptr)) {
        STARTUPINFOEXW startup{};
        startup.StartupInfo.cb = sizeof startup;
        startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
        startup.StartupInfo.hStdInput = nul;
        startup.StartupInfo.hStdOutput = nul;
        startup.StartupInfo.hStdError = err;
        startup.lpAttributeList = attributes;
        std::wstring commandLine = quoted(program);
        started = CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                                 CREATE_SUSPENDED | CREATE_UNICODE_ENVIRONMENT |
                                     EXTENDED_STARTUPINFO_PRESENT,
                                 environment.data(), nullptr, &startup.StartupInfo, &process);
    }
    const DWORD error = GetLastError();
    DeleteProcThreadAttributeList(attributes);
    SetLastError(error);
    return started;
}

// Makes the pipe the worker answers on: this end read overlapped, the worker's end an ordinary
// inheritable one. An anonymous pipe cannot be read overlapped, so this one has a name no other
// run or worker uses.
bool answerPipe(HANDLE &ours, HANDLE &theirs, SECURITY_ATTRIBUTES &inherit) {
    static unsigned serial = 0;
    const std::wstring name = L"\\\\.\\pipe\\ostrelle-" + std::to_wstring(GetCurrentProcessId()) +
                              L"-" + std::to_wstring(++serial);
    ours = CreateNamedPipeW(
        name.c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, 0, 65536,
        0, nullptr);
    if (ours == INVALID_HANDLE_VALUE)
        return false;
    theirs = CreateFileW(name.c_str(), GENERIC_WRITE, 0, &inherit, OPEN_EXISTING, 0, nullptr);
    if (theirs != INVALID_HANDLE_VALUE)
        return true;
    CloseHandle(ours);
    return false;
}

// Starts the next read of the worker's answers.
void readAnswers(Worker &worker) {
    worker.reading = OVERLAPPED{};
    worker.reading.hEvent = worker.answered;
    worker.readPending = ReadFile(worker.answers, worker.incoming, sizeof worker.incoming, nullptr,
                                  &worker.reading) ||
                         GetLastError() == ERROR_IO_PENDING;
    // A worker that has ended cannot be read: the wait must end at once for it too.
    if (!worker.readPending)
        SetEvent(worker.answered);
}

// Takes back a read still pending, so that nothing writes into a worker being freed.
void cancelRead(Worker &worker) {
    DWORD n = 0;
    if (worker.readPending && CancelIoEx(worker.answers, &worker.reading))
        GetOverlappedResult(worker.answers, &worker.reading, &n, TRUE);
    worker.readPending = false;
}

std::string handleText(HANDLE h) {
    return std::to_string(static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(h)));
}

} // namespace

int usableCores() {
    DWORD_PTR process = 0, system = 0;
    if (!GetProcessAffinityMask(GetCurrentProcess(), &process, &system) || process == 0)
        return 1;
    int cores = 0;
    for (; process != 0; process &= process - 1)
        ++cores;
    return cores;
}

Worker *startWorker(const WorkerSetup &setup, const WorkerLimits &limits, std::string &why) {
    const std::wstring program =
        testOnly().workerProgram.empty() ? ownProgram() : wide(testOnly().workerProgram);
    if (program.empty()) {
        why = "cannot start a worker: the program's own path is unknown";
        return nullptr;
    }
    HANDLE job = makeJob(limits, why);
    if (job == nullptr)
        return nullptr;

    // Only the worker's own ends are inheritable, and only by the worker: the handle list keeps
    // every other worker from holding them, so each sees its pipes end with its run.
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE requestsRead = nullptr, requestsWrite = nullptr;
    HANDLE answersRead = nullptr, answersWrite = nullptr;
    if (!CreatePipe(&requestsRead, &requestsWrite, &inherit, 65536)) {
        why = withError("cannot start a worker: no pipe");
        CloseHandle(job);
        return nullptr;
    }
    HANDLE answered = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (answered == nullptr || !answerPipe(answersRead, answersWrite, inherit)) {
        why = withError("cannot start a worker: no pipe");
        for (HANDLE h : {requestsRead, requestsWrite, job, answered})
            if (h != nullptr)
                CloseHandle(h);
        return nullptr;
    }
    SetHandleInformation(requestsWrite, HANDLE_FLAG_INHERIT, 0);
    HANDLE nul =
        CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    &inherit, OPEN_EXISTING, 0, nullptr);
    if (nul == INVALID_HANDLE_VALUE)
        nul = nullptr;
    HANDLE err = inheritableStderr();
    std::vector<HANDLE> handles{requestsRead, answersWrite};
    for (HANDLE h : {nul, err})
        if (h != nullptr)
            handles.push_back(h);

    const std::string marker = std::to_string(GetCurrentProcessId()) + " " +
                               handleText(requestsRead) + " " + handleText(answersWrite);
    PROCESS_INFORMATION process{};
    bool started =
        spawn(program, environmentWith(marker), handles, nul, err != nullptr ? err : nul, process);
    if (!started)
        why = withError("cannot start a worker");
    for (HANDLE h : {requestsRead, answersWrite, nul, err})
        if (h != nullptr)
            CloseHandle(h);
    // Still suspended, it has run no code outside the job.
    if (started && !AssignProcessToJobObject(job, process.hProcess)) {
        why = withError("cannot start a worker: it could not be bounded");
        TerminateProcess(process.hProcess, 1);
        WaitForSingleObject(process.hProcess, INFINITE);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
        started = false;
    }
    if (!started) {
        for (HANDLE h : {requestsWrite, answersRead, job, answered})
            CloseHandle(h);
        return nullptr;
    }
    ResumeThread(process.hThread);
    CloseHandle(process.hThread);

    auto *worker = new Worker;
    worker->process = process.hProcess;
    worker->job = job;
    worker->requests = requestsWrite;
    worker->answers = answersRead;
    worker->answered = answered;
    worker->limits = limits;
    readAnswers(*worker);
    if (!writeAll(worker->requests, encode(setup))) {
        // A worker that cannot even take its setup has ended; takeAnswer will say how.
        CloseHandle(worker->requests);
        worker->requests = nullptr;
    }
    return worker;
}

bool submit(Worker &worker, const Job &job) {
    worker.staged = wide(job.staged);
    if (worker.requests != nullptr && writeAll(worker.requests, encode(job)))
        return true;
    if (worker.requests != nullptr)
        CloseHandle(worker.requests);
    worker.requests = nullptr;
    return false;
}

int waitForAny(const std::vector<Worker *> &workers,
               std::chrono::steady_clock::time_point deadline) {
    std::vector<HANDLE> answered;
    for (const Worker *w : workers)
        answered.push_back(w->answered);
    for (;;) {
        for (std::size_t i = 0; i < workers.size(); ++i) {
            Worker &w = *workers[i];
            if (overOutputBound(w.staged, w.limits.outputBytes)) {
                w.outputTooLarge = true;
                TerminateProcess(w.process, outputBoundExit);
                return static_cast<int>(i);
            }
        }
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline)
            return -1;
        // Wakes at least every 50 ms to look at the staged files; rounded up, so that the
        // deadline is never missed by a millisecond.
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count() + 1;
        const DWORD step = static_cast<DWORD>(std::min<long long>(50, left));
        const DWORD woke = WaitForMultipleObjects(static_cast<DWORD>(answered.size()),
                                                  answered.data(), FALSE, step);
        if (woke < WAIT_OBJECT_0 + answered.size())
            return static_cast<int>(woke - WAIT_OBJECT_0);
        if (woke == WAIT_FAILED)
            Sleep(step);
    }
}

namespace {

// Collects the exit code of a worker that has closed its answers: it is ending, so this waits a
// short while, then makes sure.
bool reap(Worker &worker, DWORD &code) {
    if (WaitForSingleObject(worker.process, 2000) != WAIT_OBJECT_0) {
        TerminateProcess(worker.process, 1);
        WaitForSingleObject(worker.process, INFINITE);
    }
    return GetExitCodeProcess(worker.process, &code) != 0;
}

bool hasEnded(HANDLE process) { return WaitForSingleObject(process, 0) == WAIT_OBJECT_0; }

} // namespace

Answer takeAnswer(Worker &worker, Report &report) {
    DWORD n = 0;
    if (!worker.outputTooLarge && worker.readPending) {
        if (GetOverlappedResult(worker.answers, &worker.reading, &n, FALSE)) {
            worker.readPending = false;
            worker.buffer.append(worker.incoming, n);
            bool malformed = false;
            if (takeReport(worker.buffer, report, malformed)) {
                // A file that outgrew the bound between two looks is caught here.
                if (report.outcome == Outcome::Done &&
                    overOutputBound(worker.staged, worker.limits.outputBytes))
                    report = grewPast(worker.limits);
                worker.staged.clear();
                readAnswers(worker);
                return Answer::Report;
            }
            if (!malformed) {
                readAnswers(worker);
                return Answer::Pending;
            }
            TerminateProcess(worker.process, 1);
            WaitForSingleObject(worker.process, INFINITE);
            report = failure(Outcome::FailedLoad, 1284, "the worker gave a malformed answer");
            return Answer::Ended;
        }
        // Still reading: a worker that took its file is converting it; one that could not take
        // it has ended, or is ending.
        if (GetLastError() == ERROR_IO_INCOMPLETE && worker.requests != nullptr)
            return Answer::Pending;
        cancelRead(worker);
    }
    DWORD code = 0;
    if (!reap(worker, code)) {
        report = failure(Outcome::FailedLoad, 1284,
                         withError("the worker ended, and how could not be found out"));
        return Answer::Ended;
    }
    if (worker.outputTooLarge) {
        report = grewPast(worker.limits);
        return Answer::Ended;
    }
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION used{};
    if (!QueryInformationJobObject(worker.job, JobObjectExtendedLimitInformation, &used,
                                   sizeof used, nullptr))
        used.PeakProcessMemoryUsed = 0;
    report = describe(code, used.PeakProcessMemoryUsed, worker.limits);
    return Answer::Ended;
}

void stopWorker(Worker *worker) {
    if (worker == nullptr)
        return;
    if (worker->requests != nullptr)
        CloseHandle(worker->requests);
    // An idle worker has nothing left to save, and one that is still busy must not finish: either
    // is killed, and the run goes on only once it has let go of its staged file.
    if (!hasEnded(worker->process)) {
        TerminateProcess(worker->process, 1);
        WaitForSingleObject(worker->process, INFINITE);
    }
    cancelRead(*worker);
    for (HANDLE h : {worker->process, worker->job, worker->answers, worker->answered})
        CloseHandle(h);
    delete worker;
}

void limitSelf(const WorkerSetup &) {
    // The job holds the memory bound and the run watches the file bound; what is left is that no
    // dialog may stop a worker, such as one for a drive without a disk.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
}

int runAsWorker(WorkFunction work) {
    char marker[96];
    const DWORD length = GetEnvironmentVariableA(workerMarker, marker, sizeof marker);
    if (length == 0)
        return -1;
    unsigned long long requests = 0, answers = 0;
    if (length >= sizeof marker || std::sscanf(marker, "%*u %llu %llu", &requests, &answers) != 2)
        _exit(2);
    const auto handle = [](unsigned long long value) {
        return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(value));
    };
    if (GetFileType(handle(requests)) != FILE_TYPE_PIPE ||
        GetFileType(handle(answers)) != FILE_TYPE_PIPE)
        _exit(2);
    std::set_new_handler([] { _exit(workerOutOfMemoryStatus); });
    const int requestsFd = _open_osfhandle(static_cast<intptr_t>(requests), _O_RDONLY);
    const int answersFd = _open_osfhandle(static_cast<intptr_t>(answers), _O_WRONLY);
    if (requestsFd < 0 || answersFd < 0)
        _exit(2);
    // Frames are bytes: a text-mode descriptor would turn every 10 into 13 10 and stop at 26.
    _setmode(requestsFd, _O_BINARY);
    _setmode(answersFd, _O_BINARY);
    _exit(serveJobs(requestsFd, answersFd, work));
}

// Windows has no confinement for a worker yet: it runs with the run's own rights.
bool confineSelf(const WorkerSetup &, std::string &) { return true; }

// Windows' heap has no switch for keeping freed memory; it is left as it is.
void keepHeapWarm() {}

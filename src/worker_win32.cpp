// Starting, feeding, watching and ending a worker on Windows. A worker is a copy of the program in
// a job object that bounds its memory, allows it no other process and nothing of the desktop, and
// ends it with the run; it has no console, nul as standard input, output and error and an
// environment of its marker alone. It inherits its two pipes to the run and nothing else; each
// job's files are duplicated into it as it is handed over, the input for reading only and the
// output for writing only. The worker lowers its own token before its first file
// (confine_win32.cpp).
#include "worker.h"

#include "fs.h"
#include "testonly.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <new>
#include <random>

#ifdef OSTRELLE_WINDOWS_LOCKDOWN
// One class of a token's information; empty when it cannot be read (confine_win32.cpp).
std::vector<char> tokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS kind);
#endif

namespace {

// A number a worker cannot guess ahead.
std::uint32_t unforeseeable() {
    static std::mt19937 numbers{std::random_device{}()};
    return static_cast<std::uint32_t>(numbers());
}

// The worker finds the run's process and its two pipe ends in this variable of its environment:
// "<pid> <requests handle> <answers handle>".
const char workerMarker[] = "OSTRELLE_WORKER_OF";

// A worker the run has killed for writing too much, and one it stops, end with these codes.
constexpr UINT outputBoundExit = 0x4F42;
constexpr UINT stoppedExit = 1;

std::wstring wide(const std::string &utf8) {
    const int size = static_cast<int>(utf8.size());
    const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), size, nullptr, 0);
    std::wstring out(static_cast<std::size_t>(n > 0 ? n : 0), L'\0');
    if (n > 0)
        MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), size, out.data(), n);
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
        // Backslashes matter only before a quote: there they are doubled.
        out.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        out += c;
    }
    out.append(backslashes * 2, L'\\');
    out += L'"';
    return out;
}

std::string withError(const std::string &what) {
    return what + " (error " + std::to_string(GetLastError()) + ")";
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

// The worker's environment block: its marker, and the system folder, which loading the system's
// DLLs may need; nothing of the user's. Windows expects the names sorted, as they are here.
std::wstring workerEnvironment(const std::string &marker) {
    std::wstring block = wide(workerMarker) + L"=" + wide(marker) + L'\0';
    wchar_t root[MAX_PATH];
    const DWORD n = GetEnvironmentVariableW(L"SystemRoot", root, MAX_PATH);
    if (n > 0 && n < MAX_PATH)
        block += L"SystemRoot=" + std::wstring(root, n) + L'\0';
    return block + L'\0';
}

// The jobs of the workers alive, for killWorkersNow; a slot holds null when free.
constexpr std::size_t maxWorkers = 1024;
std::atomic<HANDLE> alive[maxWorkers];

void remember(HANDLE job) {
    for (std::atomic<HANDLE> &slot : alive) {
        HANDLE free = nullptr;
        if (slot.compare_exchange_strong(free, job))
            return;
    }
}

void forget(HANDLE job) {
    for (std::atomic<HANDLE> &slot : alive) {
        HANDLE mine = job;
        slot.compare_exchange_strong(mine, nullptr);
    }
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
    char incoming[256];
    std::string buffer;
    bool busy = false;           // a file was handed over and not yet answered
    NativeFile scratch = noFile; // the run's own handle to the output in hand, for the file bound
    bool outputTooLarge = false; // the run killed it for the file bound
    std::uint32_t serial = 0;    // the job in hand's
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
    // Nothing of the user's desktop: no windows or hooks of other programs, no clipboard, no
    // global atoms, no display or system settings, no logging off.
    JOBOBJECT_BASIC_UI_RESTRICTIONS ui{
        JOB_OBJECT_UILIMIT_DESKTOP | JOB_OBJECT_UILIMIT_DISPLAYSETTINGS |
        JOB_OBJECT_UILIMIT_EXITWINDOWS | JOB_OBJECT_UILIMIT_GLOBALATOMS |
        JOB_OBJECT_UILIMIT_HANDLES | JOB_OBJECT_UILIMIT_READCLIPBOARD |
        JOB_OBJECT_UILIMIT_WRITECLIPBOARD | JOB_OBJECT_UILIMIT_SYSTEMPARAMETERS};
    if (!SetInformationJobObject(job, JobObjectBasicUIRestrictions, &ui, sizeof ui)) {
        why = withError("cannot start a worker: the job's desktop limits were refused");
        CloseHandle(job);
        return nullptr;
    }
    return job;
}

#ifdef OSTRELLE_WINDOWS_LOCKDOWN

// The lockdown build's two tokens for a worker, both made from the run's own. Its primary token
// has its user and every group deny-only, no privilege but the one of passing through folders,
// and as its only restricting SID the null SID, which no file, key or device grants: a second
// access check that nothing passes. Its first thread impersonates a token restricted to the
// user's own SIDs while the loader and the library set themselves up; the worker then reverts to
// its primary token (confine_win32.cpp).
struct Tokens {
    HANDLE primary = nullptr;
    HANDLE initial = nullptr;
};

bool restrictedTokens(Tokens &tokens) {
    HANDLE own = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY | TOKEN_ASSIGN_PRIMARY,
                          &own))
        return false;
    const std::vector<char> user = tokenInformation(own, TokenUser);
    const std::vector<char> groups = tokenInformation(own, TokenGroups);
    std::vector<SID_AND_ATTRIBUTES> sids;
    if (!user.empty() && !groups.empty()) {
        sids.push_back({reinterpret_cast<const TOKEN_USER *>(user.data())->User.Sid, 0});
        const auto *list = reinterpret_cast<const TOKEN_GROUPS *>(groups.data());
        for (DWORD i = 0; i < list->GroupCount; ++i)
            if ((list->Groups[i].Attributes & SE_GROUP_INTEGRITY) == 0)
                sids.push_back({list->Groups[i].Sid, 0});
    }
    SID nobody{SID_REVISION, 1, SECURITY_NULL_SID_AUTHORITY, {SECURITY_NULL_RID}};
    SID_AND_ATTRIBUTES restricting{&nobody, 0};
    const DWORD count = static_cast<DWORD>(sids.size());
    HANDLE initial = nullptr;
    const bool made =
        count > 0 &&
        CreateRestrictedToken(own, DISABLE_MAX_PRIVILEGE, count, sids.data(), 0, nullptr, 1,
                              &restricting, &tokens.primary) &&
        CreateRestrictedToken(own, 0, 0, nullptr, 0, nullptr, count, sids.data(), &initial) &&
        DuplicateTokenEx(initial, TOKEN_IMPERSONATE | TOKEN_QUERY, nullptr, SecurityImpersonation,
                         TokenImpersonation, &tokens.initial);
    const DWORD error = GetLastError();
    for (HANDLE h : {own, initial})
        if (h != nullptr)
            CloseHandle(h);
    SetLastError(error);
    return made;
}
#endif

// Creates the worker's process, suspended: as the run's own user, or in the lockdown build with
// the restricted tokens above.
bool createSuspended(const std::wstring &program, std::wstring &environment,
                     STARTUPINFOEXW &startup, PROCESS_INFORMATION &process) {
    std::wstring commandLine = quoted(program);
    // Detached, not merely without a window: a process started without a window still has a
    // console of its own.
    const DWORD flags = CREATE_SUSPENDED | DETACHED_PROCESS | CREATE_UNICODE_ENVIRONMENT |
                        EXTENDED_STARTUPINFO_PRESENT;
#ifdef OSTRELLE_WINDOWS_LOCKDOWN
    Tokens tokens;
    bool started = restrictedTokens(tokens) &&
                   CreateProcessAsUserW(tokens.primary, program.c_str(), commandLine.data(),
                                        nullptr, nullptr, TRUE, flags, environment.data(), nullptr,
                                        &startup.StartupInfo, &process);
    if (started && !SetThreadToken(&process.hThread, tokens.initial)) {
        const DWORD error = GetLastError();
        TerminateProcess(process.hProcess, stoppedExit);
        WaitForSingleObject(process.hProcess, INFINITE);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
        SetLastError(error);
        started = false;
    }
    const DWORD error = GetLastError();
    for (HANDLE h : {tokens.primary, tokens.initial})
        if (h != nullptr)
            CloseHandle(h);
    SetLastError(error);
    return started;
#else
    return CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE, flags,
                          environment.data(), nullptr, &startup.StartupInfo, &process);
#endif
}

// Starts program suspended and without a console, inheriting exactly the handles given and
// nothing else of this process; its standard input, output and error are nul.
bool spawn(const std::wstring &program, std::wstring environment, std::vector<HANDLE> handles,
           HANDLE nul, PROCESS_INFORMATION &process) {
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
        startup.StartupInfo.hStdError = nul;
        startup.lpAttributeList = attributes;
        started = createSuspended(program, environment, startup, process);
    }
    const DWORD error = GetLastError();
    DeleteProcThreadAttributeList(attributes);
    SetLastError(error);
    return started;
}

// Makes the pipe the worker answers on: this end read overlapped, the worker's end an ordinary
// inheritable one. An anonymous pipe cannot be read overlapped, so this one has a name no other
// run or worker uses; being its first instance makes sure this process is its server, which is
// how the worker knows its run.
bool answerPipe(HANDLE &ours, HANDLE &theirs, SECURITY_ATTRIBUTES &inherit) {
    static unsigned serial = 0;
    std::random_device entropy;
    const std::wstring name = L"\\\\.\\pipe\\ostrelle-" + std::to_wstring(GetCurrentProcessId()) +
                              L"-" + std::to_wstring(++serial) + L"-" + std::to_wstring(entropy());
    ours = CreateNamedPipeW(
        name.c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, 0, 4096, 0,
        nullptr);
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

// The file bound: the output in hand has grown past it.
bool overOutputBound(const Worker &worker) {
    LARGE_INTEGER size{};
    return worker.busy && worker.scratch != noFile && GetFileSizeEx(worker.scratch, &size) &&
           static_cast<std::uint64_t>(size.QuadPart) > worker.limits.outputBytes;
}

// A copy of file in the worker, with only the access given; null when none could be made.
HANDLE giveTo(const Worker &worker, NativeFile file, DWORD access) {
    HANDLE theirs = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), file, worker.process, &theirs, access, FALSE, 0))
        return nullptr;
    return theirs;
}

// Closes a handle that giveTo made in the worker.
void takeBack(const Worker &worker, HANDLE theirs) {
    if (theirs != nullptr)
        DuplicateHandle(worker.process, theirs, nullptr, nullptr, 0, FALSE, DUPLICATE_CLOSE_SOURCE);
}

void closeRequests(Worker &worker) {
    if (worker.requests != nullptr)
        CloseHandle(worker.requests);
    worker.requests = nullptr;
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
    HANDLE nul =
        CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    &inherit, OPEN_EXISTING, 0, nullptr);
    if (answered == nullptr || nul == INVALID_HANDLE_VALUE ||
        !answerPipe(answersRead, answersWrite, inherit)) {
        why = withError("cannot start a worker: no pipe");
        for (HANDLE h : {requestsRead, requestsWrite, job, answered, nul})
            if (h != nullptr && h != INVALID_HANDLE_VALUE)
                CloseHandle(h);
        return nullptr;
    }
    SetHandleInformation(requestsWrite, HANDLE_FLAG_INHERIT, 0);

    const std::string marker = std::to_string(GetCurrentProcessId()) + " " +
                               handleText(requestsRead) + " " + handleText(answersWrite);
    // A run ended from here until its worker runs in its job and is noted for killWorkersNow
    // ends once it is: a worker left suspended outside its job would outlive the run.
    const EndingHeld held;
    PROCESS_INFORMATION process{};
    bool started =
        spawn(program, workerEnvironment(marker), {requestsRead, answersWrite, nul}, nul, process);
    if (!started)
        why = withError("cannot start a worker");
    for (HANDLE h : {requestsRead, answersWrite, nul})
        CloseHandle(h);
    // Still suspended, it has run no code outside the job.
    if (started && !AssignProcessToJobObject(job, process.hProcess)) {
        why = withError("cannot start a worker: it could not be bounded");
        TerminateProcess(process.hProcess, stoppedExit);
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
    remember(job);
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
    // A worker that cannot even take its setup has ended; hear() will say how.
    if (!writeAll(worker->requests, encode(setup)))
        closeRequests(*worker);
    return worker;
}

bool submit(Worker &worker, Job job, NativeFile input, NativeFile output) {
    job.hasInput = input != noFile;
    job.hasOutput = output != noFile;
    job.serial = worker.serial = unforeseeable();
    HANDLE theirInput = nullptr, theirOutput = nullptr;
    bool handed = worker.requests != nullptr;
    if (handed && job.hasInput)
        handed = (theirInput = giveTo(worker, input, GENERIC_READ)) != nullptr;
    if (handed && job.hasOutput)
        handed = (theirOutput = giveTo(worker, output, GENERIC_WRITE)) != nullptr;
    job.input = reinterpret_cast<std::uintptr_t>(theirInput);
    job.output = reinterpret_cast<std::uintptr_t>(theirOutput);
    if (handed && writeAll(worker.requests, encode(job))) {
        worker.busy = true;
        worker.scratch = output;
        return true;
    }
    takeBack(worker, theirInput);
    takeBack(worker, theirOutput);
    closeRequests(worker);
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
            if (!w.outputTooLarge && overOutputBound(w)) {
                w.outputTooLarge = true;
                TerminateProcess(w.process, outputBoundExit);
                return static_cast<int>(i);
            }
        }
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline)
            return -1;
        // Wakes at least every 50 ms to look at the outputs' sizes; rounded up, so that the
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

// Collects the exit code of a worker that has closed its answers or been killed: it is ending,
// so this waits a short while, then makes sure.
bool reap(Worker &worker, DWORD &code) {
    if (WaitForSingleObject(worker.process, 2000) != WAIT_OBJECT_0) {
        TerminateProcess(worker.process, stoppedExit);
        WaitForSingleObject(worker.process, INFINITE);
    }
    return GetExitCodeProcess(worker.process, &code) != 0;
}

WorkerEnd endOf(const Worker &worker, DWORD code) {
    WorkerEnd end;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION used{};
    if (QueryInformationJobObject(worker.job, JobObjectExtendedLimitInformation, &used, sizeof used,
                                  nullptr))
        end.peakBytes = used.PeakProcessMemoryUsed;
    end.status = code;
    if (worker.outputTooLarge)
        end.kind = WorkerEnd::OutputBound;
    else if (code == static_cast<DWORD>(workerOutOfMemoryStatus))
        end.kind = WorkerEnd::OutOfMemory;
    else if (code >= 0xC0000000u)
        end.kind = WorkerEnd::Crashed;
    else
        end.kind = WorkerEnd::Exited;
    return end;
}

void finishOff(Worker &worker, WorkerEnd &end) {
    cancelRead(worker);
    DWORD code = 0;
    if (!reap(worker, code)) {
        end.kind = WorkerEnd::Unknown;
        end.status = GetLastError();
    } else if (end.kind != WorkerEnd::Malformed) {
        end = endOf(worker, code);
    }
    worker.busy = false;
    worker.scratch = noFile;
}

} // namespace

Heard hear(Worker &worker, Answer &answer, WorkerEnd &end) {
    DWORD n = 0;
    if (!worker.outputTooLarge && worker.readPending) {
        if (!GetOverlappedResult(worker.answers, &worker.reading, &n, FALSE)) {
            // Still reading: a worker that took its file is converting it; one that could not
            // take it has ended, or is ending.
            if (GetLastError() == ERROR_IO_INCOMPLETE && worker.requests != nullptr)
                return Heard::Pending;
            finishOff(worker, end);
            return Heard::Ended;
        }
        worker.readPending = false;
        worker.buffer.append(worker.incoming, n);
        bool malformed = false;
        // An answer for another job than the one in hand (one sent twice, or ahead) is none.
        const bool taken = takeAnswer(worker.buffer, answer, malformed);
        malformed = malformed || (taken && answer.serial != worker.serial);
        if (taken && !malformed) {
            // An output that outgrew the bound since the last look is caught here.
            if (!overOutputBound(worker)) {
                worker.busy = false;
                worker.scratch = noFile;
                readAnswers(worker);
                return Heard::Answer;
            }
            worker.outputTooLarge = true;
            TerminateProcess(worker.process, outputBoundExit);
        } else if (!malformed) {
            readAnswers(worker);
            return Heard::Pending;
        } else {
            TerminateProcess(worker.process, stoppedExit);
            end.kind = WorkerEnd::Malformed;
        }
    }
    finishOff(worker, end);
    return Heard::Ended;
}

void stopWorker(Worker *worker) {
    if (worker == nullptr)
        return;
    // An idle worker ends at the end of its requests; one that is still busy is killed.
    closeRequests(*worker);
    if (worker->busy)
        TerminateProcess(worker->process, stoppedExit);
    DWORD code = 0;
    reap(*worker, code);
    cancelRead(*worker);
    forget(worker->job);
    for (HANDLE h : {worker->process, worker->job, worker->answers, worker->answered})
        CloseHandle(h);
    delete worker;
}

void killWorkersNow() {
    for (std::atomic<HANDLE> &slot : alive)
        if (HANDLE job = slot.load())
            TerminateJobObject(job, stoppedExit);
}

// The worker's side.

namespace {

// The worker's ends of its pipes to the run, from the marker.
HANDLE requestsPipe = nullptr, answersPipe = nullptr;

// True when the marker names this process's pipes to the run: the answers pipe's server must be
// the process the marker names, which only a run that made the pipe and handed it over is.
bool startedByRun() {
    char marker[96];
    const DWORD length = GetEnvironmentVariableA(workerMarker, marker, sizeof marker);
    unsigned long pid = 0;
    unsigned long long requests = 0, answers = 0;
    int used = 0;
    if (length == 0 || length >= sizeof marker ||
        std::sscanf(marker, "%lu %llu %llu%n", &pid, &requests, &answers, &used) != 3 ||
        static_cast<DWORD>(used) != length)
        return false;
    requestsPipe = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(requests));
    answersPipe = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(answers));
    ULONG server = 0;
    return GetFileType(requestsPipe) == FILE_TYPE_PIPE &&
           GetFileType(answersPipe) == FILE_TYPE_PIPE &&
           GetNamedPipeServerProcessId(answersPipe, &server) && server == pid;
}

// The bytes of the run's requests that came but are not yet taken.
std::string pending;

bool receive(std::string &payload) {
    bool malformed = false;
    while (!takeFrame(pending, payload, maxRequestBytes, malformed)) {
        char bytes[maxRequestBytes + 4];
        DWORD n = 0;
        if (malformed || !ReadFile(requestsPipe, bytes, sizeof bytes, &n, nullptr) || n == 0)
            return false;
        pending.append(bytes, n);
    }
    return true;
}

// The handle that came as value, when a file came and it is one.
NativeFile fileAt(bool came, std::uint64_t value) {
    const HANDLE file = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(value));
    return came && file != nullptr && GetFileType(file) == FILE_TYPE_DISK ? file : noFile;
}

} // namespace

bool receiveSetup(WorkerSetup &setup) {
    std::string payload;
    return receive(payload) && decode(payload, setup);
}

bool receiveJob(Job &job, NativeFile &input, NativeFile &output) {
    std::string payload;
    if (!receive(payload) || !decode(payload, job))
        return false;
    input = fileAt(job.hasInput, job.input);
    output = fileAt(job.hasOutput, job.output);
    return true;
}

bool sendAnswer(const Answer &answer) { return writeAll(answersPipe, encode(answer)); }

void limitSelf(const WorkerSetup &) {
    // The job holds the memory bound and the run watches the file bound; what is left is that no
    // dialog may stop a worker, such as one for a drive without a disk.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
}

int runAsWorker(int argc, WorkFunction work) {
    if (argc != 1 || !startedByRun())
        return -1;
    std::set_new_handler([] { ExitProcess(workerOutOfMemoryStatus); });
    ExitProcess(static_cast<UINT>(serveJobs(work)));
}

// Windows' heap has no switch for keeping freed memory; it is left as it is.
void keepHeapWarm() {}

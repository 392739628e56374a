// A worker whose decoder a hostile file has taken over, on Windows. Started by the test build in
// place of the program's own worker (OSTRELLE_TEST_ONLY_WORKER_PROGRAM), it serves jobs as a
// worker does, lowered as one is; for a file whose ending is ".evil-PORT-HEX", HEX being the
// input's folder in UTF-8 as hexadecimal digits, it tries every act of the table below against
// that folder (which holds secret.txt and victim.txt), the user's registry, the run, the desktop
// and the test's listening PORT, and answers with the bits of the acts that were not refused (0:
// all were), or -1 when it could not even read its own input. For ".level" it answers with its
// token's integrity level and, as the first number of its text, how many privileges it holds.
// Anything else converts as usual.
//
// Run by hand: "evil_worker --acts" lists the table, one "bit name" a line; "evil_worker
// --clipboard TEXT SECONDS" puts TEXT on the clipboard, for the clipboard act to find something
// there, and stays that long,
// "evil_worker --clipboard" ends with 0 when this process can read it, and "evil_worker
// --console" when this process, started as the run is, has a console.
#include "convert.h"
#include "worker.h"

#include <winsock2.h>

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

namespace {

// Bit i of an answer is set when act i was not refused.
const char *const acts[] = {
    "create a file beside the input",
    "delete a file beside the input",
    "read a file beside the input",
    "write the user's registry",
    "open the run with write access",
    "start a process",
    "open a console of its own",
    "write into the run's console",
    "read the clipboard",
    "connect to a local port",
    "enable a privilege",
};

std::wstring wide(const std::string &utf8) {
    const int size = static_cast<int>(utf8.size());
    const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, nullptr, 0);
    std::wstring out(static_cast<std::size_t>(n > 0 ? n : 0), L'\0');
    if (n > 0)
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, out.data(), n);
    return out;
}

// The bytes that hex spells, two digits each; empty when it spells none.
std::string unhex(const std::string &hex) {
    std::string out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        out += static_cast<char>(std::strtoul(hex.substr(i, 2).c_str(), nullptr, 16));
    return hex.size() % 2 == 0 ? out : std::string();
}

// The run's process id, from the marker it started this worker with.
DWORD runId() {
    char marker[96];
    const DWORD n = GetEnvironmentVariableA("OSTRELLE_WORKER_OF", marker, sizeof marker);
    return n > 0 && n < sizeof marker ? std::strtoul(marker, nullptr, 10) : 0;
}

bool readable(const std::wstring &path) {
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
    char byte;
    DWORD n = 0;
    const bool ok = file != INVALID_HANDLE_VALUE && ReadFile(file, &byte, 1, &n, nullptr) && n == 1;
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    return ok;
}

bool created(const std::wstring &path) {
    const HANDLE file =
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    DWORD n = 0;
    const bool ok = file != INVALID_HANDLE_VALUE && WriteFile(file, "evil", 4, &n, nullptr);
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    return ok;
}

// A key of the test's own; one that could be made is taken away again at once.
bool registryWritten(int port) {
    const std::wstring path = L"Software\\OstrelleActs-" + std::to_wstring(port);
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                        &key, nullptr) != ERROR_SUCCESS)
        return false;
    const DWORD one = 1;
    const bool ok = RegSetValueExW(key, L"written", 0, REG_DWORD,
                                   reinterpret_cast<const BYTE *>(&one), sizeof one) == 0;
    RegCloseKey(key);
    RegDeleteKeyW(HKEY_CURRENT_USER, path.c_str());
    return ok;
}

// Only the run that started this worker, and only opened: nothing is ever written into it.
bool runOpened() {
    const DWORD run = runId();
    const HANDLE process =
        run == 0 ? nullptr : OpenProcess(PROCESS_VM_WRITE | PROCESS_VM_OPERATION, FALSE, run);
    if (process != nullptr)
        CloseHandle(process);
    return process != nullptr;
}

// This program, suspended and ended before it runs a single instruction.
bool processStarted() {
    wchar_t self[MAX_PATH];
    if (GetModuleFileNameW(nullptr, self, MAX_PATH) == 0)
        return false;
    std::wstring commandLine = L"evil_worker --acts";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(self, commandLine.data(), nullptr, nullptr, FALSE,
                        CREATE_SUSPENDED | CREATE_NO_WINDOW, nullptr, nullptr, &startup, &process))
        return false;
    TerminateProcess(process.hProcess, 1);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return true;
}

// What it writes into a console is the release of a shift key, which types nothing.
bool typedInto(HANDLE input) {
    INPUT_RECORD release{};
    release.EventType = KEY_EVENT;
    release.Event.KeyEvent.bKeyDown = FALSE;
    release.Event.KeyEvent.wRepeatCount = 1;
    release.Event.KeyEvent.wVirtualKeyCode = VK_SHIFT;
    DWORD n = 0;
    const bool ok = WriteConsoleInputW(input, &release, 1, &n) && n == 1;
    CloseHandle(input);
    return ok;
}

HANDLE consoleInput() {
    return CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                       nullptr, OPEN_EXISTING, 0, nullptr);
}

// A console of its own would let it ask the user for anything.
bool ownConsole() {
    const HANDLE input = consoleInput();
    return input != INVALID_HANDLE_VALUE && typedInto(input);
}

// The run's console would let it type into what the user runs next.
bool runConsoleWritten() {
    if (!AttachConsole(ATTACH_PARENT_PROCESS))
        return false;
    const HANDLE input = consoleInput();
    const bool ok = input != INVALID_HANDLE_VALUE && typedInto(input);
    FreeConsole();
    return ok;
}

bool clipboardRead() {
    if (!OpenClipboard(nullptr))
        return false;
    const bool ok = GetClipboardData(CF_UNICODETEXT) != nullptr;
    CloseClipboard();
    return ok;
}

bool connected(int port) {
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0)
        return false;
    const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = s != INVALID_SOCKET &&
                    connect(s, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0;
    if (s != INVALID_SOCKET)
        closesocket(s);
    WSACleanup();
    return ok;
}

// Any of the privileges every user holds, or those only administrators hold.
bool privilegeEnabled() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token))
        return false;
    bool ok = false;
    for (const wchar_t *name :
         {L"SeChangeNotifyPrivilege", L"SeShutdownPrivilege", L"SeDebugPrivilege"}) {
        TOKEN_PRIVILEGES wanted{1, {{{0, 0}, SE_PRIVILEGE_ENABLED}}};
        if (LookupPrivilegeValueW(nullptr, name, &wanted.Privileges[0].Luid) &&
            AdjustTokenPrivileges(token, FALSE, &wanted, 0, nullptr, nullptr) &&
            GetLastError() == ERROR_SUCCESS)
            ok = true;
    }
    CloseHandle(token);
    return ok;
}

Answer answer(std::int32_t code) {
    Answer a;
    a.outcome = Outcome::FailedLoad;
    a.code = code;
    return a;
}

Answer actOut(int port, const std::wstring &folder, NativeFile input) {
    const std::function<bool()> tries[] = {
        [&] { return created(folder + L"\\written-by-worker.txt"); },
        [&] { return DeleteFileW((folder + L"\\victim.txt").c_str()) != 0; },
        [&] { return readable(folder + L"\\secret.txt"); },
        [&] { return registryWritten(port); },
        [] { return runOpened(); },
        [] { return processStarted(); },
        [] { return ownConsole(); },
        [] { return runConsoleWritten(); },
        [] { return clipboardRead(); },
        [&] { return connected(port); },
        [] { return privilegeEnabled(); },
    };
    static_assert(std::size(tries) == std::size(acts));
    std::int32_t allowed = 0;
    for (std::size_t i = 0; i < std::size(tries); ++i)
        if (tries[i]())
            allowed |= std::int32_t{1} << i;
    // What the worker needs stays allowed: reading the input it was handed.
    char byte;
    DWORD n = 0;
    OVERLAPPED start{};
    return answer(ReadFile(input, &byte, 1, &n, &start) && n == 1 ? allowed : -1);
}

// Its token's integrity level as the code (-1 when its token cannot be read), with how many
// privileges it holds and the error of a call that failed as the two numbers of its text.
Answer level() {
    Answer a = answer(-1);
    a.text = TextId::TooLarge;
    HANDLE token = nullptr;
    alignas(8) char label[256], privileges[1024];
    DWORD size = 0;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) ||
        !GetTokenInformation(token, TokenIntegrityLevel, label, sizeof label, &size) ||
        !GetTokenInformation(token, TokenPrivileges, privileges, sizeof privileges, &size)) {
        a.second = GetLastError();
        if (token != nullptr)
            CloseHandle(token);
        return a;
    }
    CloseHandle(token);
    const PSID sid = reinterpret_cast<TOKEN_MANDATORY_LABEL *>(label)->Label.Sid;
    a.code =
        static_cast<std::int32_t>(*GetSidSubAuthority(sid, *GetSidSubAuthorityCount(sid) - 1u));
    a.first = reinterpret_cast<TOKEN_PRIVILEGES *>(privileges)->PrivilegeCount;
    return a;
}

Answer work(const Job &job, NativeFile input, NativeFile output) {
    int port = 0;
    char hex[2048] = {};
    if (std::sscanf(job.ending.c_str(), ".evil-%d-%2047[0-9a-fA-F]", &port, hex) == 2) {
        const Answer a = actOut(port, wide(unhex(hex)), input);
        closeFile(input);
        closeFile(output);
        return a;
    }
    if (job.ending == ".level") {
        closeFile(input);
        closeFile(output);
        return level();
    }
    if (job.ending == ".crash") {
        // A decoder that writes through a null pointer, as the library did on some files.
        *static_cast<volatile int *>(nullptr) = 1;
    }
    return convertFile(job, input, output);
}

// Puts text on the clipboard, owned by no window, and stays for seconds: wine forgets the
// clipboard with the last process of its session.
int setClipboard(const char *text, int seconds) {
    const std::wstring words = wide(text);
    const SIZE_T bytes = (words.size() + 1) * sizeof(wchar_t);
    const HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, bytes);
    if (memory == nullptr || !OpenClipboard(nullptr))
        return 1;
    std::memcpy(GlobalLock(memory), words.c_str(), bytes);
    GlobalUnlock(memory);
    const bool ok = EmptyClipboard() && SetClipboardData(CF_UNICODETEXT, memory) != nullptr;
    CloseClipboard();
    if (ok && seconds > 0)
        Sleep(static_cast<DWORD>(seconds) * 1000);
    return ok ? 0 : 1;
}

} // namespace

int main(int argc, char **argv) {
    if (argc == 2 && std::strcmp(argv[1], "--acts") == 0) {
        for (std::size_t i = 0; i < std::size(acts); ++i)
            std::printf("%zu %s\n", i, acts[i]);
        return 0;
    }
    if (argc == 4 && std::strcmp(argv[1], "--clipboard") == 0)
        return setClipboard(argv[2], std::atoi(argv[3]));
    if (argc == 2 && std::strcmp(argv[1], "--clipboard") == 0)
        return clipboardRead() ? 0 : 1;
    if (argc == 2 && std::strcmp(argv[1], "--console") == 0)
        return GetConsoleCP() != 0 ? 0 : 1;
    return runAsWorker(argc, work) < 0 ? 1 : 0;
}

// The Windows file-system layer (src/fs_win32.cpp) on its own, under wine: run in an empty
// folder, it makes its files there, checks each promise of fs.h that the program's runs cannot
// show, prints one line a group and exits 1 when any check failed. As `fscheck hold FILE`, it is
// instead another program that holds FILE, for a run's checks.
#include "collisions.h"
#include "fs.h"
#include "imagesize.h"

#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

int failures = 0;

void check(bool ok, const std::string &what) {
    if (!ok) {
        std::printf("fscheck: FAILED: %s\n", what.c_str());
        ++failures;
    }
}

void writeFile(const std::string &name, const std::string &bytes) {
    FILE *f = std::fopen(name.c_str(), "wb");
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
}

std::string readFile(const std::string &name) {
    std::string bytes;
    if (FILE *f = std::fopen(name.c_str(), "rb")) {
        char buffer[4096];
        for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;)
            bytes.append(buffer, n);
        std::fclose(f);
    }
    return bytes;
}

// The UTF-16 form of UTF-8 text, for the calls of Windows that the checks make themselves.
std::wstring wide(const std::string &text) {
    std::wstring out(text.size(), L'\0');
    out.resize(static_cast<std::size_t>(
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(),
                            static_cast<int>(out.size()))));
    return out;
}

// The names in folder, hidden ones too, as one line, in UTF-8.
std::string listing(const std::string &folder) {
    std::string names;
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW(wide(folder + "\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return "(no folder)";
    do {
        char name[MAX_PATH * 4] = {};
        WideCharToMultiByte(CP_UTF8, 0, found.cFileName, -1, name, sizeof name, nullptr, nullptr);
        if (std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0)
            names += std::string(names.empty() ? "" : " ") + name;
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return names;
}

// The milliseconds call takes.
template <typename Call> long long millisecondsOf(Call call) {
    const auto start = std::chrono::steady_clock::now();
    call();
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start)
        .count();
}

// Closes file after ms milliseconds, on a thread of its own; returns that thread.
HANDLE closeLater(HANDLE file, DWORD ms) {
    struct Later {
        HANDLE file;
        DWORD ms;
    };
    return CreateThread(
        nullptr, 0,
        [](void *p) -> DWORD {
            const Later later = *static_cast<Later *>(p);
            delete static_cast<Later *>(p);
            Sleep(later.ms);
            CloseHandle(later.file);
            return 0;
        },
        new Later{file, ms}, 0, nullptr);
}

void folders() {
    const char *cases[][3] = {
        {"x.tga", ".", "x.tga"},
        {"dir\\x.tga", "dir", "x.tga"},
        {"dir/x.tga", "dir", "x.tga"},
        {"a\\b/x.tga", "a\\b", "x.tga"},
        {"\\x.tga", "\\", "x.tga"},
        {"/x.tga", "/", "x.tga"},
        {"E:\\x.tga", "E:\\", "x.tga"},
        {"E:/x.tga", "E:/", "x.tga"},
        {"E:x.tga", "E:", "x.tga"},
        {"E:dir\\x.tga", "E:dir", "x.tga"},
        {"E:\\dir\\x.tga", "E:\\dir", "x.tga"},
        {"\\\\?\\E:\\x.tga", "\\\\?\\E:\\", "x.tga"},
        {"\\\\?\\E:\\dir\\x.tga", "\\\\?\\E:\\dir", "x.tga"},
        {"\\\\.\\E:\\x.tga", "\\\\.\\E:\\", "x.tga"},
        {"\\\\?\\UNC\\host\\share\\x.tga", "\\\\?\\UNC\\host\\share", "x.tga"},
    };
    for (const auto &c : cases) {
        check(folderOf(c[0]) == c[1], std::string("folderOf(") + c[0] + ") is " + folderOf(c[0]));
        check(nameOf(c[0]) == c[2], std::string("nameOf(") + c[0] + ") is " + nameOf(c[0]));
    }
    check(isSeparator('/') && isSeparator('\\') && !isSeparator(':'), "separators");
    std::printf("fscheck: folders of paths: done\n");
}

// Names that are no UTF-8, cut in the middle of a character, name no file and make none.
void cutNames() {
    CreateDirectoryA("cut", nullptr);
    writeFile("cut\\caf\xc3\xa9.png", "bytes");
    const std::string cut = "cut\\caf\xc3";
    check(openInput(cut) == noFile, "a cut name opens");
    check(!somethingAt(cut), "something stands at a cut name");
    check(fileIdentity(cut).empty(), "a cut name has an identity");
    Contents contents;
    contents.head = "head";
    check(publishNew(cut + "tga", contents) == Publish::CannotCreate, "a cut name is published");
    check(listing("cut") == "caf\xc3\xa9.png", "cut: the folder holds " + listing("cut"));
    std::printf("fscheck: names cut in a character: done\n");
}

// A pipe named as a file is never connected to, by any call of the layer.
void pipes() {
    const HANDLE server = CreateNamedPipeA(
        "\\\\.\\pipe\\ostrelle-fscheck.png", PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
        PIPE_TYPE_BYTE, PIPE_UNLIMITED_INSTANCES, 0, 0, 0, nullptr);
    check(server != INVALID_HANDLE_VALUE, "no pipe to look at");
    OVERLAPPED waiting{};
    waiting.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    const bool pending = !ConnectNamedPipe(server, &waiting) && GetLastError() == ERROR_IO_PENDING;
    check(pending, "the pipe was connected to before any call");
    for (const char *name : {"\\\\.\\pipe\\ostrelle-fscheck.png", "//./pipe/ostrelle-fscheck.png",
                             "\\\\?\\pipe\\ostrelle-fscheck.png"}) {
        check(openInput(name) == noFile, std::string("opened ") + name);
        somethingAt(name);
        fileIdentity(name);
        resolvedPath(name);
        isLink(name);
        memoryNeedOf(name);
    }
    check(WaitForSingleObject(waiting.hEvent, 200) == WAIT_TIMEOUT, "the pipe was connected to");
    CloseHandle(server);
    // Printer ports of high numbers only, which hardly a machine has: were the layer to let a name
    // through, wine would open the host's own device.
    check(openInput("lpt9") == noFile && openInput("in\\Lpt8.png") == noFile, "a device opens");
    std::printf("fscheck: pipes and devices by name: done\n");
}

void inputs() {
    CreateDirectoryA("in", nullptr);
    CreateDirectoryA("in\\folder.png", nullptr);
    writeFile("in\\file.png", "12345");
    check(openInput("in\\folder.png") == noFile, "a folder opens");
    check(openInput("in\\missing.png") == noFile, "a missing file opens");
    const NativeFile file = openInput("in/file.png");
    std::uint64_t size = 0;
    char bytes[3] = {};
    check(file != noFile && sizeOf(file, size) && size == 5, "the file's size");
    check(file != noFile && readAt(file, bytes, 3, 2) && std::memcmp(bytes, "345", 3) == 0,
          "reading at an offset");
    check(file != noFile && !readAt(file, bytes, 3, 4), "reading past the end succeeds");
    check(file != noFile && !WriteFile(file, "x", 1, nullptr, nullptr), "the input is writable");
    closeFile(file);
    closeFile(noFile);

    const std::string id = fileIdentity("in\\file.png");
    check(!id.empty() && id == fileIdentity("in/../in/./FILE.PNG"), "one file, two identities");
    check(id != fileIdentity("in\\folder.png") && !fileIdentity("in").empty(),
          "a folder's identity");
    check(fileIdentity("in\\missing.png").empty(), "a missing file has an identity");
    const std::string resolved = resolvedPath("in\\..\\in\\file.png");
    check(resolved == resolvedPath("in\\file.png") && resolved.find(":\\") == 1 &&
              resolved.find("..") == std::string::npos,
          "resolved to " + resolved);
    check(resolvedPath("in\\missing.png") == "in\\missing.png", "a missing path resolved");
    check(somethingAt("in\\file.png") && somethingAt("in\\folder.png") &&
              !somethingAt("in\\missing.png") && !somethingAt("none\\missing.png"),
          "what stands where");
    check(!isLink("in\\file.png") && !isLink("in"), "a file or folder is a link");
    std::printf("fscheck: inputs, identities and paths: done\n");
}

void scratch() {
    const NativeFile file = makeScratch();
    check(file != noFile, "no scratch file");
    if (file == noFile)
        return;
    std::wstring name(MAX_PATH, L'\0');
    name.resize(GetFinalPathNameByHandleW(file, name.data(), MAX_PATH, 0));
    DWORD n = 0;
    check(WriteFile(file, "abcdef", 6, &n, nullptr) && n == 6, "the scratch file is not writable");
    std::uint64_t size = 0;
    char bytes[2] = {};
    check(sizeOf(file, size) && size == 6 && readAt(file, bytes, 2, 4) &&
              std::memcmp(bytes, "ef", 2) == 0,
          "reading the scratch file");
    check(sealScratch(file), "the scratch file cannot be sealed");
    check(GetFileAttributesW(name.c_str()) != INVALID_FILE_ATTRIBUTES, "no name found");
    closeFile(file);
    check(GetFileAttributesW(name.c_str()) == INVALID_FILE_ATTRIBUTES,
          "the scratch file outlives its last handle");
    std::printf("fscheck: scratch files: done\n");
}

// What publishNew makes, or what it leaves where it cannot.
void publishing() {
    CreateDirectoryA("out", nullptr);
    CreateDirectoryA("out\\taken.tga", nullptr);
    writeFile("out\\theirs.tga", "theirs");
    writeFile("source", "0123456789");
    const NativeFile from = openInput("source");
    Contents contents;
    contents.head = "head-";
    contents.from = from;
    contents.offset = 2;
    contents.length = 5;
    contents.tail = "-tail";
    check(publishNew("out\\new.tga", contents) == Publish::Done &&
              readFile("out\\new.tga") == "head-23456-tail",
          "published " + readFile("out\\new.tga"));
    check(GetFileAttributesA("out\\new.tga") == FILE_ATTRIBUTE_NORMAL ||
              GetFileAttributesA("out\\new.tga") == FILE_ATTRIBUTE_ARCHIVE,
          "the published file is hidden or temporary");
    check(publishNew("out\\theirs.tga", contents) == Publish::Exists &&
              readFile("out\\theirs.tga") == "theirs",
          "a file was replaced");
    check(publishNew("out\\taken.tga", contents) == Publish::Exists, "a folder was replaced");
    check(publishNew("out\\new.tga", contents) == Publish::Exists, "a new file was replaced");
    check(publishNew("missing\\x.tga", contents) == Publish::CannotCreate, "no folder");
    for (const char *device : {"out\\lpt9.pngtga", "out\\LPT8 .x.tga", "E:lpt7.tga"})
        check(publishNew(device, contents) == Publish::CannotCreate,
              std::string("published to a device: ") + device);
    contents.length = 9;
    check(publishNew("out\\short.tga", contents) == Publish::WriteFailed, "a short source");
    check(listing("out") == "new.tga taken.tga theirs.tga",
          "out: the folder holds " + listing("out"));
    closeFile(from);
    std::printf("fscheck: publishing without replacing: done\n");
}

// A run ended while publishing leaves nothing: the handler's removeTemporaryNow takes the file
// publishNew is writing, which then cannot take the final name.
void endedWhilePublishing() {
    CreateDirectoryA("end", nullptr);
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    CreatePipe(&readEnd, &writeEnd, nullptr, 0);
    Contents contents;
    contents.head = "head";
    contents.from = readEnd; // blocks until the pipe is written
    contents.length = 4;
    struct Call {
        Contents contents;
        Publish result = Publish::Done;
    } call{contents};
    const HANDLE publisher = CreateThread(
        nullptr, 0,
        [](void *p) -> DWORD {
            auto *c = static_cast<Call *>(p);
            c->result = publishNew("end\\x.tga", c->contents);
            return 0;
        },
        &call, 0, nullptr);
    // Once the head is in the file, publishNew has registered it and waits for the rest.
    WIN32_FILE_ATTRIBUTE_DATA data{};
    for (int i = 0; i < 500; ++i, Sleep(10))
        if (!listing("end").empty() &&
            GetFileAttributesExA(("end\\" + listing("end")).c_str(), GetFileExInfoStandard,
                                 &data) &&
            data.nFileSizeLow == contents.head.size())
            break;
    const std::string during = listing("end");
    removeTemporaryNow();
    DWORD n = 0;
    WriteFile(writeEnd, "body", 4, &n, nullptr);
    WaitForSingleObject(publisher, INFINITE);
    CloseHandle(publisher);
    check(during.rfind(".ostrelle-", 0) == 0, "while publishing, the folder held " + during);
    check(call.result != Publish::Done, "published after all");
    check(listing("end").empty(), "end: the folder holds " + listing("end"));
    CloseHandle(readEnd);
    CloseHandle(writeEnd);
    std::printf("fscheck: a run ended while publishing: done\n");
}

// Names fold as Windows' own ordinal comparison ignoring case matches them, beyond ASCII too, and
// never as a language would (no accents dropped, no letter made two).
void foldedNames() {
    const char *pairs[][2] = {
        {"Ä.png", "ä.PNG"}, {"Ωμέγα", "ΩΜΈΓΑ"}, {"я", "Я"}, {"ς", "Σ"},  {"ǆ", "ǅ"},
        {"ａ", "Ａ"},       {"ß", "SS"},        {"ß", "ẞ"}, {"ﬀ", "FF"}, {"ı", "I"},
        {"i", "İ"},         {"é", "e"},         {"Ä", "A"}, {"𐐨", "𐐀"},  {"x.png", "x.png "},
    };
    int same = 0;
    for (const auto &p : pairs) {
        const bool equal = CompareStringOrdinal(wide(p[0]).c_str(), -1, wide(p[1]).c_str(), -1,
                                                TRUE) == CSTR_EQUAL;
        same += equal;
        check((foldedName(p[0]) == foldedName(p[1])) == equal,
              std::string(p[0]) + " and " + p[1] + (equal ? " fold apart" : " fold alike"));
    }
    check(foldedName("Ä.png") == foldedName("ä.PNG") && foldedName("Ä") != foldedName("A"),
          "Ä.png and ä.PNG are no one name, or Ä and A are");
    check(foldedName("caf\xc3") == "caf\xc3", "a cut name is changed");
    std::printf("fscheck: names folded as Windows compares them (%d of %d pairs one name): done\n",
                same, static_cast<int>(sizeof pairs / sizeof pairs[0]));
}

// Arguments touch one file however their paths spell it: names that differ in case beyond ASCII,
// a drive's current folder, a hard link; arguments that touch none run side by side.
void collisions() {
    CreateDirectoryA("twice", nullptr);
    CreateDirectoryA("twice\\other", nullptr);
    writeFile("twice\\x.png", "x");
    writeFile("twice\\other\\copy.png", "x");
    check(CreateHardLinkW(L"twice\\other\\hard.png", L"twice\\x.png", nullptr) != 0,
          "no hard link");
    check(fileIdentity("twice\\x.png") == fileIdentity("twice\\other\\hard.png"),
          "a hard link has an identity of its own");
    wchar_t here[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, here);
    const std::string drive(1, static_cast<char>(here[0]));
    // The drive of the current folder, and another one, whose current folder is its root.
    const std::string other = drive == "C" ? "Z" : "C";
    const std::pair<bool, std::vector<Paths>> cases[] = {
        {true, {{"twice\\Ö.png", "twice\\Ö.tga"}, {"twice\\ö.bmp", "twice\\ö.tga"}}},
        {false, {{"twice\\Ö.png", "twice\\Ö.tga"}, {"twice\\ü.bmp", "twice\\ü.tga"}}},
        {true, {{drive + ":a.png", drive + ":a.tga"}, {"a.bmp", "a.tga"}}},
        {false, {{other + ":a.png", other + ":a.tga"}, {"a.bmp", "a.tga"}}},
        {true, {{drive + ":\\a.png", drive + ":\\a.tga"}, {"\\a.bmp", "\\a.tga"}}},
        {true,
         {{"twice\\x.png", "twice\\x.tga"}, {"twice\\other\\hard.png", "twice\\other\\hard.tga"}}},
        {false,
         {{"twice\\x.png", "twice\\x.tga"}, {"twice\\other\\copy.png", "twice\\other\\copy.tga"}}},
    };
    for (const auto &[collide, arguments] : cases)
        check(mayCollide(arguments) == collide, arguments[0].input + " and " + arguments[1].input +
                                                    (collide ? " collide not" : " collide"));
    std::printf("fscheck: arguments that touch one file: done\n");
}

// Another program holding a file without sharing it (a virus scanner, say) delays the layer's
// calls as long as it holds the file, up to about 2 s; other failures are not waited on.
void heldFiles() {
    CreateDirectoryA("held", nullptr);
    writeFile("held\\in.png", "12345");
    const auto hold = [](const char *name, DWORD access, DWORD share) {
        return CreateFileA(name, access, share, nullptr, OPEN_EXISTING, 0, nullptr);
    };
    HANDLE holder = hold("held\\in.png", GENERIC_READ, 0);
    check(holder != INVALID_HANDLE_VALUE, "the input cannot be held");
    HANDLE later = closeLater(holder, 300);
    NativeFile file = noFile;
    long long ms = millisecondsOf([&] { file = openInput("held\\in.png"); });
    char bytes[5] = {};
    check(file != noFile && ms >= 250 && readAt(file, bytes, 5, 0) &&
              std::memcmp(bytes, "12345", 5) == 0,
          "an input held for 300 ms: opened after " + std::to_string(ms) + " ms");
    closeFile(file);
    WaitForSingleObject(later, INFINITE);
    CloseHandle(later);

    holder = hold("held\\in.png", GENERIC_READ, 0);
    later = closeLater(holder, 3000);
    ms = millisecondsOf([&] { file = openInput("held\\in.png"); });
    check(file == noFile && ms >= 1900 && ms < 2900,
          "an input held for 3 s: gave up after " + std::to_string(ms) + " ms");
    closeFile(file);
    WaitForSingleObject(later, INFINITE);
    CloseHandle(later);

    // The hidden file publishNew writes is held once written, before it takes its name.
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    CreatePipe(&readEnd, &writeEnd, nullptr, 0);
    struct Call {
        Contents contents;
        Publish result = Publish::CannotCreate;
    } call;
    call.contents.head = "head";
    call.contents.from = readEnd; // blocks until the pipe is written
    call.contents.length = 4;
    const HANDLE publisher = CreateThread(
        nullptr, 0,
        [](void *p) -> DWORD {
            auto *c = static_cast<Call *>(p);
            c->result = publishNew("held\\out.tga", c->contents);
            return 0;
        },
        &call, 0, nullptr);
    std::string hidden;
    for (int i = 0; i < 500 && hidden.empty(); ++i, Sleep(10)) {
        const std::string names = " " + listing("held") + " ";
        if (const std::size_t at = names.find(" .ostrelle-"); at != std::string::npos)
            hidden = names.substr(at + 1, names.find(' ', at + 1) - at - 1);
    }
    // publishNew writes it sharing only deletion; the holder keeps that from it.
    holder = hold(("held\\" + hidden).c_str(), DELETE, FILE_SHARE_WRITE);
    check(holder != INVALID_HANDLE_VALUE, "the hidden file cannot be held");
    later = closeLater(holder, 300);
    DWORD n = 0;
    WriteFile(writeEnd, "body", 4, &n, nullptr);
    WaitForSingleObject(publisher, INFINITE);
    CloseHandle(publisher);
    WaitForSingleObject(later, INFINITE);
    CloseHandle(later);
    check(call.result == Publish::Done && readFile("held\\out.tga") == "headbody",
          "a hidden file held for 300 ms: published " + readFile("held\\out.tga"));
    CloseHandle(readEnd);
    CloseHandle(writeEnd);

    Contents contents;
    contents.head = "again";
    Publish result = Publish::Done;
    ms = millisecondsOf([&] { result = publishNew("held\\out.tga", contents); });
    check(result == Publish::Exists && ms < 500,
          "a taken name was waited on for " + std::to_string(ms) + " ms");
    check(listing("held") == "in.png out.tga", "held: the folder holds " + listing("held"));
    std::printf("fscheck: files held by another program: done\n");
}

// Paths past the 260 characters of Windows' older calls, relative and full, reach their files,
// and so do full ones the user gives in the \\?\ form the layer uses itself or in the \\.\ form;
// there, only a drive's files are files.
void longPaths() {
    std::string folder = "long";
    CreateDirectoryA(folder.c_str(), nullptr);
    while (folder.size() < 300) {
        folder += "\\" + std::string(60, 'd');
        CreateDirectoryW(wide(folder).c_str(), nullptr);
    }
    const std::string png = folder + "\\x.png";
    writeFile(png, "12345");
    std::wstring buffer(32768, L'\0');
    buffer.resize(GetFullPathNameW(wide(png).c_str(), 32768, buffer.data(), nullptr));
    const std::string full(buffer.begin(), buffer.end()); // all ASCII
    const std::string id = fileIdentity(png);
    for (const std::string &path : {png, full}) {
        const NativeFile file = openInput(path);
        std::uint64_t size = 0;
        check(file != noFile && sizeOf(file, size) && size == 5, "cannot open " + path);
        closeFile(file);
        check(somethingAt(path) && !id.empty() && fileIdentity(path) == id,
              "no file or another one at " + path);
    }
    // resolvedPath is left out: wine's GetFinalPathNameByHandleW answers no path this long.
    Contents contents;
    contents.head = "long";
    check(publishNew(folder + "\\x.tga", contents) == Publish::Done &&
              readFile(folder + "\\x.tga") == "long",
          "not published at " + folder + "\\x.tga");
    for (const char *prefix : {"\\\\?\\", "\\\\.\\", "//./"}) {
        const std::string spelt = std::string(prefix) + full;
        const NativeFile file = openInput(spelt);
        std::uint64_t size = 0;
        check(file != noFile && sizeOf(file, size) && size == 5, "cannot open " + spelt);
        closeFile(file);
        check(fileIdentity(spelt) == id && fileIdentity(folderOf(spelt)) == fileIdentity(folder),
              "another file or folder at " + spelt);
    }
    contents.head = "verbatim";
    check(publishNew("\\\\?\\" + full.substr(0, full.size() - 5) + "v.tga", contents) ==
                  Publish::Done &&
              readFile(folder + "\\v.tga") == "verbatim",
          "not published at \\\\?\\...\\v.tga");
    contents.head = "device";
    check(publishNew("\\\\.\\" + full.substr(0, full.size() - 5) + "w.tga", contents) ==
                  Publish::Done &&
              readFile(folder + "\\w.tga") == "device",
          "not published at \\\\.\\...\\w.tga");
    // The same drive as a volume, and namespaces of other things than files.
    const std::string drive = full.substr(0, 2);
    for (const std::string &device : std::vector<std::string>{
             "\\\\?\\" + drive, "\\\\.\\" + drive, "\\\\.\\" + drive + "x.png",
             "\\\\?\\" + drive + "x.png", "\\\\.\\PhysicalDrive0", "\\\\?\\GLOBALROOT\\Device",
             "\\\\?\\" + drive + "/" + full.substr(3)})
        check(openInput(device) == noFile && !somethingAt(device) && fileIdentity(device).empty(),
              "taken for a file: " + device);
    check(listing(folder.c_str()) == "v.tga w.tga x.png x.tga",
          "long: the folder holds " + listing(folder.c_str()));
    std::printf("fscheck: paths of %d and %d characters: done\n", static_cast<int>(png.size()),
                static_cast<int>(full.size()));
}

// Holds name open without sharing it, as a virus scanner would, from before the run starts until
// 300 ms after the run has made its first scratch file, which it does just before opening its
// input. The file "holding" beside name says that the hold has begun.
int holdForRun(const std::string &name) {
    const HANDLE held =
        CreateFileW(wide(name).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (held == INVALID_HANDLE_VALUE)
        return 1;
    writeFile(folderOf(name) + "\\holding", "");
    wchar_t temp[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH + 1, temp);
    WIN32_FIND_DATAW found;
    HANDLE search = INVALID_HANDLE_VALUE;
    for (int i = 0; i < 2000 && search == INVALID_HANDLE_VALUE; ++i, Sleep(10))
        search = FindFirstFileW((std::wstring(temp) + L"ostrelle-*.tmp").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE)
        FindClose(search);
    Sleep(300);
    CloseHandle(held);
    return search == INVALID_HANDLE_VALUE ? 1 : 0;
}

} // namespace

int main(int argc, char **argv) {
    if (argc == 3 && std::strcmp(argv[1], "hold") == 0)
        return holdForRun(argv[2]);
    folders();
    cutNames();
    pipes();
    inputs();
    scratch();
    publishing();
    endedWhilePublishing();
    foldedNames();
    collisions();
    heldFiles();
    longPaths();
    return failures == 0 ? 0 : 1;
}

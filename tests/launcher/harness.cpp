#include "harness.h"

#include "MainThread.h"

#include <fstream>

namespace harness {

namespace {

// Removes a directory tree (the install of an earlier run of the same test).
void RemoveTree(const std::string &dir)
{
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((dir + "\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::string name = found.cFileName;
            if (name == "." || name == "..")
                continue;
            const std::string path = dir + "\\" + name;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveTree(path);
            else
                DeleteFileA(path.c_str());
        } while (FindNextFileA(search, &found));
        FindClose(search);
    }
    RemoveDirectoryA(dir.c_str());
}

} // namespace

std::string ProgramDir()
{
    char path[MAX_PATH];
    GetModuleFileNameA(nullptr, path, sizeof(path));
    std::string dir = path;
    return dir.substr(0, dir.rfind('\\'));
}

std::string MakeInstall(const std::string &name,
                        const std::vector<std::pair<std::string, std::string>> &components,
                        const std::string &scenario)
{
    const std::string bin = ProgramDir();
    const std::string installs = bin + "\\installs";
    const std::string dir = installs + "\\" + name;
    CreateDirectoryA(installs.c_str(), nullptr);
    RemoveTree(dir);
    CreateDirectoryA(dir.c_str(), nullptr);
    CopyFileA((bin + "\\launcher.exe").c_str(), (dir + "\\launcher.exe").c_str(), FALSE);
    for (const auto &[fixture, installedAs] : components) {
        const std::string from = bin + "\\fixtures\\" + fixture;
        CopyFileA(from.c_str(), (dir + "\\" + installedAs).c_str(), FALSE);
        // Its PDB, under the name its debug directory gives: a crash is told by its source line.
        const std::string pdb = fixture.substr(0, fixture.rfind('.')) + ".pdb";
        CopyFileA((bin + "\\fixtures\\" + pdb).c_str(), (dir + "\\" + pdb).c_str(), FALSE);
    }
    std::ofstream(dir + "\\scenario.ini") << scenario;
    return dir;
}

std::string MakeFileForSwitch(const std::string &name)
{
    const std::string dir = "C:\\shelltests", file = dir + "\\" + name;
    CreateDirectoryA(dir.c_str(), nullptr);
    CloseHandle(CreateFileA(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    return file;
}

std::string MakeFullInstall(const std::string &name, const std::string &scenario)
{
    return MakeInstall(name,
                       {{"config.dll", "config.dll"}, {"auxhost.dll", "auxhost.dll"}, {"modcore.dll", "modcore.dll"}},
                       scenario);
}

std::vector<std::pair<DWORD, std::string>> ReadJournalWithThreads(const std::string &dir)
{
    std::vector<std::pair<DWORD, std::string>> lines;
    std::ifstream in(dir + "\\journal.txt");
    std::string line;
    while (std::getline(in, line)) {
        const size_t space = line.find(' ');
        lines.emplace_back(std::stoul(line.substr(0, space)), line.substr(space + 1));
    }
    return lines;
}

std::vector<std::string> ReadJournal(const std::string &dir)
{
    std::vector<std::string> lines;
    for (auto &entry : ReadJournalWithThreads(dir))
        lines.push_back(std::move(entry.second));
    return lines;
}

bool WaitForJournal(const std::string &dir, const std::string &line, DWORD timeoutMs)
{
    const DWORD start = GetTickCount();
    do {
        if (IndexOf(ReadJournal(dir), line) >= 0)
            return true;
        Sleep(20);
    } while (GetTickCount() - start < timeoutMs);
    return false;
}

int IndexOf(const std::vector<std::string> &journal, const std::string &line)
{
    for (size_t i = 0; i < journal.size(); ++i) {
        if (journal[i] == line)
            return static_cast<int>(i);
    }
    return -1;
}

Launcher::Launcher(const std::string &dir, const std::string &switches, const std::string &workDir)
{
    const std::string exe = dir + "\\launcher.exe";
    std::string commandLine = "\"" + exe + "\"" + (switches.empty() ? "" : " " + switches);
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    if (!CreateProcessA(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        (workDir.empty() ? dir : workDir).c_str(), &startup, &process_))
        process_ = {};
}

Launcher::~Launcher()
{
    if (Running()) {
        TerminateProcess(process_.hProcess, 1);
        WaitForSingleObject(process_.hProcess, 5000);
    }
    if (process_.hProcess) {
        CloseHandle(process_.hThread);
        CloseHandle(process_.hProcess);
    }
}

bool Launcher::Running() const
{
    return process_.hProcess != nullptr && WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT;
}

DWORD Launcher::WaitForExit(DWORD timeoutMs)
{
    if (process_.hProcess == nullptr || WaitForSingleObject(process_.hProcess, timeoutMs) != WAIT_OBJECT_0)
        return STILL_ACTIVE;
    DWORD code = STILL_ACTIVE;
    GetExitCodeProcess(process_.hProcess, &code);
    return code;
}

bool Launcher::Quit()
{
    const DWORD thread = MainThreadOf(process_.dwProcessId);
    return thread != 0 && PostThreadMessageA(thread, WM_QUIT, 0, 0);
}

std::string RunAndCapture(std::string commandLine, DWORD timeoutMs, DWORD &exitCode, bool withErrors)
{
    exitCode = STILL_ACTIVE;
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    HANDLE reader = nullptr, writer = nullptr;
    if (!CreatePipe(&reader, &writer, &inherit, 0))
        return "";
    SetHandleInformation(reader, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = writer;
    startup.hStdError = withErrors ? writer : GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process{};
    const BOOL started = CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                       &startup, &process);
    CloseHandle(writer);
    std::string output;
    if (started) {
        const DWORD start = GetTickCount();
        bool ended = false;
        while (!ended && GetTickCount() - start < timeoutMs) {
            ended = WaitForSingleObject(process.hProcess, 20) == WAIT_OBJECT_0;
            DWORD available = 0, read = 0;
            char buffer[4096];
            while (PeekNamedPipe(reader, nullptr, 0, nullptr, &available, nullptr) && available > 0 &&
                   ReadFile(reader, buffer, sizeof(buffer), &read, nullptr) && read > 0)
                output.append(buffer, read);
        }
        if (!ended)
            TerminateProcess(process.hProcess, 1);
        else
            GetExitCodeProcess(process.hProcess, &exitCode);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    CloseHandle(reader);
    return output;
}

bool WaitForNamedEvent(const char *name, DWORD timeoutMs)
{
    const DWORD start = GetTickCount();
    do {
        HANDLE event = OpenEventA(SYNCHRONIZE, FALSE, name);
        if (event != nullptr) {
            const DWORD elapsed = GetTickCount() - start;
            const DWORD result = WaitForSingleObject(event, elapsed < timeoutMs ? timeoutMs - elapsed : 0);
            CloseHandle(event);
            return result == WAIT_OBJECT_0;
        }
        Sleep(10);
    } while (GetTickCount() - start < timeoutMs);
    return false;
}

HWND WaitForWindow(const char *caption, DWORD timeoutMs)
{
    const DWORD start = GetTickCount();
    do {
        if (HWND window = FindWindowA(nullptr, caption))
            return window;
        Sleep(20);
    } while (GetTickCount() - start < timeoutMs);
    return nullptr;
}

std::string MessageBoxText(HWND box)
{
    char text[2048] = "";
    GetDlgItemTextA(box, 0xFFFF, text, sizeof(text));
    return text;
}

void Press(HWND box, int button)
{
    SendMessageA(GetDlgItem(box, button), BM_CLICK, 0, 0);
}

bool Answer(const char *caption, int button, DWORD timeoutMs)
{
    HWND box = WaitForWindow(caption, timeoutMs);
    if (box != nullptr)
        Press(box, button);
    return box != nullptr;
}

bool Gate::OpenAfter(const std::string &dir, const std::string &line, DWORD timeoutMs)
{
    constexpr DWORD kMomentMs = 200;
    const bool seen = WaitForJournal(dir, line, timeoutMs);
    Sleep(kMomentMs);
    Open();
    return seen;
}

BoxAnswerer::BoxAnswerer(const char *caption, int button)
    : thread_([this, caption, button] {
          while (!stop_) {
              if (HWND box = FindWindowA(nullptr, caption)) {
                  texts_.push_back(MessageBoxText(box));
                  Press(box, button);
                  while (IsWindow(box))
                      Sleep(5);
              }
              Sleep(10);
          }
      })
{
}

std::vector<std::string> BoxAnswerer::Texts()
{
    Stop();
    return texts_;
}

void BoxAnswerer::Stop()
{
    stop_ = true;
    if (thread_.joinable())
        thread_.join();
}

} // namespace harness

// The test's paths and texts are UTF-8 (the test programs' code page too);
// the system is called wide, so a checkout in any folder works.

#include "harness.h"

#include "ChildProcess.h"
#include "MainThread.h"
#include "Text.h"

#include <algorithm>
#include <stdio.h>

namespace harness {

namespace {

std::wstring W(const std::string &utf8)
{
    return text::FromUtf8(utf8);
}

// Removes a directory tree (the install of an earlier run of the same test).
void RemoveTree(const std::wstring &dir)
{
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((dir + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = found.cFileName;
            if (name == L"." || name == L"..")
                continue;
            const std::wstring path = dir + L"\\" + name;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveTree(path);
            else
                DeleteFileW(path.c_str());
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    RemoveDirectoryW(dir.c_str());
}

} // namespace

std::string ProgramDir()
{
    wchar_t path[MAX_PATH];
    const std::wstring dir(path, GetModuleFileNameW(nullptr, path, MAX_PATH));
    return text::Utf8(dir.substr(0, dir.rfind(L'\\')));
}

size_t WideLength(const std::string &utf8)
{
    return W(utf8).size();
}

bool CopyInto(const std::string &from, const std::string &to)
{
    return CopyFileW(W(from).c_str(), W(to).c_str(), FALSE) != FALSE;
}

void WriteText(const std::string &path, const std::string &text)
{
    if (FILE *file = _wfopen(W(path).c_str(), L"wb")) {
        fwrite(text.data(), 1, text.size(), file);
        fclose(file);
    }
}

// The whole file; empty when there is none.
std::string ReadText(const std::string &path)
{
    std::string text;
    if (FILE *file = _wfopen(W(path).c_str(), L"rb")) {
        char buffer[4096];
        for (size_t read; (read = fread(buffer, 1, sizeof(buffer), file)) > 0;)
            text.append(buffer, read);
        fclose(file);
    }
    return text;
}

std::string MakeInstall(const std::string &name,
                        const std::vector<std::pair<std::string, std::string>> &components,
                        const std::string &scenario)
{
    const std::string bin = ProgramDir();
    const std::string installs = bin + "\\installs";
    const std::string dir = installs + "\\" + name;
    CreateDirectoryW(W(installs).c_str(), nullptr);
    RemoveTree(W(dir));
    CreateDirectoryW(W(dir).c_str(), nullptr);
    CopyInto(bin + "\\launcher.exe", dir + "\\launcher.exe");
    for (const auto &[fixture, installedAs] : components) {
        CopyInto(bin + "\\fixtures\\" + fixture, dir + "\\" + installedAs);
        // Its PDB, under the name its debug directory gives: a crash is told by its source line.
        const std::string pdb = fixture.substr(0, fixture.rfind('.')) + ".pdb";
        CopyInto(bin + "\\fixtures\\" + pdb, dir + "\\" + pdb);
    }
    WriteText(dir + "\\scenario.ini", scenario);
    return dir;
}

void UseQuickStopLauncher(const std::string &dir)
{
    CopyInto(ProgramDir() + "\\quickstop\\launcher.exe", dir + "\\launcher.exe");
}

std::string MakeFileForSwitch(const std::string &name)
{
    const std::string dir = "C:\\shelltests", file = dir + "\\" + name;
    CreateDirectoryW(W(dir).c_str(), nullptr);
    WriteText(file, "");
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
    const std::string text = ReadText(dir + "\\journal.txt");
    for (size_t at = 0, end; at < text.size(); at = end + 1) {
        end = std::min(text.find('\n', at), text.size());
        const std::string line = text.substr(at, end - at);
        const size_t space = line.find(' ');
        if (space != std::string::npos)
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
    const std::wstring exe = W(dir + "\\launcher.exe");
    std::wstring commandLine = L"\"" + exe + L"\"" + (switches.empty() ? L"" : L" " + W(switches));
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    if (!CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        W(workDir.empty() ? dir : workDir).c_str(), &startup, &process_))
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
    ChildProcess child;
    ChildOptions options;
    options.capture = true;
    options.captureErrors = withErrors;
    if (!child.Start(W(commandLine), options))
        return "";
    if (child.Wait(timeoutMs))
        exitCode = child.ExitCode();
    else
        child.Terminate(1);
    return child.TakeOutput();
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
    wchar_t text[2048] = L"";
    GetDlgItemTextW(box, 0xFFFF, text, 2048);
    return text::Utf8(text);
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

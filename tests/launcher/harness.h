// Drives launcher.exe from a test: installations with stand-in components,
// the process, its message boxes, the named events and the journal.
#pragma once

#include <windows.h>

#include <atomic>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace harness {

// Directory of the running test program (the build's bin directory). Every
// path and text here is UTF-8.
std::string ProgramDir();
// How long a UTF-8 text is in UTF-16 units, as Windows counts a path.
size_t WideLength(const std::string &utf8);
// Copies a file (over one there); writes a text file (UTF-8, as it stands).
bool CopyInto(const std::string &from, const std::string &to);
void WriteText(const std::string &path, const std::string &text);
std::string ReadText(const std::string &path);

// A fresh installation directory <bin>/installs/<name> holding launcher.exe
// and the given fixtures, as {fixture file, name installed as}, plus
// scenario.ini with the given text.
std::string MakeInstall(const std::string &name,
                        const std::vector<std::pair<std::string, std::string>> &components,
                        const std::string &scenario = "");

// Puts the tests' own launcher into the installation: the same program,
// whose threads get LAUNCHER_TEST_STOP_WAIT_MS to stop instead of 10 s.
void UseQuickStopLauncher(const std::string &dir);

// The standard set: config.dll, auxhost.dll and modcore.dll.
std::string MakeFullInstall(const std::string &name, const std::string &scenario = "");

// An empty file C:\shelltests\<name>, for a -f switch: the launcher ends a
// -f value at the next '-', and the checkout's own path may hold one.
std::string MakeFileForSwitch(const std::string &name);

// The journal lines with the thread id removed: "<component> <event> ...".
std::vector<std::string> ReadJournal(const std::string &dir);
// The same, each with its thread id: {id, line}.
std::vector<std::pair<DWORD, std::string>> ReadJournalWithThreads(const std::string &dir);
// Polls the journal until a line equal to `line` appears.
bool WaitForJournal(const std::string &dir, const std::string &line, DWORD timeoutMs);
// Index of the first journal line equal to `line`, or -1.
int IndexOf(const std::vector<std::string> &journal, const std::string &line);

class Launcher {
public:
    // Starts <dir>\launcher.exe with the given switches, in workDir (default: dir).
    Launcher(const std::string &dir, const std::string &switches = "", const std::string &workDir = "");
    ~Launcher(); // kills a copy still running, so one test cannot spoil the next
    Launcher(const Launcher &) = delete;
    Launcher &operator=(const Launcher &) = delete;

    bool Started() const { return process_.hProcess != nullptr; }
    DWORD ProcessId() const { return process_.dwProcessId; }
    bool Running() const;
    // Exit code, or STILL_ACTIVE when it has not ended within timeoutMs.
    DWORD WaitForExit(DWORD timeoutMs);
    // Posts WM_QUIT to the launcher's main thread.
    bool Quit();

private:
    PROCESS_INFORMATION process_{};
};

// Runs a command line to its end and returns what it wrote to its standard
// output (and, withErrors, its standard error), with its exit code in
// exitCode (STILL_ACTIVE when it had to be ended after timeoutMs).
std::string RunAndCapture(std::string commandLine, DWORD timeoutMs, DWORD &exitCode, bool withErrors = false);

// Waits until the named event exists and is signalled.
bool WaitForNamedEvent(const char *name, DWORD timeoutMs);

// A named event a stand-in component waits on (its signal_gate or end_gate),
// made before the launcher starts and set by the test when it decides.
class Gate {
public:
    explicit Gate(const char *name) : event_(CreateEventA(nullptr, TRUE, FALSE, name)) {}
    ~Gate() { CloseHandle(event_); }
    Gate(const Gate &) = delete;
    Gate &operator=(const Gate &) = delete;
    void Open() { SetEvent(event_); }
    // Opens the gate once `line` is in dir's journal and a moment has passed,
    // so that a fault racing that line would show in the order.
    bool OpenAfter(const std::string &dir, const std::string &line, DWORD timeoutMs);

private:
    HANDLE event_;
};

// A top-level window (message box) with that caption, or null after timeoutMs.
HWND WaitForWindow(const char *caption, DWORD timeoutMs);
// The text of a message box.
std::string MessageBoxText(HWND box);
// Presses a message box button (IDYES, IDNO, IDOK).
void Press(HWND box, int button);
// Presses the button of the box with that caption if one shows up in time.
bool Answer(const char *caption, int button, DWORD timeoutMs);

// Answers every box with the caption, from a thread of its own, by pressing
// `button`, and keeps each box's text.
class BoxAnswerer {
public:
    BoxAnswerer(const char *caption, int button);
    ~BoxAnswerer() { Stop(); }
    BoxAnswerer(const BoxAnswerer &) = delete;
    BoxAnswerer &operator=(const BoxAnswerer &) = delete;
    // Stops answering; the texts of the boxes answered so far.
    std::vector<std::string> Texts();

private:
    void Stop();

    std::atomic<bool> stop_{false};
    std::vector<std::string> texts_;
    std::thread thread_;
};

} // namespace harness

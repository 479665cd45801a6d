// Entry, single-instance guard, wait loop and clean-up.

#include "Shell.h"

namespace {

constexpr char kErrorText[] =
    "There were problems allocating basic resources for the shell.\r\nThe shell will now exit. Sorry.";
constexpr char kErrorCaption[] = "Brevant - Error!";
constexpr wchar_t kErrorCaptionW[] = L"Brevant - Error!";
constexpr UINT kErrorStyle = MB_SYSTEMMODAL | MB_ICONERROR;

constexpr char kSecondCopyText[] =
    "Another instance of your shell is already open.\r\n"
    "Running a new instance may cause conflicts.\r\n\r\n"
    "To disable this warning use the command line switch: -m[0/1]";
constexpr char kSecondCopyCaption[] = "Brevant - Continue Loading?";
constexpr UINT kSecondCopyStyle = MB_SYSTEMMODAL | MB_ICONWARNING | MB_YESNO;

// PeekMessage's filter for messages posted to the thread, not to a window.
const HWND kThreadMessagesOnly = reinterpret_cast<HWND>(-1);

// Every input that can arrive as a posted message or a key, mouse, timer,
// paint or hot-key event; sent messages and raw input do not wake the loop.
constexpr DWORD kWakeMask = QS_KEY | QS_MOUSEMOVE | QS_MOUSEBUTTON | QS_POSTMESSAGE | QS_TIMER |
                            QS_PAINT | QS_HOTKEY;

// The live threads are waited on in this order, and an ended one matched in it.
constexpr contract::Worker kWaitOrder[] = {contract::Worker::Core, contract::Worker::Service,
                                           contract::Worker::Startup};

void SignalLogonProcess()
{
    const UniqueHandle logon(OpenEventA(EVENT_MODIFY_STATE, FALSE, contract::kLogonEvent));
    if (logon)
        SetEvent(logon.get());
}

// Removes every thread message from the queue without dispatching it;
// true when one of them was WM_QUIT.
bool DrainThreadMessages()
{
    bool quit = false;
    MSG msg;
    while (PeekMessageA(&msg, kThreadMessagesOnly, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT)
            quit = true;
    }
    return quit;
}

// The folder cannot be handed to the components in the code page of a
// Windows without UTF-8 (before 10 version 1903), and has no short name.
void SayFolderNotInCodePage()
{
    std::wstring text = L"The shell's folder cannot be handed to its components on this system:\r\n";
    text += L"its name has letters outside the system's code page, and it has no short name.\r\n";
    text += L"Move the shell to a folder with a plain name. The shell will now exit.";
    MessageBoxW(nullptr, text.c_str(), kErrorCaptionW, kErrorStyle);
}

} // namespace

const InstallDir *Shell::GetInstallDir()
{
    if (!installDir_) {
        InstallDir found;
        installDirProblem_ = FindInstallDir(found);
        if (installDirProblem_ == InstallDirProblem::None)
            installDir_ = std::move(found); // a failure is not kept: a later call tries again
    }
    return installDir_ ? &*installDir_ : nullptr;
}

bool Shell::CheckSingleInstance(const char *commandLine)
{
    if (GetInstallDir() == nullptr)
        return false;
    settings_ = ParseCommandLine(commandLine, FileExists);

    SetLastError(ERROR_SUCCESS);
    instanceMutex_.reset(CreateMutexA(nullptr, FALSE, contract::kShellMutex));
    const DWORD mutexError = GetLastError();
    if (!instanceMutex_)
        return false;
    if (settings_.InstanceMode == InstanceModes::StartAnyway)
        return true;
    if (mutexError == ERROR_ALREADY_EXISTS) {
        if (settings_.InstanceMode == InstanceModes::EndQuietly)
            return false;
        return MessageBoxA(nullptr, kSecondCopyText, kSecondCopyCaption, kSecondCopyStyle) == IDYES;
    }
    return true;
}

// A worker thread has ended: close its handle, and act on what it means.
void Shell::ReapThread(HANDLE ended)
{
    using contract::Worker;
    for (Worker worker : kWaitOrder) {
        WorkerThread &thread = WorkerOf(worker).thread;
        if (!thread || ended != thread.get())
            continue;
        thread.reset();
        if (worker == Worker::Core)
            PostQuitMessage(0); // the core ending ends the shell
        else if (!WorkerOf(worker == Worker::Service ? Worker::Startup : Worker::Service).thread)
            UnloadServicesLibrary(); // both of its threads have ended
        return;
    }
}

void Shell::RunWaitLoop()
{
    // A synchronous word to the desktop window that the shell, its services
    // included, is up; nothing here depends on what it makes of it.
    if (settings_.ServicesEnabled)
        SendMessageA(GetDesktopWindow(), WM_USER, 0, 0);

    bool quit = false;
    while (!quit) {
        HANDLE live[3];
        DWORD count = 0;
        for (contract::Worker worker : kWaitOrder) {
            if (WorkerOf(worker).thread)
                live[count++] = WorkerOf(worker).thread.get();
        }
        const DWORD result = MsgWaitForMultipleObjects(count, live, FALSE, INFINITE, kWakeMask);
        if (result == WAIT_OBJECT_0 + count)
            quit = DrainThreadMessages();
        else if (result < WAIT_OBJECT_0 + count)
            ReapThread(live[result - WAIT_OBJECT_0]);
        else
            quit = true; // a handle no longer waitable: waiting again would only fail again, at once
    }
}

void Shell::FinalCleanup()
{
    settings_.ConfigFile.reset();
    installDir_.reset();
    instanceMutex_.reset();
}

int Shell::Run(const char *commandLine)
{
    SignalLogonProcess(); // first, even in a copy the guard refuses

    if (CheckSingleInstance(commandLine)) {
        shellIsReady_.reset(CreateEventA(nullptr, TRUE, FALSE, contract::kShellReadyEvent));
        if (shellIsReady_) {
            // The thread's queue, made as the documented way has it, so
            // that components can post to it; then the null message.
            MSG msg;
            PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);
            PostThreadMessageA(GetCurrentThreadId(), WM_NULL, 0, 0);
            // Before any component; nothing loads if it cannot be restricted.
            StartComponents(RestrictLibrarySearch());
            SetEvent(shellIsReady_.get());

            RunWaitLoop();

            StopComponents();
            shellIsReady_.reset();
        }
    } else if (installDirProblem_ == InstallDirProblem::NotInCodePage) {
        SayFolderNotInCodePage();
    } else if (!installDir_) {
        MessageBoxA(nullptr, kErrorText, kErrorCaption, kErrorStyle);
    }

    FinalCleanup();
    return 0;
}

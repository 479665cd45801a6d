// Entry, single-instance guard, wait loop and clean-up.

#include "lifecycle.h"

#include "LaunchSettings.h"
#include "components.h"

#include <initializer_list>

UniqueHandle g_InstanceMutex;
UniqueHandle g_ShellIsReadyHandle;

namespace {

constexpr char kErrorText[] =
    "There were problems allocating basic resources for the shell.\r\nThe shell will now exit. Sorry.";
constexpr char kErrorCaption[] = "Brevant - Error!";
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

void SignalLogonProcess()
{
    UniqueHandle logon(OpenEventA(EVENT_MODIFY_STATE, FALSE, contract::kLogonEvent));
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

// A worker thread has ended: close its handle, and act on what it means.
void ReapThread(HANDLE ended)
{
    if (g_CoreThread && ended == g_CoreThread.get()) {
        g_CoreThread.reset();
        PostQuitMessage(0); // the core ending ends the shell
    } else if (g_ServiceThread && ended == g_ServiceThread.get()) {
        g_ServiceThread.reset();
        if (!g_StartupThread)
            UnloadServicesLibrary();
    } else if (g_StartupThread && ended == g_StartupThread.get()) {
        g_StartupThread.reset();
        if (!g_ServiceThread)
            UnloadServicesLibrary();
    }
}

} // namespace

bool CheckSingleInstance(const char *commandLine)
{
    if (GetInstallDir() == nullptr)
        return false;
    ParseCommandLine(commandLine);

    SetLastError(ERROR_SUCCESS);
    const HANDLE mutex = CreateMutexA(nullptr, FALSE, contract::kShellMutex);
    const DWORD mutexError = GetLastError();
    g_InstanceMutex.reset(mutex);
    if (!g_InstanceMutex)
        return false;
    if (g_Settings.InstanceMode == kStartAnyway)
        return true;
    if (mutexError == ERROR_ALREADY_EXISTS) {
        if (g_Settings.InstanceMode == kEndQuietly)
            return false;
        return MessageBoxA(nullptr, kSecondCopyText, kSecondCopyCaption, kSecondCopyStyle) == IDYES;
    }
    return true;
}

void RunWaitLoop()
{
    // A synchronous word to the desktop window that the shell, its services
    // included, is up; nothing here depends on what it makes of it.
    if (g_Settings.ServicesEnabled)
        SendMessageA(GetDesktopWindow(), WM_USER, 0, 0);

    bool quit = false;
    while (!quit) {
        HANDLE live[3];
        DWORD count = 0;
        for (const WorkerThread *thread : {&g_CoreThread, &g_ServiceThread, &g_StartupThread}) {
            if (*thread)
                live[count++] = thread->get();
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

void FinalCleanup()
{
    FreeText(g_Settings.ConfigFile);
    FreeText(g_Settings.InstallDir);
    g_InstanceMutex.reset();
}

int LauncherMain(const char *commandLine)
{
    SignalLogonProcess(); // first, even in a copy the guard refuses

    if (CheckSingleInstance(commandLine)) {
        g_ShellIsReadyHandle.reset(CreateEventA(nullptr, TRUE, FALSE, contract::kShellReadyEvent));
        if (g_ShellIsReadyHandle) {
            // Creates the thread's message queue, so components can post to it.
            PostThreadMessageA(GetCurrentThreadId(), WM_NULL, 0, 0);
            // Before any component; nothing loads if it cannot be restricted.
            StartComponents(RestrictLibrarySearch());
            SetEvent(g_ShellIsReadyHandle.get());

            RunWaitLoop();

            StopComponents();
            g_ShellIsReadyHandle.reset();
        }
    } else if (g_Settings.InstallDir == nullptr) {
        MessageBoxA(nullptr, kErrorText, kErrorCaption, kErrorStyle);
    }

    FinalCleanup();
    return 0;
}

// Sample core library (modcore.dll). The launcher loads it on the core
// thread and calls ShellMain there. It must signal its ready event once it is
// up, then run until the stop message arrives, or end the whole shell by
// returning. This one draws a desktop (desktop.h) and ends the shell when the
// user chooses "Quit shell", or after CoreSeconds when shell.rc sets it.

#include "desktop.h"

namespace {

constexpr long kMaxCoreSeconds = 24L * 60 * 60;
constexpr DWORD kBoxClosingMs = 50;

// The settings that cannot be read, shown to the user on a thread of their
// own: the core keeps reading its messages (the stop message above all)
// while the box is up, and closes the box if it has to end first.
class ProblemBox {
public:
    explicit ProblemBox(const ShellSettings &settings)
    {
        if (settings.Problems()[0] == '\0')
            return;
        _snprintf(m_Text, sizeof(m_Text), "%s:\r\n\r\n%s", settings.Path(), settings.Problems());
        m_Text[sizeof(m_Text) - 1] = '\0';
        m_Thread = CreateThread(nullptr, 0, Show, this, 0, &m_ThreadId);
    }
    ProblemBox(const ProblemBox &) = delete;
    ProblemBox &operator=(const ProblemBox &) = delete;
    ~ProblemBox()
    {
        if (m_Thread == nullptr)
            return;
        while (WaitForSingleObject(m_Thread, kBoxClosingMs) == WAIT_TIMEOUT)
            EnumThreadWindows(m_ThreadId, Close, 0); // again, in case the box was not up yet
        CloseHandle(m_Thread);
    }

private:
    static DWORD WINAPI Show(void *self)
    {
        MessageBoxPrintf(MB_SYSTEMMODAL | MB_ICONERROR, "Brevant - Error!", "%s", static_cast<ProblemBox *>(self)->m_Text);
        return 0;
    }
    static BOOL CALLBACK Close(HWND box, LPARAM)
    {
        PostMessageA(box, WM_CLOSE, 0, 0);
        return TRUE;
    }

    char m_Text[MAX_PATH + 1024];
    HANDLE m_Thread = nullptr;
    DWORD m_ThreadId = 0;
};

} // namespace

extern "C" int __cdecl ShellMain(const char *installDir, HANDLE readyEvent)
{
    // Create this thread's message queue before signalling, so that the stop
    // message cannot be posted before there is a queue to receive it.
    MSG msg;
    PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);
    SetEvent(readyEvent); // from here on, readyEvent is the launcher's again
    // Ready first, then draw: the shell's start-up waits for no picture.

    ShellSettings settings(installDir);
    long seconds = 0; // 0: until the stop message or "Quit shell"
    settings.Number("CoreSeconds", 0, kMaxCoreSeconds, seconds);
    const DesktopLook look = ReadLook(settings, installDir);
    Desktop desktop;
    if (!desktop.Open(look))
        Say("core", "the desktop window could not be made (error %lu); running without it", GetLastError());
    ProblemBox problems(settings);
    Say("core", "%s", look.greeting);
    if (seconds > 0)
        Say("core", "the shell ends in %ld s (CoreSeconds)", seconds);

    const DWORD start = GetTickCount();
    for (;;) {
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.hwnd == nullptr && msg.message == SHELL_STOP_MESSAGE) {
                Say("core", "stop message received; module system down");
                return 0;
            }
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
            if (desktop.WantsToEnd())
                return 0; // the launcher sees the core end and shuts the shell down
        }
        DWORD wait = INFINITE;
        if (seconds > 0) {
            const DWORD elapsed = GetTickCount() - start;
            if (elapsed >= static_cast<DWORD>(seconds) * 1000) {
                Say("core", "time is up; ending the shell");
                return 0;
            }
            wait = static_cast<DWORD>(seconds) * 1000 - elapsed;
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, wait, QS_ALLINPUT);
    }
}

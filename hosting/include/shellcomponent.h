/*
 * The contract between launcher.exe and the shell's component libraries.
 *
 * The launcher loads three libraries from its own installation directory, by
 * full path, and looks their entry points up by these plain, undecorated
 * names. A library or entry point that is missing is skipped silently.
 *
 * Library search. Before loading any component the launcher restricts the
 * library search of the whole process to the directory of the library being
 * loaded, the installation directory and the system directories: never the
 * current directory, never PATH. Put the libraries a component depends on
 * beside it; a component that loads further libraries itself should load
 * them by full path.
 *
 *   config.dll   SH_CFG_FillBuffer  main thread, once at start-up
 *                SH_CFG_FreeBuffer  main thread, once at shutdown
 *   auxhost.dll  SS_RunStartup      the startup thread
 *                SS_ForceStartup    used instead of SS_RunStartup with -s1
 *                SS_Main            the service thread (not loaded with -n)
 *   modcore.dll  ShellMain          the core thread; loaded and unloaded on it
 *
 * Ready events. Every worker entry receives an unnamed manual-reset event and
 * must signal it (SetEvent) exactly once, once it is up: the launcher starts
 * nothing else until then, so components start strictly one after another
 * (configuration, startup, service, core). The handle an entry receives is
 * its own copy, which the launcher closes once the thread has ended, so a
 * late or second signal cannot reach another thread's event; but a second
 * signal is still a fault, and the handle must not be closed or used for
 * anything else.
 *
 * Results. ShellMain and SS_Main return -1 only when they fail before
 * signalling; the launcher then signals the event for them. Any other value is
 * the thread's exit code, and the event must already have been signalled.
 * The startup entries must always signal the event themselves: the launcher
 * signals nothing for them, whatever they return.
 *
 * Stopping. ShellMain and SS_Main must end when SHELL_STOP_MESSAGE arrives in
 * their thread's message queue (create the queue before signalling, e.g. with
 * PeekMessage). A thread still running 10 seconds later gets a notice box and
 * is terminated. The startup entries receive no message and must end by
 * themselves. ShellMain may end the whole shell by returning.
 *
 * Texts. installDir and configFile stay valid until SH_CFG_FreeBuffer
 * returns; do not keep them past your own shutdown. They are read only: each
 * component gets copies, and the launcher never reads back what one writes.
 * Their 8-bit text is in the process's ANSI code page, which the launcher
 * declares to be UTF-8 (Windows 10 1903 and later): a directory of any name
 * comes through whole, and the "A" functions take it as it is.
 *
 * Crashes. An exception that no code handles, in any thread, ends the whole
 * shell: the launcher writes a minidump with the exception to
 * %LOCALAPPDATA%\CrashDumps\launcher.exe.<pid>.dmp and exits with the
 * exception code (0xC0000005 for an access violation).
 *
 * Exports must carry the plain names above. __cdecl names are plain already;
 * on 32-bit Windows the two __stdcall startup entries need a .def file that
 * names them plainly (with MinGW, link with -Wl,--enable-stdcall-fixup), so
 * that they are not exported as "SS_RunStartup@4".
 */
#ifndef SHELLCOMPONENT_H
#define SHELLCOMPONENT_H

#include <windows.h>

/* Thread message asking a worker thread to end: WM_APP + 2, wParam and lParam 0. */
#define SHELL_STOP_MESSAGE 0x8002

/* Result of ShellMain or SS_Main that failed before signalling its event. */
#define SHELL_ENTRY_FAILED (-1)

#ifdef __cplusplus
extern "C" {
#endif

/* config.dll. configFile is the file named with -f, or null. */
void __cdecl SH_CFG_FillBuffer(const char *installDir, const char *configFile);
void __cdecl SH_CFG_FreeBuffer(void);

/* modcore.dll */
int __cdecl ShellMain(const char *installDir, HANDLE readyEvent);

/* auxhost.dll. serviceMainFlag is 1, or 0 when the shell was started with -t. */
int __cdecl SS_Main(int serviceMainFlag, HANDLE readyEvent);
unsigned __stdcall SS_RunStartup(void *readyEvent);
unsigned __stdcall SS_ForceStartup(void *readyEvent);

/* The entry points' types, as the launcher calls them through GetProcAddress. */
typedef void(__cdecl *SH_CFG_FillBufferProc)(const char *installDir, const char *configFile);
typedef void(__cdecl *SH_CFG_FreeBufferProc)(void);
typedef int(__cdecl *ShellMainProc)(const char *installDir, HANDLE readyEvent);
typedef int(__cdecl *SS_MainProc)(int serviceMainFlag, HANDLE readyEvent);
typedef unsigned(__stdcall *SS_StartupProc)(void *readyEvent);

#ifdef __cplusplus
}
#endif

#endif /* SHELLCOMPONENT_H */

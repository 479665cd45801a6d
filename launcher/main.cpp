// launcher.exe: the windowless program started in place of the standard shell.

#include "Shell.h"
#include "crashdump.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    InstallCrashDumpWriter(); // before any component can run
    Shell shell;
    return shell.Run(GetCommandLineA());
}

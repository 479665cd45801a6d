// launcher.exe: the windowless program started in place of the standard shell.

#include "crashdump.h"
#include "lifecycle.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    InstallCrashDumpWriter(); // before any component can run
    return LauncherMain(GetCommandLineA());
}

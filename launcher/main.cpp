// launcher.exe: the windowless program started in place of the standard shell.

#include "lifecycle.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    return LauncherMain(GetCommandLineA());
}

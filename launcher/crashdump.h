// The launcher's last-chance handling of a crash in any of its threads.
#pragma once

// Installs the process's unhandled-exception filter. A crash then leaves a
// minidump in %LOCALAPPDATA%\CrashDumps\launcher.exe.<pid>.dmp and ends the
// process with the exception code, within seconds and without any dialog.
void InstallCrashDumpWriter();

// Sample configuration library (config.dll). The launcher calls
// SH_CFG_FillBuffer once at start-up on its main thread, and
// SH_CFG_FreeBuffer once at shutdown. This one reads the configuration file
// (the -f file, or shell.rc beside the launcher) and counts what it holds.

#include "sample.h"

static char g_File[MAX_PATH];

extern "C" void __cdecl SH_CFG_FillBuffer(const char *installDir, const char *configFile)
{
    // Keep a copy: the launcher's texts must not be held past shutdown.
    if (configFile != nullptr)
        _snprintf(g_File, sizeof(g_File), "%s", configFile);
    else
        _snprintf(g_File, sizeof(g_File), "%s\\shell.rc", installDir);
    g_File[MAX_PATH - 1] = '\0';

    FILE *file = MU_fOpen(g_File);
    if (file == nullptr) {
        Say("config", "no configuration file at %s", g_File);
        return;
    }
    int sections = 0, settings = 0;
    char line[MU_MAX_TEXT], inside[MU_MAX_TEXT], after[MU_MAX_TEXT], word[MU_MAX_TEXT];
    while (MU_fGetNextLine(file, 0, line, sizeof(line))) {
        if (line[0] == '[' && MU_BreakTokens(inside, after, line)) {
            Say("config", "section [%s]", inside); // "[Core]" and the like
            ++sections;
        } else if (MU_SimpleToken(word, nullptr, line)) {
            ++settings; // "Key value ...": the first word names the setting
        }
    }
    MU_fClose(file);
    Say("config", "read %d settings in %d sections from %s", settings, sections, g_File);
}

extern "C" void __cdecl SH_CFG_FreeBuffer(void)
{
    Say("config", "configuration released");
    g_File[0] = '\0';
}

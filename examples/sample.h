// Shared by the sample components: their log lines and their settings from
// the sample configuration file, read with modutil.
#pragma once

#include "modutil.h"
#include "shellcomponent.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

// A log-on shell has no console: the samples log with OutputDebugString,
// which DebugView (or a debugger) shows on Windows, `make run` shows on the
// terminal and componentcheck shows under each entry.
inline void Say(const char *component, const char *format, ...)
{
    char line[512];
    const int length = _snprintf(line, sizeof(line), "[%s] ", component);
    va_list args;
    va_start(args, format);
    _vsnprintf(line + length, sizeof(line) - length - 2, format, args);
    va_end(args);
    line[sizeof(line) - 2] = '\0';
    strcat(line, "\n");
    OutputDebugStringA(line);
}

// The core's desktop, as the services library finds it to hand the taskbar
// the startup items it runs (WM_COPYDATA with kStartupItemData).
constexpr char kDesktopClass[] = "SampleShellDesktop";
constexpr ULONG_PTR kStartupItemData = 0x5354524Bu;

// Settings of <installDir>\shell.rc: "Key value ..." lines. A setting that is
// absent keeps its default; one that is there but cannot be read keeps it too,
// and is noted in Problems() for the user to see.
class ShellSettings {
public:
    static constexpr long kMaxPixels = 16384;

    explicit ShellSettings(const char *installDir)
    {
        _snprintf(m_Path, sizeof(m_Path), "%s\\shell.rc", installDir);
        m_Path[sizeof(m_Path) - 1] = '\0';
    }

    // The first word (or "quoted phrase") after the key, as it stands.
    bool Text(const char *key, char (&value)[MU_MAX_TEXT])
    {
        char rest[MU_MAX_TEXT], word[MU_MAX_TEXT];
        if (!Find(key, rest))
            return false;
        if (!MU_SimpleToken(word, nullptr, rest))
            return Problem(key, "", "a word or a \"quoted phrase\"");
        strcpy(value, word);
        return true;
    }

    // A whole number from low to high.
    bool Number(const char *key, long low, long high, long &value)
    {
        long number[1];
        if (!Numbers(key, number, 1, low, high, "a whole number in range"))
            return false;
        value = number[0];
        return true;
    }

    // "red green blue", each 0 to 255.
    bool Colour(const char *key, COLORREF &value)
    {
        long rgb[3];
        if (!Numbers(key, rgb, 3, 0, 255, "red green blue, each 0 to 255"))
            return false;
        value = RGB(rgb[0], rgb[1], rgb[2]);
        return true;
    }

    // left top width height, in pixels (a width or height of 0 draws nothing).
    bool Rectangle(const char *key, RECT &value)
    {
        long box[4];
        if (!Numbers(key, box, 4, 0, kMaxPixels, "left top width height, in pixels"))
            return false;
        value = {box[0], box[1], box[0] + box[2], box[1] + box[3]};
        return true;
    }

    // For a setting read here whose value turned out to be unusable (a
    // picture that does not load).
    bool Problem(const char *key, const char *value, const char *wanted)
    {
        const size_t used = strlen(m_Problems);
        _snprintf(m_Problems + used, sizeof(m_Problems) - used, "%s %s: not %s; the default is used.\r\n", key, value,
                  wanted);
        m_Problems[sizeof(m_Problems) - 1] = '\0';
        return false;
    }

    const char *Path() const { return m_Path; }
    const char *Problems() const { return m_Problems; }

private:
    // The text after the key on the first line whose first word is the key
    // (ignoring case): the reader matches a key as the start of a line, so
    // "Logo" alone would find "LogoKeyColor" too.
    bool Find(const char *key, char (&rest)[MU_MAX_TEXT]) const
    {
        FILE *file = MU_fOpen(m_Path);
        char line[MU_MAX_TEXT], name[MU_MAX_TEXT];
        bool found = false;
        while (!found && MU_fGetLine(file, 0, line, key, sizeof(line)))
            found = MU_SimpleToken(name, rest, line) && _stricmp(name, key) == 0;
        MU_fClose(file);
        return found;
    }

    // count whole numbers from low to high, the first words after the key:
    // false when the setting is absent, or (noted) when they cannot be read.
    bool Numbers(const char *key, long *numbers, int count, long low, long high, const char *wanted)
    {
        char text[MU_MAX_TEXT], rest[MU_MAX_TEXT], word[MU_MAX_TEXT];
        if (!Find(key, text))
            return false;
        strcpy(rest, text);
        for (int i = 0; i < count; ++i) {
            char *end = nullptr;
            if (!MU_SimpleToken(word, rest, rest))
                return Problem(key, text, wanted);
            numbers[i] = strtol(word, &end, 10);
            if (*end != '\0' || numbers[i] < low || numbers[i] > high)
                return Problem(key, text, wanted);
        }
        return true;
    }

    char m_Path[MAX_PATH];
    char m_Problems[1024] = "";
};

// The sample core's desktop: a window over the primary monitor's work area,
// behind every other window, with a wallpaper, a logo drawn with a key colour
// through MU_TransparentStretchBlt, and a taskbar strip along its bottom edge
// (greeting, startup items, clock; a right click offers "Quit shell").
#pragma once

#include "sample.h"

// What shell.rc says the desktop looks like; every member has its default.
struct DesktopLook {
    HBITMAP wallpaper = nullptr; // stretched over the desktop; null: the colour below
    COLORREF wallpaperColour = RGB(32, 72, 104);
    HBITMAP logo = nullptr; // null: no logo
    COLORREF logoKey = RGB(255, 0, 255);
    RECT logoBox = {48, 48, 48 + 128, 48 + 128};
    long taskbarHeight = 32;
    COLORREF taskbarColour = RGB(36, 36, 44);
    COLORREF textColour = RGB(240, 240, 240);
    char greeting[MU_MAX_TEXT] = "module system up";
};

// Reads the look from shell.rc and loads its pictures, noting what cannot be
// read or loaded in settings.Problems().
DesktopLook ReadLook(ShellSettings &settings, const char *installDir);

class Desktop {
public:
    Desktop() = default;
    Desktop(const Desktop &) = delete;
    Desktop &operator=(const Desktop &) = delete;
    ~Desktop();

    // Makes the windows on the calling thread, which must then dispatch their
    // messages; takes over the look's pictures. False when a window cannot be
    // made (the pictures are freed all the same).
    bool Open(const DesktopLook &look);
    // The user chose "Quit shell", or the stop message came while the menu was up.
    bool WantsToEnd() const { return m_WantsToEnd; }

private:
    static LRESULT CALLBACK DesktopProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    static LRESULT CALLBACK TaskbarProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    void PaintDesktop(HDC dc) const;
    void PaintTaskbar(HDC dc) const;
    void AddStartupItem(const COPYDATASTRUCT &data);
    void OfferQuit(HWND taskbar, LPARAM at);

    DesktopLook m_Look;
    HWND m_Desktop = nullptr;
    HWND m_Taskbar = nullptr;
    char m_Items[512] = ""; // the startup items as they started, for the taskbar
    bool m_WantsToEnd = false;
};

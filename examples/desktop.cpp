// The sample core's desktop: see desktop.h.

#include "desktop.h"

extern "C" IMAGE_DOS_HEADER __ImageBase; // this library's own module, for its window classes

namespace {

constexpr char kTaskbarClass[] = "SampleShellTaskbar";
constexpr UINT_PTR kClockTimer = 1;
constexpr UINT kClockTickMs = 1000;
constexpr UINT kQuitCommand = 1;
constexpr int kTextMargin = 12; // pixels between the taskbar's texts and its edges

HINSTANCE Instance()
{
    return reinterpret_cast<HINSTANCE>(&__ImageBase);
}

// BeginPaint and its EndPaint as one owner: the paint ends on every path.
class Painting {
public:
    explicit Painting(HWND window) : m_Window(window), m_Dc(BeginPaint(window, &m_Paint)) {}
    ~Painting() { EndPaint(m_Window, &m_Paint); }
    Painting(const Painting &) = delete;
    Painting &operator=(const Painting &) = delete;
    HDC Dc() const { return m_Dc; }

private:
    HWND m_Window;
    PAINTSTRUCT m_Paint = {};
    HDC m_Dc;
};

// A picture setting: a BMP file, by a name relative to the installation
// directory (or a full path). Null when the setting is absent or the file
// does not load, which is then noted.
HBITMAP LoadPicture(ShellSettings &settings, const char *installDir, const char *key)
{
    char name[MU_MAX_TEXT], path[MAX_PATH];
    if (!settings.Text(key, name))
        return nullptr;
    const bool full = name[0] == '\\' || (name[0] != '\0' && name[1] == ':');
    _snprintf(path, sizeof(path), full ? "%s%s" : "%s\\%s", full ? "" : installDir, name);
    path[sizeof(path) - 1] = '\0';
    const auto picture = static_cast<HBITMAP>(
        LoadImageA(nullptr, path, IMAGE_BITMAP, 0, 0, LR_LOADFROMFILE | LR_CREATEDIBSECTION));
    if (picture == nullptr)
        settings.Problem(key, name, "a BMP file that loads");
    return picture;
}

SIZE SizeOf(HBITMAP picture)
{
    BITMAP bitmap = {};
    GetObjectA(picture, sizeof(bitmap), &bitmap);
    return {bitmap.bmWidth, bitmap.bmHeight};
}

// The stop message is a thread message: a menu's own message loop would
// dispatch it to no window, and it would be lost. While the taskbar's menu
// is up, this hook keeps it and closes the menu; the core's loop then stops.
bool g_StopDuringMenu;

LRESULT CALLBACK KeepStopMessage(int code, WPARAM wParam, LPARAM lParam)
{
    auto *msg = reinterpret_cast<MSG *>(lParam);
    if (code == MSGF_MENU && msg->hwnd == nullptr && msg->message == SHELL_STOP_MESSAGE) {
        g_StopDuringMenu = true;
        EndMenu();
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

// The desktop a window of ours belongs to: handed over at its creation,
// then kept in the window's user data.
Desktop *DesktopOf(HWND window, UINT message, LPARAM lParam)
{
    if (message == WM_NCCREATE)
        SetWindowLongPtrA(window, GWLP_USERDATA,
                          reinterpret_cast<LONG_PTR>(reinterpret_cast<CREATESTRUCTA *>(lParam)->lpCreateParams));
    return reinterpret_cast<Desktop *>(GetWindowLongPtrA(window, GWLP_USERDATA));
}

} // namespace

DesktopLook ReadLook(ShellSettings &settings, const char *installDir)
{
    DesktopLook look;
    look.wallpaper = LoadPicture(settings, installDir, "Wallpaper");
    settings.Colour("WallpaperColor", look.wallpaperColour);
    look.logo = LoadPicture(settings, installDir, "Logo");
    settings.Colour("LogoKeyColor", look.logoKey);
    settings.Rectangle("LogoPosition", look.logoBox);
    settings.Number("TaskbarHeight", 16, 256, look.taskbarHeight);
    settings.Colour("TaskbarColor", look.taskbarColour);
    settings.Colour("TextColor", look.textColour);
    settings.Text("Greeting", look.greeting);
    return look;
}

bool Desktop::Open(const DesktopLook &look)
{
    m_Look = look;
    WNDCLASSA desktopClass = {};
    desktopClass.lpfnWndProc = DesktopProc;
    desktopClass.hInstance = Instance();
    desktopClass.hCursor = LoadCursor(nullptr, IDC_ARROW);
    desktopClass.lpszClassName = kDesktopClass;
    WNDCLASSA taskbarClass = desktopClass;
    taskbarClass.lpfnWndProc = TaskbarProc;
    taskbarClass.lpszClassName = kTaskbarClass;
    RegisterClassA(&desktopClass); // a class left by an earlier run in this process serves as well
    RegisterClassA(&taskbarClass);

    RECT area;
    SystemParametersInfoA(SPI_GETWORKAREA, 0, &area, 0);
    const int width = area.right - area.left, height = area.bottom - area.top;
    m_Desktop = CreateWindowExA(WS_EX_TOOLWINDOW, kDesktopClass, "Sample desktop", WS_POPUP | WS_CLIPCHILDREN,
                                area.left, area.top, width, height, nullptr, nullptr, Instance(), this);
    if (m_Desktop == nullptr)
        return false;
    m_Taskbar = CreateWindowExA(0, kTaskbarClass, nullptr, WS_CHILD | WS_VISIBLE, 0, height - m_Look.taskbarHeight,
                                width, m_Look.taskbarHeight, m_Desktop, nullptr, Instance(), this);
    if (m_Taskbar == nullptr)
        return false;
    SetTimer(m_Taskbar, kClockTimer, kClockTickMs, nullptr);
    SetWindowPos(m_Desktop, HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE | SWP_SHOWWINDOW);
    return true;
}

Desktop::~Desktop()
{
    if (m_Desktop != nullptr)
        DestroyWindow(m_Desktop); // and the taskbar, its child, with its timer
    UnregisterClassA(kTaskbarClass, Instance());
    UnregisterClassA(kDesktopClass, Instance());
    if (m_Look.wallpaper != nullptr)
        DeleteObject(m_Look.wallpaper);
    if (m_Look.logo != nullptr)
        DeleteObject(m_Look.logo);
}

LRESULT CALLBACK Desktop::DesktopProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    Desktop *self = DesktopOf(window, message, lParam);
    switch (message) {
    case WM_WINDOWPOSCHANGING: // behind every other window, always
        reinterpret_cast<WINDOWPOS *>(lParam)->hwndInsertAfter = HWND_BOTTOM;
        return 0;
    case WM_ERASEBKGND:
        return 1; // WM_PAINT covers every pixel
    case WM_PAINT:
        self->PaintDesktop(Painting(window).Dc());
        return 0;
    case WM_COPYDATA:
        self->AddStartupItem(*reinterpret_cast<const COPYDATASTRUCT *>(lParam));
        return TRUE;
    default:
        return DefWindowProcA(window, message, wParam, lParam);
    }
}

LRESULT CALLBACK Desktop::TaskbarProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    Desktop *self = DesktopOf(window, message, lParam);
    switch (message) {
    case WM_TIMER:
        InvalidateRect(window, nullptr, FALSE); // the clock
        return 0;
    case WM_ERASEBKGND:
        return 1;
    case WM_PAINT:
        self->PaintTaskbar(Painting(window).Dc());
        return 0;
    case WM_CONTEXTMENU:
        self->OfferQuit(window, lParam);
        return 0;
    case WM_DESTROY:
        KillTimer(window, kClockTimer);
        return 0;
    default:
        return DefWindowProcA(window, message, wParam, lParam);
    }
}

void Desktop::PaintDesktop(HDC dc) const
{
    RECT area;
    GetClientRect(m_Desktop, &area);
    const HDC pictures = CreateCompatibleDC(dc);
    if (m_Look.wallpaper != nullptr && pictures != nullptr) {
        const SIZE size = SizeOf(m_Look.wallpaper);
        const HGDIOBJ before = SelectObject(pictures, m_Look.wallpaper);
        SetStretchBltMode(dc, HALFTONE);
        SetBrushOrgEx(dc, 0, 0, nullptr);
        StretchBlt(dc, 0, 0, area.right, area.bottom, pictures, 0, 0, size.cx, size.cy, SRCCOPY);
        SelectObject(pictures, before);
    } else {
        const HBRUSH brush = CreateSolidBrush(m_Look.wallpaperColour);
        FillRect(dc, &area, brush);
        DeleteObject(brush);
    }
    if (m_Look.logo != nullptr && pictures != nullptr) {
        // The key colour's pixels leave the wallpaper showing.
        const SIZE size = SizeOf(m_Look.logo);
        const HGDIOBJ before = SelectObject(pictures, m_Look.logo);
        const RECT &box = m_Look.logoBox;
        MU_TransparentStretchBlt(dc, box.left, box.top, box.right - box.left, box.bottom - box.top, pictures, 0, 0,
                                 size.cx, size.cy, m_Look.logoKey);
        SelectObject(pictures, before);
    }
    if (pictures != nullptr)
        DeleteDC(pictures);
}

void Desktop::PaintTaskbar(HDC dc) const
{
    RECT bar;
    GetClientRect(m_Taskbar, &bar);
    const HBRUSH brush = CreateSolidBrush(m_Look.taskbarColour);
    FillRect(dc, &bar, brush);
    DeleteObject(brush);

    SYSTEMTIME now;
    GetLocalTime(&now);
    char clock[16];
    _snprintf(clock, sizeof(clock), "%02u:%02u:%02u", now.wHour, now.wMinute, now.wSecond);
    const HGDIOBJ font = SelectObject(dc, GetStockObject(DEFAULT_GUI_FONT));
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, m_Look.textColour);
    InflateRect(&bar, -kTextMargin, 0);
    const UINT line = DT_SINGLELINE | DT_VCENTER | DT_NOPREFIX | DT_END_ELLIPSIS;
    DrawTextA(dc, m_Look.greeting, -1, &bar, line | DT_LEFT);
    DrawTextA(dc, m_Items, -1, &bar, line | DT_CENTER);
    DrawTextA(dc, clock, -1, &bar, line | DT_RIGHT);
    SelectObject(dc, font);
}

void Desktop::AddStartupItem(const COPYDATASTRUCT &data)
{
    if (data.dwData != kStartupItemData || data.lpData == nullptr || data.cbData == 0)
        return;
    char item[MU_MAX_TEXT];
    const size_t length = data.cbData < sizeof(item) ? data.cbData : sizeof(item);
    memcpy(item, data.lpData, length);
    item[length - 1] = '\0'; // the sender's text, cut where it must be
    const size_t used = strlen(m_Items);
    _snprintf(m_Items + used, sizeof(m_Items) - used, used == 0 ? "started: %s" : ", %s", item);
    m_Items[sizeof(m_Items) - 1] = '\0';
    InvalidateRect(m_Taskbar, nullptr, FALSE);
}

void Desktop::OfferQuit(HWND taskbar, LPARAM at)
{
    POINT point = {static_cast<short>(LOWORD(at)), static_cast<short>(HIWORD(at))};
    if (at == -1) { // from the keyboard: at the taskbar's corner
        point = {0, 0};
        ClientToScreen(taskbar, &point);
    }
    const HMENU menu = CreatePopupMenu();
    if (menu == nullptr)
        return;
    AppendMenuA(menu, MF_STRING, kQuitCommand, "Quit shell");
    SetForegroundWindow(m_Desktop); // else the menu stays up when the user clicks elsewhere
    g_StopDuringMenu = false;
    const HHOOK hook = SetWindowsHookExA(WH_MSGFILTER, KeepStopMessage, nullptr, GetCurrentThreadId());
    const UINT chosen =
        TrackPopupMenu(menu, TPM_RETURNCMD | TPM_RIGHTBUTTON | TPM_BOTTOMALIGN, point.x, point.y, 0, taskbar, nullptr);
    if (hook != nullptr)
        UnhookWindowsHookEx(hook);
    DestroyMenu(menu);
    if (chosen == kQuitCommand)
        Say("core", "Quit shell chosen; ending the shell");
    else if (g_StopDuringMenu)
        Say("core", "stop message received; module system down");
    m_WantsToEnd = chosen == kQuitCommand || g_StopDuringMenu;
}

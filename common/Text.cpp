#include "Text.h"

#include <io.h>
#include <stdarg.h>

namespace text {

namespace {

std::string Narrow(UINT codePage, DWORD flags, std::wstring_view wide, bool *lossy)
{
    BOOL usedDefault = FALSE;
    BOOL *used = lossy != nullptr ? &usedDefault : nullptr;
    const int count = static_cast<int>(wide.size());
    const int size = WideCharToMultiByte(codePage, flags, wide.data(), count, nullptr, 0, nullptr, used);
    std::string narrow(size > 0 ? size : 0, '\0');
    if (size > 0)
        WideCharToMultiByte(codePage, flags, wide.data(), count, narrow.data(), size, nullptr, used);
    if (lossy != nullptr)
        *lossy = usedDefault != FALSE;
    return narrow;
}

std::wstring Widen(UINT codePage, std::string_view narrow)
{
    const int count = static_cast<int>(narrow.size());
    const int size = MultiByteToWideChar(codePage, 0, narrow.data(), count, nullptr, 0);
    std::wstring wide(size > 0 ? size : 0, L'\0');
    if (size > 0)
        MultiByteToWideChar(codePage, 0, narrow.data(), count, wide.data(), size);
    return wide;
}

} // namespace

std::string Utf8(std::wstring_view wide)
{
    return Narrow(CP_UTF8, 0, wide, nullptr);
}

std::wstring FromUtf8(std::string_view utf8)
{
    return Widen(CP_UTF8, utf8);
}

bool ToCodePage(std::wstring_view wide, std::string &narrow)
{
    // UTF-8 holds every character; the flag that reports a loss is refused for it.
    if (GetACP() == CP_UTF8) {
        narrow = Utf8(wide);
        return true;
    }
    bool lossy = false;
    narrow = Narrow(CP_ACP, WC_NO_BEST_FIT_CHARS, wide, &lossy);
    return !lossy;
}

std::wstring FromCodePage(std::string_view narrow)
{
    return Widen(CP_ACP, narrow);
}

void Write(FILE *stream, std::wstring_view text)
{
    fflush(stream);
    const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    DWORD mode = 0, written = 0;
    if (handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode)) {
        WriteConsoleW(handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
        return;
    }
    const std::string bytes = Utf8(text);
    fwrite(bytes.data(), 1, bytes.size(), stream);
    fflush(stream);
}

void Print(FILE *stream, const wchar_t *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    va_list counting;
    va_copy(counting, arguments);
    const int length = _vscwprintf(format, counting);
    va_end(counting);
    if (length > 0) {
        std::wstring line(static_cast<size_t>(length) + 1, L'\0');
        _vsnwprintf(line.data(), line.size(), format, arguments);
        line.resize(static_cast<size_t>(length));
        Write(stream, line);
    }
    va_end(arguments);
}

} // namespace text

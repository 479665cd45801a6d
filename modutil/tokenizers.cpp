// Trimming and tokenizing of configuration text.
//
// Both tokenizers work on a private copy of the source, so their outputs may
// be the very buffer that holds the source.

#include "modutil.h"
#include "text.h"

#include <array>
#include <cstring>

namespace {

using TextBuffer = std::array<char, MU_MAX_TEXT>;

// Copies source into buffer; false when it does not fit (4096 characters or more).
bool CopyToBuffer(TextBuffer &buffer, const char *source, size_t length)
{
    if (length >= buffer.size())
        return false;
    std::memcpy(buffer.data(), source, length);
    buffer[length] = '\0';
    return true;
}

void CopyOut(char *out, const char *text, size_t length)
{
    std::memmove(out, text, length);
    out[length] = '\0';
}

// The length of text's longest prefix without whitespace (or a quote, when
// quotes also end it).
size_t SpanToSpace(const char *text, bool quotesEnd)
{
    size_t i = 0;
    while (text[i] != '\0' && !ascii::IsSpace(text[i]) && !(quotesEnd && (text[i] == '"' || text[i] == '\'')))
        ++i;
    return i;
}

} // namespace

extern "C" int MU_CALL MU_StripWS(char *text)
{
    if (text == nullptr)
        return 0;
    const std::string_view kept = mu::Trimmed(text);
    if (kept.empty())
        return 0; // empty or all blank: leave the blanks where they are

    const size_t lead = static_cast<size_t>(kept.data() - text);
    for (char *c = text + lead + kept.size(); *c != '\0'; ++c) // terminators over the trailing blanks
        *c = '\0';
    if (lead > 0)
        std::memmove(text, text + lead, kept.size() + 1);
    return 1;
}

extern "C" int MU_CALL MU_SimpleToken(char *token, char *rest, const char *source)
{
    if (source == nullptr || *source == '\0' || token == nullptr)
        return 0;

    TextBuffer line;
    if (!CopyToBuffer(line, source, strnlen(source, line.size())) || !MU_StripWS(line.data()))
        return 0;

    const char *text = line.data();
    const size_t length = std::strlen(text);
    const size_t stop = SpanToSpace(text, true);

    if (stop == length) { // a single word
        CopyOut(token, text, length);
        if (rest != nullptr)
            rest[0] = '\0';
        return 1;
    }

    if (stop > 0) { // a word ended by whitespace or a quote; the quote stays in rest
        CopyOut(token, text, stop);
        if (rest != nullptr) {
            CopyOut(rest, text + stop, length - stop);
            MU_StripWS(rest);
        }
        return 1;
    }

    // A quoted phrase. Without its closing quote it runs to the next blank.
    const char quote = text[0];
    const char *close = std::strchr(text + 1, quote);
    size_t end = close != nullptr ? static_cast<size_t>(close - text)
                                  : 1 + SpanToSpace(text + 1, false);
    CopyOut(token, text + 1, end - 1);
    if (rest != nullptr) {
        if (end >= length - 1) {
            rest[0] = '\0';
        } else {
            CopyOut(rest, text + end + 1, length - end - 1);
            MU_StripWS(rest);
        }
    }
    return 1;
}

extern "C" int MU_CALL MU_BreakTokens(char *inside, char *after, const char *source)
{
    if (source == nullptr || inside == nullptr || after == nullptr)
        return 0;

    TextBuffer line;
    if (!CopyToBuffer(line, source, strnlen(source, line.size())))
        return 0;

    // Double-quoted sections before the '[' are skipped whole.
    char *open = line.data();
    for (;;) {
        open += std::strcspn(open, "\"[");
        if (*open != '"')
            break;
        char *close = std::strchr(open + 1, '"');
        if (close == nullptr)
            return 0;
        open = close + 1;
    }
    if (*open == '\0')
        return 0;

    // The first ']' outside a double-quoted section closes; brackets do not nest.
    char *q = open + 1;
    while (*q != ']') {
        if (*q == '\0')
            return 0;
        if (*q == '"') {
            q = std::strchr(q + 1, '"');
            if (q == nullptr)
                return 0;
        }
        ++q;
    }

    *q = '\0';
    char *insideText = open + 1;
    char *afterText = q + 1;
    if (!MU_StripWS(insideText))
        insideText = q; // the empty string
    if (!MU_StripWS(afterText))
        afterText = q;

    CopyOut(inside, insideText, std::strlen(insideText));
    CopyOut(after, afterText, std::strlen(afterText));
    return 1;
}

/*
 * modutil: helper routines for shell components.
 *
 * Every routine is a plain C function with the __cdecl convention, exported
 * from modutil.dll by its undecorated name. Text is NUL-terminated 8-bit
 * characters in the ANSI code page. Routines return 1 for success and 0 for
 * failure; positions use -1 for failure. Output buffers belong to the caller.
 */
#ifndef MODUTIL_H
#define MODUTIL_H

#include <stdio.h>

#ifdef _WIN32
#include <windows.h>
#define MU_CALL __cdecl
#else
#define MU_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Longest text the tokenizers and the line reader handle, terminator included.
   Output buffers of that size always suffice. */
#define MU_MAX_TEXT 4096

/* ---- Tokenizers ----------------------------------------------------------
   Whitespace is space, \t, \n, \v, \f and \r; bytes 0x80 and up never are.
   Sources of 4096 characters or more are refused. On failure no output is
   written. */

/* Trims text in place. Returns 1 if something non-blank remains; 0 for null,
   empty or all-blank text, which is then left exactly as it was. */
int MU_CALL MU_StripWS(char *text);

/* Takes the first word, or the first "double" or 'single' quoted phrase, off
   source into token; rest (optional) receives the trimmed remainder. token and
   rest may be the very buffer that holds source, so a loop with one buffer as
   rest and source walks a line word by word. */
int MU_CALL MU_SimpleToken(char *token, char *rest, const char *source);

/* Splits source at its first [bracketed] section outside double quotes:
   inside receives the trimmed text between the brackets, after the trimmed
   text behind ']'. Text before '[' is dropped. Either output may be the very
   buffer that holds source. */
int MU_CALL MU_BreakTokens(char *inside, char *after, const char *source);

/* ---- Configuration file reader -------------------------------------------
   Lines are trimmed; blank lines and lines starting with ';' are skipped.
   Positions are byte offsets from the start of the file. */

/* Opens path for reading; null for a null or empty path or a missing file. */
FILE *MU_CALL MU_fOpen(const char *path);

/* Closes stream; does nothing for null. */
void MU_CALL MU_fClose(FILE *stream);

/* Moves to offset from the start (fromCurrent 0) or from the current position;
   returns the new position, or -1. A successful move clears end-of-file; a
   failed one (a target before the start of the file) leaves the stream as it
   was. */
int MU_CALL MU_fSetPos(FILE *stream, int offset, int fromCurrent);

/* The current position, or -1. */
int MU_CALL MU_fGetPos(FILE *stream);

/* Skips to just after the next significant line that begins with key
   (ignoring case; any significant line for a null or empty key) and returns
   the position reached, or -1 for a null stream. */
int MU_CALL MU_fFindSetPos(FILE *stream, const char *key);

/* Delivers the next significant line into buffer, writing exactly size bytes
   (the line, zero fill, and a terminator in the last byte). A null buffer or
   size 0 consumes the line. With limit > 0, a line starting after offset limit
   is not read. Returns 1 if a line was delivered, else 0 with buffer untouched. */
int MU_CALL MU_fGetNextLine(FILE *stream, int limit, char *buffer, unsigned int size);

/* As MU_fGetNextLine, for the next line that begins with key (ignoring case).
   Note the buffer size comes last, behind the key. */
int MU_CALL MU_fGetLine(FILE *stream, int limit, char *buffer, const char *key,
                        unsigned int size);

#ifdef _WIN32
/* ---- Drawing and message helpers ---------------------------------------- */

/* Stretches the source rectangle onto the destination rectangle, leaving the
   pixels of the transparent colour showing what was there. Returns nonzero
   when every drawing step succeeded; 0, with the destination untouched, when
   its scratch DCs or bitmaps cannot be made (a size too large or negative),
   or when a rectangle's far edge lies past what an int holds or the source
   extent is 2^27 or more. */
int MU_CALL MU_TransparentStretchBlt(HDC dest, int destX, int destY, int destWidth,
                                     int destHeight, HDC source, int srcX, int srcY,
                                     int srcWidth, int srcHeight, COLORREF transparent);

/* Shows a system message box with printf-formatted text (cut to 1023
   characters). Returns the button pressed, or 0 for a null caption, a null
   or empty format, or a format with a %n conversion (refused: it writes
   through an argument), in which case nothing is shown. */
int MU_CALL MessageBoxPrintf(UINT style, const char *caption, const char *format, ...);
#endif

#ifdef __cplusplus
}
#endif

#endif /* MODUTIL_H */

/* zrregtext.h: the 16-bit text of zrregdll.h's functions from string literals and UTF-8, and back.
 * zrregdll.h includes it; a host includes zrregdll.h. */
#ifndef ZRREGTEXT_H
#define ZRREGTEXT_H

#include <stdint.h>

/* ZRREG_TEXT("Software\\MyApp") is a string literal as the 16-bit text the functions take
 * (const unsigned short*): u"..." where the compiler has 16-bit literals (C11, C++11), L"..."
 * on Windows, whose wchar_t has 16 bits. Characters up to U+00FF are what the registry
 * holds, in a source file saved as UTF-8; one above ends the text (rule 3 of zrregdll.h).
 * A C99 compiler has no u"": it gets no ZRREG_TEXT, and converts its texts with
 * ZrTextFromUtf8. */
#if defined(_WIN32)
#define ZRREG_TEXT(s) ((const unsigned short*)L##s)
#elif defined(__cplusplus) && __cplusplus >= 201103L
#define ZRREG_TEXT(s) (reinterpret_cast<const unsigned short*>(u##s))
#elif !defined(__cplusplus) && defined(__STDC_VERSION__) && __STDC_VERSION__ >= 201112L
#define ZRREG_TEXT(s) ((const unsigned short*)u##s)
#endif

/* Converts the NUL-terminated UTF-8 text `utf8` into 16-bit text in `out`, which has room
 * for `room` characters with the terminator, and returns `out`, or null when the text holds
 * a character above U+00FF (which the registry cannot hold) or does not fit; passed on as a
 * name, a null answers ZRREG_BAD_ARG. A text that is not valid UTF-8 (overlong forms and
 * surrogates included) is taken byte for byte, as ISO-8859-1, as zrreg takes its arguments.
 * Inline in this header, not exported: a host that loads the library at run time has it
 * too, and the library's export table stays as it is. */
static inline const unsigned short* ZrTextFromUtf8(const char* utf8, unsigned short* out, uint32_t room) {
    const unsigned char* s = (const unsigned char*)utf8;
    uint32_t n = 0, i = 0;
    int valid = 1, wide = 0;
    if (!utf8 || !out || room == 0) return 0;
    while (valid && s[i]) {
        uint32_t c = s[i], more = 0, min = 0, k;
        if (c >= 0x80) {
            if ((c & 0xE0) == 0xC0) {
                more = 1, c &= 0x1F, min = 0x80;
            } else if ((c & 0xF0) == 0xE0) {
                more = 2, c &= 0x0F, min = 0x800;
            } else if ((c & 0xF8) == 0xF0) {
                more = 3, c &= 0x07, min = 0x10000;
            } else {
                valid = 0;
            }
        }
        for (k = 1; valid && k <= more; ++k) {
            if ((s[i + k] & 0xC0) != 0x80) valid = 0; /* a NUL too: the text ends inside a character */
            c = (c << 6) | (s[i + k] & 0x3F);
        }
        if (valid && (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))) valid = 0;
        if (!valid) break;
        if (n + 1 >= room) return 0; /* taken byte for byte it would be no shorter */
        if (c > 0xFF) wide = 1;      /* refused only if the whole text is UTF-8 */
        out[n++] = (unsigned short)c;
        i += more + 1;
    }
    if (!valid) {
        for (n = 0; s[n]; ++n) {
            if (n + 1 >= room) return 0;
            out[n] = s[n];
        }
    } else if (wide) {
        return 0;
    }
    out[n] = 0;
    return out;
}

/* Converts the NUL-terminated 16-bit text `text` (as the functions hand names and strings
 * out: characters up to U+00FF) into UTF-8 in `out`, which has room for `room` bytes with
 * the terminator, and returns `out`, or null when it does not fit (2 bytes a character
 * above U+007F) or the text holds a character above U+00FF. Inline, as ZrTextFromUtf8. */
static inline const char* ZrTextToUtf8(const unsigned short* text, char* out, uint32_t room) {
    uint32_t n = 0;
    if (!text || !out || room == 0) return 0;
    for (; *text; ++text) {
        if (*text > 0xFF || n + (*text < 0x80 ? 1u : 2u) >= room) return 0;
        if (*text < 0x80) {
            out[n++] = (char)*text;
        } else {
            out[n++] = (char)(0xC0 | (*text >> 6));
            out[n++] = (char)(0x80 | (*text & 0x3F));
        }
    }
    out[n] = 0;
    return out;
}

#endif

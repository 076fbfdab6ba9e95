/* The C test hosts' 16-bit text from ASCII, in one of a few rotating buffers. */
#ifndef ZRHOSTW_H
#define ZRHOSTW_H

#include <stddef.h>

static const unsigned short* W(const char* s) {
    static unsigned short bufs[4][64];
    static int next;
    unsigned short* w = bufs[next++ % 4];
    size_t i = 0;
    for (; s[i] && i < 63; ++i) w[i] = (unsigned char)s[i];
    w[i] = 0;
    return w;
}

#endif

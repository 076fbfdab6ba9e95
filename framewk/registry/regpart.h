// The second part of a large file's load, parsed by a thread of its own (regpart.cpp).
#ifndef REGPART_H
#define REGPART_H

#include <stdio.h>

#include <atomic>

#include "regfile.h"

struct ZrThread;
struct ZrPoolArena;

struct RegPart {
    const char* path;
    FILE* file;  // the loader's stream: the part reads the same file, or none
    FILE* in;    // the part's own stream on it, for its thread

    long long from;  // the offset of the key head the part begins with
    // When the thread is joined: ok, the part's keys and values below `keys` (a key of no
    // name that stands for the one the part lies in), the offset of the ")" that ends it and
    // the line feeds before that.
    bool ok;
    RegNode* keys;
    long long end;
    int lines;
    std::atomic<bool> stop;       // the loader no longer wants the part
    std::atomic<long long> read;  // the offset the part has read to
    ZrThread* thread;
    ZrPoolArena* arena;
};

// Starts the thread that parses `part` (path, file and from set); false when it cannot
// start or the file under the path is no longer the loader's.
bool RegPartStart(RegPart* part);
// Waits for the thread; its blocks are the pool's from then on.
void RegPartJoin(RegPart* part);
// Files of at least this many bytes are loaded in two parts where they can be (a test
// seam; below 0: the default).
void RegPartFrom(long long bytes);
// The parts that joined the tree since the process began (for tests).
long RegPartJoins();

#endif

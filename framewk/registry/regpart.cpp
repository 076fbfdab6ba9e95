// The second part of a large file's load: a reader of its own, run by a thread beside the
// loader into a pool arena. See regload.cpp for where the two parts meet.
#include <limits.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>

#include "regpart.h"
#include "regscan.h"
#include "zrplat.h"
#include "zrpool.h"

// The loader reports what it finds in the file; a part would report it out of order and with
// lines of its own, so it fails instead (its scanner is partial), and the loader parses that
// part itself.
static void Run(void* arg) {
    RegPart* part = static_cast<RegPart*>(arg);
    zrPoolArenaBegin(part->arena);
    RegReader* r = RegReaderNew(part->in);
    if (!r) {
        fclose(part->in);
        part->in = nullptr;
        zrPoolArenaEnd();
        return;
    }
    part->in = nullptr;
    RegScanner* s = &r->scan;
    s->partial = true;
    s->stop = &part->stop;
    s->progress = &part->read;
    // The part's keys and values go below a key of no name, which stands for the one the
    // part lies in.
    RegNode* stand = nullptr;
    if (yyseek(s, part->from) && (stand = NewRegNode("", 0)) != nullptr && NodeStackPush(&r->build, stand)) {
        r->parse.partMode = true;
        int rc = yyparse(r);
        part->ok = rc == YYPARSE_PART_END && !s->failed && !yyreadfailed(s) &&
                   !part->stop.load(std::memory_order_relaxed);
        part->end = yyoffset(s) - 1;
        part->lines = s->line - 1;
    }
    if (part->ok) {
        part->keys = stand;
    } else {
        delete stand;
    }
    fclose(s->file);
    RegReaderFree(r);
    zrPoolArenaEnd();
}

bool RegPartStart(RegPart* part) {
    part->ok = false;
    part->keys = nullptr;
    part->stop = false;
    part->read = part->from;
    // By its name, which another process may have given to a new file since the loader
    // opened it.
    part->in = zrOpenFileForRead(part->path);
    ZrFileStamp mine, loaders;
    if (part->in && !(zrStampOfFile(part->in, &mine) && zrStampOfFile(part->file, &loaders) &&
                      zrSameStamp(mine, loaders))) {
        fclose(part->in);
        part->in = nullptr;
    }
    if (!part->in) return false;
    if ((part->arena = zrPoolArenaNew()) && (part->thread = zrThreadStart(Run, part))) return true;
    if (part->arena) zrPoolArenaMerge(part->arena);
    part->arena = nullptr;
    fclose(part->in);
    part->in = nullptr;
    return false;
}

void RegPartJoin(RegPart* part) {
    zrThreadJoin(part->thread);
    part->thread = nullptr;
    if (part->arena) zrPoolArenaMerge(part->arena);
    part->arena = nullptr;
}

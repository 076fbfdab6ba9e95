// The second part of a large file's load: a scanner of its own, and a parser and tree builder
// of its own (the loader's sources, built again in a namespace of their own so that their
// state is apart), run by a thread beside the loader into a pool arena. See regload.cpp for where the two
// parts meet.
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

namespace zrpart {

// The loader reports what it finds in the file; a part would report it out of order and with
// lines of its own, so it fails instead, and the loader parses that part itself.
static bool s_failed;
static void PartMessage(RegViewMessageKind, int, const char*, ...) { s_failed = true; }

// The calls that also take the tree's types would find the loader's functions as well.
#define RegMessage PartMessage
#define NodeStackPush PartNodeStackPush

// In this order: a call finds this namespace's function only once it has been declared.
// clang-format off
#include "regbuild.cpp"
#include "parsey.cpp"
// clang-format on

#undef RegMessage
#undef NodeStackPush

static void Run(void* arg) {
    RegPart* part = static_cast<RegPart*>(arg);
    zrPoolArenaBegin(part->arena);
    s_failed = false;
    RegReader* r = RegReaderNew(part->in);
    RegNode* stand = nullptr;
    if (r) {
        RegScanner* s = &r->scan;
        part->in = nullptr;
        s->partial = true;
        s->stop = &part->stop;
        s->progress = &part->read;
        if (yyseek(s, part->from) && NodeStackBegin() && (stand = NewRegNode("", 0)) != nullptr &&
            PartNodeStackPush(stand)) {
            r->parse.partMode = true;
            int rc = zrpart::yyparse(&r->parse, s);
            part->ok = rc == YYPARSE_PART_END && !s_failed && !s->failed && !yyreadfailed(s) &&
                       !part->stop.load(std::memory_order_relaxed);
            part->end = yyoffset(s) - 1;
            part->lines = s->line - 1;
        }
        fclose(s->file);
        RegReaderFree(r);
    } else {
        fclose(part->in);
        part->in = nullptr;
    }
    NodeStackEnd();
    if (part->ok) {
        part->keys = stand;
    } else {
        delete stand;
    }
    zrPoolArenaEnd();
}

}  // namespace zrpart

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
    if ((part->arena = zrPoolArenaNew()) && (part->thread = zrThreadStart(zrpart::Run, part))) return true;
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

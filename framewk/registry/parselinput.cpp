// The scanner's input: a reset onto a file, the reading ahead of its blocks, the offset of
// the next byte and a seek to one, and the reader (scanner, parser and builder) of one part
// of a load.
#include "parsel.h"
#include "zrplat.h"

void yylexreset(RegScanner* s, FILE* file) {
    if (s->ahead) yyreadahead(s, false);
    s->file = file;
    s->line = 1;
    s->in = s->buf;
    s->pendPos = s->pendLen = 0;
    s->inPos = s->inLen = 0;
    s->base = 0;
    s->stop = nullptr;
    s->progress = nullptr;
    s->atEnd = s->readFailed = s->tooLong = false;
    s->partial = s->failed = false;
}

void yyreadahead(RegScanner* s, bool on) {
    if (on && !s->ahead && s->file) {
        s->ahead = zrReadAheadStart(s->file);
    } else if (!on && s->ahead) {
        zrReadAheadStop(s->ahead);
        s->ahead = nullptr;
        s->in = s->buf;
        s->inPos = s->inLen = 0;
    }
}

long long yyoffset(const RegScanner* s) { return s->base + s->inPos - (s->pendLen - s->pendPos); }

bool yyseek(RegScanner* s, long long at) {
    if (s->ahead || !s->file || !zrSeekFile(s->file, at)) return false;
    s->pendPos = s->pendLen = 0;
    s->in = s->buf;
    s->inPos = s->inLen = 0;
    s->base = at;
    s->atEnd = false;
    return true;
}

RegReader* RegReaderNew(FILE* file) {
    RegReader* r = zrNew<RegReader>();
    if (!r) return nullptr;
    yylexreset(&r->scan, file);
    yyparseinit(&r->parse, r->initStates, r->initValues);
    if (!RegBuilderBegin(&r->build)) {
        delete r;
        return nullptr;
    }
    r->build.scan = &r->scan;
    return r;
}

void RegReaderFree(RegReader* r) {
    if (!r) return;
    yyreadahead(&r->scan, false);
    zrHostFree(r->scan.xbuf);
    yycleanup(&r->parse);
    RegBuilderEnd(&r->build);
    delete r->build.tree;
    delete r;
}

// The registry file of the load: the path as the host gave it, and the names that its save,
// its lock and a tree kept aside use, made once when the load begins.
#include <stdio.h>
#include <string.h>

#include "regfile.h"
#include "zrplat.h"

static const char kLogSuffix[] = "-log";

bool RegFileNamesFor(const char* path, RegFileNames* out) {
    char ext[32];
    snprintf(ext, sizeof ext, ".%lu.TMP", zrProcessId());
    out->saveable = zrSaveTarget(path, out->target, REGFILE_TEMP_MAX) &&
                    zrCompanionNameFor(out->target, ".TMP", out->temp, REGFILE_TEMP_MAX) &&
                    zrCompanionNameFor(out->target, ".LCK", out->lock, REGFILE_TEMP_MAX) &&
                    zrCompanionNameFor(out->target, ext, out->own, REGFILE_TEMP_MAX);
    // The log is named from the file's whole name, so that no two registry files (app.txt
    // and App.ini, or app.txt and its backup app.bak) can ever share one.
    size_t n = strlen(out->target);
    out->saveable = out->saveable && n + sizeof kLogSuffix <= REGFILE_TEMP_MAX;
    if (out->saveable) {
        memcpy(out->log, out->target, n);
        memcpy(out->log + n, kLogSuffix, sizeof kLogSuffix);
    }
    return out->saveable;
}

bool RegFileBegin(const char* path) {
    if (strlen(path) >= REGFILE_PATH_MAX) return false;
    if (path != RegFileNow->path) strcpy(RegFileNow->path, path);
    RegFileNamesFor(path, &RegFileNow->names);
    return true;
}

// The registry file of the load: the path as the host gave it, and the names that its save,
// its lock and a tree kept aside use, made once when the load begins.
#include <stdio.h>
#include <string.h>

#include "regp.h"
#include "zrplat.h"

char bpRegFile[REGFILE_PATH_MAX];
static RegFileNames s_names;

bool RegFileNamesFor(const char* path, RegFileNames* out) {
    char ext[32];
    snprintf(ext, sizeof ext, ".%lu.TMP", zrProcessId());
    out->saveable = zrSaveTarget(path, out->target, REGFILE_TEMP_MAX) &&
                    zrCompanionNameFor(out->target, ".TMP", out->temp, REGFILE_TEMP_MAX) &&
                    zrCompanionNameFor(out->target, ".LCK", out->lock, REGFILE_TEMP_MAX) &&
                    zrCompanionNameFor(out->target, ".LOG", out->log, REGFILE_TEMP_MAX) &&
                    zrCompanionNameFor(out->target, ext, out->own, REGFILE_TEMP_MAX);
    return out->saveable;
}

bool RegFileBegin(const char* path) {
    if (strlen(path) >= REGFILE_PATH_MAX) return false;
    if (path != bpRegFile) strcpy(bpRegFile, path);
    RegFileNamesFor(path, &s_names);
    return true;
}

const RegFileNames& RegFile() { return s_names; }

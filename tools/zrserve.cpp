// zrreg's serve verb: the registry in a browser. This file holds the verb and its help;
// the server itself (zrservehttp.cpp) is built in where cpp-httplib and nlohmann-json are
// there for the target (ZR_SERVE), and otherwise the verb says it is not built in.
#include <stdio.h>

#include "zrreg.h"

namespace zrreg {

#ifdef ZR_SERVE
int RunServe(const Args& a);  // zrservehttp.cpp
#endif

namespace {

const char kServeHelp[] =
    "Usage: zrreg serve FILE [--port N] [--read-only] [--force]\n"
    "\n"
    "Loads FILE and serves a registry editor for a web browser on 127.0.0.1 only:\n"
    "a tree of keys, the selected key's values, search, edit, create, delete, import\n"
    "with a preview of what would change, and export. The first line of standard\n"
    "output is the address to open, http://127.0.0.1:PORT/?token=TOKEN; pages stay\n"
    "current when FILE changes. SIGINT or SIGTERM (Ctrl-C) ends it, exit status 0.\n"
    "  --port N     listen on port N (the default is a free port)\n"
    "  --read-only  change nothing: the page has no edit controls, and every change\n"
    "               is answered with 409\n"
    "  --force      serve FILE even when it holds integers wider than 32 bits, which\n"
    "               a change writes back cut\n"
    "\n"
    "Only the user who has the address gets in: the token (128 random bits, new each\n"
    "start) must come with every request of the JSON interface as the header\n"
    "\"Authorization: Bearer TOKEN\" (401 without it). The page takes it from the\n"
    "address into the browser tab's own storage, drops it from the address bar and\n"
    "sends it in that header; no cookie carries it, as cookies go to every port of\n"
    "127.0.0.1. The page's own files load without it and hold no data. A Host\n"
    "header other than 127.0.0.1:PORT is refused (403); a change is a POST whose\n"
    "Origin, when given, is the server's own (403 otherwise). Bodies are limited to\n"
    "16 MB. A client that stalls is dropped after 5 seconds: an idle connection is\n"
    "closed, and a request must arrive whole within 5 seconds of its first byte. 128\n"
    "connections are served at once and 128 more wait (503 beyond); 32 event streams\n"
    "are open at most (503 beyond). The JSON interface is in the README.\n";

#ifndef ZR_SERVE
int RunServe(const Args&) {
    fprintf(stderr,
            "zrreg serve: not built in: this zrreg was built without cpp-httplib and nlohmann-json "
            "for its system\n");
    return kFailed;
}
#endif

const char* ServeConflict(const Args& a) {
    if (!a.Has("--port")) return nullptr;
    const std::string& p = a.Get("--port");
    if (p.empty() || p.size() > 5 || p.find_first_not_of("0123456789") != std::string::npos ||
        std::stol(p) > 65535)
        return "--port: the port must be a number from 0 to 65535";
    return nullptr;
}

}  // namespace

const Verb kServeVerb = {"serve",       1,      1, "--port= --read-only --force", kServeHelp, RunServe,
                         ServeConflict, nullptr};

}  // namespace zrreg

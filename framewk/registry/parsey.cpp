// The registry file parser: an LR pushdown automaton on explicit, growable stacks.
//
//   registry : key
//   key      : KEY STRING { CreateKeyNode } body { EndLoadedKeyNode }
//   body     : '(' ')' | '(' items ')'
//   items    : item | items item
//   item     : key
//            | REG_SZ STRING '=' STRING ';'   { AddValue(.., REG_SZ, ..) }
//            | REG_INT STRING '=' NUMBER ';'  { AddValue(.., REG_INT, ..) }
//            | TYPEWORD STRING '=' XDATA ';'  { AddTypedValue }
//
// TYPEWORD is a type word of the table of types (regtypes.h); any other is a syntax error,
// as the older files' grammar makes every type word but REG_SZ and REG_INT one. XDATA is
// read by the scanner's extension (yyxdata) where the grammar expects it, and must be a form
// of the word's type.
//
// A value item or the head of a key (KEY STRING '(') that the scanner recognises whole
// (yypeekitem) is shifted and reduced in one step, without its tokens.
//
// A state that completes a rule reduces without reading a token, so every action runs as
// soon as the last token of its rule has been read and messages carry that token's line.
#include <limits.h>
#include <string.h>

#include "regscan.h"
#include "zrplat.h"

// The automaton's states, named after what was read last.
enum {
    S_START,      // . registry
    S_DONE,       // registry . (end of input)
    S_KEY,        // KEY . STRING
    S_TOPKEY,     // registry: key .
    S_KEYNAME,    // KEY STRING . action   (value: the name, the key's own copy once it is made)
    S_BODY,       // KEY STRING action . body   (value: the name if no key took a copy)
    S_OPEN,       // '(' . ')' | '(' . items ')'
    S_KEYDONE,    // key: KEY STRING action body .
    S_EMPTY,      // body: '(' ')' .
    S_SZ,         // REG_SZ . STRING
    S_INT,        // REG_INT . STRING
    S_ITEMS,      // '(' items . ')' | items . item
    S_FIRSTITEM,  // items: item .
    S_ITEMKEY,    // item: key .
    S_CLOSE,      // body: '(' items ')' .
    S_MOREITEM,   // items: items item .
    S_SZNAME,     // REG_SZ STRING . '='   (value: the name)
    S_SZEQ,       // ... '=' . STRING
    S_SZDATA,     // ... '=' STRING . ';'   (value: the text)
    S_SZEND,      // ... ';' .
    S_INTNAME,    // REG_INT STRING . '='   (value: the name)
    S_INTEQ,      // ... '=' . NUMBER
    S_INTDATA,    // ... '=' NUMBER . ';'   (value: the digits)
    S_INTEND,     // ... ';' .
    S_X,          // TYPEWORD . STRING   (value: the word)
    S_XNAME,      // TYPEWORD STRING . '='   (value: the name)
    S_XEQ,        // ... '=' . XDATA
    S_XDATA,      // ... '=' XDATA . ';'   (value: the RegXData)
    S_XEND,       // ... ';' .
};

enum { SYM_REGISTRY, SYM_KEY, SYM_ACTION, SYM_BODY, SYM_ITEMS, SYM_ITEM };

// The state reached by reading `token` in `state`, or -1 when the grammar forbids it.
static int ShiftTarget(int state, int token) {
    switch (state) {
        case S_START:
            return token == KEY ? S_KEY : -1;
        case S_KEY:
            return token == STRING ? S_KEYNAME : -1;
        case S_BODY:
            return token == '(' ? S_OPEN : -1;
        case S_OPEN:
        case S_ITEMS:
            switch (token) {
                case ')':
                    return state == S_OPEN ? S_EMPTY : S_CLOSE;
                case KEY:
                    return S_KEY;
                case REG_SZ:
                    return S_SZ;
                case REG_INT:
                    return S_INT;
                case TYPEWORD:
                    return S_X;
            }
            return -1;
        case S_X:
            return token == STRING ? S_XNAME : -1;
        case S_XNAME:
            return token == '=' ? S_XEQ : -1;
        case S_XEQ:
            return token == XDATA ? S_XDATA : -1;
        case S_XDATA:
            return token == ';' ? S_XEND : -1;
        case S_SZ:
            return token == STRING ? S_SZNAME : -1;
        case S_SZNAME:
            return token == '=' ? S_SZEQ : -1;
        case S_SZEQ:
            return token == STRING ? S_SZDATA : -1;
        case S_SZDATA:
            return token == ';' ? S_SZEND : -1;
        case S_INT:
            return token == STRING ? S_INTNAME : -1;
        case S_INTNAME:
            return token == '=' ? S_INTEQ : -1;
        case S_INTEQ:
            return token == NUMBER ? S_INTDATA : -1;
        case S_INTDATA:
            return token == ';' ? S_INTEND : -1;
    }
    return -1;
}

// The state reached after reducing to `sym` with `state` uncovered.
static int GotoTarget(int state, int sym) {
    switch (sym) {
        case SYM_REGISTRY:
            return S_DONE;
        case SYM_KEY:
            return state == S_START ? S_TOPKEY : S_ITEMKEY;
        case SYM_ACTION:
            return S_BODY;
        case SYM_BODY:
            return S_KEYDONE;
        case SYM_ITEMS:
            return S_ITEMS;
        default:
            return state == S_OPEN ? S_FIRSTITEM : S_MOREITEM;
    }
}

// Doubles both stacks: first into heap copies of the initial ones, later by realloc.
static bool Grow(RegParser* p) {
    if (p->maxDepth > INT_MAX / 2 / static_cast<int>(sizeof(YYSTYPE))) return false;
    int n = p->maxDepth * 2;
    size_t sn = sizeof(int) * static_cast<size_t>(n), vn = sizeof(YYSTYPE) * static_cast<size_t>(n);
    if (!p->allocated) {
        int* s = static_cast<int*>(zrMalloc(sn));
        YYSTYPE* v = static_cast<YYSTYPE*>(zrMalloc(vn));
        if (!s || !v) {
            zrFree(s);
            zrFree(v);
            return false;
        }
        memcpy(s, p->states, sizeof(int) * static_cast<size_t>(p->maxDepth));
        memcpy(v, p->values, sizeof(YYSTYPE) * static_cast<size_t>(p->maxDepth));
        p->states = s;
        p->values = v;
        p->allocated = true;
    } else {
        int* s = static_cast<int*>(zrRealloc(p->states, sn));
        if (!s) return false;
        p->states = s;
        YYSTYPE* v = static_cast<YYSTYPE*>(zrRealloc(p->values, vn));
        if (!v) return false;
        p->values = v;
    }
    p->maxDepth = n;
    return true;
}

// Ends a failed parse: reports, and releases every text that did not reach the tree.
static int Fail(RegParser* p, RegScanner* s, int sp, const char* msg, char* lookahead, int rc) {
    yyerror(s, msg);
    zrFree(lookahead);
    for (int i = 0; i < sp; ++i) {
        switch (p->states[i]) {
            case S_BODY:
            case S_SZNAME:
            case S_SZDATA:
            case S_INTNAME:
            case S_INTDATA:
            case S_X:
            case S_XNAME:
            case S_XDATA:
                zrFree(p->values[i].string);
        }
    }
    return rc;
}

// Returns 0 when the input was accepted, 1 on a syntax error or a stack that cannot
// grow, 2 when a token's text could not be copied (no memory).
int yyparse(RegReader* r) {
    RegParser* p = &r->parse;
    RegScanner* s = &r->scan;
    RegBuilder* b = &r->build;
    int sp = 0;
    p->states[sp] = S_START;
    p->values[sp++].string = nullptr;
    if (p->partMode) {
        // As after KEY STRING action '(' of a key that the builder holds open already.
        for (int s : {S_KEY, S_KEYNAME, S_BODY, S_OPEN}) {
            p->states[sp] = s;
            p->values[sp++].string = nullptr;
        }
    }
    int token = -1;  // the look-ahead; -1 while none has been read
    char* text = nullptr;
    for (;;) {
        int state = p->states[sp - 1];
        int sym = -1, len = 0;
        char* value = nullptr;
        switch (state) {
            case S_TOPKEY:
                sym = SYM_REGISTRY, len = 1;
                break;
            case S_KEYNAME: {
                char* name = p->values[sp - 1].string;
                char* copy;
                // A name that no key took a copy of stays ours until its EndKeyNode has read it.
                if (CreateKeyNode(b, name, strlen(name), &copy, true) == 0) {
                    p->values[sp - 1].string = copy;
                    zrFree(name);
                } else {
                    value = name;
                }
                sym = SYM_ACTION, len = 0;
                break;
            }
            case S_KEYDONE:
                EndLoadedKeyNode(b, p->values[sp - 3].string);
                zrFree(p->values[sp - 2].string);
                sym = SYM_KEY, len = 4;
                break;
            case S_EMPTY:
                sym = SYM_BODY, len = 2;
                break;
            case S_CLOSE:
                sym = SYM_BODY, len = 3;
                break;
            case S_FIRSTITEM:
                sym = SYM_ITEMS, len = 1;
                break;
            case S_MOREITEM:
                sym = SYM_ITEMS, len = 2;
                break;
            case S_ITEMKEY:
                sym = SYM_ITEM, len = 1;
                break;
            case S_SZEND:
            case S_INTEND: {
                char* name = p->values[sp - 4].string;
                char* data = p->values[sp - 2].string;
                int type = state == S_SZEND ? REG_SZ : REG_INT;
                if (AddValue(b, name, type, data) != 0) {
                    zrFree(name);
                    zrFree(data);
                }
                sym = SYM_ITEM, len = 5;
                break;
            }
        }
        if (state == S_XEND) {
            char* word = p->values[sp - 5].string;
            char* name = p->values[sp - 4].string;
            RegXData* x = reinterpret_cast<RegXData*>(p->values[sp - 2].string);
            uint32_t type = 0;
            RegTypeOfWord(word, &type);
            AddTypedValue(b, name, strlen(name), type, x->Bytes(), x->n);
            zrFree(word);
            zrFree(name);
            zrFree(x);
            sym = SYM_ITEM, len = 5;
        }
        if (sym >= 0) {
            sp -= len;
            int next = GotoTarget(p->states[sp - 1], sym);
            if (sp == p->maxDepth && !Grow(p))
                return Fail(p, s, sp, "yacc stack overflow", value, YYPARSE_ERROR);
            p->states[sp] = next;
            p->values[sp++].string = value;
            continue;
        }

        if (token < 0 && p->splitAt >= 0 && (state == S_OPEN || state == S_ITEMS)) {
            int at = yyatsplit(s, p->splitAt);
            if (at != 0) {
                p->splitAt = -1;
                p->splice(p->spliceWith, at);
                continue;
            }
        }

        // A whole value item or key head, when the scanner can hand it over in one piece
        // and the stacks have room for the tokens it stands for: the same actions on the
        // same tree, in the same order, and the same stacks afterwards.
        if (token < 0 && (state == S_OPEN || state == S_ITEMS || state == S_START) && sp + 5 <= p->maxDepth) {
            YYItem item;
            YYXItem x;
            if (!yypeekitem(s, &item)) {
                if (state != S_START && NodeStackTop(b) && yyscanxitem(s, &x)) {
                    AddTypedValue(b, x.name, static_cast<size_t>(x.nameLen), x.type, x.data->Bytes(),
                                  x.data->n);
                    s->line += x.lines;
                    s->inPos = x.end;
                    if (state == S_OPEN) {
                        p->states[sp] = S_ITEMS;
                        p->values[sp++].string = nullptr;
                    }
                    continue;
                }
                // token by token
            } else if (item.type == KEY) {
                size_t n = static_cast<size_t>(item.nameLen);
                char* copy = nullptr;
                char* name = nullptr;
                if (CreateKeyNode(b, item.name, n, &copy, true) != 0) {
                    name = static_cast<char*>(zrMalloc(n + 1));
                    if (name) {
                        memcpy(name, item.name, n);
                        name[n] = 0;
                    }
                }
                if (copy || name) {
                    yytakeitem(s, item);
                    p->states[sp] = S_KEY;
                    p->values[sp++].string = nullptr;
                    p->states[sp] = S_KEYNAME;
                    p->values[sp++].string = copy ? copy : name;
                    p->states[sp] = S_BODY;
                    p->values[sp++].string = name;
                    p->states[sp] = S_OPEN;
                    p->values[sp++].string = nullptr;
                    continue;
                }
            } else if (state != S_START && AddValueItem(b, item) >= 0) {
                yytakeitem(s, item);
                if (state == S_OPEN) {
                    p->states[sp] = S_ITEMS;
                    p->values[sp++].string = nullptr;
                }
                continue;
            }
        }
        if (token < 0 && state == S_XEQ) {
            RegXData* x;
            token = yyxdata(s, &x);
            uint32_t type = 0;
            RegTypeOfWord(p->values[sp - 3].string, &type);
            if (token == XDATA && !RegTypeTakeData(type, x)) token = -1;
            if (token != XDATA) {
                zrFree(x);
                if (token == -2) return Fail(p, s, sp, "out of memory", nullptr, YYPARSE_NO_MEMORY);
                return Fail(p, s, sp, "syntax error", nullptr, YYPARSE_ERROR);
            }
            text = reinterpret_cast<char*>(x);
        }
        if (token < 0) {
            token = yylex(s);
            if (p->partMode && token == ')' && (state == S_OPEN || state == S_ITEMS) &&
                NodeStackDepth(b) == 1)
                return YYPARSE_PART_END;
            bool copied = token == STRING || token == NUMBER || token == TYPEWORD;
            text = copied ? s->lval.string : nullptr;
            if (copied && !text) return Fail(p, s, sp, "out of memory", nullptr, YYPARSE_NO_MEMORY);
            uint32_t type;
            if (token == TYPEWORD && !RegTypeOfWord(text, &type))
                return Fail(p, s, sp, "syntax error", text, YYPARSE_ERROR);
        }
        if (state == S_DONE && token == 0) return YYPARSE_OK;
        int next = ShiftTarget(state, token);
        if (next < 0) return Fail(p, s, sp, "syntax error", text, YYPARSE_ERROR);
        if (sp == p->maxDepth && !Grow(p)) return Fail(p, s, sp, "yacc stack overflow", text, YYPARSE_ERROR);
        p->states[sp] = next;
        p->values[sp++].string = text;
        token = -1;
        text = nullptr;
    }
}

void yyparseinit(RegParser* p, int* states, YYSTYPE* values) {
    p->initStates = p->states = states;
    p->initValues = p->values = values;
    p->maxDepth = YYINITDEPTH;
    p->allocated = false;
    p->partMode = false;
    p->splitAt = -1;
    p->splice = nullptr;
    p->spliceWith = nullptr;
}

void yycleanup(RegParser* p) {
    if (!p->allocated) return;
    zrFree(p->states);
    zrFree(p->values);
    p->states = p->initStates;
    p->values = p->initValues;
    p->maxDepth = YYINITDEPTH;
    p->allocated = false;
}

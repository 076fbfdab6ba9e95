// The change log's records: their framing (a key named once per run of changes to it), their
// check word, and reading and writing them in the log.
#include <string.h>

#include "zrlogp.h"

// Four lanes that do not wait on each other, folded at the end: a record is checked at the
// speed of its loads rather than of a chain of multiplications.
static uint64_t Mix(uint64_t h, uint64_t w) {
    h = (h ^ w) * 0xFF51AFD7ED558CCDull;
    return h ^ (h >> 32);
}

static uint64_t FirstLane(size_t n, uint64_t serial) {
    return 0x9E3779B97F4A7C15ull ^ n ^ (serial * 0xC2B2AE3D27D4EB4Full);
}
static const uint64_t kLanes[4] = {0, 0xC2B2AE3D27D4EB4Full, 0x165667B19E3779F9ull, 0x27D4EB2F165667C5ull};

static uint32_t Fold(uint64_t a, uint64_t b, uint64_t c, uint64_t d) {
    uint64_t h = a ^ ((b << 17) | (b >> 47)) ^ ((c << 31) | (c >> 33)) ^ ((d << 47) | (d >> 17));
    h = (h ^ (h >> 29)) * 0xFF51AFD7ED558CCDull;
    return static_cast<uint32_t>(h ^ (h >> 32));
}

static uint64_t Word(const unsigned char* p) {
    uint64_t w;
    memcpy(&w, p, 8);
    return w;
}

// The check word of the n bytes at p (a multiple of 8), those behind the head's check word.
static uint32_t Check(const unsigned char* p, size_t n, uint64_t serial) {
    uint64_t a = FirstLane(n, serial), b = kLanes[1], c = kLanes[2], d = kLanes[3];
    size_t i = 0;
    for (; i + 32 <= n; i += 32) {
        a = Mix(a, Word(p + i));
        b = Mix(b, Word(p + i + 8));
        c = Mix(c, Word(p + i + 16));
        d = Mix(d, Word(p + i + 24));
    }
    for (; i + 8 <= n; i += 8) a = Mix(a, Word(p + i));
    return Fold(a, b, c, d);
}

const unsigned char* LogRead(uint64_t at, size_t n) {
    const void* p = zrCompanionView(L().log, at, n);
    if (p) return static_cast<const unsigned char*>(p);
    if (n > L().bufSize) {
        void* grown = zrHostRealloc(L().buf, n);
        if (!grown) return nullptr;
        L().buf = static_cast<unsigned char*>(grown);
        L().bufSize = n;
    }
    return zrCompanionRead(L().log, at, L().buf, n) ? L().buf : nullptr;
}

// The record at `at` when it is whole, the next in order, and inside `end`; else null.
static const LogRecordHead* LogRecordAt(uint64_t at, uint64_t end, uint64_t serial) {
    if (at + sizeof(LogRecordHead) > end) return nullptr;
    LogRecordHead head;
    const unsigned char* bytes = LogRead(at, sizeof head);
    if (!bytes) return nullptr;
    memcpy(&head, bytes, sizeof head);
    bool named = Named(&head);
    uint64_t path = named ? uint64_t(head.key & ~kKeyNamed) + 1 : 0;
    if (head.size < sizeof(LogRecordHead) || head.size % 8 || head.size > kRecordMax ||
        at + head.size > end || head.number != static_cast<uint16_t>(serial) || head.op > RC_LAST_OP ||
        sizeof(LogRecordHead) + path + head.nameLen + 1 + head.dataLen > head.size ||
        (!named && (head.key % 8 || head.key < 8 || head.key > at - kHeaderBytes)))
        return nullptr;
    bytes = LogRead(at, head.size);
    if (!bytes || Check(bytes + 8, head.size - 8, serial) != head.check) return nullptr;
    const LogRecordHead* r = reinterpret_cast<const LogRecordHead*>(bytes);
    const char* texts = reinterpret_cast<const char*>(r + 1);
    if (memcmp(r, &head, sizeof head) != 0 || (named && texts[path - 1] != 0) ||
        texts[path + head.nameLen] != 0)
        return nullptr;
    return r;
}

void LogKeyFree(LogKey& key) {
    zrHostFree(key.path);
    key = LogKey{};
}

static bool Keep(LogKey& key, const char* path, size_t n, uint64_t at) {
    if (n + 1 > key.room) {
        void* grown = zrHostRealloc(key.path, n + 1);
        if (!grown) return false;
        key.path = static_cast<char*>(grown);
        key.room = n + 1;
    }
    memcpy(key.path, path, n + 1);
    key.len = n;
    key.at = at;
    key.epoch = L().h->epoch;
    return true;
}

// The record that names the key at `at`, read whole only where it is checked again: a
// reader that began behind it (notification from now) trusts its head and its path's NUL.
static bool KeyNamedAt(uint64_t at, LogKey& key) {
    LogRecordHead head;
    const unsigned char* bytes = LogRead(at, sizeof head);
    if (!bytes) return false;
    memcpy(&head, bytes, sizeof head);
    size_t n = head.key & ~kKeyNamed;
    if (!Named(&head) || head.size > kRecordMax || sizeof head + n + 1 > head.size) return false;
    bytes = LogRead(at + sizeof head, n + 1);
    return bytes && bytes[n] == 0 && Keep(key, reinterpret_cast<const char*>(bytes), n, at);
}

static const LogRecordHead* LogRecordWithKey(uint64_t at, uint64_t end, uint64_t serial, LogKey& key) {
    const LogRecordHead* r = LogRecordAt(at, end, serial);
    if (!r) return nullptr;
    if (Named(r))
        return Keep(key, reinterpret_cast<const char*>(r + 1), r->key & ~kKeyNamed, at) ? r : nullptr;
    uint64_t from = at - r->key;
    if (key.at == from && key.epoch == L().h->epoch) return r;
    // Read through the buffer that holds the record too, where the mapping does not cover it.
    if (!KeyNamedAt(from, key)) return nullptr;
    return LogRecordAt(at, end, serial);
}

// ---- the former format -----------------------------------------------------------------

// Its head holds the record's whole number, and every record names its key's path; its check
// word is this format's for the number 0.
struct FormerHead {
    uint32_t size, check;
    uint64_t serial;
    uint32_t op, type, pathLen, nameLen, dataLen, pad;
};
static_assert(sizeof(FormerHead) == 40, "the former head takes 40 bytes");

static const unsigned char* FormerAt(uint64_t at, uint64_t end, uint64_t serial) {
    if (at + sizeof(FormerHead) > end) return nullptr;
    FormerHead head;
    const unsigned char* bytes = LogRead(at, sizeof head);
    if (!bytes) return nullptr;
    memcpy(&head, bytes, sizeof head);
    uint64_t texts = uint64_t(head.pathLen) + head.nameLen + 2;
    if (head.size < sizeof head || head.size % 8 || head.size > kRecordMax || at + head.size > end ||
        head.serial != serial || head.op > RC_RENAME_VALUE || sizeof head + texts + head.dataLen > head.size)
        return nullptr;
    bytes = LogRead(at, head.size);
    if (!bytes || Check(bytes + 8, head.size - 8, 0) != head.check || memcmp(bytes, &head, sizeof head) != 0)
        return nullptr;
    const char* path = reinterpret_cast<const char*>(bytes + sizeof head);
    return path[head.pathLen] == 0 && path[head.pathLen + 1 + head.nameLen] == 0 ? bytes : nullptr;
}

static bool Former() { return L().h->version == kVersionBefore; }

uint64_t LogRecordSize(uint64_t at, uint64_t end, uint64_t serial) {
    const void* r =
        Former() ? static_cast<const void*>(FormerAt(at, end, serial)) : LogRecordAt(at, end, serial);
    uint32_t size = 0;
    if (r) memcpy(&size, r, sizeof size);
    return size;
}

bool LogEntryAt(uint64_t at, uint64_t end, uint64_t serial, LogKey& key, LogEntry* e) {
    if (Former()) {
        const unsigned char* r = FormerAt(at, end, serial);
        if (!r) return false;
        FormerHead head;
        memcpy(&head, r, sizeof head);
        const char* path = reinterpret_cast<const char*>(r + sizeof head);
        *e = LogEntry{head.size,   static_cast<RegChangeOp>(head.op), head.type,
                      path,        path + head.pathLen + 1,           path + head.pathLen + head.nameLen + 2,
                      head.dataLen};
        return true;
    }
    const LogRecordHead* r = LogRecordWithKey(at, end, serial, key);
    if (!r) return false;
    *e = LogEntry{r->size,   static_cast<RegChangeOp>(r->op), r->type, key.path, NameIn(r), DataIn(r),
                  r->dataLen};
    return true;
}

// Writes a record as whole aligned words, gathered from its parts in a register and checked
// on their way out: a record first built in the log and then read back for its check word
// waited for every line of it to arrive and for loads that spanned several of its stores
// (a third of the record's cost).
class RecordWriter {
public:
    RecordWriter(unsigned char* to, size_t size, uint64_t serial)
        : out_(to), words_(size / 8 - 1), full_(words_ & ~size_t(3)) {
        lane_[0] = FirstLane(size - 8, serial);
        for (int i = 1; i < 4; ++i) lane_[i] = kLanes[i];
    }
    void Put(const void* p, size_t n) {
        const unsigned char* b = static_cast<const unsigned char*>(p);
        for (; n >= 8; b += 8, n -= 8) Add(::Word(b), 8);
        if (n) Add(Load(b, n), n);
    }
    void Word(uint64_t w) { Add(w, 8); }
    // The check word, once every byte is in; the padding's zeros are added.
    uint32_t Finish() {
        if (bits_) Emit(acc_);
        while (k_ < words_) Emit(0);
        return Fold(lane_[0], lane_[1], lane_[2], lane_[3]);
    }

private:
    // One to seven bytes, the first in the lowest: loads that overlap, never a byte past n.
    static uint64_t Load(const unsigned char* p, size_t n) {
        if (n >= 4) {
            uint32_t lo, hi;
            memcpy(&lo, p, 4);
            memcpy(&hi, p + n - 4, 4);
            return lo | uint64_t(hi) << (8 * (n - 4));
        }
        return p[0] | uint64_t(p[n / 2]) << (8 * (n / 2)) | uint64_t(p[n - 1]) << (8 * (n - 1));
    }
    void Add(uint64_t v, size_t n) {
        unsigned had = bits_, total = had + static_cast<unsigned>(8 * n);
        acc_ |= v << had;
        if (total < 64) {
            bits_ = total;
            return;
        }
        Emit(acc_);
        bits_ = total - 64;
        acc_ = bits_ ? v >> (64 - had) : 0;  // bytes left over only where some were held
    }
    void Emit(uint64_t w) {
        memcpy(out_ + 8 * (k_ + 1), &w, 8);
        uint64_t& lane = lane_[k_ < full_ ? (k_ & 3) : 0];
        lane = Mix(lane, w);
        ++k_;
    }
    unsigned char* out_;
    size_t words_, full_, k_ = 0;
    uint64_t lane_[4];
    uint64_t acc_ = 0;
    unsigned bits_ = 0;
};

unsigned int RegLogWrite(RegChangeOp op, const char* path, const char* name, unsigned int type,
                         const void* data, size_t n) {
    L().pending = 0;
    L().pendingKey = 0;
    size_t lp = strlen(path), ln = strlen(name);
    uint64_t most = (sizeof(LogRecordHead) + lp + ln + 2 + n + 7) & ~uint64_t(7);
    if (most > kRecordMax) return REGERR_WRITE_FAULT;
    if (!L().group && L().h->committed + most > kHeaderBytes + LogSettingsNow.bound) LogCheckpoint();
    uint64_t at = L().group ? L().groupEnd : L().h->committed;
    // The key is named back to where this process named it last in this epoch, when that
    // record was committed (or is of the same group).
    const LogKey& w = L().written;
    bool named = !(w.epoch == L().h->epoch && w.at && w.at < at && at - w.at < kKeyNamed && w.len == lp &&
                   memcmp(w.path, path, lp) == 0);
    uint64_t size = named ? most : (sizeof(LogRecordHead) + ln + 1 + n + 7) & ~uint64_t(7);
    if (at + size + ZR_COMPANION_MARK > kMapBytes) return REGERR_WRITE_FAULT;
    if (static_cast<long long>(at + size + ZR_COMPANION_MARK) > L().size) {
        uint64_t want = (at + size + ZR_COMPANION_MARK + kGrowStep - 1) / kGrowStep * kGrowStep;
        if (want > kMapBytes) want = kMapBytes;
        if (!zrCompanionGrow(L().log, static_cast<long long>(want))) return REGERR_WRITE_FAULT;
        L().size = static_cast<long long>(want);
        // The step after it is made beside this thread, in time for its need: the zeros cost
        // the system about 0.2 ms a megabyte, a tenth of each change's time while the log grows.
        if (L().syncer && want + kGrowStep <= kMapBytes)
            zrSyncerGrowAhead(L().syncer, static_cast<long long>(want + kGrowStep));
    }
    // Written in place where the mapping covers the record, else through a buffer.
    unsigned char* p = static_cast<unsigned char*>(zrCompanionWritable(L().log, at, size));
    bool inPlace = p != nullptr;
    if (!inPlace) {
        if (size > L().bufSize) {
            void* grown = zrHostRealloc(L().buf, size);
            if (!grown) return REGERR_NO_MEMORY;
            L().buf = static_cast<unsigned char*>(grown);
            L().bufSize = size;
        }
        p = L().buf;
    }
    uint64_t serial = L().h->serial + 1 + (L().group ? L().groupCount : 0);
    uint32_t key = named ? static_cast<uint32_t>(lp) | kKeyNamed : static_cast<uint32_t>(at - w.at);
    // The head's fields behind its check word, in their order (see LogRecordHead).
    RecordWriter record(p, size, serial);
    record.Word(uint64_t(op) | uint64_t(static_cast<uint16_t>(serial)) << 16 | uint64_t(type) << 32);
    record.Word(key | uint64_t(ln) << 32);
    uint32_t dataLen = static_cast<uint32_t>(n);
    record.Put(&dataLen, 4);
    if (named) record.Put(path, lp + 1);
    record.Put(name, ln + 1);
    record.Put(data, n);
    uint64_t first = size | uint64_t(record.Finish()) << 32;
    memcpy(p, &first, 8);
    if (!inPlace && !zrCompanionWrite(L().log, at, p, size)) return REGERR_WRITE_FAULT;
    // The record went nowhere where the file was cut: one look at its end per change.
    if (!zrCompanionHolds(L().log, at + size)) {
        LogCutOff();
        return REGERR_WRITE_FAULT;
    }
    // Kept now, believed from the commit on.
    if (named) {
        if (Keep(L().written, path, lp, at)) {
            L().written.epoch = 0;
            L().pendingKey = at;
        }
    }
    L().pending = at + size;
    // The next record's lines, which the system's cache has long let go of, on their way.
    if (inPlace) {
        __builtin_prefetch(p + size, 1);
        __builtin_prefetch(p + size + 64, 1);
    }
    return REGERR_SUCCESS;
}

// SQLite writes a log frame as two writes, its 24-byte header and then the page, so a commit
// of 60 pages cost 120 pwrite calls. Here the writes that continue one another are kept in
// a buffer and written as one; a write anywhere else, a read of the buffered range, a sync,
// a size, a truncation, a file control or the close writes the buffer first, so the file
// never looks different to anyone who looks. Only files SQLite opens as logs are wrapped;
// the database and everything else are the default VFS's own files.
#include "receiver/storage/SqliteLogVfs.h"

#include <sqlite3.h>

#include <cstdlib>
#include <cstring>
#include <mutex>

namespace gravelin::storage::detail {

namespace {

constexpr int kGatherBytes = 1 << 20;  // a commit of a few scans is a few hundred KiB
// The default VFS writes at most 128 KiB - 1 bytes a call (it masks larger sizes, and a
// write it cut to nothing reads as a full disk), so the buffer goes in pieces of 64 KiB.
constexpr int kLargestWrite = 64 << 10;

struct LogFile {
    sqlite3_file base;    // pMethods: kLogMethods
    sqlite3_file* real;   // the default VFS's file, right after this struct
    char* buffer;         // kGatherBytes, or null (then every write goes through)
    sqlite3_int64 start;  // where buffer[0] goes in the file
    int used;
};

sqlite3_vfs* base() {
    static sqlite3_vfs* const vfs = sqlite3_vfs_find(nullptr);
    return vfs;
}

LogFile* logOf(sqlite3_file* file) { return reinterpret_cast<LogFile*>(file); }
sqlite3_file* realOf(sqlite3_file* file) { return logOf(file)->real; }

int flush(LogFile* f) {
    const int used = f->used;
    f->used = 0;  // written or failed: SQLite learns of a failure and rolls back
    for (int at = 0; at < used; at += kLargestWrite) {
        const int n = used - at < kLargestWrite ? used - at : kLargestWrite;
        if (const int rc = f->real->pMethods->xWrite(f->real, f->buffer + at, n, f->start + at);
            rc != SQLITE_OK)
            return rc;
    }
    return SQLITE_OK;
}

int logClose(sqlite3_file* file) {
    LogFile* f = logOf(file);
    const int flushed = flush(f);
    const int closed = f->real->pMethods->xClose(f->real);
    std::free(f->buffer);
    f->buffer = nullptr;
    return flushed != SQLITE_OK ? flushed : closed;
}

int logRead(sqlite3_file* file, void* data, int amount, sqlite3_int64 offset) {
    LogFile* f = logOf(file);
    if (f->used > 0 && offset < f->start + f->used && offset + amount > f->start) {
        if (const int rc = flush(f); rc != SQLITE_OK) return rc;
    }
    return f->real->pMethods->xRead(f->real, data, amount, offset);
}

int logWrite(sqlite3_file* file, const void* data, int amount, sqlite3_int64 offset) {
    LogFile* f = logOf(file);
    if (f->used > 0 && offset == f->start + f->used && amount <= kGatherBytes - f->used) {
        std::memcpy(f->buffer + f->used, data, static_cast<std::size_t>(amount));
        f->used += amount;
        return SQLITE_OK;
    }
    if (const int rc = flush(f); rc != SQLITE_OK) return rc;
    if (f->buffer == nullptr || amount >= kLargestWrite)
        return f->real->pMethods->xWrite(f->real, data, amount, offset);
    std::memcpy(f->buffer, data, static_cast<std::size_t>(amount));
    f->start = offset;
    f->used = amount;
    return SQLITE_OK;
}

int logTruncate(sqlite3_file* file, sqlite3_int64 size) {
    if (const int rc = flush(logOf(file)); rc != SQLITE_OK) return rc;
    return realOf(file)->pMethods->xTruncate(realOf(file), size);
}

int logSync(sqlite3_file* file, int flags) {
    if (const int rc = flush(logOf(file)); rc != SQLITE_OK) return rc;
    return realOf(file)->pMethods->xSync(realOf(file), flags);
}

int logFileSize(sqlite3_file* file, sqlite3_int64* size) {
    if (const int rc = flush(logOf(file)); rc != SQLITE_OK) return rc;
    return realOf(file)->pMethods->xFileSize(realOf(file), size);
}

int logLock(sqlite3_file* file, int lock) {
    return realOf(file)->pMethods->xLock(realOf(file), lock);
}

int logUnlock(sqlite3_file* file, int lock) {
    return realOf(file)->pMethods->xUnlock(realOf(file), lock);
}

int logCheckReservedLock(sqlite3_file* file, int* out) {
    return realOf(file)->pMethods->xCheckReservedLock(realOf(file), out);
}

int logFileControl(sqlite3_file* file, int op, void* arg) {
    if (const int rc = flush(logOf(file)); rc != SQLITE_OK) return rc;
    return realOf(file)->pMethods->xFileControl(realOf(file), op, arg);
}

int logSectorSize(sqlite3_file* file) {
    return realOf(file)->pMethods->xSectorSize(realOf(file));
}

int logDeviceCharacteristics(sqlite3_file* file) {
    return realOf(file)->pMethods->xDeviceCharacteristics(realOf(file));
}

// A log has no shared memory and is not mapped, but what SQLite asks is answered as the
// default file would (after the buffer is written, for a mapping).
int logShmMap(sqlite3_file* file, int region, int size, int extend, void volatile** out) {
    return realOf(file)->pMethods->xShmMap(realOf(file), region, size, extend, out);
}
int logShmLock(sqlite3_file* file, int offset, int n, int flags) {
    return realOf(file)->pMethods->xShmLock(realOf(file), offset, n, flags);
}
void logShmBarrier(sqlite3_file* file) {
    realOf(file)->pMethods->xShmBarrier(realOf(file));
}
int logShmUnmap(sqlite3_file* file, int deleteFlag) {
    return realOf(file)->pMethods->xShmUnmap(realOf(file), deleteFlag);
}
int logFetch(sqlite3_file* file, sqlite3_int64 offset, int amount, void** out) {
    if (const int rc = flush(logOf(file)); rc != SQLITE_OK) return rc;
    return realOf(file)->pMethods->xFetch(realOf(file), offset, amount, out);
}
int logUnfetch(sqlite3_file* file, sqlite3_int64 offset, void* page) {
    return realOf(file)->pMethods->xUnfetch(realOf(file), offset, page);
}

sqlite3_io_methods logMethods(int version) {
    sqlite3_io_methods m{};
    m.iVersion = version;
    m.xClose = logClose;
    m.xRead = logRead;
    m.xWrite = logWrite;
    m.xTruncate = logTruncate;
    m.xSync = logSync;
    m.xFileSize = logFileSize;
    m.xLock = logLock;
    m.xUnlock = logUnlock;
    m.xCheckReservedLock = logCheckReservedLock;
    m.xFileControl = logFileControl;
    m.xSectorSize = logSectorSize;
    m.xDeviceCharacteristics = logDeviceCharacteristics;
    m.xShmMap = logShmMap;
    m.xShmLock = logShmLock;
    m.xShmBarrier = logShmBarrier;
    m.xShmUnmap = logShmUnmap;
    m.xFetch = logFetch;
    m.xUnfetch = logUnfetch;
    return m;
}

// The methods of a wrapped file offer no more than the default file's do.
const sqlite3_io_methods* methodsFor(const sqlite3_io_methods* real) {
    static const sqlite3_io_methods kVersions[] = {logMethods(1), logMethods(2), logMethods(3)};
    const int version = real->iVersion < 1 ? 1 : (real->iVersion > 3 ? 3 : real->iVersion);
    return &kVersions[version - 1];
}

int vfsOpen(sqlite3_vfs*, const char* name, sqlite3_file* file, int flags, int* outFlags) {
    if ((flags & SQLITE_OPEN_WAL) == 0) return base()->xOpen(base(), name, file, flags, outFlags);
    LogFile* f = logOf(file);
    f->real = reinterpret_cast<sqlite3_file*>(f + 1);
    f->buffer = nullptr;
    f->start = 0;
    f->used = 0;
    const int rc = base()->xOpen(base(), name, f->real, flags, outFlags);
    if (rc != SQLITE_OK || f->real->pMethods == nullptr) {
        f->base.pMethods = nullptr;
        return rc != SQLITE_OK ? rc : SQLITE_CANTOPEN;
    }
    f->buffer = static_cast<char*>(std::malloc(kGatherBytes));
    f->base.pMethods = methodsFor(f->real->pMethods);
    return SQLITE_OK;
}

// Everything but opening files is the default VFS's.
int vfsDelete(sqlite3_vfs*, const char* name, int syncDir) {
    return base()->xDelete(base(), name, syncDir);
}
int vfsAccess(sqlite3_vfs*, const char* name, int flags, int* out) {
    return base()->xAccess(base(), name, flags, out);
}
int vfsFullPathname(sqlite3_vfs*, const char* name, int size, char* out) {
    return base()->xFullPathname(base(), name, size, out);
}
void* vfsDlOpen(sqlite3_vfs*, const char* name) { return base()->xDlOpen(base(), name); }
void vfsDlError(sqlite3_vfs*, int size, char* out) { base()->xDlError(base(), size, out); }
void (*vfsDlSym(sqlite3_vfs*, void* handle, const char* symbol))(void) {
    return base()->xDlSym(base(), handle, symbol);
}
void vfsDlClose(sqlite3_vfs*, void* handle) { base()->xDlClose(base(), handle); }
int vfsRandomness(sqlite3_vfs*, int size, char* out) {
    return base()->xRandomness(base(), size, out);
}
int vfsSleep(sqlite3_vfs*, int micros) { return base()->xSleep(base(), micros); }
int vfsCurrentTime(sqlite3_vfs*, double* out) { return base()->xCurrentTime(base(), out); }
int vfsGetLastError(sqlite3_vfs*, int size, char* out) {
    return base()->xGetLastError(base(), size, out);
}
int vfsCurrentTimeInt64(sqlite3_vfs*, sqlite3_int64* out) {
    return base()->xCurrentTimeInt64(base(), out);
}

}  // namespace

const char* gatheringLogVfs() {
    static constexpr const char* kName = "gravelin-gathered-log";
    static const bool registered = [] {
        sqlite3_vfs* def = base();
        // The default VFS of the system: version 2 at least (every build of SQLite 3.7 on).
        if (def == nullptr || def->iVersion < 2) return false;
        static sqlite3_vfs vfs{};
        vfs.iVersion = 2;
        vfs.szOsFile = static_cast<int>(sizeof(LogFile)) + def->szOsFile;
        vfs.mxPathname = def->mxPathname;
        vfs.zName = kName;
        vfs.xOpen = vfsOpen;
        vfs.xDelete = vfsDelete;
        vfs.xAccess = vfsAccess;
        vfs.xFullPathname = vfsFullPathname;
        vfs.xDlOpen = vfsDlOpen;
        vfs.xDlError = vfsDlError;
        vfs.xDlSym = vfsDlSym;
        vfs.xDlClose = vfsDlClose;
        vfs.xRandomness = vfsRandomness;
        vfs.xSleep = vfsSleep;
        vfs.xCurrentTime = vfsCurrentTime;
        vfs.xGetLastError = vfsGetLastError;
        vfs.xCurrentTimeInt64 = vfsCurrentTimeInt64;
        return sqlite3_vfs_register(&vfs, 0) == SQLITE_OK;
    }();
    return registered ? kName : nullptr;
}

}  // namespace gravelin::storage::detail

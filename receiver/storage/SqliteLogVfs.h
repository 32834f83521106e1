// The SQLite writer's write-ahead log written in one system call per commit rather than two
// per page: a VFS over the system's default one whose log files gather consecutive writes
// in memory and hand them on before anything reads, syncs, sizes or truncates the file.
// Nothing is promised of a log write before its sync, and every commit syncs (WAL with
// synchronous=FULL), so a commit is exactly as durable as before. Only for a connection
// with synchronous=FULL: with less, SQLite would let other connections read a commit's
// frames before any sync, and so before they leave the buffer.
#pragma once

namespace gravelin::storage::detail {

// The VFS's name, for sqlite3_open_v2; registered on the first call (thread-safe). Null
// when it could not be registered: the default VFS is then used.
const char* gatheringLogVfs();

}  // namespace gravelin::storage::detail

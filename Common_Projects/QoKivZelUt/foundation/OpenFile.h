// Opening a file by a name somebody else may have chosen, and reading it.
#pragma once

#include <QoKivZelUt/WinAPI.h>

namespace ZelUt {
namespace detail {

// A name may be a pipe's: the server behind it may learn who opens it, but
// never act as the one who did. Files that are no pipes ignore these flags.
const DWORD kIdentifyOnly = SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION;

// Opens an existing file (or directory, with FILE_FLAG_BACKUP_SEMANTICS). A
// name given as a file's is refused when it opens no file on a disk: a pipe's
// server sends what it likes for as long as it likes, a device is no file.
// Invalid on failure, with the last error set (ERROR_BAD_FILE_TYPE for those).
WinAPI::FileHandle openExistingFile(const WinPath& path, DWORD access, DWORD share, DWORD flags);

// Reads up to `length` bytes at `offset` of a file opened for synchronous
// access; `got` says how many there were (fewer where the file ends). False,
// with the last error set, when the read fails.
bool readAt(HANDLE file, uint64_t offset, void* out, DWORD length, DWORD& got);

} // namespace detail
} // namespace ZelUt

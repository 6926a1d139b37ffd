// The decompressor's file callbacks. They carry no context, so the archive
// being read (its absolute path and where its cabinet starts) is published
// process-wide; a descriptor of that archive sees the cabinet at position 0.
#pragma once

#include <QoKivZelUt/WinPath.h>

#include <fdi.h>

#include <mutex>

namespace ZelUt {
namespace cab {

// Held while an archive is published and read; one archive at a time.
std::mutex& archiveLock();
void publishArchive(const WinPath& absolutePath, unsigned long offset);

// A descriptor-based file opened with sharing deny-none; -1 on failure.
INT_PTR openDescriptor(const WinPath& path, int flags, int mode);
int closeDescriptor(INT_PTR descriptor);

// The target file being written: closing it through any path ends the tracking;
// untrackWriting returns it when it is still open, else -1.
void trackWriting(INT_PTR descriptor);
INT_PTR untrackWriting();

FNALLOC(allocate);
FNFREE(release);
FNOPEN(openFile);
FNREAD(readFile);
FNWRITE(writeFile);
FNCLOSE(closeFile);
FNSEEK(seekFile);

} // namespace cab
} // namespace ZelUt

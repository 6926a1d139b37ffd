#include "archive/CabFiles.h"

#include <QoKivZelUt/WinAPI.h>

#include "archive/CabNames.h"

#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>

#include <cstdlib>
#include <set>

namespace ZelUt {
namespace cab {

namespace {

struct PublishedArchive {
    WinPath path;
    unsigned long offset = 0;
    std::set<INT_PTR> descriptors;  // open descriptors of that archive
    INT_PTR writing = -1;
    std::mutex guard;               // the callbacks may run on any thread
};

PublishedArchive& published()
{
    static PublishedArchive archive;
    return archive;
}

} // namespace

std::mutex& archiveLock()
{
    static std::mutex lock;
    return lock;
}

void publishArchive(const WinPath& absolutePath, unsigned long offset)
{
    std::lock_guard<std::mutex> hold(published().guard);
    published().path = absolutePath;
    published().offset = offset;
}

INT_PTR openDescriptor(const WinPath& path, int flags, int mode)
{
    return _wsopen(path.getLongPath().str().c_str(), flags, _SH_DENYNO, mode);
}

int closeDescriptor(INT_PTR descriptor)
{
    {
        std::lock_guard<std::mutex> hold(published().guard);
        published().descriptors.erase(descriptor);
        if (published().writing == descriptor)
            published().writing = -1;
    }
    return _close(static_cast<int>(descriptor));
}

void trackWriting(INT_PTR descriptor)
{
    std::lock_guard<std::mutex> hold(published().guard);
    published().writing = descriptor;
}

INT_PTR untrackWriting()
{
    std::lock_guard<std::mutex> hold(published().guard);
    INT_PTR descriptor = published().writing;
    published().writing = -1;
    return descriptor;
}

FNALLOC(allocate)
{
    return std::malloc(cb);
}

FNFREE(release)
{
    std::free(pv);
}

FNOPEN(openFile)
{
    WinPath path;
    try {
        path = WinAPI::fullpath(WinPath(WinAPI::fromUtf8(pszFile)));
    } catch (const CZelException&) {
        return -1;
    }
    INT_PTR descriptor = openDescriptor(path, oflag, pmode);
    if (descriptor == -1)
        return -1;
    std::lock_guard<std::mutex> hold(published().guard);
    // Text comparison only: every target file passes here, and equality by file
    // identity would open two more files for each.
    if (!(path < published().path) && !(published().path < path)) {
        published().descriptors.insert(descriptor);
        _lseek(static_cast<int>(descriptor), static_cast<long>(published().offset), SEEK_SET);
    }
    return descriptor;
}

FNREAD(readFile)
{
    int n = _read(static_cast<int>(hf), pv, cb);
    return n < 0 ? static_cast<UINT>(-1) : static_cast<UINT>(n);
}

FNWRITE(writeFile)
{
    int n = _write(static_cast<int>(hf), pv, cb);
    return n < 0 ? static_cast<UINT>(-1) : static_cast<UINT>(n);
}

FNCLOSE(closeFile)
{
    return closeDescriptor(hf);
}

FNSEEK(seekFile)
{
    unsigned long offset;
    {
        std::lock_guard<std::mutex> hold(published().guard);
        if (!published().descriptors.count(hf))
            return _lseek(static_cast<int>(hf), dist, seektype);
        offset = published().offset;
    }
    if (seektype == SEEK_SET)
        dist += static_cast<long>(offset);
    bool moveToStart;
    long position = cabinetPosition(_lseek(static_cast<int>(hf), dist, seektype), offset, moveToStart);
    if (moveToStart)
        _lseek(static_cast<int>(hf), static_cast<long>(offset), SEEK_SET);
    return position;
}

} // namespace cab
} // namespace ZelUt

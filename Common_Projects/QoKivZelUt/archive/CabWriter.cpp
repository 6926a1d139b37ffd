#include <QoKivZelUt/CabWriter.h>

#include "foundation/Log.h"

#include <fci.h>
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const ULONG kMaximumCabinetBytes = 0x80000000u;
const ULONG kFolderThreshold = 0x20000000u;
const USHORT kSetId = 0x3634;
const TCOMP kLzxTwoMegabyteWindow = 0x1503;
const USHORT kNameIsUtf8 = 0x80;

std::string utf8(const WinPath& path)
{
    return WinAPI::toUtf8(path.str());
}

// Copies text into one of the compressor's fixed fields; false when it does not fit.
bool copyInto(char* field, size_t size, const std::string& text)
{
    if (text.size() + 1 > size)
        return false;
    std::memcpy(field, text.c_str(), text.size() + 1);
    return true;
}

ZelArchive* archiveOf(void* context)
{
    return static_cast<ZelArchive*>(context);
}

FNFCIFILEPLACED(filePlaced)
{
    return 0;
}

FNFCIALLOC(allocate)
{
    return ::HeapAlloc(::GetProcessHeap(), 0, cb);
}

FNFCIFREE(release)
{
    ::HeapFree(::GetProcessHeap(), 0, memory);
}

FNFCIOPEN(openFile)
{
    std::wstring name = WinAPI::fromUtf8(pszFile);
    int descriptor = _wsopen(name.c_str(), oflag, _SH_DENYNO, pmode);
    if (descriptor == -1 && errno == EEXIST)  // a temporary file made beforehand
        descriptor = _wsopen(name.c_str(), oflag & ~_O_EXCL, _SH_DENYNO, pmode);
    if (descriptor == -1)
        *err = errno;
    return descriptor;
}

FNFCIREAD(readFile)
{
    int n = _read(static_cast<int>(hf), memory, cb);
    if (n != static_cast<int>(cb))
        *err = errno;
    return static_cast<UINT>(n);
}

FNFCIWRITE(writeFile)
{
    int n = _write(static_cast<int>(hf), memory, cb);
    if (n != static_cast<int>(cb))
        *err = errno;
    return static_cast<UINT>(n);
}

FNFCICLOSE(closeFile)
{
    if (hf < 1)
        return -1;
    int result = _close(static_cast<int>(hf));
    if (result != 0)
        *err = errno;
    return result;
}

// Some compressors seek the data file of a folder that holds only empty files,
// which was never opened (-1): such a file is empty, and position 0 is right.
FNFCISEEK(seekFile)
{
    if (hf < 0)
        return 0;
    long position = _lseek(static_cast<int>(hf), dist, seektype);
    if (position == -1)
        *err = errno;
    return position;
}

FNFCIDELETE(deleteFile)
{
    return archiveOf(pv)->removeTmpFile(WinPath(WinAPI::fromUtf8(pszFile)));
}

FNFCIGETTEMPFILE(temporaryFile)
{
    try {
        return copyInto(pszTempName, static_cast<size_t>(cbTempName), utf8(archiveOf(pv)->makeTemporaryFile()));
    } catch (const CZelException&) {
        return FALSE;
    }
}

FNFCIGETNEXTCABINET(nextCabinet)
{
    std::snprintf(pccab->szCab, sizeof pccab->szCab, "kivcab%02i.tmp", pccab->iCab);
    return TRUE;
}

FNFCISTATUS(status)
{
    return 0;
}

FNFCIGETOPENINFO(openInformation)
{
    try {
        WinPath file(WinAPI::fromUtf8(pszName));
        FILETIME written = file.getLastWriteTime(), local;
        if (!::FileTimeToLocalFileTime(&written, &local) || !::FileTimeToDosDateTime(&local, pdate, ptime))
            throw CZelException(::GetLastError(), L"The time of " + file.str() + L" cannot be converted.");
        DWORD attributes = ::GetFileAttributesW(file.str().c_str());
        *pattribs = attributes == INVALID_FILE_ATTRIBUTES ? kNameIsUtf8
                                                          : static_cast<USHORT>((attributes & 0xFFFF) | kNameIsUtf8);
        return openFile(pszName, _O_RDONLY | _O_BINARY, 0, err, pv);
    } catch (const CZelException& e) {
        *err = static_cast<int>(e.getErrorCode());
        return -1;
    }
}

} // namespace

static_assert(sizeof(ERF) == 3 * sizeof(int), "the error record is FCI's ERF");

ZelArchive::ZelArchive(const WinPath& archive) : m_directory(archive.getParent()), m_name(archive.getFileName())
{
    CCAB parameters = {};
    parameters.cb = kMaximumCabinetBytes;
    parameters.cbFolderThresh = kFolderThreshold;
    parameters.iCab = 1;
    parameters.iDisk = 0;
    parameters.fFailOnIncompressible = 0;
    parameters.setID = kSetId;
    bool fits = copyInto(parameters.szCab, sizeof parameters.szCab, utf8(m_name)) &&
                copyInto(parameters.szCabPath, sizeof parameters.szCabPath, utf8(m_directory) + "\\");
    if (fits)
        m_context = ::FCICreate(reinterpret_cast<PERF>(&m_error), filePlaced, allocate, release, openFile, readFile,
                                writeFile, closeFile, seekFile, deleteFile, temporaryFile, &parameters, this);
    if (!m_context) {
        if (!fits) {
            m_error.operationError = FCIERR_CAB_FILE;
            m_error.errorFlag = TRUE;
        }
        ZEL_LOG_ERROR << L"Failed to create archive" << location() << errorPart();
        throw CZelException(static_cast<unsigned long>(m_error.operationError), L"Could not create archive");
    }
}

ZelArchive::~ZelArchive()
{
    Close();
}

std::wstring ZelArchive::GetCabError(int code)
{
    static const wchar_t* const texts[] = {
        L"No error",
        L"Failure opening file to be stored in cabinet",
        L"Failure reading file to be stored in cabinet",
        L"Insufficient memory in FCI",
        L"Could not create a temporary file",
        L"Unknown compression type",
        L"Could not create cabinet file",
        L"Client requested abort",
        L"Failure compressing data",
        L"Data-size or file-count exceeded CAB format limits",
    };
    if (code < 0 || code >= static_cast<int>(sizeof texts / sizeof texts[0]))
        return L"Unknown error";
    return texts[code];
}

std::wstring ZelArchive::location() const
{
    return L" '" + m_directory.str() + L"\\" + m_name.str() + L"': ";
}

std::wstring ZelArchive::errorPart() const
{
    wchar_t codes[64];
    unsigned code = static_cast<unsigned>(m_error.operationError);
    swprintf(codes, 64, L", Error code 0x%08x (%x)", code, code);
    return GetCabError(m_error.operationError) + codes;
}

bool ZelArchive::Append(const WinPath& file, const WinPath& baseDirectory)
{
    return AppendFileWithName(file, baseDirectory.getRelativePath(file));
}

bool ZelArchive::AppendFileWithName(const WinPath& file, const WinPath& nameInArchive)
{
    ZEL_LOG_INFO << L"Archive factory : append '" << file << L"' to archive, archive name '" << nameInArchive << L"'";
    std::string source = utf8(file), name = utf8(nameInArchive);
    if (!m_context || !::FCIAddFile(m_context, &source[0], &name[0], FALSE, nextCabinet, status, openInformation,
                                    kLzxTwoMegabyteWindow)) {
        ZEL_LOG_ERROR << L"The file could not be appended to the cabinet archive" << location() << errorPart();
        return false;
    }
    return true;
}

bool ZelArchive::Close()
{
    bool result = true;
    if (m_context) {
        if (!::FCIFlushCabinet(m_context, FALSE, nextCabinet, status)) {
            ZEL_LOG_ERROR << L"Failed to flush archive factory" << location() << errorPart();
            ::FCIDestroy(m_context);
            result = false;
        } else if (!::FCIDestroy(m_context)) {
            ZEL_LOG_ERROR << L"Failed to close archive factory" << location() << errorPart();
            result = false;
        }
        m_context = nullptr;
    }
    for (const WinPath& file : m_temporaryFiles)
        removeTmpFile(file);
    m_temporaryFiles.clear();
    return result;
}

int ZelArchive::removeTmpFile(const WinPath& path) const
{
    try {
        WinAPI::deleteFile(path);
        return 0;
    } catch (const CZelException& e) {
        ZEL_LOG_WARNING << L"Could not remove file " << path << L": " << e;
        return -1;
    }
}

WinPath ZelArchive::makeTemporaryFile()
{
    WinPath file = WinAPI::getTempFileName(WinAPI::getTempPath(), L"kiv");
    registerTmpFile(file);
    return file;
}

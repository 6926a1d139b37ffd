#include <QoKivZelUt/CabWriter.h>

#include "archive/CabLimits.h"
#include "archive/CabNames.h"
#include "foundation/Log.h"
#include "foundation/OpenFile.h"

#include <fci.h>
#include <fcntl.h>

#include <cstring>

namespace {

const ULONG kMaximumCabinetBytes = 0x80000000u;
const ULONG kFolderThreshold = 0x20000000u;
const USHORT kSetId = 0x3634;
const TCOMP kLzxTwoMegabyteWindow = 0x1503;
const USHORT kNameIsUtf8 = 0x80;
const int kFormatLimitsExceeded = 9;  // FCIERR_CAB_FORMAT_LIMIT
const USHORT kEarliestDosDate = (0 << 9) | (1 << 5) | 1;       // 1980-01-01
const USHORT kLatestDosDate = (127 << 9) | (12 << 5) | 31;     // 2107-12-31
const USHORT kLatestDosTime = (23 << 11) | (59 << 5) | 29;     // 23:59:58

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

// Files are system handles, not runtime descriptors: a compressor that keeps
// a temporary file open for every folder would run out of the runtime's 2,048.
HANDLE handleOf(INT_PTR file)
{
    return reinterpret_cast<HANDLE>(file);
}

bool isHandle(INT_PTR file)
{
    return file > 0;
}

// The runtime-style open flags the compressor passes, as CreateFileW's.
DWORD accessOf(int oflag)
{
    switch (oflag & (_O_RDONLY | _O_WRONLY | _O_RDWR)) {
    case _O_WRONLY:
        return GENERIC_WRITE;
    case _O_RDWR:
        return GENERIC_READ | GENERIC_WRITE;
    default:
        return GENERIC_READ;
    }
}

DWORD dispositionOf(int oflag)
{
    if ((oflag & _O_CREAT) && (oflag & _O_EXCL))
        return CREATE_NEW;
    if (oflag & _O_CREAT)
        return (oflag & _O_TRUNC) ? CREATE_ALWAYS : OPEN_ALWAYS;
    return (oflag & _O_TRUNC) ? TRUNCATE_EXISTING : OPEN_EXISTING;
}

INT_PTR openByName(const char* utf8Name, int oflag, int* err)
{
    std::wstring name = WinAPI::fromUtf8(utf8Name);
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    HANDLE file = ::CreateFileW(name.c_str(), accessOf(oflag), share, nullptr, dispositionOf(oflag),
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE && ::GetLastError() == ERROR_FILE_EXISTS)  // a temporary file made beforehand
        file = ::CreateFileW(name.c_str(), accessOf(oflag), share, nullptr, dispositionOf(oflag & ~_O_EXCL),
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        *err = static_cast<int>(::GetLastError());
        return -1;
    }
    return reinterpret_cast<INT_PTR>(file);
}

// The cabinet itself is written through the replacement file made for it.
FNFCIOPEN(openFile)
{
    HANDLE cabinet = archiveOf(pv)->openCabinet(WinAPI::fromUtf8(pszFile), (oflag & _O_TRUNC) != 0);
    return cabinet ? reinterpret_cast<INT_PTR>(cabinet) : openByName(pszFile, oflag, err);
}

FNFCIREAD(readFile)
{
    DWORD got = 0;
    if (!::ReadFile(handleOf(hf), memory, cb, &got, nullptr) || got != cb)
        *err = static_cast<int>(::GetLastError());
    return got;
}

FNFCIWRITE(writeFile)
{
    DWORD written = 0;
    if (!::WriteFile(handleOf(hf), memory, cb, &written, nullptr) || written != cb)
        *err = static_cast<int>(::GetLastError());
    return written;
}

FNFCICLOSE(closeFile)
{
    if (!isHandle(hf))
        return -1;
    if (::CloseHandle(handleOf(hf)))
        return 0;
    *err = static_cast<int>(::GetLastError());
    return -1;
}

// Some compressors seek the data file of a folder that holds only empty files,
// which was never opened (-1): such a file is empty, and position 0 is right.
FNFCISEEK(seekFile)
{
    if (hf < 0)
        return 0;
    LARGE_INTEGER distance, position;
    distance.QuadPart = dist;
    if (!::SetFilePointerEx(handleOf(hf), distance, &position, static_cast<DWORD>(seektype))) {
        *err = static_cast<int>(::GetLastError());
        return -1;
    }
    return static_cast<long>(position.QuadPart);
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

// An archive is one cabinet: the limits are kept before files are added, and
// a second cabinet that nobody would register or extract is never begun.
FNFCIGETNEXTCABINET(nextCabinet)
{
    ZEL_LOG_ERROR << L"Archive factory : the archive would continue in a second cabinet; refused";
    return FALSE;
}

FNFCISTATUS(status)
{
    return 0;
}

// DOS dates run from 1980 to 2107: a file dated outside keeps the nearest.
void dosDateTime(const WinPath& file, USHORT* date, USHORT* time)
{
    FILETIME written = file.getLastWriteTime(), local;
    SYSTEMTIME parts;
    if (!::FileTimeToLocalFileTime(&written, &local) || !::FileTimeToSystemTime(&local, &parts))
        throw CZelException(::GetLastError(), L"The time of " + file.str() + L" cannot be converted.");
    if (parts.wYear < 1980 || parts.wYear > 2107) {
        bool early = parts.wYear < 1980;
        *date = early ? kEarliestDosDate : kLatestDosDate;
        *time = early ? 0 : kLatestDosTime;
        ZEL_LOG_INFO << L"Archive factory : '" << file << L"' is dated " << parts.wYear << L", stored as "
                     << (early ? L"1980-01-01 00:00" : L"2107-12-31 23:59");
        return;
    }
    if (!::FileTimeToDosDateTime(&local, date, time))
        throw CZelException(::GetLastError(), L"The time of " + file.str() + L" cannot be converted.");
}

// The source file was opened before the compressor was asked to add it; it
// takes that handle.
FNFCIGETOPENINFO(openInformation)
{
    try {
        WinPath file(WinAPI::fromUtf8(pszName));
        dosDateTime(file, pdate, ptime);
        DWORD attributes = ::GetFileAttributesW(file.str().c_str());
        *pattribs = attributes == INVALID_FILE_ATTRIBUTES ? kNameIsUtf8
                                                          : static_cast<USHORT>((attributes & 0xFFFF) | kNameIsUtf8);
        HANDLE source = archiveOf(pv)->takeOpenedSource();
        return source ? reinterpret_cast<INT_PTR>(source) : openByName(pszName, _O_RDONLY | _O_BINARY, err);
    } catch (const CZelException& e) {
        *err = static_cast<int>(e.getErrorCode());
        return -1;
    }
}

} // namespace

static_assert(sizeof(ERF) == 3 * sizeof(int), "the error record is FCI's ERF");

// The compressor keeps a pointer to its cabinet parameters for as long as it
// runs: they live in the object, not on the constructor's stack.
struct ZelArchive::Parameters : CCAB {
};

// A bare name is in the current directory, not at the root of the current drive.
ZelArchive::ZelArchive(const WinPath& archive)
    : m_parameters(new Parameters())
{
    const WinPath full = WinAPI::fullpath(archive);
    m_directory = full.getParent();
    m_name = full.getFileName();
    CCAB& parameters = *m_parameters;
    parameters.cb = kMaximumCabinetBytes;
    parameters.cbFolderThresh = kFolderThreshold;
    parameters.iCab = 1;
    parameters.iDisk = 0;
    parameters.fFailOnIncompressible = 0;
    parameters.setID = kSetId;
    bool fits = copyInto(parameters.szCab, sizeof parameters.szCab, utf8(m_name)) &&
                copyInto(parameters.szCabPath, sizeof parameters.szCabPath, utf8(m_directory) + "\\");
    if (fits) {
        createReplacement(full);
        fits = copyInto(parameters.szCab, sizeof parameters.szCab, utf8(m_replacement->path().getFileName()));
    }
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
    WinPath name = baseDirectory.getRelativePath(file);
    if (name.empty()) {
        ZEL_LOG_INFO << L"Archive factory : append '" << file << L"' to archive";
        return refuse(FCIERR_OPEN_SRC, L"the file is not below the base directory '" + baseDirectory.str() + L"'");
    }
    return AppendFileWithName(file, name);
}

// A file the archive refuses, logged like the compressor's failures.
bool ZelArchive::refuse(int operationError, const std::wstring& why)
{
    m_error = {operationError, 0, TRUE};
    ZEL_LOG_ERROR << L"The file could not be appended to the cabinet archive" << location() << errorPart() << L": "
                  << why;
    return false;
}

// The source is opened first: a file that cannot be read fails alone, before
// the compressor counts it (some compressors lose the whole cabinet then).
bool ZelArchive::AppendFileWithName(const WinPath& file, const WinPath& nameInArchive)
{
    ZEL_LOG_INFO << L"Archive factory : append '" << file << L"' to archive, archive name '" << nameInArchive << L"'";
    std::string source = utf8(file), name = utf8(nameInArchive);
    if (!m_context)
        return refuse(FCIERR_CAB_FILE, L"the archive is closed");
    // An entry that would be written outside the directory it is extracted to.
    std::wstring relative;
    if (ZelUt::cab::entryPathProblem(nameInArchive.str(), relative) == ZelUt::cab::kLeavesDestination)
        return refuse(FCIERR_OPEN_SRC, ZelUt::cab::kLeavesDestination);
    WinAPI::FileHandle opened = ZelUt::detail::openExistingFile(file, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                                                FILE_ATTRIBUTE_NORMAL);
    if (!opened.valid())
        return refuse(FCIERR_OPEN_SRC, CZelException::getSystemErrorText(::GetLastError()));
    LARGE_INTEGER size = {};
    if (!::GetFileSizeEx(opened, &size))
        return refuse(FCIERR_READ_SRC, CZelException::getSystemErrorText(::GetLastError()));
    std::wstring problem = ZelUt::cab::limitProblem(m_storedBytes, m_files, static_cast<uint64_t>(size.QuadPart),
                                                    name.size());
    if (!problem.empty())
        return refuse(name.size() > ZelUt::cab::kLongestStoredName ? FCIERR_OPEN_SRC : kFormatLimitsExceeded,
                      problem);
    m_openedSource = std::move(opened);
    BOOL added = ::FCIAddFile(m_context, &source[0], &name[0], FALSE, nextCabinet, status, openInformation,
                              kLzxTwoMegabyteWindow);
    m_openedSource.release();  // not taken: the compressor failed before it opened the source
    if (!added) {
        ZEL_LOG_ERROR << L"The file could not be appended to the cabinet archive" << location() << errorPart();
        return false;
    }
    ++m_files;
    m_storedBytes += ZelUt::cab::storedSize(static_cast<uint64_t>(size.QuadPart), name.size());
    return true;
}

HANDLE ZelArchive::takeOpenedSource()
{
    return m_openedSource.valid() ? m_openedSource.detach() : nullptr;
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
        result = result && finishCabinet();
    }
    m_replacement.reset();  // a cabinet that did not take its name is removed
    for (const WinPath& file : m_temporaryFiles)
        removeTmpFile(file);
    m_temporaryFiles.clear();
    return result;
}

// The cabinet is written beside its final name and takes it only when whole;
// without a file there (a directory that is missing or not writable) there is
// no archive.
void ZelArchive::createReplacement(const WinPath& cabinet)
{
    try {
        m_replacement.reset(new WinAPI::ReplacementFile(cabinet));
    } catch (const CZelException& e) {
        ZEL_LOG_ERROR << L"Failed to create archive" << location() << L"no file can be made beside it: " << e;
        throw CZelException(e.getErrorCode(), L"Could not create archive");
    }
}

HANDLE ZelArchive::openCabinet(const std::wstring& name, bool truncate)
{
    if (!m_replacement || WinPath(name) != m_replacement->path())
        return nullptr;
    HANDLE copy = nullptr;
    if (!::DuplicateHandle(::GetCurrentProcess(), m_replacement->handle(), ::GetCurrentProcess(), &copy, 0, FALSE,
                           DUPLICATE_SAME_ACCESS))
        return nullptr;
    LARGE_INTEGER start = {};
    ::SetFilePointerEx(copy, start, nullptr, FILE_BEGIN);
    if (truncate)
        ::SetEndOfFile(copy);
    return copy;
}

// The whole cabinet takes its final name, replacing an earlier one (whose
// access list it keeps).
bool ZelArchive::finishCabinet()
{
    try {
        m_replacement->commit();
        return true;
    } catch (const CZelException& e) {
        ZEL_LOG_ERROR << L"The cabinet archive" << location() << L"cannot take its name: " << e;
        return false;
    }
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

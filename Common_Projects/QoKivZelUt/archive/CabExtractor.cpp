#include <QoKivZelUt/CabExtractor.h>

#include "archive/CabFiles.h"
#include "archive/CabNames.h"
#include "archive/CabTables.h"
#include "foundation/ErrorText.h"
#include "foundation/Log.h"
#include "foundation/OpenFile.h"
#include "image/PeImage.h"

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <utility>

namespace {

const unsigned short kVendorSetId = 0x3634;
const int kCorrupt = 4;
// The cabinet's read-only, hidden, system and archive bits; the others
// (name is UTF-8, run after extraction) are no file attributes.
const unsigned short kFileAttributeBits = 0x27;
// The longest path the file system takes, its long-path prefix included.
const size_t kLongestPath = 32767;
const unsigned long long kCabinetHeaderSize = 36;

std::wstring entryName(const char* name, unsigned short attributes)
{
    if (attributes & _A_NAME_IS_UTF)
        return WinAPI::fromUtf8(name);
    int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, name, -1, nullptr, 0);
    UINT codePage = n > 0 ? CP_UTF8 : CP_ACP;
    n = MultiByteToWideChar(codePage, 0, name, -1, nullptr, 0);
    std::wstring text(n > 0 ? n : 1, L'\0');
    MultiByteToWideChar(codePage, 0, name, -1, &text[0], n);
    text.resize(text.size() - 1);
    return text;
}

// The decompressor's positions are 32-bit signed numbers counted from the file's start.
const long long kFurthestCabinet = 0x7FFFFFFF - static_cast<long long>(kCabinetHeaderSize);
const DWORD kHeadersRead = 1 << 20;
const DWORD kScanPiece = 1 << 20;

// Up to `length` bytes of the archive at `at`; how many there were.
DWORD readPiece(HANDLE file, const WinPath& archive, uint64_t at, unsigned char* out, DWORD length)
{
    DWORD got = 0;
    if (!ZelUt::detail::readAt(file, at, out, length, got))
        ZelUt::detail::throwLastError(L"Cabinet Extraction: could not read " + archive.str());
    return got;
}

// Where a cabinet attached behind an image starts: the first "MSCF" at or
// after the end of the image's last section; -1 when there is none. The file
// is read in pieces, never mapped whole: a setup of a gigabyte or more does
// not fit a 32-bit process's address space in one view. Damaged headers throw.
long long attachedCabinet(HANDLE file, const WinPath& archive, unsigned long long fileSize)
{
    std::vector<unsigned char> piece(static_cast<size_t>(std::min<unsigned long long>(fileSize, kHeadersRead)));
    piece.resize(readPiece(file, archive, 0, piece.data(), static_cast<DWORD>(piece.size())));
    const ZelUt::PeImage headers(piece.data(), piece.size());
    if (!headers.hasNtHeaders())
        return -1;
    const uint64_t imageSize = headers.imageSize();
    // Pieces overlap by three bytes, so a signature across two is found.
    piece.resize(kScanPiece + 3);
    for (uint64_t at = imageSize; fileSize >= 4 && at <= fileSize - 4; at += kScanPiece) {
        const DWORD wanted = static_cast<DWORD>(std::min<uint64_t>(piece.size(), fileSize - at));
        const DWORD got = readPiece(file, archive, at, piece.data(), wanted);
        const long long found = ZelUt::cab::findCabinetSignature(piece.data(), 0, got);
        if (found >= 0)
            return static_cast<long long>(at) + found;
        if (got < wanted)
            break;
    }
    return -1;
}

// Closes a descriptor through the file callbacks unless handed on.
class Descriptor {
public:
    explicit Descriptor(INT_PTR descriptor) : m_descriptor(descriptor) {}
    ~Descriptor()
    {
        if (m_descriptor != -1)
            ZelUt::cab::closeDescriptor(m_descriptor);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    INT_PTR get() const { return m_descriptor; }

private:
    INT_PTR m_descriptor;
};

} // namespace

static_assert(sizeof(ERF) == 3 * sizeof(int), "the error record is FDI's ERF");

namespace {

FNFDINOTIFY(CabExtractorCallback)
{
    auto* extractor = static_cast<ZelCabExtractor*>(pfdin->pv);
    return static_cast<INT_PTR>(extractor->notify(fdint, pfdin));
}

// Thrown in place of what a caller's callback threw, which is kept meanwhile.
struct CallerThrew {};

// A junction or a directory link: a reparse point that names another place.
// Other reparse points (placeholders of files kept in a cloud, say) are the
// directory itself. One whose tag is not given (Wine gives none) is taken for
// a link.
bool isLink(const WinPath& path)
{
    WIN32_FIND_DATAW entry;
    WinAPI::FindHandle found = WinAPI::findFirstFile(path.getLongPath(), entry);
    return found.valid() && (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
           (entry.dwReserved0 == 0 || IsReparseTagNameSurrogate(entry.dwReserved0));
}

} // namespace

void ZelCabExtractor::DestroyContext::close(void* context)
{
    if (!FDIDestroy(context))
        ZEL_LOG_WARNING << L"FDIDestroy() failed!";
}

ZelCabExtractor::ZelCabExtractor(const WinPath& archive, bool keepFiles, unsigned long cabinetOffset)
    : m_archivePath(archive), m_cabinetOffset(cabinetOffset), m_keepFiles(keepFiles)
{
    if (!m_archivePath.exists())
        throw CZelException(ERROR_FILE_NOT_FOUND, L"Archive " + m_archivePath.str() + L" does not exist.");
    m_context = decltype(m_context)(FDICreate(ZelUt::cab::allocate, ZelUt::cab::release, ZelUt::cab::openFile,
                                              ZelUt::cab::readFile, ZelUt::cab::writeFile, ZelUt::cab::closeFile,
                                              ZelUt::cab::seekFile, cpu80386, reinterpret_cast<PERF>(&m_error)));
    if (!m_context) {
        ZEL_LOG_ERROR << L"Cabinet Extraction: FDIcreate failed for " << m_archivePath;
        LogFDIErrors();
        throw CZelException(m_error.operationError, L"FDICreate failed.");
    }

    std::lock_guard<std::mutex> hold(m_lock);
    std::lock_guard<std::mutex> holdArchive(ZelUt::cab::archiveLock());
    initializeOffset();
    checkTables();
    Descriptor cabinet(ZelUt::cab::openFile(const_cast<char*>(WinAPI::toUtf8(m_archivePath.str()).c_str()),
                                            _O_RDONLY | _O_BINARY | _O_SEQUENTIAL, 0));
    if (cabinet.get() == -1) {
        DWORD code = GetLastError();
        ZEL_LOG_ERROR << L"Cabinet Extraction: " << m_archivePath << L" could not be opened.";
        throw CZelException(code, L"File not found.");
    }
    if (!FDIIsCabinet(m_context, cabinet.get(), reinterpret_cast<PFDICABINETINFO>(&m_cabinetInfo))) {
        ZEL_LOG_ERROR << L"Cabinet Extraction: " << m_archivePath << L" is not a cabinet file.";
        LogFDIErrors();
        throw CZelException(m_error.operationError, L"Not a cabinet file.");
    }
    long long behindOffset = static_cast<long long>(m_archivePath.getFileSize()) - m_cabinetOffset;
    if (getArchiveSize() > behindOffset) {
        ZEL_LOG_ERROR << L"Archive is corrupt (smaller than expected)";
        m_error.operationError = kCorrupt;
        m_error.errorFlag = TRUE;
        LogFDIErrors();
        throw CZelException(kCorrupt, L"Not a cabinet file or file is corrupted.");
    }
    ZEL_LOG_INFO << L"Successfully opened archive '" << m_archivePath << L"'\n"
                 << L"   Total length of archive      : " << getArchiveSize() << L" Bytes\n"
                 << L"   Number of files in archive   : " << m_cabinetInfo.fileCount << L"\n"
                 << L"   Archive vendor               : "
                 << (m_cabinetInfo.setId == kVendorSetId ? L"KIV SE" : L"Unknown") << L"\n";
    setErrortextFromErrorcode(m_error.operationError);
}

static_assert(sizeof(FDICABINETINFO) == sizeof(long) + 4 * sizeof(unsigned short) + 3 * sizeof(int),
              "the cabinet information is FDI's FDICABINETINFO");

ZelCabExtractor::~ZelCabExtractor()
{
    m_context = decltype(m_context)();
    if (m_keepFiles)
        return;
    RemoveExtractedFiles();
    RemoveExtractedDirectories();
}

// A cabinet behind an executable image starts at the first "MSCF" after the image proper.
void ZelCabExtractor::initializeOffset()
{
    WinPath absolute = WinAPI::fullpath(m_archivePath);
    if (m_cabinetOffset == 0) {
        WinAPI::FileHandle file = WinAPI::openFileReadOnly(m_archivePath);
        unsigned char lead[4];
        if (readPiece(file, m_archivePath, 0, lead, sizeof lead) == sizeof lead && std::memcmp(lead, "MSCF", 4) != 0) {
            try {
                const unsigned long long fileSize = m_archivePath.getFileSize();
                const long long found = attachedCabinet(file, m_archivePath, fileSize);
                if (found > kFurthestCabinet) {
                    ZEL_LOG_WARNING << L"Cabinet Extraction: the cabinet attached to " << m_archivePath
                                    << L" starts at offset " << found << L", past what the decompressor can reach";
                } else if (found > 0) {
                    m_cabinetOffset = static_cast<unsigned long>(found);
                    ZEL_LOG_INFO << L"Found that " << m_archivePath
                                 << L" is a selfextracting executable. Attached cabfile starts at offset "
                                 << m_cabinetOffset << L" and has size " << (fileSize - found);
                }
            } catch (const CZelException& e) {
                ZEL_LOG_WARNING << L"Cabinet Extraction: " << m_archivePath
                                << L" is no readable image, no attached cabinet looked for: " << e.getFullText();
            }
        }
    }
    ZelUt::cab::publishArchive(absolute, m_cabinetOffset);
}

// A cabinet whose tables run past its end, or that has no folder or no file,
// is refused before the decompressor reads it.
void ZelCabExtractor::checkTables()
{
    WinAPI::FileHandle file = WinAPI::openFileReadOnly(m_archivePath);
    unsigned long long fileSize = m_archivePath.getFileSize();
    if (fileSize < m_cabinetOffset + kCabinetHeaderSize)
        return;  // the decompressor tells that this is no cabinet
    auto read = [&](uint64_t at, void* out, size_t length) {
        DWORD got = 0;
        return ZelUt::detail::readAt(file, m_cabinetOffset + at, out, static_cast<DWORD>(length), got) && got == length;
    };
    char signature[4];
    if (!read(0, signature, 4) || std::string(signature, 4) != "MSCF")
        return;  // the decompressor tells that this is no cabinet
    std::wstring problem = ZelUt::cab::cabinetTableProblem(fileSize - m_cabinetOffset, read);
    if (problem.empty())
        return;
    ZEL_LOG_ERROR << L"Archive is corrupt: " << problem;
    m_error.operationError = kCorrupt;
    m_error.errorFlag = TRUE;
    LogFDIErrors();
    throw CZelException(kCorrupt, L"Not a cabinet file or file is corrupted.");
}

bool ZelCabExtractor::ExtractArchive(const WinPath& destination)
{
    m_extractMode = true;
    m_destination = WinAPI::fullpath(destination);
    return ExtractArchiveImpl();
}

bool ZelCabExtractor::ExtractArchiveImpl()
{
    std::lock_guard<std::mutex> hold(m_lock);
    std::lock_guard<std::mutex> holdArchive(ZelUt::cab::archiveLock());
    initializeOffset();
    WinPath absolute = WinAPI::fullpath(m_archivePath);
    std::string name = WinAPI::toUtf8(absolute.getFileName().str());
    std::string directory = WinAPI::toUtf8(absolute.getParent().str() + L"\\");
    m_skippedEntries.clear();
    m_runTargets.clear();
    m_knownDirectories.clear();
    m_newDirectories.clear();
    m_error = ErrorRecord();
    m_runFailure = nullptr;
    BOOL copied = FDICopy(m_context, &name[0], &directory[0], 0, CabExtractorCallback, nullptr, this);
    if (!m_openTarget.empty()) {
        // The decompressor gave up inside a file: what was written of it is no file of the archive.
        INT_PTR stillOpen = ZelUt::cab::untrackWriting();
        if (stillOpen != -1)
            ZelUt::cab::closeDescriptor(stillOpen);
        try {
            WinAPI::deleteFile(m_openTarget);
        } catch (const CZelException& e) {
            ZEL_LOG_WARNING << L"Could not delete the incomplete file " << m_openTarget << L": " << e.getFullText();
        }
        m_openTarget = WinPath();
    }
    if (m_runFailure)
        std::rethrow_exception(std::exchange(m_runFailure, nullptr));
    if (!copied) {
        LogFDIErrors();
        return false;
    }
    setErrortextFromErrorcode(m_error.operationError);
    if (m_extractMode && !m_skippedEntries.empty()) {
        m_lastErrorText = std::to_wstring(m_skippedEntries.size()) + L" entries were not extracted:";
        for (const std::wstring& entry : m_skippedEntries)
            m_lastErrorText += L" " + entry;
        return false;
    }
    return true;
}

void ZelCabExtractor::listArchive()
{
    m_extractMode = false;
    m_extractedSize = 0;
    if (!ExtractArchiveImpl())
        throw CZelException(m_error.operationError, L"FDICopy failed.");
    m_listed = true;
}

long long ZelCabExtractor::getExtractedSize()
{
    if (!m_listed)
        listArchive();
    return m_extractedSize;
}

const std::vector<WinPath>& ZelCabExtractor::getContents()
{
    if (m_contents.empty() && !m_listed)
        listArchive();
    return m_contents;
}

// An exception must not unwind through the decompressor's frames (in a 32-bit
// process it cannot, and the program ends): it is kept, and -1 ends the run.
long long ZelCabExtractor::notify(int type, void* notification) noexcept
{
    FDINOTIFICATION& n = *static_cast<PFDINOTIFICATION>(notification);
    try {
        switch (type) {
        case fdintCOPY_FILE:
            return copyFileCallback(entryName(n.psz1, n.attribs), static_cast<unsigned long>(n.cb));
        case fdintCLOSE_FILE_INFO: {
            const std::wstring name = entryName(n.psz1, n.attribs);
            const long long written = _filelengthi64(static_cast<int>(n.hf));
            const bool complete = written >= 0 && static_cast<unsigned long long>(written) == m_openSize;
            if (complete)
                stampFile(reinterpret_cast<HANDLE>(_get_osfhandle(static_cast<int>(n.hf))), name, n.date, n.time,
                          n.attribs);
            ZelUt::cab::closeDescriptor(n.hf);
            closeFileCallback(complete, written);
            return TRUE;
        }
        default:
            return 1;
        }
    } catch (...) {
        if (!m_runFailure)
            m_runFailure = std::current_exception();
        return -1;
    }
}

// A caller's callback may throw anything, a CZelException too: what it threw
// is kept, and the exception put in its place passes the library's own
// handlers of failures untouched and ends the run.
void ZelCabExtractor::tellCaller(const std::function<void()>& call)
{
    try {
        call();
    } catch (...) {
        m_runFailure = std::current_exception();
        throw CallerThrew();
    }
}

// Skipping is logged; in extraction it also makes the run fail, naming the entry.
long long ZelCabExtractor::skipEntry(const std::wstring& name, const std::wstring& reason)
{
    ZEL_LOG_ERROR << L"Cabinet Extraction: skipping '" << name << L"' in " << m_archivePath << L": " << reason;
    if (m_extractMode)
        m_skippedEntries.push_back(L"'" + name + L"': " + reason);
    return 0;
}

long long ZelCabExtractor::copyFileCallback(const std::wstring& name, unsigned long size)
{
    std::wstring relative;
    std::wstring problem = ZelUt::cab::entryPathProblem(name, relative);
    if (!problem.empty())
        return skipEntry(name, problem);
    WinPath target = m_destination / relative;
    ZEL_LOG_INFO << (m_extractMode ? L"Extracting '" : L"Contains '") << target << L"'";
    if (m_contentSet.insert(target).second)
        m_contents.push_back(target);
    if (!m_extractMode) {
        m_extractedSize += size;
        return 0;
    }
    if (!m_runTargets.insert(target).second)
        return skipEntry(name, L"the name occurs more than once in the cabinet.");
    if (target.getLongPath().str().size() >= kLongestPath)
        return skipEntry(name, L"the path is longer than the file system allows.");
    try {
        const WinPath linked = createParentDirectories(target);
        if (!linked.empty())
            return skipEntry(name, L"its directory " + linked.str() + L" is a link to elsewhere; it is not followed.");
    } catch (const CZelException& e) {
        return skipEntry(name, L"its directory could not be created: " + e.getFullText());
    }
    // In a directory this run created, only this run's files exist, and those
    // are duplicates refused above. Looking up a name that is not there is
    // costly on some file systems (a scan of the whole directory).
    if (!m_newDirectories.count(target.getParent()) && target.exists()) {
        try {
            WinAPI::deleteFile(target);
        } catch (const CZelException& e) {
            ZEL_LOG_WARNING << L"Could not delete file " << target << L" before extraction: " << e.getFullText();
        }
    }
    INT_PTR descriptor = ZelUt::cab::openDescriptor(
        target, _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY | _O_SEQUENTIAL, _S_IREAD | _S_IWRITE);
    if (descriptor == -1) {
        DWORD error = GetLastError();
        ZEL_LOG_INFO << L"file_open failed. duplicate file in archive? - skipping " << name;
        return skipEntry(name, L"the file could not be created: " + CZelException::getSystemErrorText(error));
    }
    if (m_writtenSet.insert(target).second)
        m_writtenFiles.push_back(target);
    m_openTarget = target;
    m_openSize = size;
    ZelUt::cab::trackWriting(descriptor);
    return descriptor;
}

// Missing directories from the top down; a share's server and share levels
// are no directories to create. A directory found below the destination that
// is a junction or a link would take the file elsewhere (anybody who may
// write there can have put one): it is given back, and nothing is made in it.
WinPath ZelCabExtractor::createParentDirectories(const WinPath& target)
{
    std::vector<WinPath> levels = target.getParent().getSubPaths();
    for (size_t i = target.isUNC() ? 2 : 0; i < levels.size(); ++i) {
        const WinPath& directory = levels[i];
        if (m_knownDirectories.count(directory) || directory.isRoot() || directory.isDriveRoot())
            continue;
        if (!directory.exists()) {
            directory.createDirectory();
            m_createdDirectories.push_back(directory);
            m_newDirectories.insert(directory);
            if (m_callback)
                tellCaller([&] { m_callback->onDirectoryCreated(directory); });
        } else if (directory.str().size() > m_destination.str().size() && isLink(directory)) {
            return directory;
        }
        m_knownDirectories.insert(directory);
    }
    return WinPath();
}

// The times and attributes the cabinet gives go onto the file through the
// handle it was written through: by its name, another file could have taken
// that name meanwhile (anybody who may write in the destination can do that).
void ZelCabExtractor::stampFile(HANDLE file, const std::wstring& name, unsigned short date, unsigned short time,
                                unsigned short attributes)
{
    FILETIME local, utc;
    FILE_BASIC_INFO info = {};
    bool stamped = DosDateTimeToFileTime(date, time, &local) && LocalFileTimeToFileTime(&local, &utc);
    if (stamped) {
        const DWORD fileAttributes = attributes & kFileAttributeBits;
        info.CreationTime.LowPart = utc.dwLowDateTime;
        info.CreationTime.HighPart = static_cast<LONG>(utc.dwHighDateTime);
        info.LastWriteTime = info.CreationTime;
        info.FileAttributes = fileAttributes ? fileAttributes : FILE_ATTRIBUTE_NORMAL;
        stamped = SetFileInformationByHandle(file, FileBasicInfo, &info, sizeof info) != FALSE;
    }
    if (!stamped)
        ZEL_LOG_ERROR << L"Could not adjust file times and attributes of extracted file '" << name
                      << L"'. Error code: " << GetLastError();
}

bool ZelCabExtractor::closeFileCallback(bool complete, long long written)
{
    WinPath target = m_openTarget;
    m_openTarget = WinPath();
    if (!complete) {
        removeIncomplete(target, written);
        return true;
    }
    if (m_callback)
        tellCaller([&] { m_callback->onFileExtracted(target); });
    return true;
}

// The decompressor also closes a file it failed to fill; such a file is removed.
void ZelCabExtractor::removeIncomplete(const WinPath& target, long long written)
{
    ZEL_LOG_ERROR << L"Cabinet Extraction: '" << target << L"' is incomplete (" << written << L" of " << m_openSize
                  << L" bytes) and is removed.";
    try {
        WinAPI::deleteFile(target);
    } catch (const CZelException& e) {
        ZEL_LOG_WARNING << L"Could not delete the incomplete file " << target << L": " << e.getFullText();
    }
}

void ZelCabExtractor::RemoveExtractedFiles()
{
    for (const WinPath& file : m_writtenFiles) {
        ZEL_LOG_INFO << L"Deleting file '" << file << L"'";
        try {
            WinAPI::deleteFile(file);
        } catch (const CZelException& e) {
            ZEL_LOG_INFO << L"Deleting file '" << file << L"' failed. Error code : " << e.getErrorCode();
        }
    }
    m_writtenFiles.clear();
}

void ZelCabExtractor::RemoveExtractedDirectories()
{
    std::vector<WinPath> directories = m_createdDirectories;
    std::stable_sort(directories.begin(), directories.end(), [](const WinPath& a, const WinPath& b) {
        return a.str().size() > b.str().size();
    });
    for (const WinPath& directory : directories) {
        try {
            WinAPI::removeDirectory(directory);
            ZEL_LOG_INFO << L"Removing directory '" << directory << L"' succeeded.";
        } catch (const CZelException& e) {
            ZEL_LOG_INFO << L"Removing directory failed for '" << directory << L"'. Error-Code: " << e.getErrorCode();
        }
    }
    m_createdDirectories.clear();
}

void ZelCabExtractor::setErrortextFromErrorcode(int code)
{
    m_lastErrorText = ZelUt::cab::fdiErrorText(code);
}

void ZelCabExtractor::LogFDIErrors()
{
    if (!m_error.errorFlag)
        return;
    setErrortextFromErrorcode(m_error.operationError);
    ZEL_LOG_INFO << m_lastErrorText;
}

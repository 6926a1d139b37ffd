// ZelCabExtractor: lists and extracts one cabinet archive through the system's
// cabinet decompressor. The cabinet may stand alone or be attached behind an
// executable image; files and directories the extractor wrote are removed
// again on destruction unless the caller keeps them.
#pragma once

#include "Export.h"
#include "WinAPI.h"
#include "WinPath.h"

#include <exception>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <vector>

class QOKIVZELUT_API ZelCabExtractor {
public:
    class ICallback {
    public:
        virtual ~ICallback() = default;
        // Not called by the extractor.
        virtual void reserved() {}
        // After the file's times and attributes were set.
        virtual void onFileExtracted(const WinPath& path) = 0;
        virtual void onDirectoryCreated(const WinPath& path) = 0;
    };

    // A cabinet offset of 0 lets the extractor find an attached cabinet itself.
    ZelCabExtractor(const WinPath& archive, bool keepFiles = false, unsigned long cabinetOffset = 0);
    ~ZelCabExtractor();
    ZelCabExtractor(const ZelCabExtractor&) = delete;
    ZelCabExtractor& operator=(const ZelCabExtractor&) = delete;

    void setCallback(ICallback* callback) { m_callback = callback; }

    // False when the decompressor failed or some entry was not written where
    // its name says (the last error text names each and why).
    bool ExtractArchive(const WinPath& destination);
    long long getExtractedSize();
    const std::vector<WinPath>& getContents();
    unsigned long getNumberOfFiles() const { return m_cabinetInfo.fileCount; }
    // The cabinet header's size field is unsigned, whatever FDI's record type says.
    long long getArchiveSize() const { return static_cast<unsigned long>(m_cabinetInfo.cabinetLength); }
    unsigned long getCabinetOffset() const { return m_cabinetOffset; }
    std::wstring getLastErrorText() const { return m_lastErrorText; }

    // For the decompressor's notification function: one notification and its
    // record. Never throws: what is thrown while it is handled ends the run and
    // is thrown again once the decompressor has returned.
    long long notify(int type, void* notification) noexcept;

private:
    struct ErrorRecord {
        int operationError = 0;
        int systemError = 0;
        int errorFlag = 0;
    };
    struct CabinetInfo {
        long cabinetLength = 0;
        unsigned short folderCount = 0, fileCount = 0, setId = 0, cabinetNumber = 0;
        int reserve = 0, hasPrevious = 0, hasNext = 0;
    };
    struct DestroyContext {
        static void close(void* context);
    };

    void initializeOffset();
    void checkTables();
    bool ExtractArchiveImpl();
    void listArchive();
    long long copyFileCallback(const std::wstring& name, unsigned long size);
    long long skipEntry(const std::wstring& name, const std::wstring& reason);
    // Puts the cabinet's times and attributes onto the open file.
    void stampFile(void* file, const std::wstring& name, unsigned short date, unsigned short time,
                   unsigned short attributes);
    // After the file was closed; written: its size as its descriptor saw it before closing.
    bool closeFileCallback(bool complete, long long written);
    // The first existing directory below the destination that is a link, if any.
    WinPath createParentDirectories(const WinPath& target);
    void removeIncomplete(const WinPath& target, long long written);
    void RemoveExtractedFiles();
    void RemoveExtractedDirectories();
    void setErrortextFromErrorcode(int code);
    void LogFDIErrors();

    ErrorRecord m_error;
    std::wstring m_lastErrorText;
    WinAPI::AutoHandle<DestroyContext, void*> m_context;
    CabinetInfo m_cabinetInfo;
    std::vector<WinPath> m_contents;
    std::vector<WinPath> m_createdDirectories;
    WinPath m_archivePath;
    unsigned long m_cabinetOffset;
    WinPath m_destination;
    bool m_keepFiles;
    bool m_extractMode = false;
    long long m_extractedSize = 0;
    std::mutex m_lock;
    ICallback* m_callback = nullptr;

    // Membership is kept in sets of paths (text order, no disk access).
    std::set<WinPath> m_contentSet;
    std::vector<WinPath> m_writtenFiles;  // only these are removed on destruction
    std::set<WinPath> m_writtenSet;
    std::set<WinPath> m_runTargets;          // targets of the current run: a second one is a duplicate
    std::set<WinPath> m_knownDirectories;    // directories seen to exist during the current run
    std::set<WinPath> m_newDirectories;      // directories the current run created
    std::vector<std::wstring> m_skippedEntries;  // "'name': reason" of each entry not written this run
    WinPath m_openTarget;                 // the file being written, until its close notification
    unsigned long m_openSize = 0;         // its size in the archive
    bool m_listed = false;
    std::exception_ptr m_runFailure;      // what a notification threw, until the run ends
    void tellCaller(const std::function<void()>& call);
};

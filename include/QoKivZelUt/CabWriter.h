// ZelArchive: writes one cabinet through the system's cabinet compressor. Files
// are appended under their names in the archive; Close finishes the cabinet and
// removes every temporary file the compressor made. The cabinet is written
// under a temporary name beside the final one and takes that name only once it
// is whole: a cabinet that cannot be finished leaves an earlier one in place.
#pragma once

#include "Export.h"
#include "WinAPI.h"
#include "WinPath.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class QOKIVZELUT_API ZelArchive {
public:
    // Creates the compressor context; throws "Could not create archive" on
    // failure. A relative path is taken from the current directory.
    explicit ZelArchive(const WinPath& archive);
    ~ZelArchive();
    ZelArchive(const ZelArchive&) = delete;
    ZelArchive& operator=(const ZelArchive&) = delete;

    // Under the file's path relative to the base directory; a file that is not
    // below it is refused.
    bool Append(const WinPath& file, const WinPath& baseDirectory);
    // Under the given name, which may hold subdirectories. A file that cannot
    // be read, or whose name (over 255 bytes in UTF-8) or size (the cabinet is
    // one of at most 2 GiB and 65,535 files) the format cannot hold, is refused
    // alone: the cabinet stays as it was.
    bool AppendFileWithName(const WinPath& file, const WinPath& nameInArchive);
    // Finishes the cabinet; a second call does nothing and returns true.
    bool Close();
    // Whether the last error concerned the archive as a whole (not one source file).
    bool IsFatalError() const { return m_error.operationError > 2; }

    void registerTmpFile(const WinPath& path) { m_temporaryFiles.push_back(path); }
    // 0 when the file is gone (or was never there), -1 when it cannot be deleted.
    int removeTmpFile(const WinPath& path) const;

    // For the compressor's callbacks: a new registered temporary file; the
    // source file being added, opened already (null when there is none).
    WinPath makeTemporaryFile();
    HANDLE takeOpenedSource();
    // A handle of the cabinet being written when `name` is its file, else null.
    HANDLE openCabinet(const std::wstring& name, bool truncate);

private:
    struct ErrorRecord {
        int operationError = 0;
        int systemError = 0;
        int errorFlag = 0;
    };
    struct Parameters;
    static std::wstring GetCabError(int code);
    std::wstring location() const;
    std::wstring errorPart() const;
    bool refuse(int operationError, const std::wstring& why);
    void createReplacement(const WinPath& cabinet);
    bool finishCabinet();

    std::unique_ptr<Parameters> m_parameters;
    WinPath m_directory;
    WinPath m_name;
    std::unique_ptr<WinAPI::ReplacementFile> m_replacement;  // the cabinet while it is written
    void* m_context = nullptr;
    ErrorRecord m_error;
    std::vector<WinPath> m_temporaryFiles;
    WinAPI::FileHandle m_openedSource;
    unsigned m_files = 0;
    uint64_t m_storedBytes = 0;
};

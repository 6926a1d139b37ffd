// ZelArchive: writes one cabinet through the system's cabinet compressor. Files
// are appended under their names in the archive; Close finishes the cabinet and
// removes every temporary file the compressor made.
#pragma once

#include "Export.h"
#include "WinAPI.h"
#include "WinPath.h"

#include <string>
#include <vector>

class QOKIVZELUT_API ZelArchive {
public:
    // Creates the compressor context; throws "Could not create archive" on failure.
    explicit ZelArchive(const WinPath& archive);
    ~ZelArchive();
    ZelArchive(const ZelArchive&) = delete;
    ZelArchive& operator=(const ZelArchive&) = delete;

    // Under the file's path relative to the base directory.
    bool Append(const WinPath& file, const WinPath& baseDirectory);
    // Under the given name, which may hold subdirectories.
    bool AppendFileWithName(const WinPath& file, const WinPath& nameInArchive);
    // Finishes the cabinet; a second call does nothing and returns true.
    bool Close();
    // Whether the last error concerned the archive as a whole (not one source file).
    bool IsFatalError() const { return m_error.operationError > 2; }

    void registerTmpFile(const WinPath& path) { m_temporaryFiles.push_back(path); }
    // 0 when the file is gone (or was never there), -1 when it cannot be deleted.
    int removeTmpFile(const WinPath& path) const;

private:
    struct ErrorRecord {
        int operationError = 0;
        int systemError = 0;
        int errorFlag = 0;
    };
    static std::wstring GetCabError(int code);
    std::wstring location() const;
    std::wstring errorPart() const;

    WinPath m_directory;
    WinPath m_name;
    void* m_context = nullptr;
    ErrorRecord m_error;
    std::vector<WinPath> m_temporaryFiles;

public:
    // For the compressor's callbacks: a new registered temporary file.
    WinPath makeTemporaryFile();
};

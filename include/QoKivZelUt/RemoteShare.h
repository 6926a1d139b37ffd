// Hidden shares of well-known or chosen directories on another computer, and
// that computer's remote registry service kept running while it is read.
#pragma once

#include "Export.h"
#include "WinPath.h"

#include <windows.h>

#include <string>

class QOKIVZELUT_API CZelRemoteShare {
public:
    // The directory to share; the index of its share name.
    enum enumDirToShare : long {
        eDirUnset = -1,
        eDirCustom = 0,         // the caller's directory
        eDirSystemRoot = 1,     // the target's Windows directory
        eDirSystem = 2,         // its System32 directory
        eDirProgramFiles = 3,
        eDirCommonFiles = 4,
    };
    enum enumShareAccessRights : long {
        eRightsDefault = 0,      // no security descriptor of its own
        eRightsReadExecute = 1,  // read and execute for everyone
    };

    // An empty computer name shares on this computer, under its own name.
    CZelRemoteShare(const std::wstring& computer, enumDirToShare dir, bool keepShare);
    CZelRemoteShare(const std::wstring& computer, const std::wstring& localPath, bool keepShare,
                    enumShareAccessRights rights);
    // Removes the share unless it is to be kept (only a share this object created).
    ~CZelRemoteShare();
    CZelRemoteShare(const CZelRemoteShare&) = delete;
    CZelRemoteShare& operator=(const CZelRemoteShare&) = delete;

    // Names shorter than 260 characters are taken; others change nothing.
    void SetShareName(const std::wstring& name);
    bool isOpen() const;
    // Creates the share. One of that name already there is used when it
    // shares the same directory, replaced when it is one this library made for
    // that directory, and otherwise left alone (false).
    bool OpenShare();
    // Removes the share when this object created it; others are left in place.
    void CloseShare();
    // \\computer\share; throws CZelException(0) while not configured.
    WinPath GetUNCPath() const;
    // The shared directory as the target sees it; throws CZelException(0) while not configured.
    WinPath GetLocalPath() const;

    static const wchar_t* const m_szShareNames[5];

private:
    void SetShareValue(enumDirToShare dir);
    bool SetTargetComputer(const std::wstring& name);
    bool directoryChosen() const;
    bool readLocalPath(HKEY machine);
    bool readTargetDirectory();
    unsigned long addShare();
    bool reopenOwnShare();

    std::wstring m_localPath;
    std::wstring m_shareName;
    std::wstring m_targetComputer;
    bool m_openedLocally = false;
    enumDirToShare m_dirToShare = eDirUnset;
    enumShareAccessRights m_accessRights = eRightsDefault;
    bool m_keepShare = false;
    bool m_configured = false;
    bool m_created = false;  // the share is this object's own making
};

// Starts the computer's remote registry service when it is stopped, and stops
// it again on destruction.
class QOKIVZELUT_API CMakeRemoteRegistryAvailable {
public:
    explicit CMakeRemoteRegistryAvailable(const std::wstring& computer);
    ~CMakeRemoteRegistryAvailable();
    CMakeRemoteRegistryAvailable(const CMakeRemoteRegistryAvailable&) = delete;
    CMakeRemoteRegistryAvailable& operator=(const CMakeRemoteRegistryAvailable&) = delete;

    bool startedService() const { return m_started; }

private:
    std::wstring m_targetComputer;
    bool m_started = false;
};

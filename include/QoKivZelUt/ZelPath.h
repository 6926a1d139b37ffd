// CZelPath: paths and the network. UNC forms of mapped-drive and locally shared
// paths, local forms of UNC paths (through a replaceable resolver), canonical
// paths, the local shares, target checks and a loose comparison of arguments.
#pragma once

#include "Export.h"
#include "WinPath.h"

#include <memory>
#include <string>
#include <vector>

enum INPUT_PATH_STATE {
    INPUT_PATH_USABLE = 0,                // exists, and a file can be created in it
    INPUT_PATH_RESERVED = 1,              // not produced here
    INPUT_PATH_LOCAL_NOT_WRITABLE = 2,    // a local directory in which no file can be created
    INPUT_PATH_NETWORK_NOT_WRITABLE = 3,  // a network path in which no file can be created
    INPUT_PATH_MISSING = 4,               // empty, or does not exist
};

class QOKIVZELUT_API CZelPath {
public:
    struct shareInfo {
        std::wstring name;
        WinPath path;
    };

    virtual ~CZelPath();

    // The current resolver; a plain CZelPath (the system's share lookup) unless replaced.
    static CZelPath& getInstance();
    static void replaceResolver(std::shared_ptr<CZelPath> resolver);
    // The local directory behind a UNC path of a share; throws when the share is unknown.
    static WinPath GetLocalPathFromUNC(const WinPath& path);

    // The UNC form of a path on a mapped drive or a local share, else the path itself.
    static WinPath NetGetUniversalName(const WinPath& path, bool acceptHiddenShares, bool skipShareSearch);
    // Environment expanded, network drives in UNC form, long names.
    static WinPath PathMakeUnique(const WinPath& path);
    // The local machine's shares; what was read before a failure.
    static std::vector<shareInfo> NetEnumShares();
    static INPUT_PATH_STATE Verify(const WinPath& path);
    // Equal apart from blanks, '/' and case.
    static bool ArgumentsEqual(const std::wstring& a, const std::wstring& b);
    static bool ArgumentsEqual(const wchar_t* a, const wchar_t* b);

private:
    virtual WinPath getLocalPathFromUNC(const WinPath& path) const;
    static bool CanWriteToDir(const WinPath& directory);
    static std::wstring RemoveSpacesAndArgDelimiters(const std::wstring& text);
    static WinPath wNetGetUniveralName(const WinPath& path);
};

// Where Wine behaves differently from Windows, the suites keep their
// assertion for Windows and name the difference here.
#pragma once

#include <windows.h>

namespace qkztest {

inline bool runningUnderWine()
{
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// Wine keeps no security descriptor for files: it reports one made from the
// Unix owner and mode bits, whatever was set.
inline bool fileSecurityIsSynthesised()
{
    return runningUnderWine();
}

// Wine deletes through symbolic links: RemoveDirectoryW on a link to a
// directory answers "not empty" for the target, and neither it nor DeleteFileW
// on a link to a file removes the link itself (the latter deletes the target).
inline bool deletionFollowsLinks()
{
    return runningUnderWine();
}

// Wine keeps a service whose process was killed in "stop pending" for 40 s
// and more; Windows sees it stopped at once.
inline bool killedServiceStaysStopPending()
{
    return runningUnderWine();
}

// Wine's Authenticode provider accepts a signature whose chain ends in a root
// nobody trusts (also a self-signed signer); Windows rejects it. A signature
// over changed bytes is rejected by both.
inline bool trustAcceptsUntrustedRoots()
{
    return runningUnderWine();
}

// Wine lets a pipe server impersonate its client at full impersonation level
// even when the client asked for identification only; Windows holds the server
// to the level the client chose.
inline bool pipeClientQualityOfServiceIgnored()
{
    return runningUnderWine();
}

// Wine's GetEffectiveRightsFromAclW is a stub that fails (1) and reports no
// rights; Windows reads the rights the list grants.
inline bool effectiveRightsUnread()
{
    return runningUnderWine();
}

// Installing from a package file that is gone: Wine answers "file not
// found", Windows "the package could not be opened".
inline unsigned long missingPackageInstallCode()
{
    return runningUnderWine() ? ERROR_FILE_NOT_FOUND : ERROR_INSTALL_PACKAGE_OPEN_FAILED;
}

} // namespace qkztest

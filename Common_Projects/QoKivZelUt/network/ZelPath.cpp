#include <QoKivZelUt/WinAPI.h>
#include <QoKivZelUt/ZelPath.h>

#include "foundation/FileNames.h"
#include "foundation/Log.h"
#include "network/ShareApis.h"

#include <shlwapi.h>
#include <winnetwk.h>

#include <cwctype>

namespace {

std::shared_ptr<CZelPath> g_resolver;

// -1 not read yet, 1 resolution is skipped (read again on each call until set).
long g_skipUncResolution = -1;

const wchar_t kPolicyKey[] = L"HKLM\\Software\\KIV\\QoKIVSetup\\Policies";
const wchar_t kPolicyValue[] = L"SkipUncResolution";

bool uncResolutionSkipped()
{
    if (g_skipUncResolution == -1) {
        try {
            WinAPI::RegValue value = WinAPI::regQueryValueEx(WinAPI::regOpenPath(kPolicyKey), kPolicyValue);
            if (value.type == REG_DWORD && value.toDWORD() == 1)
                g_skipUncResolution = 1;
        } catch (const CZelException&) {
            // no policy (yet)
        }
    }
    return g_skipUncResolution == 1;
}

// The drive of a drive path, also behind the long-path prefix ("\\?\N:\..."); empty for others.
std::wstring driveOf(const WinPath& path)
{
    std::wstring text = path.str();
    if (text.compare(0, 4, L"\\\\?\\") == 0)
        text.erase(0, 4);
    return text.size() >= 2 && text[1] == L':' ? text.substr(0, 2) : std::wstring();
}

// A network path: a UNC path (also "\\?\UNC\...") or one on a network drive. A
// long local path ("\\?\C:\...") is local, though it starts with "\\".
bool isNetworkPath(const WinPath& path)
{
    std::wstring drive = driveOf(path);
    if (!drive.empty())
        return ::GetDriveTypeW((drive + L"\\").c_str()) == DRIVE_REMOTE;
    return ::PathIsNetworkPathW(path.str().c_str()) != FALSE;
}

// GetTempFileNameW takes directories of at most MAX_PATH - 14 characters (and
// some implementations overrun their buffer beyond): a longer one is probed
// with a file of its own, deleted when closed.
bool canCreateFileIn(const WinPath& directory)
{
    wchar_t name[32];
    swprintf(name, 32, L"kiv%08lx.tmp", static_cast<unsigned long>(::GetCurrentProcessId() ^ ::GetTickCount()));
    WinAPI::FileHandle probe(::CreateFileW((directory / name).getLongPath().str().c_str(), GENERIC_WRITE, 0, nullptr,
                                           CREATE_NEW, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
    return probe.valid();
}

// The path below a share as the share resolves it: "." names nothing, and
// ".." never climbs above the share's root (below the share's local directory
// it would name a file outside the share).
WinPath resolvedOnShare(const WinPath& path)
{
    std::vector<std::wstring> parts = path.getComponents(), kept;
    for (size_t i = 2; i < parts.size(); ++i) {
        if (parts[i] == L"..") {
            if (!kept.empty())
                kept.pop_back();
        } else if (parts[i] != L".") {
            kept.push_back(parts[i]);
        }
    }
    std::wstring text;
    for (const std::wstring& part : kept)
        text += (text.empty() ? L"" : L"\\") + part;
    return WinPath(text);
}

// Share enumeration ends at the latest after this many empty pages.
const int kLongestEmptyRun = 1;

} // namespace

CZelPath::~CZelPath() = default;

CZelPath& CZelPath::getInstance()
{
    if (!g_resolver)
        g_resolver = std::make_shared<CZelPath>();
    return *g_resolver;
}

void CZelPath::replaceResolver(std::shared_ptr<CZelPath> resolver)
{
    g_resolver = std::move(resolver);
    getInstance();
}

WinPath CZelPath::GetLocalPathFromUNC(const WinPath& path)
{
    return getInstance().getLocalPathFromUNC(path);
}

WinPath CZelPath::getLocalPathFromUNC(const WinPath& path) const
{
    if (!path.isUNC())
        return path;
    std::wstring directory;
    unsigned long status = ZelUt::shareApi().shareDirectory(path.getServerName().str(), path.getShareName().str(),
                                                              directory);
    if (status != 0) {
        ZEL_LOG_ERROR << L"ERROR: Could not retrieve Share info: " << status;
        throw CZelException(status, L"ERROR: Could not retrieve Share info.");
    }
    WinPath local(directory);
    WinPath below = resolvedOnShare(path);
    return below.empty() ? local : local / below;
}

WinPath CZelPath::wNetGetUniveralName(const WinPath& path)
{
    unsigned long size = 0;
    char none = 0;
    if (ZelUt::shareApi().universalName(path.str(), &none, &size) != ERROR_MORE_DATA || size == 0)
        return WinPath();
    std::vector<wchar_t> buffer(size / sizeof(wchar_t) + 1, L'\0');
    if (ZelUt::shareApi().universalName(path.str(), buffer.data(), &size) != NO_ERROR)
        return WinPath();
    const wchar_t* name = reinterpret_cast<UNIVERSAL_NAME_INFOW*>(buffer.data())->lpUniversalName;
    return name ? WinPath(name) : WinPath();
}

WinPath CZelPath::NetGetUniversalName(const WinPath& path, bool acceptHiddenShares, bool skipShareSearch)
{
    if (path.isUNC() || uncResolutionSkipped())
        return path;
    WinPath universal = wNetGetUniveralName(path);
    if (!universal.empty())
        return universal;
    if (skipShareSearch)
        return path;
    // C:\data\..\x is not in a share of C:\data: the search looks at the file
    // the path names.
    WinPath named = path;
    try {
        named = WinAPI::fullpath(path);
    } catch (const CZelException&) {
        // no full form: the text as it is
    }
    const shareInfo* winner = nullptr;
    std::vector<shareInfo> shares = NetEnumShares();
    for (const shareInfo& share : shares) {
        bool hidden = !share.name.empty() && share.name.back() == L'$';
        if (share.name.empty() || share.path.empty() || (hidden && !acceptHiddenShares) || !share.path.contains(named))
            continue;
        if (!winner || share.path.str().size() > winner->path.str().size())
            winner = &share;
    }
    if (!winner)
        return path;
    WinPath share(L"\\\\" + WinAPI::getComputerName() + L"\\" + winner->name + L"\\");
    WinPath below = winner->path.getRelativePath(named);
    return below.empty() ? share : share / below;
}

// A relative path is made absolute first: the long-name lookup of some
// systems does not survive a long relative one.
WinPath CZelPath::PathMakeUnique(const WinPath& path)
{
    WinPath result = WinAPI::fullpath(WinPath(WinAPI::expandEnvironmentStrings(path.str())));
    std::wstring drive = driveOf(result);
    if (!drive.empty() && ::GetDriveTypeW((drive + L"\\").c_str()) == DRIVE_REMOTE)
        result = NetGetUniversalName(result, false, false);
    return WinAPI::getLongPathName(result);
}

std::vector<CZelPath::shareInfo> CZelPath::NetEnumShares()
{
    std::vector<shareInfo> result;
    unsigned long resume = 0, status = ERROR_MORE_DATA;
    int emptyPages = 0;
    while (status == ERROR_MORE_DATA) {
        std::vector<ZelUt::ShareApi::Share> page;
        const unsigned long before = resume;
        status = ZelUt::shareApi().enumShares(page, resume);
        if (status != NO_ERROR && status != ERROR_MORE_DATA) {
            ZEL_LOG_ERROR << L"NetEnumShares: API call failed: " << ErrorW32(status);
            break;
        }
        // "More" with nothing given and the resume point unmoved would be asked for ever.
        emptyPages = page.empty() && resume == before ? emptyPages + 1 : 0;
        if (status == ERROR_MORE_DATA && emptyPages > kLongestEmptyRun) {
            ZEL_LOG_ERROR << L"NetEnumShares: API call failed: more shares announced, none given";
            break;
        }
        for (const auto& share : page)
            result.push_back({share.name, WinPath(share.path)});
    }
    return result;
}

bool CZelPath::CanWriteToDir(const WinPath& directory)
{
    if (directory.str().size() > ZelUt::kLongestTempFileDirectory)
        return canCreateFileIn(directory);
    std::wstring file;
    if (!ZelUt::tempFileApi().createTempFile(directory.str(), L"kiv", file))
        return false;
    try {
        WinAPI::deleteFile(WinPath(file));
        return true;
    } catch (const CZelException&) {
        return false;
    }
}

INPUT_PATH_STATE CZelPath::Verify(const WinPath& path)
{
    if (path.empty())
        return INPUT_PATH_MISSING;
    if (isNetworkPath(path))
        return CanWriteToDir(path) ? INPUT_PATH_USABLE : INPUT_PATH_NETWORK_NOT_WRITABLE;
    if (!path.exists())
        return INPUT_PATH_MISSING;
    return CanWriteToDir(path) ? INPUT_PATH_USABLE : INPUT_PATH_LOCAL_NOT_WRITABLE;
}

std::wstring CZelPath::RemoveSpacesAndArgDelimiters(const std::wstring& text)
{
    std::wstring kept;
    for (wchar_t c : text)
        if (!std::iswspace(c) && c != L'/')
            kept += static_cast<wchar_t>(std::towlower(c));
    return kept;
}

bool CZelPath::ArgumentsEqual(const std::wstring& a, const std::wstring& b)
{
    return RemoveSpacesAndArgDelimiters(a) == RemoveSpacesAndArgDelimiters(b);
}

bool CZelPath::ArgumentsEqual(const wchar_t* a, const wchar_t* b)
{
    if (!a || !b)
        return !a && !b;
    return ArgumentsEqual(std::wstring(a), std::wstring(b));
}

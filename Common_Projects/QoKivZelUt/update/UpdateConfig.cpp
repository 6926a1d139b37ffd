#include <QoKivZelUt/UpdateConfig.h>
#include <QoKivZelUt/WinAPI.h>

#include "foundation/ErrorText.h"
#include "foundation/Log.h"

#include <cwctype>
#include <set>

namespace {

const wchar_t kDefaultFile[] = L"%ProgramFiles%\\KIV\\KivSetup\\Setup\\Updater\\WkstaUpdater.cfg";
const wchar_t kAdminSection[] = L"AdminConfiguredServers";
const wchar_t kIndexedSection[] = L"KIVSetupIndexedServers";
const wchar_t kPropertiesSection[] = L"AutoUpdateProperties";

std::wstring lowered(std::wstring text)
{
    for (wchar_t& c : text)
        c = static_cast<wchar_t>(std::towlower(c));
    return text;
}

const wchar_t* boolText(bool value)
{
    return value ? L"true" : L"false";
}

// The n of a "ServerN" key (any case, n written without leading zeros); 0 for
// other keys.
unsigned long serverNumber(const std::wstring& key)
{
    const std::wstring prefix = L"server";
    if (key.size() <= prefix.size() || key.size() > prefix.size() + 9 || key[prefix.size()] == L'0' ||
        lowered(key.substr(0, prefix.size())) != prefix)
        return 0;
    unsigned long n = 0;
    for (size_t i = prefix.size(); i < key.size(); ++i) {
        if (key[i] < L'0' || key[i] > L'9')
            return 0;
        n = n * 10 + (key[i] - L'0');
    }
    return n;
}

// A value with a line break would become lines of its own in the file (a
// section header, say): control characters are never written.
void requireWritableValue(const std::wstring& value)
{
    for (wchar_t c : value)
        if (c < 0x20 || c == 0x7F)
            throw CZelException(ERROR_INVALID_PARAMETER,
                                L"Update configuration: the value '" + value + L"' holds a control character; nothing is written.");
}

} // namespace

CKIVSetupUpdateServiceCfgManager::CKIVSetupUpdateServiceCfgManager()
    : CKIVSetupUpdateServiceCfgManager(WinPath(kDefaultFile))
{
}

// A relative name is resolved now: the profile functions would look for it in
// the Windows directory, not where the existence check looked.
CKIVSetupUpdateServiceCfgManager::CKIVSetupUpdateServiceCfgManager(const WinPath& file)
    : m_file(WinAPI::fullpath(WinPath(WinAPI::expandEnvironmentStrings(file.str()))))
{
    load(file);
}

void CKIVSetupUpdateServiceCfgManager::load(const WinPath& asPassed)
{
    ZEL_LOG_INFO << L"Loading " << asPassed << L"...";
    if (!existsConfigFile())
        return;
    try {
        if (!readableAsItIs())
            ZEL_LOG_WARNING << L"Update configuration: " << m_file
                            << L" is not text the profile functions can read as it is; it will not be written";
    } catch (const CZelException& e) {
        ZEL_LOG_WARNING << L"Update configuration: " << m_file << L" cannot be read; it will not be written: "
                        << e.getFullText();
    }
    readServers(kAdminSection, m_adminServers);
    readServers(kIndexedSection, m_indexedServers);
    m_disabled = readSwitch(L"Disabled");
    m_retryHours = WinAPI::getPrivateProfileInt(kPropertiesSection, L"RetryFrequencyInHours", 24, m_file);
    m_testMode = readSwitch(L"SwitchTestingModeOn");
    std::wstring reboot = lowered(WinAPI::getPrivateProfileString(kPropertiesSection, L"RebootAfterUpdate", L"false", m_file));
    m_forceReboot = reboot == L"true";
    m_rebootIfNeeded = reboot == L"ifneeded";
    ZEL_LOG_INFO << L"Loaded " << m_adminServers.size() + m_indexedServers.size() << L" server paths from the source";
}

bool CKIVSetupUpdateServiceCfgManager::readSwitch(const wchar_t* key) const
{
    return lowered(WinAPI::getPrivateProfileString(kPropertiesSection, key, L"false", m_file)) == L"true";
}

// The count is what the file says (-1 reads as 4,294,967,295); of the
// "ServerN" keys up to it, those present are read. A number far above the
// others (a typo, a damaged file) costs one read, not one for each below it.
void CKIVSetupUpdateServiceCfgManager::readServers(const wchar_t* section, PathSet& into) const
{
    unsigned int count = WinAPI::getPrivateProfileInt(section, L"NumServers", 0, m_file);
    ZEL_LOG_INFO << L"Nbr of Servers in section " << section << L": " << count;
    std::set<unsigned long> present;
    for (const std::wstring& key : WinAPI::getPrivateProfileKeys(section, m_file)) {
        const unsigned long n = serverNumber(key);
        if (n != 0 && n <= count)
            present.insert(n);
    }
    for (unsigned long i : present) {
        std::wstring key = L"Server" + std::to_wstring(i);
        std::wstring value = WinAPI::getPrivateProfileString(section, key, L"", m_file);
        ZEL_LOG_INFO << L"Read " << key << L"=" << value << L" from section " << section;
        if (!value.empty())
            into.insert(WinPath(value));
    }
}

// The profile functions read UTF-16 only after a byte-order mark; anything
// else holding zero bytes (UTF-16 without the mark) they read as nothing, and
// a write would replace what they could not see. A file that cannot be opened
// or read throws with the system's reason.
bool CKIVSetupUpdateServiceCfgManager::readableAsItIs() const
{
    WinAPI::FileHandle file = WinAPI::openFileReadOnly(m_file);
    std::string head(4096, '\0');
    DWORD got = 0;
    if (!::ReadFile(file, &head[0], static_cast<DWORD>(head.size()), &got, nullptr))
        ZelUt::detail::throwLastError(L"Update configuration: reading " + m_file.str() + L" failed.");
    head.resize(got);
    return head.compare(0, 2, "\xff\xfe") == 0 || head.find('\0') == std::string::npos;
}

// A file the profile functions create themselves is ANSI and turns every
// character outside the code page into '?'; one that starts with a UTF-16
// byte-order mark keeps server paths as they are. A file they cannot read as
// it is is never written.
void CKIVSetupUpdateServiceCfgManager::startFileIfMissing() const
{
    if (existsConfigFile()) {
        if (!readableAsItIs())
            throw CZelException(ERROR_INVALID_DATA, L"Update configuration: " + m_file.str() +
                                                        L" is not text the profile functions can read as it is "
                                                        L"(UTF-16 without a byte-order mark?); it is left unchanged.");
        return;
    }
    try {
        WinAPI::writeFile(WinAPI::createNewFile(m_file), "\xff\xfe", 2);
    } catch (const CZelException& e) {
        if (e.getErrorCode() != ERROR_FILE_EXISTS)
            throw;
    }
}

void CKIVSetupUpdateServiceCfgManager::writeServers(const wchar_t* section, const PathSet& paths) const
{
    std::vector<std::wstring> lines{L"NumServers=" + std::to_wstring(paths.size())};
    unsigned int i = 0;
    for (const WinPath& path : paths) {
        requireWritableValue(path.str());
        lines.push_back(L"Server" + std::to_wstring(++i) + L"=" + path.str());
    }
    startFileIfMissing();
    WinAPI::writePrivateProfileSection(section, lines, m_file);
}

bool CKIVSetupUpdateServiceCfgManager::existsConfigFile() const
{
    return m_file.exists();
}

CKIVSetupUpdateServiceCfgManager::PathSet CKIVSetupUpdateServiceCfgManager::getServerPaths() const
{
    PathSet all(m_adminServers);
    all.insert(m_indexedServers.begin(), m_indexedServers.end());
    return all;
}

bool CKIVSetupUpdateServiceCfgManager::hasServerPathes() const
{
    return !m_adminServers.empty() || !m_indexedServers.empty();
}

void CKIVSetupUpdateServiceCfgManager::clearServerPathes()
{
    m_adminServers.clear();
    m_indexedServers.clear();
}

bool CKIVSetupUpdateServiceCfgManager::indexNewServer(const WinPath& path)
{
    return m_indexedServers.insert(path).second;
}

bool CKIVSetupUpdateServiceCfgManager::indexNewAdminServer(const WinPath& path)
{
    return m_adminServers.insert(path).second;
}

bool CKIVSetupUpdateServiceCfgManager::saveAdminIndexedServerPaths()
{
    if (!existsConfigFile())
        m_file.getParent().createDirectory();
    writeServers(kAdminSection, m_adminServers);
    return true;
}

bool CKIVSetupUpdateServiceCfgManager::saveKIVSetupIndexedServerPaths()
{
    PathSet own;
    for (const WinPath& path : m_indexedServers)
        if (!m_adminServers.count(path))
            own.insert(path);
    writeServers(kIndexedSection, own);
    return true;
}

bool CKIVSetupUpdateServiceCfgManager::saveIsAutoUpdateDisabled(bool disabled)
{
    m_disabled = disabled;
    try {
        startFileIfMissing();
        WinAPI::writePrivateProfileString(kPropertiesSection, L"Disabled", boolText(disabled), m_file);
        return true;
    } catch (const CZelException&) {
        return false;
    }
}

bool CKIVSetupUpdateServiceCfgManager::saveRetryInterval(unsigned long hours)
{
    m_retryHours = hours;
    try {
        startFileIfMissing();
        WinAPI::writePrivateProfileString(kPropertiesSection, L"RetryFrequencyInHours", std::to_wstring(hours), m_file);
        return true;
    } catch (const CZelException&) {
        return false;
    }
}

bool CKIVSetupUpdateServiceCfgManager::saveRebootAfterUpdate(EnumRebootOnUpdate reboot)
{
    m_forceReboot = reboot == eRebootAlways;
    m_rebootIfNeeded = reboot == eRebootIfNeeded;
    const wchar_t* text = m_forceReboot ? L"true" : m_rebootIfNeeded ? L"ifneeded" : L"false";
    startFileIfMissing();
    WinAPI::writePrivateProfileString(kPropertiesSection, L"RebootAfterUpdate", text, m_file);
    return true;
}

CKIVSetupUpdateServiceCfgManager
CKIVSetupUpdateServiceCfgManager::mergeServerCfg(const CKIVSetupUpdateServiceCfgManager& other) const
{
    CKIVSetupUpdateServiceCfgManager merged(*this);
    merged.m_disabled = other.m_disabled;
    merged.m_testMode = other.m_testMode;
    merged.m_forceReboot = other.m_forceReboot;
    merged.m_rebootIfNeeded = other.m_rebootIfNeeded;
    merged.m_adminServers.insert(other.m_adminServers.begin(), other.m_adminServers.end());
    return merged;
}

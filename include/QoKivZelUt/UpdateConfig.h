// CKIVSetupUpdateServiceCfgManager: the workstation update service's profile
// file: installation servers configured by an administrator, servers the setup
// indexed by itself, and the automatic-update properties.
#pragma once

#include "Export.h"
#include "WinPath.h"

#include <set>

class QOKIVZELUT_API CKIVSetupUpdateServiceCfgManager {
public:
    enum EnumRebootOnUpdate {
        eNoReboot = 0,
        eRebootAlways = 1,
        eRebootIfNeeded = 2,
    };
    using PathSet = std::set<WinPath>;

    // "%ProgramFiles%\KIV\KivSetup\Setup\Updater\WkstaUpdater.cfg"
    CKIVSetupUpdateServiceCfgManager();
    // Expands the path's environment variables and loads the file (a missing
    // file leaves the defaults: no servers, auto-update disabled).
    explicit CKIVSetupUpdateServiceCfgManager(const WinPath& file);
    CKIVSetupUpdateServiceCfgManager(const CKIVSetupUpdateServiceCfgManager&) = default;
    CKIVSetupUpdateServiceCfgManager(CKIVSetupUpdateServiceCfgManager&&) = default;
    CKIVSetupUpdateServiceCfgManager& operator=(const CKIVSetupUpdateServiceCfgManager&) = default;
    CKIVSetupUpdateServiceCfgManager& operator=(CKIVSetupUpdateServiceCfgManager&&) = default;
    ~CKIVSetupUpdateServiceCfgManager() = default;

    const WinPath& getConfigFilePath() const { return m_file; }
    bool existsConfigFile() const;

    const PathSet& getAdminServerPaths() const { return m_adminServers; }
    const PathSet& getKIVSetupServerPaths() const { return m_indexedServers; }
    // Both sets in one.
    PathSet getServerPaths() const;
    bool hasServerPathes() const;
    // Empties both sets; the file is not touched.
    void clearServerPathes();
    // True when the path was not in the set yet.
    bool indexNewServer(const WinPath& path);
    bool indexNewAdminServer(const WinPath& path);

    unsigned long getRetryIntervalInHours() const { return m_retryHours; }
    bool isAutoUpdateDisabled() const { return m_disabled; }
    bool testMode() const { return m_testMode; }
    bool forceRebootAfterUpdate() const { return m_forceReboot; }
    bool rebootAfterUpdateIfNeeded() const { return m_rebootIfNeeded; }

    // Rewrite a server section; write failures throw CZelException.
    bool saveAdminIndexedServerPaths();
    // Only the indexed paths that are not also configured by the administrator.
    bool saveKIVSetupIndexedServerPaths();
    // False when the value could not be written.
    bool saveIsAutoUpdateDisabled(bool disabled);
    bool saveRetryInterval(unsigned long hours);
    bool saveRebootAfterUpdate(EnumRebootOnUpdate reboot);

    // This configuration with the other's four switches and its admin servers added.
    CKIVSetupUpdateServiceCfgManager mergeServerCfg(const CKIVSetupUpdateServiceCfgManager& other) const;

private:
    void load(const WinPath& asPassed);
    void readServers(const wchar_t* section, PathSet& into) const;
    void startFileIfMissing() const;
    void writeServers(const wchar_t* section, const PathSet& paths) const;
    bool readSwitch(const wchar_t* key) const;
    bool readableAsItIs() const;

    PathSet m_adminServers;
    PathSet m_indexedServers;
    unsigned long m_retryHours = 24;
    bool m_disabled = true;
    bool m_testMode = false;
    bool m_forceReboot = false;
    bool m_rebootIfNeeded = false;
    WinPath m_file;
};

#include "../Command.h"

#include <QoKivZelUt/UpdateConfig.h>

#include <memory>

namespace zelut {
namespace {

using Cfg = CKIVSetupUpdateServiceCfgManager;

std::wstring yesNo(bool value)
{
    return value ? L"true" : L"false";
}

void listServers(const wchar_t* title, const Cfg::PathSet& paths)
{
    out(std::wstring(title) + L": " + std::to_wstring(paths.size()) + L"\n");
    for (const WinPath& path : paths)
        out(L"  " + path.str() + L"\n");
}

int show(const Cfg& cfg)
{
    out(L"file: " + cfg.getConfigFilePath().str() + (cfg.existsConfigFile() ? L"\n" : L" (missing)\n"));
    listServers(L"admin servers", cfg.getAdminServerPaths());
    listServers(L"indexed servers", cfg.getKIVSetupServerPaths());
    out(L"auto-update disabled: " + yesNo(cfg.isAutoUpdateDisabled()) + L"\n");
    out(L"retry hours: " + std::to_wstring(cfg.getRetryIntervalInHours()) + L"\n");
    out(L"testing mode: " + yesNo(cfg.testMode()) + L"\n");
    out(std::wstring(L"reboot after update: ") +
        (cfg.forceRebootAfterUpdate() ? L"always" : cfg.rebootAfterUpdateIfNeeded() ? L"ifneeded" : L"never") + L"\n");
    return kTrue;
}

bool parseBool(const std::wstring& text)
{
    if (text == L"true")
        return true;
    if (text == L"false")
        return false;
    throw UsageError{L"expected true or false: " + text};
}

Cfg::EnumRebootOnUpdate parseReboot(const std::wstring& text)
{
    if (text == L"never")
        return Cfg::eNoReboot;
    if (text == L"always")
        return Cfg::eRebootAlways;
    if (text == L"ifneeded")
        return Cfg::eRebootIfNeeded;
    throw UsageError{L"expected never, always or ifneeded: " + text};
}

int saved(bool ok)
{
    if (!ok)
        err(L"zelut updcfg: the value could not be written\n");
    return ok ? kTrue : kError;
}

int run(const Args& given)
{
    Args args(given);
    std::unique_ptr<Cfg> cfg;
    for (size_t i = 0; i + 1 < args.size(); ++i) {
        if (args[i] == L"--file") {
            cfg.reset(new Cfg(WinPath(args[i + 1])));
            args.erase(args.begin() + i, args.begin() + i + 2);
            break;
        }
    }
    if (!cfg)
        cfg.reset(new Cfg());
    if (args.empty())
        throw UsageError{L"missing action"};
    const std::wstring action = args[0];
    Args values(args.begin() + 1, args.end());
    if (action == L"show" && values.empty())
        return show(*cfg);
    if ((action == L"add-server" || action == L"add-admin-server") && !values.empty()) {
        bool admin = action == L"add-admin-server";
        for (const std::wstring& path : values)
            admin ? cfg->indexNewAdminServer(WinPath(path)) : cfg->indexNewServer(WinPath(path));
        return saved(admin ? cfg->saveAdminIndexedServerPaths() : cfg->saveKIVSetupIndexedServerPaths());
    }
    if (values.size() != 1)
        throw UsageError{L"bad arguments"};
    if (action == L"set-disabled")
        return saved(cfg->saveIsAutoUpdateDisabled(parseBool(values[0])));
    if (action == L"set-retry")
        return saved(cfg->saveRetryInterval(parseNumber(values[0])));
    if (action == L"set-reboot")
        return saved(cfg->saveRebootAfterUpdate(parseReboot(values[0])));
    throw UsageError{L"unknown action: " + action};
}

const Registration registration{
    {L"updcfg", L"show or change the update service's configuration file",
     L"usage: zelut updcfg [--file PATH] ACTION\n"
     L"  show                          servers and automatic-update properties\n"
     L"  add-server PATH...            index installation servers\n"
     L"  add-admin-server PATH...      add administrator-configured servers\n"
     L"  set-disabled true|false       automatic update off or on\n"
     L"  set-retry HOURS               retry interval\n"
     L"  set-reboot never|always|ifneeded\n"
     L"--file defaults to %ProgramFiles%\\KIV\\KivSetup\\Setup\\Updater\\WkstaUpdater.cfg\n",
     run}};

} // namespace
} // namespace zelut

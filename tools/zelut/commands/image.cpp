// pe and deps: what an executable image holds and whether it can load here.
#include "../Command.h"

#include <QoKivZelUt/ImageInfo.h>
#include <QoKivZelUt/ImageResolver.h>
#include <QoKivZelUt/ZelException.h>

#include <cwchar>

namespace zelut {
namespace {

std::wstring hex(unsigned long long value)
{
    wchar_t text[24];
    swprintf(text, 24, L"0x%llx", value);
    return text;
}

const wchar_t* machineName(ImageInfo::MachineType machine)
{
    switch (machine) {
    case ImageInfo::MachineI386: return L"i386";
    case ImageInfo::MachineAmd64: return L"x86-64";
    case ImageInfo::MachineArm64: return L"arm64";
    case ImageInfo::MachineArmNT: return L"arm";
    case ImageInfo::MachineIA64: return L"ia64";
    default: return L"unknown";
    }
}

void printList(const std::wstring& heading, const std::set<std::wstring>& names, const wchar_t* indent)
{
    out(heading);
    for (const std::wstring& name : names)
        out(indent + name + L"\n");
}

int pe(const Args& args)
{
    if (args.size() != 1)
        throw UsageError{L"expected one FILE"};
    ImageInfo image{WinPath(args[0])};
    if (!image.isPEImage()) {
        out(args[0] + L": not a PE image\n");
        return kFalse;
    }
    ImageInfo::MachineType machine = image.getMachineType();
    out(L"machine: " + hex(machine) + L" (" + machineName(machine) + L")\n");
    out(L"image size: " + std::to_wstring(image.getImageSize()) + L" bytes\n");
    std::wstring runtime = image.getDotNetVersion();
    if (!runtime.empty())
        out(L".NET runtime: " + runtime + L", flags " + hex(image.getDotNetFlags()) + L"\n");
    unsigned short manifest = image.getManifestResourceId();
    out(L"manifest: " + (manifest == 0xFFFF ? std::wstring(L"none") : L"resource " + std::to_wstring(manifest)) +
        L"\n");
    std::vector<ImageInfo::Resource> resources = image.getResources();
    out(L"resources: " + std::to_wstring(resources.size()) + L"\n");
    for (const ImageInfo::Resource& r : resources)
        out(L"  " + r.typeName + L" " + r.name + L" language " + r.language + L", " +
            std::to_wstring(r.data.size()) + L" bytes\n");
    std::map<WinPath, std::set<std::wstring>> imports = image.getImports();
    out(L"imports: " + std::to_wstring(imports.size()) + L" modules\n");
    for (const auto& module : imports)
        printList(L"  " + module.first.str() + L"\n", module.second, L"    ");
    std::set<std::wstring> exports = image.getExports();
    printList(L"exports: " + std::to_wstring(exports.size()) + L"\n", exports, L"  ");
    return kTrue;
}

int deps(const Args& args)
{
    bool recursive = true;
    std::wstring file;
    for (const std::wstring& arg : args) {
        if (arg == L"--direct")
            recursive = false;
        else if (file.empty())
            file = arg;
        else
            throw UsageError{L"expected one FILE"};
    }
    if (file.empty())
        throw UsageError{L"expected one FILE"};
    ImageResolver resolver{WinPath(file)};
    bool resolved = recursive ? resolver.resolveReferences() : resolver.resolveReferencesNonRecursive();
    out(L"required modules:\n");
    for (const WinPath& module : resolver.getRequiredModules())
        out(L"  " + module.str() + L"\n");
    for (const WinPath& module : resolver.getMissingModules())
        out(L"missing module: " + module.str() + L"\n");
    for (const auto& missing : resolver.getMissingExports())
        for (const std::wstring& name : missing.second)
            out(L"missing export: " + name + L" from " + missing.first.second.str() + L" needed by " +
                missing.first.first.str() + L"\n");
    resolver.logResolveErrors();
    out(resolved ? L"resolved: all modules and exports found\n" : L"unresolved\n");
    return resolved ? kTrue : kFalse;
}

const Registration peRegistration{{L"pe", L"show machine, image size, .NET runtime, manifest, resources, imports, exports",
                                   L"usage: zelut pe FILE\n"
                                   L"  exit 1 when FILE is no PE image\n",
                                   pe}};
const Registration depsRegistration{{L"deps", L"find missing modules and exports of an executable",
                                     L"usage: zelut deps [--direct] FILE\n"
                                     L"  --direct  only FILE's own imports, not those of its modules\n"
                                     L"  exit 0 when everything resolves, 1 when something is missing\n",
                                     deps}};

} // namespace
} // namespace zelut

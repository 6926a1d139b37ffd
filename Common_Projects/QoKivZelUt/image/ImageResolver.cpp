#include <QoKivZelUt/ImageResolver.h>

#include <QoKivZelUt/WinAPI.h>

#include "foundation/ErrorText.h"
#include "foundation/CurrentDirectory.h"
#include "foundation/Log.h"
#include "image/ManifestText.h"

#include <algorithm>
#include <cwctype>
#include <sstream>

using ZelUt::detail::throwLastError;

namespace {

// Switches WOW64 file-system redirection off for the calling thread while it lives.
class Wow64RedirectionOff {
public:
    Wow64RedirectionOff()
    {
        using Disable = BOOL(WINAPI*)(PVOID*);
        auto disable = reinterpret_cast<Disable>(
            ::GetProcAddress(WinAPI::getModuleHandle(L"kernel32"), "Wow64DisableWow64FsRedirection"));
        m_active = disable && disable(&m_oldValue);
    }
    ~Wow64RedirectionOff()
    {
        if (!m_active || !WinAPI::isWow64Process(::GetCurrentProcess()))
            return;
        using Revert = BOOL(WINAPI*)(PVOID);
        auto revert = reinterpret_cast<Revert>(
            ::GetProcAddress(WinAPI::getModuleHandle(L"kernel32"), "Wow64RevertWow64FsRedirection"));
        if (revert)
            revert(m_oldValue);
    }
    Wow64RedirectionOff(const Wow64RedirectionOff&) = delete;
    Wow64RedirectionOff& operator=(const Wow64RedirectionOff&) = delete;

private:
    PVOID m_oldValue = nullptr;
    bool m_active = false;
};

struct ReleaseActCtxClass {
    static void close(HANDLE context) { ::ReleaseActCtx(context); }
};
using ActCtxHandle = WinAPI::AutoHandle<ReleaseActCtxClass>;

void refuseDeepManifest(ImageInfo& image, unsigned short manifestId)
{
    for (const ImageInfo::Resource& resource : image.getResources()) {
        if (resource.typeId != 24 || resource.nameId != manifestId)
            continue;
        if (ZelUt::manifestNestsTooDeep(resource.data)) {
            ::SetLastError(ERROR_SXS_CANT_GEN_ACTCTX);
            throwLastError(L"CreateActCtx failed.");
        }
    }
}

// Builds and activates the activation context of an image's manifest;
// deactivates and releases it when it goes.
class ActivatedManifest {
public:
    ActivatedManifest(const WinPath& image, const WinPath& assemblyDirectory, unsigned short manifestId)
    {
        ACTCTXW request = {};
        request.cbSize = sizeof request;
        request.dwFlags = ACTCTX_FLAG_ASSEMBLY_DIRECTORY_VALID | ACTCTX_FLAG_RESOURCE_NAME_VALID;
        request.lpSource = image.str().c_str();
        request.lpAssemblyDirectory = assemblyDirectory.str().c_str();
        request.lpResourceName = MAKEINTRESOURCEW(manifestId);
        m_context = ActCtxHandle(::CreateActCtxW(&request));
        if (!m_context)
            throwLastError(L"CreateActCtx failed.");
        if (!::ActivateActCtx(m_context, &m_cookie))
            throwLastError(L"ActivateActCtx failed.");
    }
    ~ActivatedManifest() { ::DeactivateActCtx(0, m_cookie); }
    ActivatedManifest(const ActivatedManifest&) = delete;
    ActivatedManifest& operator=(const ActivatedManifest&) = delete;

private:
    ActCtxHandle m_context;
    ULONG_PTR m_cookie = 0;
};

std::wstring lowerCase(std::wstring text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](wchar_t c) { return std::towlower(c); });
    return text;
}

// Four numbers joined by ".", or "N/A" without a readable version resource.
std::wstring fileVersionText(const WinPath& file)
{
    std::vector<unsigned short> v;
    try {
        v = file.getFileVersion();
    } catch (const CZelException&) {
        return L"N/A";
    }
    if (v.size() < 4 || std::all_of(v.begin(), v.end(), [](unsigned short n) { return n == 0xFFFF; }))
        return L"N/A";
    std::wostringstream text;
    text << v[0] << L'.' << v[1] << L'.' << v[2] << L'.' << v[3];
    return text.str();
}

bool isSystemModule(const WinPath& found)
{
    try {
        WinPath systemDirectory = WinAPI::getLongPathName(WinAPI::getSystemDirectory());
        return systemDirectory.contains(WinAPI::getLongPathName(found)) &&
               lowerCase(found.getVersionString(L"CompanyName")).find(L"microsoft") != std::wstring::npos;
    } catch (const CZelException&) {
        return false;
    }
}

} // namespace

ImageResolver::ImageResolver(const WinPath& image)
    : m_image(image), m_imagePath(WinAPI::fullpath(image)), m_imageDirectory(m_imagePath.getParent())
{
    if (!m_image.isPEImage())
        throw CZelException(ERROR_FILE_NOT_FOUND, L"Not a PE image.");
}

bool ImageResolver::resolveReferences()
{
    return resolveReferences(true);
}

bool ImageResolver::resolveReferencesNonRecursive()
{
    return resolveReferences(false);
}

bool ImageResolver::resolveReferences(bool recursive)
{
    return resolveReferences(recursive, m_imagePath, m_image);
}

// x64 images are searched for with WOW64 redirection off, so that a 32-bit
// caller finds the 64-bit system modules they import.
bool ImageResolver::resolveReferences(bool recursive, const WinPath& path, ImageInfo& image)
{
    if (image.getMachineType() == ImageInfo::MachineAmd64 && WinAPI::isWow64Process(::GetCurrentProcess())) {
        Wow64RedirectionOff redirectionOff;
        return resolveReferencesWithManifest(recursive, path, image);
    }
    return resolveReferencesWithManifest(recursive, path, image);
}

bool ImageResolver::resolveReferencesWithManifest(bool recursive, const WinPath& path, ImageInfo& image)
{
    unsigned short manifestId = image.getManifestResourceId();
    if (manifestId == 0xFFFF)
        return resolveReferencesInternal(recursive, path, image);
    refuseDeepManifest(image, manifestId);
    ActivatedManifest manifest(path, m_imageDirectory, manifestId);
    return resolveReferencesInternal(recursive, path, image);
}

bool ImageResolver::resolveReferencesInternal(bool recursive, const WinPath& path, ImageInfo& image)
{
    bool resolved = true;
    // a copy: resolving a module may add to the imports cache
    ImportMap imports = getImports(image);
    for (const auto& module : imports)
        resolved = resolveReferencesOfModule(recursive, path, module.first, module.second) && resolved;
    return resolved;
}

bool ImageResolver::resolveReferencesOfModule(bool recursive, const WinPath& importer, const WinPath& module,
                                              const std::set<std::wstring>& names)
{
    if (WinAPI::isWindows10OrLater() && module.str().find(L"api-ms-win-crt-") != std::wstring::npos) {
        m_requiredModules.insert(module);
        return true;
    }
    WinPath found = findModulePath(module);
    m_requiredModules.insert(found);
    // A module the search did not find comes back as named: a file of that
    // name in the caller's current directory (or at that path) is not it.
    if (m_missingModules.count(module) || !found.exists())
        return false;
    if (isSystemModule(found))
        return true;

    bool resolved = true;
    const std::set<std::wstring>& exports = getExports(found);
    for (const std::wstring& name : names) {
        if (!exports.count(name)) {
            insertMissingExport(importer, found, name);
            resolved = false;
        }
    }
    if (recursive)
        resolved = resolveReferences(recursive, found) && resolved;
    return resolved;
}

// Each module once; entering it as resolved first ends dependency cycles.
bool ImageResolver::resolveReferences(bool recursive, const WinPath& module)
{
    auto cached = m_resolvedModules.find(module);
    if (cached != m_resolvedModules.end())
        return cached->second;
    m_resolvedModules[module] = true;
    bool resolved;
    try {
        ImageInfo image(module);
        resolved = resolveReferences(recursive, module, image);
    } catch (const CZelException& e) {
        ZEL_LOG_ERROR << L"Could not resolve references of " << module << L": " << e.getFullText();
        resolved = false;
    }
    m_resolvedModules[module] = resolved;
    return resolved;
}

const std::set<std::wstring>& ImageResolver::getExports(const WinPath& module)
{
    auto cached = m_exportsCache.find(module);
    if (cached != m_exportsCache.end())
        return cached->second;
    std::set<std::wstring> exports;
    try {
        exports = ImageInfo(module).getExports();
    } catch (const CZelException& e) {
        ZEL_LOG_ERROR << L"Could not determine exports of " << module << L": " << e.getFullText();
    }
    return m_exportsCache[module] = std::move(exports);
}

const ImageResolver::ImportMap& ImageResolver::getImports(ImageInfo& image)
{
    auto cached = m_importsCache.find(image.getImagePath());
    if (cached != m_importsCache.end())
        return cached->second;
    return m_importsCache[image.getImagePath()] = image.getImports();
}

WinPath ImageResolver::findModulePath(const WinPath& module)
{
    try {
        WinPath found;
        {
            ZelUt::CurrentDirectory inImageDirectory(m_imageDirectory);
            found = WinAPI::searchPath(module.getFileName().str());
        }
        return WinAPI::fullpath(found);
    } catch (const CZelException& e) {
        ZEL_LOG_ERROR << e.getMessage() << L" - " << module << L": "
                      << CZelException::getSystemErrorText(e.getErrorCode());
        m_missingModules.insert(module);
        return module;
    }
}

void ImageResolver::insertMissingExport(const WinPath& importer, const WinPath& module, const std::wstring& name)
{
    m_missingExports[std::make_pair(importer, module)].insert(name);
    m_modulesWithMissingExports.insert(module);
}

void ImageResolver::setFakeImports(const WinPath& image, const ImportMap& imports)
{
    m_importsCache.insert(std::make_pair(image, imports));
}

void ImageResolver::setFakeExports(const WinPath& module, const std::set<std::wstring>& exports)
{
    m_exportsCache.insert(std::make_pair(module, exports));
}

void ImageResolver::logResolveErrors() const
{
    if (!m_missingModules.empty()) {
        std::wostringstream entry;
        entry << L"The module " << m_imagePath << L" could not be loaded due to unresolved module dependencies:\n";
        for (const WinPath& module : m_missingModules)
            entry << L"Module " << module << L" is unresolved\n";
        ZEL_LOG_ERROR << entry.str();
    }
    if (!m_missingExports.empty()) {
        std::wostringstream entry;
        entry << L"The module " << m_imagePath << L" could not be loaded due to unresolved exports:\n";
        for (const auto& missing : m_missingExports) {
            const WinPath& importer = missing.first.first;
            const WinPath& module = missing.first.second;
            std::wstring version = fileVersionText(module);
            for (const std::wstring& name : missing.second)
                entry << L"Export " << name << L" <-- " << module << L" (version " << version
                      << L") required by " << importer << L" is unresolved\n";
        }
        ZEL_LOG_ERROR << entry.str();
    }
}

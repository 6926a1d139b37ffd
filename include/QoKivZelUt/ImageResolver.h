// ImageResolver: tells before a program starts whether its image can load:
// finds every imported module the way the loader searches, checks that each
// imported name is exported, optionally follows the modules' own imports, and
// keeps what it could not satisfy. Images are read, never loaded.
#pragma once

#include "Export.h"
#include "ImageInfo.h"
#include "WinPath.h"

#include <map>
#include <set>
#include <string>
#include <utility>

class QOKIVZELUT_API ImageResolver {
public:
    using ImportMap = std::map<WinPath, std::set<std::wstring>>;
    using MissingExports = std::map<std::pair<WinPath, WinPath>, std::set<std::wstring>>;

    // Throws CZelException code 2 "Not a PE image." for a file without NT headers.
    explicit ImageResolver(const WinPath& image);

    bool resolveReferences();
    bool resolveReferencesNonRecursive();

    const WinPath& getImagePath() const { return m_imagePath; }
    const std::set<WinPath>& getRequiredModules() const { return m_requiredModules; }
    const std::set<WinPath>& getMissingModules() const { return m_missingModules; }
    const std::set<WinPath>& getModulesWithMissingExports() const { return m_modulesWithMissingExports; }
    const MissingExports& getMissingExports() const { return m_missingExports; }

    // Seed the caches before resolving; an entry already present stays.
    void setFakeImports(const WinPath& image, const ImportMap& imports);
    void setFakeExports(const WinPath& module, const std::set<std::wstring>& exports);

    void logResolveErrors() const;

private:
    bool resolveReferences(bool recursive);
    bool resolveReferences(bool recursive, const WinPath& path, ImageInfo& image);
    bool resolveReferencesWithManifest(bool recursive, const WinPath& path, ImageInfo& image);
    bool resolveReferencesInternal(bool recursive, const WinPath& path, ImageInfo& image);
    bool resolveReferencesOfModule(bool recursive, const WinPath& importer, const WinPath& module,
                                   const std::set<std::wstring>& names);
    bool resolveReferences(bool recursive, const WinPath& module);
    const std::set<std::wstring>& getExports(const WinPath& module);
    const ImportMap& getImports(ImageInfo& image);
    WinPath findModulePath(const WinPath& module);
    void insertMissingExport(const WinPath& importer, const WinPath& module, const std::wstring& name);

    std::map<WinPath, bool> m_resolvedModules;
    std::map<WinPath, std::set<std::wstring>> m_exportsCache;
    std::map<WinPath, ImportMap> m_importsCache;
    ImageInfo m_image;
    WinPath m_imagePath;
    WinPath m_imageDirectory;
    std::set<WinPath> m_requiredModules;
    std::set<WinPath> m_missingModules;
    std::set<WinPath> m_modulesWithMissingExports;
    MissingExports m_missingExports;
};

// ZelUt::DotNetResolver: the full name of a .NET assembly and where its
// references resolve, as told by the .NET utility beside the running program
// ("DotNetUtils40.exe" when the .NET 4 client profile is installed, else
// "DotNetUtils20.exe").
//
// Every question runs that utility as a separate program and may block the
// calling thread for up to 30 seconds (then the utility is ended and the
// answer is empty). The utility's path is chosen once and kept for the whole
// process, shared by every resolver. Its answers are checked: more than
// 1 Mi characters or a line that is not "NAME||PATH" is invalid data.
#pragma once

#include "Export.h"
#include "WinPath.h"

#include <map>
#include <set>
#include <string>

namespace ZelUt {

class QOKIVZELUT_API DotNetResolver {
public:
    // Throws code 2 "Not a PE image." or "Not an assembly.".
    explicit DotNetResolver(const WinPath& image);
    DotNetResolver(const DotNetResolver&) = default;
    DotNetResolver(DotNetResolver&&) = default;
    DotNetResolver& operator=(const DotNetResolver&) = default;
    DotNetResolver& operator=(DotNetResolver&&) = default;
    ~DotNetResolver() = default;

    // The utility's one line for the assembly; empty on any failure (logged),
    // an answer of more than one line included.
    std::wstring getAssemblyName() const;
    // Adds every reference to the map (and the unresolved ones to the missing
    // set); true when all resolved. Throws code 13 "Invalid data received from
    // DotNetUtils" on a malformed or over-long answer.
    bool resolveReferences();

    const std::map<std::wstring, WinPath>& getRequiredAssemblies() const { return m_requiredAssemblies; }
    const std::set<std::wstring>& getMissingAssemblyNames() const { return m_missingAssemblyNames; }
    const WinPath& getImagePath() const { return m_imagePath; }
    // Chosen on first use for the whole process (see above).
    WinPath getDotNetUtils() const;
    // One information entry listing the map.
    void dumpRequiredAssemblies() const;

private:
    std::wstring runDotNetUtils(const std::wstring& command) const;
    bool addAssemblyReference(const std::wstring& line);

    std::map<std::wstring, WinPath> m_requiredAssemblies;
    std::set<std::wstring> m_missingAssemblyNames;
    WinPath m_imagePath;

    static WinPath m_dotNetUtils;
};

} // namespace ZelUt

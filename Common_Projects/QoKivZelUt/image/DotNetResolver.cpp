#include <QoKivZelUt/DotNetResolver.h>
#include <QoKivZelUt/ImageInfo.h>
#include <QoKivZelUt/Process.h>
#include <QoKivZelUt/WinAPI.h>

#include "foundation/Log.h"

#include <sstream>

namespace ZelUt {

WinPath DotNetResolver::m_dotNetUtils;

namespace {

const wchar_t kClientKey[] = L"Software\\Microsoft\\NET Framework Setup\\NDP\\v4\\Client";
const unsigned long kUtilityTimeoutMs = 30000;

bool clientProfile4Installed()
{
    try {
        WinAPI::RegValue path = WinAPI::regQueryValueEx(WinAPI::regOpenKeyEx(HKEY_LOCAL_MACHINE, kClientKey),
                                                        L"InstallPath");
        return !path.toString().empty();
    } catch (const CZelException&) {
        return false;
    }
}

std::wstring withoutByteOrderMark(const std::wstring& text)
{
    return !text.empty() && text[0] == L'\xfeff' ? text.substr(1) : text;
}

} // namespace

DotNetResolver::DotNetResolver(const WinPath& image) : m_imagePath(image)
{
    ImageInfo info(m_imagePath);
    if (!info.isPEImage())
        throw CZelException(ERROR_FILE_NOT_FOUND, L"Not a PE image.");
    if (info.getDotNetVersion().empty())
        throw CZelException(ERROR_FILE_NOT_FOUND, L"Not an assembly.");
}

WinPath DotNetResolver::getDotNetUtils() const
{
    if (m_dotNetUtils.empty()) {
        WinPath directory = WinAPI::getModuleFileName(nullptr).getParent();
        m_dotNetUtils = directory / (clientProfile4Installed() ? L"DotNetUtils40.exe" : L"DotNetUtils20.exe");
    }
    return m_dotNetUtils;
}

std::wstring DotNetResolver::runDotNetUtils(const std::wstring& command) const
{
    WinPath utility = getDotNetUtils();
    Process process(utility, L"/" + command + L":" + m_imagePath.getQuoted(), WinPath());
    process.start(true);
    if (!process.wait(nullptr, kUtilityTimeoutMs)) {
        ZEL_LOG_ERROR << L"Timeout while running " << utility;
        process.terminate(ERROR_TIMEOUT, false);  // a hung utility is not left behind
        return std::wstring();
    }
    unsigned long exitCode = process.getExitCode();
    if (exitCode != 0) {
        ZEL_LOG_ERROR << command << L" error exit: " << exitCode;
        return std::wstring();
    }
    std::wstring output = process.getOutput();
    if (output.empty())
        ZEL_LOG_ERROR << command << L" empty output";
    return output;
}

std::wstring DotNetResolver::getAssemblyName() const
{
    try {
        std::wstring output = withoutByteOrderMark(runDotNetUtils(L"getAssemblyName"));
        std::wstring line = output.substr(0, output.find(L'\n'));
        if (!line.empty() && line.back() == L'\r')
            line.pop_back();  // a line ended by CR LF
        return line;
    } catch (const CZelException& e) {
        ZEL_LOG_ERROR << L"getAssemblyName: " << e.getFullText();
        return std::wstring();
    }
}

bool DotNetResolver::resolveReferences()
{
    std::wstring output;
    try {
        output = runDotNetUtils(L"getAssemblyReferences");
    } catch (const CZelException& e) {
        ZEL_LOG_ERROR << L"getAssemblyReferences: " << e.getFullText();
    }
    if (output.empty())
        return false;
    bool allResolved = true;
    std::wistringstream lines(output);
    for (std::wstring line; std::getline(lines, line);) {
        line = withoutByteOrderMark(line);
        if (!line.empty() && line.back() == L'\r')
            line.pop_back();
        if (!addAssemblyReference(line))
            allResolved = false;
    }
    return allResolved;
}

bool DotNetResolver::addAssemblyReference(const std::wstring& line)
{
    if (line.empty())
        return true;
    size_t separator = line.find(L"||");
    if (separator == std::wstring::npos)
        throw CZelException(ERROR_INVALID_DATA, L"Invalid data received from DotNetUtils");
    std::wstring name = line.substr(0, separator);
    WinPath path(line.substr(separator + 2));
    m_requiredAssemblies.emplace(name, path);
    if (path.empty()) {
        m_missingAssemblyNames.insert(name);
        return false;
    }
    return true;
}

void DotNetResolver::dumpRequiredAssemblies() const
{
    std::wstring text = L"Required assemblies for " + m_imagePath.str() + L":\n";
    for (const auto& entry : m_requiredAssemblies) {
        text += L"\t" + entry.first;
        text += entry.second.empty() ? L" *Missing* " : L" at path " + entry.second.str();
        text += L"\n";
    }
    ZEL_LOG_INFO << text;
}

} // namespace ZelUt

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
// The utility answers in at most 1 Mi characters; anything longer is no answer of its.
const size_t kLongestAnswer = (1 << 20) + 2;

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

// The full path goes to the utility: it runs in another working directory.
// It is ended on every way out (a time-out, a failed wait, an answer too long).
std::wstring DotNetResolver::runDotNetUtils(const std::wstring& command) const
{
    WinPath utility = getDotNetUtils();
    AutoTerminateProcess process(utility, L"/" + command + L":" + WinAPI::fullpath(m_imagePath).getQuoted(), WinPath());
    process.setOutputLimit(kLongestAnswer);
    process.start(true);
    bool finished = process.wait(nullptr, kUtilityTimeoutMs);
    if (process.outputLimitReached())
        throw CZelException(ERROR_INVALID_DATA, L"Invalid data received from DotNetUtils");
    if (!finished) {
        ZEL_LOG_ERROR << L"Timeout while running " << utility;
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
        size_t end = output.find(L'\n');
        std::wstring line = output.substr(0, end);
        if (!line.empty() && line.back() == L'\r')
            line.pop_back();  // a line ended by CR LF
        // One name on one line: anything after it would be a name cut short.
        if (end != std::wstring::npos && end + 1 != output.size())
            throw CZelException(ERROR_INVALID_DATA, L"Invalid data received from DotNetUtils");
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
        if (e.getErrorCode() == ERROR_INVALID_DATA)
            throw;
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
    if (separator == std::wstring::npos || line.find(L"||", separator + 2) != std::wstring::npos)
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

#include <QoKivZelUt/FileHasher.h>
#include <QoKivZelUt/MsiProduct.h>
#include <QoKivZelUt/Security.h>
#include <QoKivZelUt/SystemQueries.h>

#include "foundation/ErrorText.h"
#include "foundation/Log.h"
#include "installer/MsiOwner.h"
#include "installer/MsiRetry.h"
#include "installer/MsiText.h"

#include <shlwapi.h>

#include <cwchar>

using ATL::CComBSTR;
using ZelUt::MsiHandle;

const wchar_t* const ZelMsiProduct::MSIMutexName = L"Global\\_MSIExecute";

namespace {

const wchar_t kFixedCommandLine[] = L"REBOOT=ReallySuppress ALLUSERS=1";

std::wstring text(const CComBSTR& value)
{
    return std::wstring(value.m_str ? value.m_str : L"", value.Length());
}

// One property of the command line, as the Installer reads it back: a name of
// letters, digits, '_' and '.' (not starting with a digit or '.'), and the
// value in quotes with each quote inside written twice. A blank, '=' or quote
// in a name, or a lone quote in a value, would end the property early and let
// the rest set others (ALLUSERS="", say); a NUL would end the command line.
std::wstring propertyAssignment(const std::wstring& name, const std::wstring& value)
{
    auto letter = [](wchar_t c) { return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z') || c == L'_'; };
    auto digit = [](wchar_t c) { return c >= L'0' && c <= L'9'; };
    bool valid = !name.empty() && letter(name[0]);
    for (wchar_t c : name)
        valid = valid && (letter(c) || digit(c) || c == L'.');
    if (!valid)
        throw CZelException(ERROR_INVALID_PARAMETER, L"MsiProduct: '" + name + L"' is not a property name.");
    if (value.find(L'\0') != std::wstring::npos)
        throw CZelException(ERROR_INVALID_PARAMETER, L"MsiProduct: the value of " + name + L" holds a NUL character.");
    std::wstring assignment = name + L"=\"";
    for (wchar_t c : value)
        assignment += c == L'"' ? std::wstring(L"\"\"") : std::wstring(1, c);
    return assignment + L"\"";
}

// A failed parent query (no snapshot, no parent) counts as "not started by msiexec".
bool startedByInstaller()
{
    bool result = false;
    return SUCCEEDED(CZelSystem::IsStartedFromMsiExec(result)) && result;
}

std::wstring crcDirectoryName(unsigned long crc)
{
    wchar_t name[9];
    swprintf(name, 9, L"%08lx", crc);
    return name;
}

// A directory this call makes: the temporary directory is shared, so one found
// under the name already (a copy cut short by a run that died, another
// account's files, a link to elsewhere) is never used; the first free name of
// `base`, `base`.1, `base`.2, ... is taken instead.
WinPath createOwnDirectory(const WinPath& base)
{
    const unsigned kMostTries = 1000;
    base.getParent().createDirectory();
    // The temporary directory of a service lets every user add files to what is
    // made there: the copy is this account's, the system's (the Installer's
    // service reads it) and the administrators' alone, so nobody else can put a
    // package beside it or change the one copied before it is installed.
    CZelSecurityDescriptor security = CZelSecurityDescriptor::forCallerAlone();
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, security.getSD(), FALSE};
    for (unsigned n = 0; n < kMostTries; ++n) {
        WinPath candidate(n == 0 ? base.str() : base.str() + L"." + std::to_wstring(n));
        if (::CreateDirectoryW(candidate.str().c_str(), &attributes))
            return candidate;
        if (::GetLastError() != ERROR_ALREADY_EXISTS)
            ZelUt::detail::throwLastError(L"Could not create the directory for a local copy: " + candidate.str());
    }
    throw CZelException(ERROR_ALREADY_EXISTS, L"Could not create the directory for a local copy: " + base.str() +
                                                  L" and " + std::to_wstring(kMostTries - 1) + L" more are taken");
}

// A view over one query's rows; each fetched row is closed with the next fetch.
class MsiQuery {
public:
    MsiQuery(MSIHANDLE product, const wchar_t* sql)
    {
        m_database = ::MsiGetActiveDatabase(product);
        if (!m_database)
            ZelMsiProduct::throwZelException(ERROR_INVALID_HANDLE, L"::MsiGetActiveDatabase() failed: ");
        MSIHANDLE view = 0;
        UINT status = ::MsiDatabaseOpenViewW(m_database, sql, &view);
        if (status != ERROR_SUCCESS)
            ZelMsiProduct::throwZelException(status, L"::MsiDatabaseOpenView() failed: ");
        m_view = view;
        status = ::MsiViewExecute(m_view, 0);
        if (status != ERROR_SUCCESS)
            ZelMsiProduct::throwZelException(status, L"::MsiViewExecute() failed: ");
    }

    // False after the last row.
    bool next()
    {
        MSIHANDLE row = 0;
        UINT status = ::MsiViewFetch(m_view, &row);
        if (status == ERROR_NO_MORE_ITEMS)
            return false;
        if (status != ERROR_SUCCESS)
            ZelMsiProduct::throwZelException(status, L"::MsiViewFetch() failed: ");
        m_row = row;
        return true;
    }

    ZelMsiRecord row() const { return ZelMsiRecord(m_row); }

private:
    MsiHandle m_database;
    MsiHandle m_view;
    MsiHandle m_row;
};

// Holds the execution mutex open; the wait owns it only for a moment.
struct ReleaseMutexOnce {
    HANDLE mutex;
    bool owned = false;
    ~ReleaseMutexOnce()
    {
        if (owned)
            ::ReleaseMutex(mutex);
    }
};

void pumpWindowMessages(HWND window)
{
    MSG message;
    while (::PeekMessageW(&message, window, 0, 0, PM_REMOVE)) {
        ::TranslateMessage(&message);
        ::DispatchMessageW(&message);
    }
}

// The Installer's last error record formatted after the message; without one,
// the text of the last error message it sent during the operation.
[[noreturn]] void throwWithInstallerText(unsigned int code, const std::wstring& message, const std::wstring& lastError)
{
    std::wstring full = message;
    MsiHandle record(::MsiGetLastErrorRecord());
    if (record)
        full += ZelMsiRecord(record).format();
    else
        full += lastError;
    throw CZelException(code, full);
}

} // namespace

// ---------------------------------------------------------------- construction

// The record handler is registered with msi.dll only when construction can no
// longer fail: a constructor that throws leaves no object for msi.dll to call.
// The package's handle is closed before the log is opened: an open session
// writes to the process's current Installer log and holds the file, which
// could then not be kept before it is written anew.
ZelMsiProduct::ZelMsiProduct(const CComBSTR& productCode, IProgressCallback* callback)
    : m_productCode(productCode)
{
    registerCallback(callback);
    resetTicks();
    {
        MsiHandle handle = openHandle();
        m_productName = getProductProperty(handle, L"ProductName");
        setNumberOfComponents(handle);
    }
    openLog(m_productName);
    setUI();
}

ZelMsiProduct::ZelMsiProduct(const WinPath& package, const std::vector<WinPath>& extraFiles,
                             IProgressCallback* callback)
    : m_packagePath(package), m_extraFiles(extraFiles)
{
    registerCallback(callback);
    resetTicks();
    {
        MsiHandle handle = openHandle();
        m_productCode = getProductProperty(handle, L"ProductCode");
        m_productName = getProductProperty(handle, L"ProductName");
        setNumberOfComponents(handle);
    }
    openLog(m_productName);
    setUI();
}

ZelMsiProduct::~ZelMsiProduct()
{
    ZelUt::detail::MsiLogOwner::release(this);
    ZelUt::detail::MsiHandlerOwner::release(this);
    ZelUt::detail::MsiUiLevelHolder::release(this);
}

void ZelMsiProduct::registerCallback(IProgressCallback* callback)
{
    if (callback)
        m_callbacks.push_back(callback);
}

void ZelMsiProduct::setUI()
{
    if (m_handlers.empty())
        setHandlers();
    ZelUt::detail::MsiUiLevelHolder::set(this, static_cast<INSTALLUILEVEL>(INSTALLUILEVEL_NONE |
                                                                             INSTALLUILEVEL_SOURCERESONLY));
    ZelUt::detail::MsiHandlerOwner::take(this, &ZelMsiProduct::MsiUIHandler, getMessageFilter());
}

void ZelMsiProduct::resetTicks()
{
    m_progressTotal = 0;
    m_progress = 0;
    m_ticksReported = 0;
    m_currentStep = 0;
    m_scriptPhase = false;
    m_ticksPerActionData = 0;
    m_waitReported = false;
    m_lastErrorText.clear();
}

// ---------------------------------------------------------------- package facts

MsiHandle ZelMsiProduct::openHandle()
{
    MSIHANDLE handle = 0;
    bool byInstaller = startedByInstaller();
    if (!m_packagePath.empty()) {
        if (byInstaller)
            ZEL_LOG_INFO << L"QoKivSetup has been started by msiexec. Skipping check for concurrent installations.";
        copyPackageLocally();
        if (!byInstaller)
            waitForMutex();
        WinPath path = getLocalPath();
        UINT status = ::MsiOpenPackageExW(path.str().c_str(), MSIOPENPACKAGEFLAGS_IGNOREMACHINESTATE, &handle);
        if (status != ERROR_SUCCESS)
            throwZelException(status, (L"::MsiOpenPackageEx(" + path.str() + L") failed: ").c_str());
    } else {
        if (!byInstaller)
            waitForMutex();
        UINT status = ::MsiOpenProductW(m_productCode, &handle);
        if (status != ERROR_SUCCESS)
            throwZelException(status, (L"::MsiOpenProduct(" + text(m_productCode) + L") failed: ").c_str());
    }
    return MsiHandle(handle);
}

CComBSTR ZelMsiProduct::getProductProperty(MSIHANDLE handle, const CComBSTR& name)
{
    std::wstring value;
    UINT status = ZelUt::detail::fetchMsiString(
        [&](wchar_t* buffer, DWORD* size) { return ::MsiGetProductPropertyW(handle, name, buffer, size); }, value);
    if (status != ERROR_SUCCESS)
        throwZelException(status, (L"::MsiGetProductProperty(" + text(name) + L") failed: ").c_str());
    return CComBSTR(value);
}

CComBSTR ZelMsiProduct::getProductProperty(const CComBSTR& name)
{
    MsiHandle handle = openHandle();
    return getProductProperty(handle, name);
}

void ZelMsiProduct::setNumberOfComponents(MSIHANDLE handle)
{
    MsiQuery query(handle, L"SELECT `Component`.`Component` FROM `Component`");
    unsigned int count = 0;
    while (query.next())
        ++count;
    m_numberOfComponents = count;
    ZEL_LOG_INFO << L"MsiAction: " << text(m_productName) << L" contains " << count << L" components";
}

unsigned long ZelMsiProduct::getUnpackedSizeInKBytes()
{
    MsiHandle handle = openHandle();
    MsiQuery query(handle, L"SELECT `File`.`FileSize` FROM `File`");
    unsigned long long bytes = 0;
    while (query.next()) {
        ZelMsiRecord::Field size = query.row()[0];
        if (!size.isNull() && size.asInteger() != static_cast<int>(MSI_NULL_INTEGER))
            bytes += static_cast<unsigned int>(size.asInteger());
    }
    return static_cast<unsigned long>(bytes / 1024);
}

// ---------------------------------------------------------------- log and local copy

void ZelMsiProduct::openLog(const CComBSTR& name)
{
    const wchar_t* directory = ZelGetLogDir();
    if (!directory || !*directory)
        throw CZelException(ERROR_PATH_NOT_FOUND, L"No log directory for the Installer log of " + text(name));
    WinPath logDirectory(directory);
    logDirectory.createDirectory();
    // A product name may hold characters no file name can.
    WinPath path = logDirectory / WinPath(text(name) + L".log").replaceInvalidCharacters();
    if (path.exists())
        ZelLogBackupFile(path);
    UINT status = ::MsiEnableLogW(0x0FDF, path.str().c_str(), 0);
    if (status != ERROR_SUCCESS)
        ZEL_LOG_ERROR << L"::MsiEnableLog(" << path << L") failed: " << ErrorW32(status);
    else
        ZelUt::detail::MsiLogOwner::take(this);
}

// The copy is made once per product object, in a directory of its own; a copy
// that fails half-way leaves nothing behind.
void ZelMsiProduct::copyPackageLocally()
{
    if (m_packagePath.empty() || !::PathIsNetworkPathW(m_packagePath.str().c_str()))
        return;
    if (!m_localPackagePath.empty() && m_localPackagePath.exists())
        return;
    unsigned long crc = ZelUt::FileHasher().crcFromFile(m_packagePath);
    if (crc == 0)
        throw CZelException(ERROR_READ_FAULT, L"Could not read package " + m_packagePath.str() + L" to copy it locally");
    WinPath directory = createOwnDirectory(WinAPI::getTempPath() / crcDirectoryName(crc));
    try {
        copyFileLocally(m_packagePath, directory);
        for (const WinPath& file : m_extraFiles)
            copyFileLocally(file, directory);
    } catch (const CZelException&) {
        try {
            directory.removeRecursively();
        } catch (const CZelException& e) {
            ZEL_LOG_WARNING << L"Could not remove the incomplete local copy at " << directory << L": " << e;
        }
        throw;
    }
    m_localPackagePath = directory / m_packagePath.getFileName();
}

void ZelMsiProduct::copyFileLocally(const WinPath& file, const WinPath& directory)
{
    WinPath target = directory / file.getFileName();
    if (target.exists())
        return;
    ZEL_LOG_INFO << L"MsiProduct: copying " << file << L" to " << target;
    WinAPI::copyFile(file, target);
}

void ZelMsiProduct::deleteLocalCopy()
{
    if (m_localPackagePath.empty() || m_localPackagePath == m_packagePath)
        return;
    WinPath directory = m_localPackagePath.getParent();
    try {
        directory.removeRecursively();
        ZEL_LOG_INFO << L"Deleted local copy of MSI file at " << directory;
        m_localPackagePath = WinPath();
    } catch (const CZelException&) {
        ZEL_LOG_INFO << L"Could not delete local copy of MSI file at " << directory;
    }
}

// ---------------------------------------------------------------- waiting

bool ZelMsiProduct::waitForMutex()
{
    try {
        if (startedByInstaller()) {
            const wchar_t* message = L"QoKivSetup started from an MSI package. MSI has to be installed as prerequisite.";
            ZEL_LOG_ERROR << message;
            throw CZelException(ERROR_INSTALL_ALREADY_RUNNING, message);
        }
        WinAPI::FileHandle mutex(::OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, MSIMutexName));
        if (!mutex)
            ZelUt::detail::throwLastError(std::wstring(L"Error opening mutex ") + MSIMutexName);
        ZEL_LOG_INFO << L"Another installation is already in progress. Waiting for that installation...";
        HWND window = CZelTools::GetMyHWND();
        ReleaseMutexOnce ownership{mutex.get()};
        for (;;) {
            if (!m_waitReported) {
                logStep(true);
                m_waitReported = true;
            }
            HANDLE handle = mutex.get();
            DWORD result = ::MsgWaitForMultipleObjectsEx(1, &handle, INFINITE, window ? QS_ALLINPUT : 0,
                                                         MWMO_ALERTABLE);
            if (result == WAIT_OBJECT_0 || result == WAIT_ABANDONED_0) {
                ownership.owned = true;
                break;
            }
            if (result == WAIT_OBJECT_0 + 1 && window)
                pumpWindowMessages(window);
            else if (result == WAIT_FAILED)
                ZelUt::detail::throwLastError(std::wstring(L"Error waiting for mutex ") + MSIMutexName);
        }
        ZEL_LOG_INFO << L"Other installation has finished";
        return true;
    } catch (const CZelException& e) {
        if (e.getErrorCode() != ERROR_FILE_NOT_FOUND)
            ZEL_LOG_INFO << L"ZelMsiProduct::waitForMutex() caught exception " << e.getErrorCode() << L": "
                         << e.getFullText();
    }
    return false;
}

void ZelMsiProduct::pauseWhileBusy(unsigned long ms)
{
    HWND window = CZelTools::GetMyHWND();
    ULONGLONG end = ::GetTickCount64() + ms;
    for (ULONGLONG now = ::GetTickCount64(); now < end; now = ::GetTickCount64()) {
        DWORD result = ::MsgWaitForMultipleObjectsEx(0, nullptr, static_cast<DWORD>(end - now),
                                                     window ? QS_ALLINPUT : 0, MWMO_ALERTABLE);
        if (result == WAIT_OBJECT_0 && window)
            pumpWindowMessages(window);
        else if (result == WAIT_FAILED)
            ::Sleep(static_cast<DWORD>(end - now));
    }
}

// ---------------------------------------------------------------- operations

std::wstring ZelMsiProduct::getCommandLine(const std::vector<std::pair<CComBSTR, CComBSTR>>& properties)
{
    std::wstring line = kFixedCommandLine;
    for (const auto& property : properties)
        line += L" " + propertyAssignment(text(property.first), text(property.second));
    return line;
}

void ZelMsiProduct::reportRemainingSteps()
{
    while (m_currentStep < numberOfSteps())
        logStep(false);
}

void ZelMsiProduct::install(const std::vector<std::pair<CComBSTR, CComBSTR>>& properties)
{
    std::wstring name = text(m_productName);
    std::wstring commandLine = getCommandLine(properties);
    ZEL_LOG_INFO << L"MsiAction: installation of product " << name << L" with commandline '" << commandLine
                 << L"' begins";
    copyPackageLocally();
    resetTicks();
    setUI();
    UINT result = ZelUt::detail::retryWhileInstallerBusy(
        [&] { return ::MsiInstallProductW(getLocalPath().str().c_str(), commandLine.c_str()); },
        [&] { return waitForMutex(); }, [&](DWORD ms) { pauseWhileBusy(ms); });
    if (result != ERROR_SUCCESS) {
        ZEL_LOG_ERROR << L"MsiAction: installation of product " << name << L" failed: " << result;
        throwWithInstallerText(result, L"::MsiInstallProduct() failed: ", m_lastErrorText);
    }
    reportRemainingSteps();
    deleteLocalCopy();
    ZEL_LOG_INFO << L"MsiAction: installation of product " << name << L" done";
}

void ZelMsiProduct::uninstall()
{
    std::wstring name = text(m_productName);
    if (startedByInstaller()) {
        ZEL_LOG_INFO << L"MsiAction: QoKivSetup has been started by msiexec. Skipping uninstallation of " << name;
        reportRemainingSteps();
        return;
    }
    ZEL_LOG_INFO << L"MsiAction: deinstallation of product " << name << L" begins";
    m_lastErrorText.clear();
    setUI();
    UINT result = ZelUt::detail::retryWhileInstallerBusy(
        [&] {
            UINT status = ::MsiConfigureProductExW(m_productCode, INSTALLLEVEL_DEFAULT, INSTALLSTATE_ABSENT,
                                                   L"REBOOT=ReallySuppress");
            logStep(false);
            return status;
        },
        [&] { return waitForMutex(); }, [&](DWORD ms) { pauseWhileBusy(ms); });
    if (result == ERROR_UNKNOWN_PRODUCT) {
        ZEL_LOG_INFO << L"MsiAction: product " << name << L" was not installed";
    } else if (result != ERROR_SUCCESS) {
        ZEL_LOG_ERROR << name << L" failed: " << result;
        throwWithInstallerText(result, L"::MsiConfigureProduct() failed: ", m_lastErrorText);
    }
    deleteLocalCopy();
    ZEL_LOG_INFO << L"MsiAction: deinstallation of product " << name << L" ends";
}

bool ZelMsiProduct::check() const
{
    std::wstring name = text(m_productName);
    ZEL_LOG_INFO << L"MsiAction: checking if product " << name << L" is installed";
    bool installed = ::MsiQueryProductStateW(m_productCode) == INSTALLSTATE_DEFAULT;
    ZEL_LOG_INFO << L"MsiAction: product " << name << L" is " << (installed ? L"" : L"not ") << L"installed";
    return installed;
}

void ZelMsiProduct::throwZelException(unsigned int code, const CComBSTR& message)
{
    throwWithInstallerText(code, text(message), std::wstring());
}

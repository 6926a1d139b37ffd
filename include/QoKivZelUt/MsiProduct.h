// ZelMsiProduct: installs, removes and checks one Windows Installer product
// without the Installer's own user interface; every Installer message comes
// through the record handler here and progress turns into a count of steps.
#pragma once

#include "AtlBstr.h"
#include "Export.h"
#include "WinAPI.h"
#include "WinPath.h"

#include <windows.h>

#include <msi.h>
#include <msiquery.h>

#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace ZelUt {
struct CloseMsiHandle {
    static void close(MSIHANDLE handle) { ::MsiCloseHandle(handle); }
};
using MsiHandle = WinAPI::AutoHandle<CloseMsiHandle, MSIHANDLE>;
} // namespace ZelUt

// A view of an Installer record (not owned): fields from 1 on, and the
// whole record formatted to text.
class QOKIVZELUT_API ZelMsiRecord {
public:
    class QOKIVZELUT_API Field {
    public:
        Field(MSIHANDLE record, unsigned int index) : m_record(record), m_index(index) {}
        bool isNull() const;
        // MSI_NULL_INTEGER for a null or non-numeric field.
        int asInteger() const;
        // Empty for a null field; a failure is logged and gives an empty text.
        std::wstring asString() const;

    private:
        MSIHANDLE m_record;
        unsigned int m_index;
    };

    explicit ZelMsiRecord(MSIHANDLE record) : m_record(record) {}

    unsigned int fieldCount() const;
    // Field i + 1; throws CZelException(i, ...) when i is not below fieldCount().
    Field operator[](unsigned int i) const;
    // The record formatted by the Installer; throws when it cannot be.
    std::wstring format() const;
    MSIHANDLE handle() const { return m_record; }

private:
    MSIHANDLE m_record;
};

class QOKIVZELUT_API ZelMsiProduct {
public:
    class IProgressCallback {
    public:
        virtual ~IProgressCallback() = default;
        virtual void step(int currentStep, int numberOfSteps, bool waiting) = 0;
        // 0 for no decision, else the dialog result handed to the Installer.
        virtual int filesInUse(const std::wstring& program, const std::wstring& windowTitle) = 0;
    };

    using Handler = int (ZelMsiProduct::*)(INSTALLMESSAGE, const ZelMsiRecord&);
    struct HandlerRecord {
        unsigned long filter;
        Handler handler;
    };

    static const wchar_t* const MSIMutexName;

    ZelMsiProduct(const ATL::CComBSTR& productCode, IProgressCallback* callback);
    ZelMsiProduct(const WinPath& package, const std::vector<WinPath>& extraFiles, IProgressCallback* callback);
    ZelMsiProduct(const ZelMsiProduct&) = default;
    ZelMsiProduct& operator=(const ZelMsiProduct&) = default;
    ~ZelMsiProduct();

    void install(const std::vector<std::pair<ATL::CComBSTR, ATL::CComBSTR>>& properties);
    void uninstall();
    bool check() const;

    // Waits while another installation holds the Installer's execution mutex,
    // pumping this process's window messages; true when it was waited for.
    bool waitForMutex();
    // Waits the time while pumping the caller's window messages.
    static void pauseWhileBusy(unsigned long ms);

    ATL::CComBSTR getProductCode() const { return m_productCode; }
    ATL::CComBSTR getProductName() const { return m_productName; }
    ATL::CComBSTR getProductProperty(const ATL::CComBSTR& name);
    WinPath getLocalPath() const { return m_localPackagePath.empty() ? m_packagePath : m_localPackagePath; }
    unsigned int numberOfComponents() const { return m_numberOfComponents; }
    int numberOfSteps() const { return static_cast<int>(m_numberOfComponents) + 1; }
    unsigned long getUnpackedSizeInKBytes();

    void registerCallback(IProgressCallback* callback);

    // Appends the Installer's last error record, when there is one, and throws.
    [[noreturn]] static void throwZelException(unsigned int code, const ATL::CComBSTR& message);

    // "REBOOT=ReallySuppress ALLUSERS=1" and ' NAME="VALUE"' per property, a
    // quote in a value written twice; a name that is no property name, or a
    // value with a NUL, throws (87).
    static std::wstring getCommandLine(const std::vector<std::pair<ATL::CComBSTR, ATL::CComBSTR>>& properties);

private:
    ZelUt::MsiHandle openHandle();
    void copyPackageLocally();
    void copyFileLocally(const WinPath& file, const WinPath& directory);
    void deleteLocalCopy();
    void setUI();
    void openLog(const ATL::CComBSTR& name);
    ATL::CComBSTR getProductProperty(MSIHANDLE handle, const ATL::CComBSTR& name);
    void resetTicks();
    void setNumberOfComponents(MSIHANDLE handle);
    void logStep(bool waiting);
    void reportRemainingSteps();

    static int WINAPI MsiUIHandler(void* context, unsigned int messageType, MSIHANDLE record);
    static unsigned long getMessageFilter();
    int dispatchUIMessage(unsigned int messageType, MSIHANDLE record);
    static void setHandlers();

    int handleError(INSTALLMESSAGE type, const ZelMsiRecord& record);
    int handleWarning(INSTALLMESSAGE type, const ZelMsiRecord& record);
    int handleInfo(INSTALLMESSAGE type, const ZelMsiRecord& record);
    int handleFilesInUse(INSTALLMESSAGE type, const ZelMsiRecord& record);
    int handleProgress(INSTALLMESSAGE type, const ZelMsiRecord& record);
    int returnIDOK(INSTALLMESSAGE type, const ZelMsiRecord& record);
    int returnZero(INSTALLMESSAGE type, const ZelMsiRecord& record);

    ATL::CComBSTR m_productCode;
    ATL::CComBSTR m_productName;
    WinPath m_packagePath;
    std::vector<WinPath> m_extraFiles;
    unsigned int m_numberOfComponents = 0;
    WinPath m_localPackagePath;
    int m_progressTotal = 0;
    int m_progress = 0;
    int m_ticksReported = 0;
    int m_currentStep = 0;
    bool m_scriptPhase = false;
    int m_ticksPerActionData = 0;
    bool m_waitReported = false;
    std::vector<IProgressCallback*> m_callbacks;
    // The text of the last error message the Installer sent during an
    // operation, for an exception when it keeps no error record itself.
    std::wstring m_lastErrorText;

    static std::unordered_map<unsigned int, HandlerRecord> m_handlers;
};

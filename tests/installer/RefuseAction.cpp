// Custom action of the Refused test package: reports its reason through the
// Installer's error message and fails the installation.
#include <windows.h>

#include <msi.h>
#include <msiquery.h>

extern "C" __declspec(dllexport) UINT __stdcall Refuse(MSIHANDLE install)
{
    MSIHANDLE record = MsiCreateRecord(1);
    MsiRecordSetStringW(record, 0, L"QoKiv test condition refuses this machine: [1]");
    MsiRecordSetStringW(record, 1, L"QOKIV_ALLOW is not set");
    MsiProcessMessage(install, INSTALLMESSAGE_ERROR, record);
    MsiCloseHandle(record);
    return ERROR_INSTALL_FAILURE;
}

#include <QoKivZelUt/CodeSigning.h>

#include "foundation/Log.h"

#include <softpub.h>
#include <wintrust.h>

namespace ZelUt {

namespace {

// Generic Authenticode verification: no window, no UI, no revocation checks.
bool trustedBySystem(const WinPath& file)
{
    WINTRUST_FILE_INFO fileInfo = {};
    fileInfo.cbStruct = sizeof(fileInfo);
    fileInfo.pcwszFilePath = file.str().c_str();
    WINTRUST_DATA data = {};
    data.cbStruct = sizeof(data);
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &fileInfo;
    data.dwStateAction = 0;
    data.dwProvFlags = WTD_REVOCATION_CHECK_NONE | WTD_SAFER_FLAG;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    return WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data) == ERROR_SUCCESS;
}

// CertGetNameStringW of one kind; empty when the certificate has no such name.
std::wstring certificateName(PCCERT_CONTEXT certificate, DWORD type, void* parameter)
{
    DWORD length = CertGetNameStringW(certificate, type, 0, parameter, nullptr, 0);
    if (length <= 1)
        return std::wstring();
    std::wstring name(length, L'\0');
    CertGetNameStringW(certificate, type, 0, parameter, &name[0], length);
    name.resize(wcslen(name.c_str()));
    return name;
}

} // namespace

CodeSigningReader::CodeSigningReader(const WinPath& file) : m_file(file) {}

CodeSigningReader::~CodeSigningReader()
{
    cleanupSignerInfo();
}

void CodeSigningReader::cleanupSignerInfo()
{
    m_certificate.release();
    m_message.release();
    m_store.release();
}

std::wstring CodeSigningReader::readSignerInfo()
{
    if (!m_file.exists() || !trustedBySystem(m_file))
        return std::wstring();
    try {
        initSignerInfo();
        std::vector<BYTE> signer = readSignerInfoParam();
        return readSigner(*reinterpret_cast<const CMSG_SIGNER_INFO*>(signer.data()));
    } catch (const CZelException& e) {
        ZEL_LOG_ERROR << L"Reading signer info failed: " << e.getFullText();
        return std::wstring();
    }
}

void CodeSigningReader::initSignerInfo()
{
    cleanupSignerInfo();
    HCERTSTORE store = nullptr;
    HCRYPTMSG message = nullptr;
    DWORD contentType = 0, formatType = 0;
    BOOL found = CryptQueryObject(CERT_QUERY_OBJECT_FILE, m_file.str().c_str(), CERT_QUERY_CONTENT_FLAG_ALL,
                                  CERT_QUERY_FORMAT_FLAG_ALL, 0, &m_encoding, &contentType, &formatType, &store,
                                  &message, nullptr);
    m_store = store;
    m_message = message;
    if (!found)
        throw CZelException(GetLastError(), L"Calling CryptQueryObject failed.");
}

std::vector<BYTE> CodeSigningReader::readSignerInfoParam() const
{
    DWORD size = 0;
    if (!CryptMsgGetParam(m_message, CMSG_SIGNER_INFO_PARAM, 0, nullptr, &size) && GetLastError() != ERROR_MORE_DATA)
        throw CZelException(GetLastError(), L"Could not prepare read signer info parameter.");
    // Room for the structure at least, so that a short answer cannot be read past its end.
    std::vector<BYTE> signer(std::max<size_t>(size, sizeof(CMSG_SIGNER_INFO)));
    if (!CryptMsgGetParam(m_message, CMSG_SIGNER_INFO_PARAM, 0, signer.data(), &size))
        throw CZelException(GetLastError(), L"Could not read signer info parameter.");
    return signer;
}

std::wstring CodeSigningReader::readSigner(const CMSG_SIGNER_INFO& signer)
{
    CERT_INFO wanted = {};
    wanted.Issuer = signer.Issuer;
    wanted.SerialNumber = signer.SerialNumber;
    m_certificate = CertFindCertificateInStore(m_store, m_encoding, 0, CERT_FIND_SUBJECT_CERT, &wanted, nullptr);
    if (!m_certificate)
        throw CZelException(GetLastError(), L"Could not find certificate in store.");
    std::wstring name = certificateName(m_certificate, CERT_NAME_ATTR_TYPE, nullptr);
    // Some systems answer the attribute type without an attribute identifier
    // with an empty name; the common name is what it stands for.
    if (name.empty())
        name = certificateName(m_certificate, CERT_NAME_ATTR_TYPE, const_cast<char*>(szOID_COMMON_NAME));
    return name;
}

} // namespace ZelUt

#include <QoKivZelUt/CodeSigning.h>
#include <QoKivZelUt/WinAPI.h>

#include "foundation/Log.h"
#include "foundation/OpenFile.h"
#include "image/PeImage.h"

#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <algorithm>
#include <vector>

namespace ZelUt {

namespace {

struct CertCloseStoreClass {
    static void close(HCERTSTORE store) { ::CertCloseStore(store, 0); }
};
struct CryptMsgCloseClass {
    static void close(HCRYPTMSG message) { ::CryptMsgClose(message); }
};
struct CertFreeCertificateContextClass {
    static void close(PCCERT_CONTEXT certificate) { ::CertFreeCertificateContext(certificate); }
};

// The trust data of the current structure: 52 bytes in a 32-bit process (some
// headers end it one member early, at 48).
struct TrustData : WINTRUST_DATA {
    void* signatureSettings;
};
#ifndef _WIN64
static_assert(sizeof(TrustData) == 52, "the trust data of the current structure");
#endif

const DWORD kHeadersRead = 64 * 1024;
const WORD kPkcs7SignedData = 2;  // WIN_CERT_TYPE_PKCS_SIGNED_DATA
// Signatures, nested ones and their time stamps included, take kilobytes; a
// table that claims more than this is not read into memory.
const DWORD kLargestSignature = 64u << 20;

// Reads bytes at a position of the held file; false when they are not all there.
bool readAll(HANDLE file, uint64_t at, void* out, DWORD length)
{
    DWORD got = 0;
    return detail::readAt(file, at, out, length, got) && got == length;
}

// The signature's PKCS #7 bytes when the file's own certificate table is sound:
// a table of type PKCS #7 that lies inside the file and is of a signature's
// size. Empty otherwise (some trust providers do not survive another type or a
// length past the file).
std::vector<BYTE> signatureBytes(HANDLE file)
{
    LARGE_INTEGER fileSize = {};
    if (!::GetFileSizeEx(file, &fileSize))
        return {};
    std::vector<unsigned char> headers(static_cast<size_t>(std::min<LONGLONG>(fileSize.QuadPart, kHeadersRead)));
    if (headers.empty() || !readAll(file, 0, headers.data(), static_cast<DWORD>(headers.size())))
        return {};
    uint32_t offset = 0, size = 0;
    try {
        if (!PeImage(headers.data(), headers.size()).certificateTable(offset, size))
            return {};
    } catch (const CZelException&) {
        return {};  // headers that do not fit the range: no signature of ours to read
    }
    const uint64_t headerBytes = offsetof(WIN_CERTIFICATE, bCertificate);
    WIN_CERTIFICATE certificate = {};
    if (size < headerBytes || uint64_t(offset) + size > uint64_t(fileSize.QuadPart) ||
        !readAll(file, offset, &certificate, static_cast<DWORD>(headerBytes)) ||
        certificate.wCertificateType != kPkcs7SignedData || certificate.dwLength < headerBytes ||
        certificate.dwLength > size || certificate.dwLength > kLargestSignature)
        return {};
    std::vector<BYTE> pkcs7(certificate.dwLength - headerBytes);
    if (!pkcs7.empty() && !readAll(file, offset + headerBytes, pkcs7.data(), static_cast<DWORD>(pkcs7.size())))
        return {};
    return pkcs7;
}

// Generic Authenticode verification of the held file: no window, no UI, no
// revocation checks.
bool trustedBySystem(const WinPath& path, HANDLE file)
{
    WINTRUST_FILE_INFO fileInfo = {};
    fileInfo.cbStruct = sizeof(fileInfo);
    fileInfo.pcwszFilePath = path.str().c_str();
    fileInfo.hFile = file;
    TrustData data = {};
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

// The handles of one reading's signature.
struct CodeSigningReader::Reading {
    DWORD encoding = 0;
    WinAPI::AutoHandle<CertCloseStoreClass, HCERTSTORE> store;
    WinAPI::AutoHandle<CryptMsgCloseClass, HCRYPTMSG> message;
    WinAPI::AutoHandle<CertFreeCertificateContextClass, PCCERT_CONTEXT> certificate;

    // The signature's store and message, from the bytes given.
    void initSignerInfo(const std::vector<BYTE>& pkcs7)
    {
        CERT_BLOB blob{static_cast<DWORD>(pkcs7.size()), const_cast<BYTE*>(pkcs7.data())};
        HCERTSTORE rawStore = nullptr;
        HCRYPTMSG rawMessage = nullptr;
        DWORD contentType = 0, formatType = 0;
        BOOL found = CryptQueryObject(CERT_QUERY_OBJECT_BLOB, &blob, CERT_QUERY_CONTENT_FLAG_ALL,
                                      CERT_QUERY_FORMAT_FLAG_ALL, 0, &encoding, &contentType, &formatType, &rawStore,
                                      &rawMessage, nullptr);
        store = rawStore;
        message = rawMessage;
        if (!found)
            throw CZelException(GetLastError(), L"Calling CryptQueryObject failed.");
    }

    std::vector<BYTE> readSignerInfoParam() const
    {
        DWORD size = 0;
        if (!CryptMsgGetParam(message, CMSG_SIGNER_INFO_PARAM, 0, nullptr, &size) && GetLastError() != ERROR_MORE_DATA)
            throw CZelException(GetLastError(), L"Could not prepare read signer info parameter.");
        // Room for the structure at least, so that a short answer cannot be read past its end.
        std::vector<BYTE> signer(std::max<size_t>(size, sizeof(CMSG_SIGNER_INFO)));
        if (!CryptMsgGetParam(message, CMSG_SIGNER_INFO_PARAM, 0, signer.data(), &size))
            throw CZelException(GetLastError(), L"Could not read signer info parameter.");
        return signer;
    }

    std::wstring readSigner(const CMSG_SIGNER_INFO& signer)
    {
        CERT_INFO wanted = {};
        wanted.Issuer = signer.Issuer;
        wanted.SerialNumber = signer.SerialNumber;
        certificate = CertFindCertificateInStore(store, encoding, 0, CERT_FIND_SUBJECT_CERT, &wanted, nullptr);
        if (!certificate)
            throw CZelException(GetLastError(), L"Could not find certificate in store.");
        std::wstring name = certificateName(certificate, CERT_NAME_ATTR_TYPE, nullptr);
        // Some systems answer the attribute type without an attribute identifier
        // with an empty name; the common name is what it stands for.
        if (name.empty())
            name = certificateName(certificate, CERT_NAME_ATTR_TYPE, const_cast<char*>(szOID_COMMON_NAME));
        return name;
    }
};

CodeSigningReader::CodeSigningReader(const WinPath& file) : m_file(file) {}

CodeSigningReader::~CodeSigningReader()
{
    cleanupSignerInfo();
}

void CodeSigningReader::cleanupSignerInfo()
{
    m_reading.reset();
}

std::wstring CodeSigningReader::readSignerInfo()
{
    cleanupSignerInfo();
    if (!m_file.exists())
        return std::wstring();
    // One handle from the verification to the name: nobody may change or
    // replace the file in between.
    WinAPI::FileHandle file = detail::openExistingFile(m_file, GENERIC_READ, FILE_SHARE_READ, FILE_ATTRIBUTE_NORMAL);
    if (!file.valid())
        return std::wstring();
    std::vector<BYTE> pkcs7 = signatureBytes(file);
    if (pkcs7.empty() || !trustedBySystem(m_file, file))
        return std::wstring();
    m_reading.reset(new Reading());
    try {
        m_reading->initSignerInfo(pkcs7);
        std::vector<BYTE> signer = m_reading->readSignerInfoParam();
        return m_reading->readSigner(*reinterpret_cast<const CMSG_SIGNER_INFO*>(signer.data()));
    } catch (const CZelException& e) {
        ZEL_LOG_ERROR << L"Reading signer info failed: " << e.getFullText();
        return std::wstring();
    }
}

} // namespace ZelUt

#include <QoKivZelUt/Crypto.h>
#include <QoKivZelUt/FileHasher.h>
#include <QoKivZelUt/WinAPI.h>

#include "foundation/ErrorText.h"
#include "foundation/Log.h"
#include "integrity/CryptoBlob.h"
#include "integrity/CryptoKeys.h"

#include <wincrypt.h>

#include <algorithm>
#include <cstring>

using ZelUt::detail::throwLastError;

namespace {

using Provider = ZelUt::FileHasher::ProviderHandle;
using Hash = ZelUt::FileHasher::HashHandle;
struct DestroyCryptKey {
    static void close(HCRYPTKEY key) { ::CryptDestroyKey(key); }
};
using Key = WinAPI::AutoHandle<DestroyCryptKey, HCRYPTKEY>;

const DWORD kContainerNameBuffer = 100;

Provider acquire(DWORD flags)
{
    HCRYPTPROV provider = 0;
    if (!::CryptAcquireContextW(&provider, nullptr, MS_DEF_PROV_W, PROV_RSA_FULL, flags))
        return Provider();
    return Provider(provider);
}

// A context for scheme 64: the user's keys, set up first when missing, else
// the machine's; an invalid guard when none can be had.
Provider acquireForScheme64(bool encrypting)
{
    Provider provider = acquire(0);
    if (provider)
        return provider;
    ZEL_LOG_INFO << (encrypting ? L"Encrypt: CryptoApi has to be initialized" : L"Decrypt: CryptoApi has to be initialized");
    ZelUt::initializeCryptoApi();
    if ((provider = acquire(0)))
        return provider;
    ZEL_LOG_ERROR << L"CryptAcquireContext failed-> going to try 'all users' keys: " << ErrorW32(::GetLastError());
    ZEL_LOG_INFO << L"will try all users context";
    return acquire(CRYPT_MACHINE_KEYSET);
}

// The RC4 key derived from the MD5 of the key table.
Key deriveScheme64Key(const Provider& provider)
{
    HCRYPTHASH rawHash = 0;
    if (!::CryptCreateHash(provider, CALG_MD5, 0, 0, &rawHash))
        return Key();
    Hash hash(rawHash);
    if (!::CryptHashData(hash, ZelUt::crypto::kBlobKey, sizeof ZelUt::crypto::kBlobKey, 0))
        return Key();
    HCRYPTKEY key = 0;
    if (!::CryptDeriveKey(provider, CALG_RC4, hash, 0, &key))
        return Key();
    return Key(key);
}

// The scheme-64 key with the context it lives in; an invalid key when either fails.
struct Scheme64 {
    explicit Scheme64(bool encrypting) : provider(acquireForScheme64(encrypting))
    {
        if (provider)
            key = deriveScheme64Key(provider);
    }
    Provider provider;
    Key key;
};

bool rc4Encrypt(std::vector<unsigned char>& data)
{
    Scheme64 scheme(true);
    const Key& key = scheme.key;
    if (!key)
        return false;
    DWORD length = static_cast<DWORD>(data.size());
    // Some providers answer the length query with the buffer length passed in:
    // the buffer is at least the data's length whatever the answer.
    DWORD needed = length;
    if (!::CryptEncrypt(key, 0, TRUE, 0, nullptr, &needed, length))
        return false;
    std::vector<unsigned char> buffer(std::max<size_t>(needed, data.size()) + 1);
    std::copy(data.begin(), data.end(), buffer.begin());
    if (!::CryptEncrypt(key, 0, TRUE, 0, buffer.data(), &length, static_cast<DWORD>(buffer.size())))
        return false;
    data.assign(buffer.begin(), buffer.begin() + length);
    return true;
}

bool rc4Decrypt(std::vector<unsigned char>& data)
{
    Scheme64 scheme(false);
    const Key& key = scheme.key;
    if (!key)
        return false;
    DWORD length = static_cast<DWORD>(data.size());
    unsigned char none = 0;
    if (!::CryptDecrypt(key, 0, TRUE, 0, data.empty() ? &none : data.data(), &length))
        return false;
    data.resize(length);
    return true;
}

// Looks up one key pair and makes it when the container has none.
void ensureKeyPair(const Provider& provider, DWORD which, const wchar_t* generationFailure)
{
    HCRYPTKEY raw = 0;
    if (::CryptGetUserKey(provider, which, &raw)) {
        Key existing(raw);
        return;
    }
    DWORD error = ::GetLastError();
    if (error != static_cast<DWORD>(NTE_NO_KEY)) {
        ZEL_LOG_ERROR << L"CryptoAPI: CryptGetUserKey failed. " << ErrorW32(error);
        return;
    }
    if (!::CryptGenKey(provider, which, 0, &raw)) {
        ZEL_LOG_ERROR << generationFailure << ErrorW32(::GetLastError());
        return;
    }
    Key generated(raw);
}

} // namespace

namespace ZelUt {

void initializeCryptoApi()
{
    Provider provider = acquire(0);
    if (!provider) {
        ZEL_LOG_INFO << L"First attempt to acquire a Crypto Context failed, try to CRYPT_NEWKEYSET ...";
        provider = acquire(CRYPT_NEWKEYSET);
        if (!provider) {
            ZEL_LOG_INFO << L"CryptoAPI: Creation of user context / keyset failed. " << ErrorW32(::GetLastError());
            provider = acquire(CRYPT_NEWKEYSET | CRYPT_MACHINE_KEYSET);
            if (!provider) {
                ZEL_LOG_ERROR << L"CryptoAPI: Creation of new 'all users' context / keyset failed. "
                              << ErrorW32(::GetLastError());
                return;
            }
        }
    }
    BYTE container[kContainerNameBuffer] = {};
    DWORD size = sizeof container;
    if (!::CryptGetProvParam(provider, PP_CONTAINER, container, &size, 0))
        ZEL_LOG_ERROR << L"CryptoAPI: Unable to get Key Container Name. " << ErrorW32(::GetLastError());
    ensureKeyPair(provider, AT_SIGNATURE, L"CryptoAPI: CryptGetKey failed. ");
    ensureKeyPair(provider, AT_KEYEXCHANGE, L"CryptoAPI: CryptGetKey -2- failed. ");
}

} // namespace ZelUt

// ---------------------------------------------------------------- blob classes

CZelCryptData::CZelCryptData(const void* data, unsigned long length)
{
    if (!data)
        return;
    const unsigned char* bytes = static_cast<const unsigned char*>(data);
    m_input.assign(bytes, bytes + length);
    m_inputLength = length;
}

CZelCryptData::~CZelCryptData() = default;

unsigned long CZelCryptData::copyResult(unsigned char* buffer, unsigned long size) const
{
    if (buffer && size >= m_outputLength)
        std::copy_n(m_output.begin(), m_outputLength, buffer);
    return m_outputLength;
}

CZelEncryptData::CZelEncryptData(const void* data, unsigned long length) : CZelCryptData(data, length) {}

bool CZelEncryptData::EncryptData(encryption_type type)
{
    if (m_input.size() > ZelUt::crypto::kLongestPlaintext)
        return false;  // the blob's length would not fit its 32 bits
    std::vector<unsigned char> cipher = m_input;
    if (type == encryption_os) {
        if (!rc4Encrypt(cipher))
            return false;
    } else if (type == encryption_alternate) {
        ZelUt::crypto::xorWithKeyTable(cipher.data(), cipher.size());
    } else {
        return false;
    }
    m_output = ZelUt::crypto::toBlob(cipher, type);
    m_outputLength = static_cast<unsigned long>(m_output.size());
    return true;
}

unsigned long CZelEncryptData::GetEncryptedData(unsigned char* buffer, unsigned long size, encryption_type type)
{
    if (m_inputLength == 0xFFFFFFFF)
        return 0xFFFFFFFF;
    if (m_outputLength == 0xFFFFFFFF && !EncryptData(type)) {
        ZEL_LOG_INFO << L"OS Encryption failed, falling back to alternate";
        if (type == encryption_alternate || !EncryptData(encryption_alternate))
            return 0;
    }
    if (size != 0 && size < m_outputLength) {
        ZEL_LOG_WARNING << L"Encryption failed: Buffer to small. Have " << size << L", need " << m_outputLength;
        return m_outputLength;
    }
    return copyResult(buffer, size);
}

CZelDecryptData::CZelDecryptData(const void* blob, unsigned long length) : CZelCryptData(blob, length) {}

bool CZelDecryptData::DecryptData(const encryption_type& type)
{
    std::vector<unsigned char> plain;
    unsigned char stored = 0;
    if (!ZelUt::crypto::fromBlob(m_input.data(), m_input.size(), plain, stored) || stored != type)
        return false;
    if (type == encryption_os) {
        if (!rc4Decrypt(plain))
            return false;
    } else if (type == encryption_alternate) {
        ZelUt::crypto::xorWithKeyTable(plain.data(), plain.size());
    } else {
        return false;
    }
    m_output = std::move(plain);
    m_outputLength = static_cast<unsigned long>(m_output.size());
    return true;
}

unsigned long CZelDecryptData::GetDecryptedData(unsigned char* buffer, unsigned long size)
{
    if (m_inputLength == 0xFFFFFFFF || m_inputLength == 0)
        return 0xFFFFFFFF;
    if (m_outputLength == 0xFFFFFFFF && !DecryptData(static_cast<encryption_type>(m_input.back())))
        return 0;
    return copyResult(buffer, size);
}

// ---------------------------------------------------------------- ZelCrypto

std::vector<unsigned char> ZelCrypto::encryptString(const std::wstring& text)
{
    if (text.size() * sizeof(wchar_t) > ZelUt::crypto::kLongestPlaintext)
        throw CZelException(ERROR_INVALID_PARAMETER, L"Encryption failed.");
    CZelEncryptData data(text.c_str(), static_cast<unsigned long>(text.size() * sizeof(wchar_t)));
    unsigned long length = data.GetEncryptedData(nullptr, 0, encryption_os);
    if (length == 0 || length == 0xFFFFFFFF)
        throw CZelException(ERROR_INVALID_PARAMETER, L"Encryption failed.");
    std::vector<unsigned char> blob(length);
    data.GetEncryptedData(blob.data(), length, encryption_os);
    return blob;
}

namespace ZelUt {
namespace crypto {

std::vector<unsigned char> decryptToBytes(const std::vector<unsigned char>& blob)
{
    if (blob.size() > 0xFFFFFFFEu)
        return {};  // longer than any blob a 32-bit length describes
    CZelDecryptData data(blob.data(), static_cast<unsigned long>(blob.size()));
    unsigned long length = data.GetDecryptedData(nullptr, 0);
    if (length == 0 || length == 0xFFFFFFFF)
        return {};
    std::vector<unsigned char> plain(length);
    data.GetDecryptedData(plain.data(), length);
    return plain;
}

} // namespace crypto
} // namespace ZelUt

std::wstring ZelCrypto::decryptBlob(const std::vector<unsigned char>& blob)
{
    if (blob.empty())
        throw CZelException(ERROR_INVALID_PARAMETER, L"Decryption failed.");
    std::wstring text;
    ZelUt::crypto::legacyText(ZelUt::crypto::decryptToBytes(blob), text);
    return text;
}

// ---------------------------------------------------------------- data protection

namespace WinAPI {

namespace {

DATA_BLOB entropy()
{
    return DATA_BLOB{sizeof ZelUt::crypto::kProtectEntropy,
                     const_cast<BYTE*>(ZelUt::crypto::kProtectEntropy)};
}

} // namespace

std::vector<unsigned char> protectString(const std::wstring& text)
{
    if (text.size() > 0xFFFFFFFFu / sizeof(wchar_t))
        throw CZelException(ERROR_INVALID_PARAMETER, L"Encryption of data failed.");
    DATA_BLOB in{static_cast<DWORD>(text.size() * sizeof(wchar_t)),
                 reinterpret_cast<BYTE*>(const_cast<wchar_t*>(text.c_str()))};
    DATA_BLOB key = entropy(), out{0, nullptr};
    if (!::CryptProtectData(&in, L"KivSetup encryption", &key, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN, &out))
        throwLastError(L"Encryption of data failed.");
    LocalMemory release(out.pbData);
    return out.pbData ? std::vector<unsigned char>(out.pbData, out.pbData + out.cbData) : std::vector<unsigned char>();
}

std::wstring unprotectString(const std::vector<unsigned char>& blob)
{
    if (blob.size() > 0xFFFFFFFFu)
        throw CZelException(ERROR_INVALID_PARAMETER, L"Decryption of data failed.");
    // The system's reader trusts the blob's length fields.
    if (!ZelUt::crypto::protectedBlobIsWhole(blob.data(), blob.size()))
        throw CZelException(ERROR_INVALID_DATA, L"Decryption of data failed.");
    DATA_BLOB in{static_cast<DWORD>(blob.size()), const_cast<BYTE*>(blob.data())};
    DATA_BLOB key = entropy(), out{0, nullptr};
    if (!::CryptUnprotectData(&in, nullptr, &key, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN, &out))
        throwLastError(L"Decryption of data failed.");
    LocalMemory release(out.pbData);
    if (out.cbData % sizeof(wchar_t))
        throw CZelException(ERROR_INVALID_DATA, L"Decrypted blob is not a string.");
    return std::wstring(reinterpret_cast<const wchar_t*>(out.pbData), out.cbData / sizeof(wchar_t));
}

} // namespace WinAPI

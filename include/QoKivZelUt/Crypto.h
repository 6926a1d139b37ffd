// Small secrets: the library's own blob format (RC4 through CryptoAPI, or an
// XOR scheme when CryptoAPI cannot be used), and the data protection API.
#pragma once

#include "Export.h"

#include <string>
#include <vector>

enum encryption_type : unsigned char {
    encryption_os = 64,         // RC4 through CryptoAPI
    encryption_alternate = 65,  // XOR with the library's key table
};

// The buffers both directions share: the caller's data and the result.
class QOKIVZELUT_API CZelCryptData {
public:
    ~CZelCryptData();

protected:
    CZelCryptData() = default;
    CZelCryptData(const void* data, unsigned long length);
    // The result's length; copies it when size is large enough.
    unsigned long copyResult(unsigned char* buffer, unsigned long size) const;

    std::vector<unsigned char> m_input;
    unsigned long m_inputLength = 0xFFFFFFFF;  // no input
    std::vector<unsigned char> m_output;
    unsigned long m_outputLength = 0xFFFFFFFF;  // not computed yet
};

class QOKIVZELUT_API CZelEncryptData : public CZelCryptData {
public:
    // A null data pointer means no input.
    CZelEncryptData(const void* data, unsigned long length);
    // 0xFFFFFFFF without input, 0 when both schemes failed, else the blob's
    // length (the blob copied when size is at least that; size 0 asks only).
    unsigned long GetEncryptedData(unsigned char* buffer, unsigned long size, encryption_type type);

protected:
    CZelEncryptData() = default;
    bool EncryptData(encryption_type type);
};

class QOKIVZELUT_API CZelDecryptData : public CZelCryptData {
public:
    CZelDecryptData(const void* blob, unsigned long length);
    // 0xFFFFFFFF for an empty blob, 0 when it does not decrypt, else the
    // plaintext's length (copied when size is at least that).
    unsigned long GetDecryptedData(unsigned char* buffer, unsigned long size);

protected:
    bool DecryptData(const encryption_type& type);
};

class QOKIVZELUT_API ZelCrypto {
public:
    // The blob of the text's UTF-16LE bytes, RC4 preferred; throws 87 "Encryption failed.".
    static std::vector<unsigned char> encryptString(const std::wstring& text);
    // One character per non-zero plaintext byte; throws 87 "Decryption failed." for
    // an empty blob; a blob that does not decrypt gives an empty text.
    static std::wstring decryptBlob(const std::vector<unsigned char>& blob);
};

namespace WinAPI {
// The data protection API with the library's entropy; tied to the Windows account.
QOKIVZELUT_API std::vector<unsigned char> protectString(const std::wstring& text);
QOKIVZELUT_API std::wstring unprotectString(const std::vector<unsigned char>& blob);
} // namespace WinAPI

namespace ZelUt {
// Makes sure the user's default key container exists and holds both key pairs.
QOKIVZELUT_API void initializeCryptoApi();
} // namespace ZelUt

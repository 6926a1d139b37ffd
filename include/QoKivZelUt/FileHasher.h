// ZelUt::FileHasher: SHA-256 through the system's provider, CRC-32, and the
// checksum repository ("signatures\<name>.xig" beside a protected file).
#pragma once

#include "Export.h"
#include "WinAPI.h"

#include <wincrypt.h>

#include <string>
#include <vector>

namespace ZelUt {

class QOKIVZELUT_API FileHasher {
public:
    struct CloseCryptHash {
        static void close(HCRYPTHASH hash) { ::CryptDestroyHash(hash); }
    };
    struct ReleaseCryptContext {
        static void close(HCRYPTPROV provider) { ::CryptReleaseContext(provider, 0); }
    };
    using HashHandle = WinAPI::AutoHandle<CloseCryptHash, HCRYPTHASH>;
    using ProviderHandle = WinAPI::AutoHandle<ReleaseCryptContext, HCRYPTPROV>;

    // Told how far a file has been read, after every block of it.
    class IProgress {
    public:
        virtual ~IProgress() = default;
        virtual void fileRead(unsigned long long done, unsigned long long total) = 0;
    };

    // Acquires a verify-context AES provider; throws on failure.
    FileHasher();

    // For every file this object reads from now on (null: none).
    void setProgress(IProgress* progress) { m_progress = progress; }

    // "SHA-256:" and 64 lower-case hexadecimal digits.
    std::wstring createHash(const std::vector<unsigned char>& data);
    std::wstring createHash(const WinPath& file);
    std::vector<unsigned char> createBinaryHash(const WinPath& file);

    // CRC-32 of the UTF-16LE bytes; 0 for an empty string.
    unsigned long crcFromString(const std::wstring& text) const;
    // CRC-32 of the file; 0 when it cannot be opened or a read fails.
    unsigned long crcFromFile(const WinPath& file) const;

    // Writes the version-2 checksum file; throws when it cannot be written.
    void updateAuthentication(const WinPath& file) const;
    // Compares the file with its checksum file (true when there is none).
    bool authenticateFile(const WinPath& file) const;

    static WinPath getRepositoryName(const WinPath& file);

private:
    HashHandle createHashObject() const;
    static std::vector<unsigned char> getBinaryHashValue(const HashHandle& hash);
    static std::wstring getHashValue(const std::vector<unsigned char>& digest);
    unsigned long loadFileCrcFromRepository(const WinPath& file) const;

    ProviderHandle m_provider;
    IProgress* m_progress = nullptr;
};

// The standard reflected CRC-32 (zip, gzip, PNG) continued over more bytes:
// start with 0, feed the result of each call back in.
QOKIVZELUT_API unsigned long crc32(unsigned long crc, const void* data, size_t size);

} // namespace ZelUt

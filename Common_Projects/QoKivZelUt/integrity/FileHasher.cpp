#include <QoKivZelUt/FileHasher.h>

#include "foundation/ErrorText.h"
#include "foundation/Log.h"
#include "foundation/OpenFile.h"
#include "foundation/ReadAhead.h"
#include "integrity/ChecksumRecord.h"

#include <cstdint>
#include <cstring>

using ZelUt::detail::throwLastError;

namespace ZelUt {

namespace {

// Blocks that stay in the processor's cache between the read and the arithmetic.
const size_t kReadBuffer = 1024 * 1024;

// How a file is best read for the work done on it.
enum class Reading {
    Inline,     // the work is faster than the read: one thread, the block still in cache
    ReadAhead,  // the work is slower: the next block is read on a second thread meanwhile
};

const unsigned char* bytesOf(const std::vector<char>& bytes)
{
    return reinterpret_cast<const unsigned char*>(bytes.data());
}

std::wstring hex8(unsigned long value)
{
    wchar_t text[16];
    swprintf(text, 16, L"%08lx", value);
    return text;
}

// Feeds everything the handle reads, buffer by buffer, to the consumer; false
// (with the last error set) when a read fails. A file of more than one buffer
// is read ahead on a second thread while the consumer works.
template <class Consumer>
bool readAll(HANDLE file, Reading reading, FileHasher::IProgress* progress, Consumer consume)
{
    LARGE_INTEGER size = {};
    const unsigned long long total = GetFileSizeEx(file, &size) ? static_cast<unsigned long long>(size.QuadPart) : 0;
    unsigned long long done = 0;
    auto take = [&](const unsigned char* data, DWORD got) {
        consume(data, got);
        done += got;
        if (progress)
            progress->fileRead(done, total);
    };
    if (reading == Reading::ReadAhead && total > kReadBuffer) {
        detail::ReadAhead reader(file, kReadBuffer);
        const unsigned char* data = nullptr;
        for (DWORD got = 0;;) {
            if (!reader.next(data, got))
                return false;
            if (got == 0)
                return true;
            take(data, got);
        }
    }
    std::vector<unsigned char> buffer(kReadBuffer);
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr))
            return false;
        if (got == 0)
            return true;
        take(buffer.data(), got);
    }
}

// The checksum file's first bytes, one more than a record (what tells a file
// of exactly one record): nothing behind them is ever read, and a file of any
// size costs no more memory. ERROR_SUCCESS, or why it could not be opened.
DWORD readRepository(const WinPath& repository, std::vector<char>& bytes)
{
    WinAPI::FileHandle file = ZelUt::detail::openExistingFile(repository, GENERIC_READ, FILE_SHARE_READ, FILE_ATTRIBUTE_NORMAL);
    if (!file.valid())
        return GetLastError();
    bytes.assign(checksum::kRecordSize + 1, '\0');
    DWORD got = 0;
    if (!ZelUt::detail::readAt(file, 0, bytes.data(), static_cast<DWORD>(bytes.size()), got))
        throwLastError(L"WinAPI::readFile() failed.");
    bytes.resize(got);
    return ERROR_SUCCESS;
}

} // namespace

FileHasher::FileHasher()
{
    const wchar_t* name = WinAPI::getWindowsVersion() == WinAPI::WindowsVersion::WindowsXP
                              ? L"Microsoft Enhanced RSA and AES Cryptographic Provider (Prototype)"
                              : L"Microsoft Enhanced RSA and AES Cryptographic Provider";
    HCRYPTPROV provider = 0;
    if (!CryptAcquireContextW(&provider, nullptr, name, PROV_RSA_AES, CRYPT_VERIFYCONTEXT | CRYPT_SILENT))
        throwLastError(L"CryptAcquireContext() failed.");
    m_provider = provider;
}

FileHasher::HashHandle FileHasher::createHashObject() const
{
    HCRYPTHASH hash = 0;
    if (!CryptCreateHash(m_provider, CALG_SHA_256, 0, 0, &hash))
        throwLastError(L"CryptCreateHash() failed.");
    return HashHandle(hash);
}

std::vector<unsigned char> FileHasher::getBinaryHashValue(const HashHandle& hash)
{
    DWORD size = 0, length = sizeof(size);
    if (!CryptGetHashParam(hash, HP_HASHSIZE, reinterpret_cast<BYTE*>(&size), &length, 0))
        throwLastError(L"CryptHashParam(HP_HASHSIZE) failed.");
    std::vector<unsigned char> digest(size);
    if (!CryptGetHashParam(hash, HP_HASHVAL, digest.data(), &size, 0))
        throwLastError(L"CryptHashParam(HP_HASHVAL) failed.");
    digest.resize(size);
    return digest;
}

std::wstring FileHasher::getHashValue(const std::vector<unsigned char>& digest)
{
    static const wchar_t digits[] = L"0123456789abcdef";
    std::wstring text = L"SHA-256:";
    for (unsigned char b : digest) {
        text += digits[b >> 4];
        text += digits[b & 0xF];
    }
    return text;
}

std::wstring FileHasher::createHash(const std::vector<unsigned char>& data)
{
    HashHandle hash = createHashObject();
    if (!data.empty() && !CryptHashData(hash, data.data(), static_cast<DWORD>(data.size()), 0))
        throwLastError(L"CryptHashData() failed.");
    return getHashValue(getBinaryHashValue(hash));
}

std::wstring FileHasher::createHash(const WinPath& file)
{
    return getHashValue(createBinaryHash(file));
}

// The file is read through one handle, and what that handle reads is hashed:
// a file that grows meanwhile is not cut short, and a failing medium gives an
// error instead of the fault that a read through a mapped view would raise.
std::vector<unsigned char> FileHasher::createBinaryHash(const WinPath& file)
{
    HashHandle hash = createHashObject();
    WinAPI::FileHandle handle = WinAPI::openFileReadOnly(file);
    bool hashed = true;
    bool read = readAll(handle, Reading::ReadAhead, m_progress, [&](const unsigned char* data, DWORD size) {
        if (hashed && !CryptHashData(hash, data, size, 0))
            hashed = false;
    });
    if (!read)
        throwLastError(L"FileHasher::createHash() failed to read " + file.str());
    if (!hashed)
        throwLastError(L"FileHasher::createHash(): CryptHashData() failed.");
    return getBinaryHashValue(hash);
}

unsigned long FileHasher::crcFromString(const std::wstring& text) const
{
    if (text.empty())
        return 0;
    return crc32(0, text.data(), text.size() * sizeof(wchar_t));
}

unsigned long FileHasher::crcFromFile(const WinPath& file) const
{
    WinAPI::FileHandle handle = ZelUt::detail::openExistingFile(file, GENERIC_READ, FILE_SHARE_READ, FILE_FLAG_SEQUENTIAL_SCAN);
    if (!handle.valid())
        return 0;
    unsigned long crc = 0;
    if (!readAll(handle, Reading::Inline, m_progress, [&](const unsigned char* data, DWORD size) { crc = crc32(crc, data, size); })) {
        // A checksum of part of a file would name a wrong copy: a failed read is a failure.
        ZEL_LOG_WARNING << L"FileHasher::crcFromFile(" << file << L"): reading failed: " << ErrorW32(GetLastError());
        return 0;
    }
    return crc;
}

WinPath FileHasher::getRepositoryName(const WinPath& file)
{
    return file.getParent() / L"signatures" / (file.getFileName().str() + L".xig");
}

void FileHasher::updateAuthentication(const WinPath& file) const
{
    std::vector<unsigned char> digest = FileHasher(*this).createBinaryHash(file);
    std::vector<unsigned char> sealed = checksum::sha256Record(digest);
    std::vector<char> record(sealed.begin(), sealed.end());
    WinPath repository = getRepositoryName(file);
    repository.getParent().createDirectory();
    // The record is written beside and takes the name when whole: a record cut
    // short would fail every later check, and writing through the name would
    // write into whatever file another name of it is.
    try {
        WinAPI::ReplacementFile next(repository);
        WinAPI::writeFile(next.handle(), record);
        next.commit();
    } catch (const CZelException& e) {
        throw CZelException(e.getErrorCode(), L"FileHasher::updateAuthentication() could not create " + repository.str());
    }
}

bool FileHasher::authenticateFile(const WinPath& file) const
{
    const std::wstring& path = file.str();
    std::vector<char> bytes;
    DWORD opened = readRepository(getRepositoryName(file), bytes);
    if (opened == ERROR_FILE_NOT_FOUND || opened == ERROR_PATH_NOT_FOUND) {
        ZEL_LOG_TRACE << L"Security: no previous checksum available for '" << path << L"'";
        return true;
    }
    // A record that is there but cannot be read (access denied, in use, a
    // directory) is no reason to trust the file.
    if (opened != ERROR_SUCCESS) {
        ZEL_LOG_WARNING << L"Security: checksum file for '" << path << L"' cannot be read: " << ErrorW32(opened);
        return false;
    }
    checksum::Record record = checksum::readRecord(bytesOf(bytes), bytes.size());
    if (record.kind == checksum::Record::Corrupt) {
        ZEL_LOG_WARNING << L"Security: corrupt checksum file for '" << path << L"'";
        return false;
    }
    if (record.kind == checksum::Record::Crc32) {
        unsigned long stored = record.crc, current = crcFromFile(file);
        if (current == 0) {
            ZEL_LOG_WARNING << L"Security: failed to calculate CRC32 checksum for '" << path << L"'";
            return false;
        }
        if (current != stored) {
            ZEL_LOG_WARNING << L"Security: '" << path << L"' has been modified (CRC32 0x" << hex8(stored) << L" -> 0x"
                            << hex8(current) << L")";
            return false;
        }
        ZEL_LOG_TRACE << L"Security: '" << path << L"' is original (CRC32 0x" << hex8(current) << L")";
        return true;
    }
    if (record.kind == checksum::Record::Sha256) {
        std::vector<unsigned char> current;
        try {
            current = FileHasher(*this).createBinaryHash(file);
        } catch (const CZelException& e) {
            ZEL_LOG_WARNING << L"Security: failed to calculate hash of '" << path << L"': " << e;
            return false;
        }
        const std::vector<unsigned char>& stored = record.digest;
        if (stored != current) {
            ZEL_LOG_WARNING << L"Security: '" << path << L"' has been modified (" << getHashValue(stored) << L" -> "
                            << getHashValue(current) << L")";
            return false;
        }
        ZEL_LOG_TRACE << L"Security: '" << path << L"' is original";
        return true;
    }
    ZEL_LOG_TRACE << L"Security: unsupported signature version " << record.version << L" for '" << path << L"'";
    return false;
}

unsigned long FileHasher::loadFileCrcFromRepository(const WinPath& file) const
{
    try {
        std::vector<char> bytes;
        uint32_t crc = 0;
        if (readRepository(getRepositoryName(file), bytes) == ERROR_SUCCESS &&
            checksum::exactCrc32Record(bytesOf(bytes), bytes.size(), crc))
            return crc;
    } catch (const CZelException& e) {
        ZEL_LOG_TRACE << L"Security: failed to read CRC32 checksum for '" << file << L"': " << e;
    }
    return 0;
}

} // namespace ZelUt

// DotNetUtils: the name and the references of a .NET assembly, read from its
// metadata directly (no .NET runtime needed).
//
//   DotNetUtils /getAssemblyName:PATH        the full assembly name
//   DotNetUtils /getAssemblyReferences:PATH  one line per reference: NAME||PATH
//
// A reference resolves to NAME.dll or NAME.exe beside the assembly, else (when
// it has a public key token) to the global assembly caches below the Windows
// directory, in their 2.0 and 4.0 layouts; unresolved ones have an empty path.
// Output is UTF-16LE with a byte-order mark and CR LF line ends.
// Exit codes: 0 done, 2 bad command line, 3 file not readable, 4 not a PE
// image, 5 not an assembly, 6 damaged image or metadata.
#include "Metadata.h"

#include <QoKivZelUt/FileHasher.h>
#include <QoKivZelUt/WinAPI.h>

#include "foundation/FileNames.h"
#include "image/PeImage.h"

#include <windows.h>

#include <string>

namespace {

enum Exit { kDone = 0, kUsage = 2, kUnreadable = 3, kNotPe = 4, kNotAssembly = 5, kDamaged = 6 };

// The longest answer given (characters); the library reads no more either.
const size_t kLongestAnswer = 1 << 20;
// The file is read into memory whole; assemblies take megabytes.
const LONGLONG kLargestAssembly = 256ll << 20;

struct Failure {
    Exit code;
    std::wstring text;
};

void write(DWORD which, const std::wstring& text)
{
    HANDLE handle = GetStdHandle(which);
    DWORD mode = 0, written = 0;
    if (GetConsoleMode(handle, &mode)) {
        WriteConsoleW(handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
        return;
    }
    std::wstring units = which == STD_OUTPUT_HANDLE ? L"\xfeff" + text : text;
    WriteFile(handle, units.data(), static_cast<DWORD>(units.size() * sizeof(wchar_t)), &written, nullptr);
}

std::wstring wide(const std::string& utf8)
{
    return WinAPI::fromUtf8(utf8);
}

std::vector<uint8_t> sha1(const std::vector<uint8_t>& data)
{
    HCRYPTPROV rawProvider = 0;
    if (!CryptAcquireContextW(&rawProvider, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT))
        throw CZelException(GetLastError(), L"CryptAcquireContext() failed.");
    ZelUt::FileHasher::ProviderHandle provider(rawProvider);
    HCRYPTHASH rawHash = 0;
    if (!CryptCreateHash(provider, CALG_SHA1, 0, 0, &rawHash))
        throw CZelException(GetLastError(), L"CryptCreateHash() failed.");
    ZelUt::FileHasher::HashHandle hash(rawHash);
    if (!CryptHashData(hash, data.data(), static_cast<DWORD>(data.size()), 0))
        throw CZelException(GetLastError(), L"CryptHashData() failed.");
    std::vector<uint8_t> digest(20);
    DWORD size = static_cast<DWORD>(digest.size());
    if (!CryptGetHashParam(hash, HP_HASHVAL, digest.data(), &size, 0))
        throw CZelException(GetLastError(), L"CryptGetHashParam() failed.");
    digest.resize(size);
    return digest;
}

std::vector<uint8_t> tokenOf(const dotnetutils::AssemblyIdentity& identity)
{
    return identity.fullPublicKey ? dotnetutils::tokenFromSha1(sha1(identity.publicKeyOrToken))
                                  : identity.publicKeyOrToken;
}

// A name that cannot leave the directory it is looked for in, nor open
// something else (a device: CON, NUL, COM1).
bool isPlainFileName(const std::wstring& name)
{
    return name != L"." && name != L".." && name.find_first_of(L"\\/:") == std::wstring::npos &&
           !ZelUt::fileNamePartProblem(name);
}

bool isFile(const WinPath& path)
{
    DWORD attributes = GetFileAttributesW(path.str().c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// The folder name of a reference in the global assembly cache: VERSION_CULTURE_TOKEN.
std::wstring cacheFolder(const dotnetutils::AssemblyIdentity& reference, const std::vector<uint8_t>& token)
{
    std::string name = dotnetutils::displayName(reference, token);
    std::wstring version;
    for (int i = 0; i < 4; ++i)
        version += (i ? L"." : L"") + std::to_wstring(reference.version[i]);
    std::string hex = name.substr(name.rfind('=') + 1);
    return version + L"_" + wide(reference.culture) + L"_" + wide(hex);
}

std::wstring resolve(const dotnetutils::AssemblyIdentity& reference, const std::vector<uint8_t>& token,
                     const WinPath& directory)
{
    std::wstring name = wide(reference.name);
    if (!isPlainFileName(name) || !isPlainFileName(wide(reference.culture) + L"x"))
        return std::wstring();
    for (const wchar_t* extension : {L".dll", L".exe"}) {
        WinPath beside = directory / (name + extension);
        if (isFile(beside))
            return beside.str();
    }
    if (token.size() != 8)
        return std::wstring();
    WinPath windows = WinAPI::getWindowsDirectory();
    std::wstring folder = cacheFolder(reference, token);
    for (const wchar_t* cache : {L"GAC_MSIL", L"GAC_32", L"GAC_64", L"GAC"}) {
        WinPath candidate = windows / L"assembly" / cache / name / folder / (name + L".dll");
        if (isFile(candidate))
            return candidate.str();
    }
    for (const wchar_t* cache : {L"GAC_MSIL", L"GAC_32", L"GAC_64"}) {
        WinPath candidate =
            windows / L"Microsoft.NET" / L"assembly" / cache / name / (L"v4.0_" + folder) / (name + L".dll");
        if (isFile(candidate))
            return candidate.str();
    }
    return std::wstring();
}

dotnetutils::AssemblyMetadata readAssembly(const std::vector<char>& bytes)
{
    ZelUt::PeImage image(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    if (!image.hasNtHeaders())
        throw Failure{kNotPe, L"Not a PE image."};
    uint64_t size = 0;
    uint64_t root;
    try {
        root = image.dotNetMetadata(size);
    } catch (const CZelException& e) {
        throw Failure{kDamaged, L"Damaged image: " + e.getMessage()};
    }
    if (root == ZelUt::PeImage::kNowhere)
        throw Failure{kNotAssembly, L"Not an assembly."};
    try {
        dotnetutils::AssemblyMetadata metadata =
            dotnetutils::readMetadata(reinterpret_cast<const uint8_t*>(bytes.data()) + root, size);
        if (!metadata.hasAssembly)
            throw Failure{kNotAssembly, L"Not an assembly."};
        return metadata;
    } catch (const dotnetutils::MetadataError& e) {
        throw Failure{kDamaged, L"Damaged metadata: " + wide(e.what())};
    }
}

std::vector<char> readWholeFile(const WinPath& path)
{
    try {
        WinAPI::FileHandle file = WinAPI::openFileReadOnly(path);
        LARGE_INTEGER size;
        if (GetFileSizeEx(file, &size) && size.QuadPart > kLargestAssembly)
            throw Failure{kUnreadable, path.str() + L" is larger than " + std::to_wstring(kLargestAssembly >> 20) +
                                           L" MiB; it is not read"};
        return WinAPI::readFile(file);
    } catch (const CZelException& e) {
        throw Failure{kUnreadable, e.getFullText()};
    }
}

std::wstring answer(const std::wstring& command, const WinPath& path)
{
    dotnetutils::AssemblyMetadata metadata = readAssembly(readWholeFile(path));
    if (command == L"getassemblyname")
        return wide(dotnetutils::displayName(metadata.assembly, tokenOf(metadata.assembly))) + L"\r\n";
    std::wstring lines;
    WinPath directory = WinAPI::fullpath(path).getParent();
    for (const dotnetutils::AssemblyIdentity& reference : metadata.references) {
        std::vector<uint8_t> token = tokenOf(reference);
        lines += wide(dotnetutils::displayName(reference, token)) + L"||" + resolve(reference, token, directory) +
                 L"\r\n";
        if (lines.size() > kLongestAnswer)
            throw Failure{kDamaged, L"Damaged metadata: the references take more than " +
                                        std::to_wstring(kLongestAnswer) + L" characters"};
    }
    return lines;
}

std::wstring lowered(std::wstring text)
{
    for (wchar_t& c : text)
        c = static_cast<wchar_t>(towlower(c));
    return text;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    const wchar_t* usage = L"usage: DotNetUtils /getAssemblyName:PATH | /getAssemblyReferences:PATH\n";
    std::wstring argument = argc == 2 ? argv[1] : L"";
    size_t colon = argument.find(L':');
    std::wstring command = argument.size() > 1 && argument[0] == L'/' && colon != std::wstring::npos
                               ? lowered(argument.substr(1, colon - 1))
                               : std::wstring();
    if (command != L"getassemblyname" && command != L"getassemblyreferences") {
        write(STD_ERROR_HANDLE, usage);
        return kUsage;
    }
    std::wstring path = argument.substr(colon + 1);
    if (path.size() >= 2 && path.front() == L'"' && path.back() == L'"')
        path = path.substr(1, path.size() - 2);
    try {
        write(STD_OUTPUT_HANDLE, answer(command, WinPath(path)));
        return kDone;
    } catch (const Failure& failure) {
        write(STD_ERROR_HANDLE, failure.text + L"\n");
        return failure.code;
    } catch (const CZelException& e) {
        write(STD_ERROR_HANDLE, e.getFullText() + L"\n");
        return kUnreadable;
    }
}

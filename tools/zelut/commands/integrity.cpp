// hash, crc, seal and verify: the file hasher and the checksum repository.
#include "../Command.h"
#include "../Progress.h"

#include <QoKivZelUt/FileHasher.h>
#include <QoKivZelUt/ZelException.h>

#include <cwchar>

namespace zelut {
namespace {

std::wstring hex8(unsigned long value)
{
    wchar_t text[9];
    swprintf(text, 9, L"%08lx", value);
    return text;
}

unsigned long long sizeOf(const std::wstring& file)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(file.c_str(), GetFileExInfoStandard, &data))
        return 0;
    return (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// One reading of a file by a hasher of its own, with a bar of the file's MiB.
template <class Work>
auto readWithBar(bool quiet, const std::wstring& file, Work work)
{
    ProgressBar bar(quiet, L"MiB");
    ReadProgress progress(bar, sizeOf(file));
    ZelUt::FileHasher hasher;
    hasher.setProgress(&progress);
    return work(hasher);
}

int hash(const Args& given)
{
    Args args(given);
    const bool quiet = takeQuiet(args);
    if (args.empty())
        throw UsageError{L"expected at least one FILE"};
    unsigned long long total = 0;
    for (const std::wstring& file : args)
        total += sizeOf(file);
    ProgressBar bar(quiet, L"MiB");
    ReadProgress progress(bar, total);
    ZelUt::FileHasher hasher;
    hasher.setProgress(&progress);
    int result = kTrue;
    for (const std::wstring& file : args) {
        progress.nextFile();
        try {
            std::wstring line = hasher.createHash(WinPath(file)) + L"  " + file + L"\n";
            bar.clear();
            out(line);
        } catch (const CZelException& e) {
            bar.clear();
            err(L"zelut hash: " + e.getFullText() + L"\n");
            result = kError;
        }
    }
    return result;
}

int crc(const Args& given)
{
    Args args(given);
    const bool quiet = takeQuiet(args);
    ZelUt::FileHasher hasher;
    if (args.size() == 2 && args[0] == L"--string") {
        out(hex8(hasher.crcFromString(args[1])) + L"\n");
        return kTrue;
    }
    if (args.size() != 1)
        throw UsageError{L"expected FILE or --string TEXT"};
    WinPath file(args[0]);
    unsigned long value =
        readWithBar(quiet, args[0], [&](ZelUt::FileHasher& reader) { return reader.crcFromFile(file); });
    // 0 is also the checksum of an empty file: only then is it not a failure.
    if (value == 0 && !(file.exists() && file.getFileSize() == 0)) {
        err(L"zelut crc: cannot read " + args[0] + L"\n");
        return kError;
    }
    out(hex8(value) + L"  " + args[0] + L"\n");
    return kTrue;
}

int seal(const Args& given)
{
    Args args(given);
    const bool quiet = takeQuiet(args);
    if (args.size() != 1)
        throw UsageError{L"expected one FILE"};
    WinPath file(args[0]);
    readWithBar(quiet, args[0], [&](ZelUt::FileHasher& reader) {
        reader.updateAuthentication(file);
        return true;
    });
    out(L"sealed " + args[0] + L" in " + ZelUt::FileHasher::getRepositoryName(file).str() + L"\n");
    return kTrue;
}

int verify(const Args& given)
{
    Args args(given);
    const bool quiet = takeQuiet(args);
    if (args.size() != 1)
        throw UsageError{L"expected one FILE"};
    WinPath file(args[0]);
    if (!ZelUt::FileHasher::getRepositoryName(file).exists()) {
        out(args[0] + L": no checksum recorded\n");
        return kTrue;
    }
    bool intact = readWithBar(quiet, args[0], [&](ZelUt::FileHasher& reader) { return reader.authenticateFile(file); });
    out(args[0] + (intact ? L": OK\n" : L": CHANGED (see the log for both hash texts)\n"));
    return intact ? kTrue : kFalse;
}

const Registration hashRegistration{{L"hash", L"print the SHA-256 hash text of files",
                                     L"usage: zelut hash [--quiet] FILE...\n"
                                     L"  prints \"SHA-256:<64 hex digits>  FILE\" per file\n"
                                     L"  on a console a progress bar (MiB read) goes to standard error; --quiet: none\n",
                                     hash}};
const Registration crcRegistration{{L"crc", L"print the CRC-32 of a file or a string",
                                    L"usage: zelut crc [--quiet] FILE   (a progress bar on a console, as hash)\n"
                                    L"       zelut crc --string TEXT   (the CRC-32 of TEXT's UTF-16LE bytes)\n",
                                    crc}};
const Registration sealRegistration{{L"seal", L"record a file's checksum in its repository",
                                     L"usage: zelut seal [--quiet] FILE   (a progress bar on a console, as hash)\n"
                                     L"  writes signatures\\<name>.xig beside FILE\n",
                                     seal}};
const Registration verifyRegistration{{L"verify", L"compare a file with its recorded checksum",
                                       L"usage: zelut verify [--quiet] FILE   (a progress bar on a console, as hash)\n"
                                       L"  exit 0 when it matches or nothing is recorded, 1 when it changed\n",
                                       verify}};

} // namespace
} // namespace zelut

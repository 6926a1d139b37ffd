// cab: list or extract a cabinet, also one attached behind a program.
#include "../Command.h"
#include "../Progress.h"

#include <QoKivZelUt/CabExtractor.h>
#include <QoKivZelUt/CabWriter.h>
#include <QoKivZelUt/SelfExtractor.h>
#include <QoKivZelUt/ZelException.h>
#include <QoKivZelUt/Zipfile.h>

#include <windows.h>

#include <vector>

namespace zelut {
namespace {

// Lists each file written; on a console a bar of the files counts along.
struct Progress : ZelCabExtractor::ICallback {
    Progress(bool quiet, unsigned long total) : bar(quiet, L"files"), total(total) {}
    ProgressBar bar;
    unsigned long total;
    unsigned long files = 0;
    void onFileExtracted(const WinPath& path) override
    {
        ++files;
        bar.clear();
        out(L"  " + path.str() + L"\n");
        bar.update(files, total);
    }
    void onDirectoryCreated(const WinPath&) override {}
};

// Every file below the directory, in directory order. Links (junctions,
// symbolic links) are not followed: a loop would never end, and a link's
// target is not what lies below the directory.
void collect(const WinPath& directory, std::vector<WinPath>& files)
{
    WIN32_FIND_DATAW data;
    WinAPI::FindHandle search = WinAPI::findFirstFile(directory / L"*", data);
    for (bool more = search.valid(); more; more = WinAPI::findNextFile(search, data)) {
        std::wstring name = data.cFileName;
        if (name == L"." || name == L"..")
            continue;
        if (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
            err(L"zelut cab: " + (directory / name).str() + L" is a link; not followed\n");
        else if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            collect(directory / name, files);
        else
            files.push_back(directory / name);
    }
}

int create(const Args& args, bool quiet)
{
    WinPath archive(args[1]), base;
    std::vector<WinPath> inputs;
    for (size_t i = 2; i < args.size(); ++i) {
        if (args[i] == L"--base" && i + 1 < args.size())
            base = WinAPI::fullpath(WinPath(args[++i]));
        else
            inputs.push_back(WinAPI::fullpath(WinPath(args[i])));
    }
    if (inputs.empty())
        throw UsageError{L"expected FILE or DIR to pack"};
    std::vector<std::pair<WinPath, WinPath>> entries;  // file, name in the archive
    for (const WinPath& input : inputs) {
        std::vector<WinPath> files;
        DWORD attributes = GetFileAttributesW(input.str().c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES)
            throw CZelException(GetLastError(), L"zelut cab: " + input.str() + L" cannot be packed.");
        if (attributes & FILE_ATTRIBUTE_DIRECTORY)
            collect(input, files);
        else
            files.push_back(input);
        WinPath root = base.empty() ? input.getParent() : base;
        for (const WinPath& file : files)
            entries.emplace_back(file, root.getRelativePath(file));
    }
    ZelArchive writer(archive);
    int result = kTrue;
    {
        ProgressBar bar(quiet, L"files");
        for (size_t i = 0; i < entries.size(); ++i) {
            if (entries[i].second.empty() || !writer.AppendFileWithName(entries[i].first, entries[i].second)) {
                bar.clear();
                err(L"zelut cab: could not add " + entries[i].first.str() + L" (see the log)\n");
                result = kError;
            }
            bar.update(i + 1, entries.size());
        }
    }
    if (!writer.Close()) {
        err(L"zelut cab: the cabinet could not be finished (see the log)\n");
        return kError;
    }
    out(std::to_wstring(entries.size()) + L" files written to " + archive.str() + L"\n");
    return result;
}

int cab(const Args& given)
{
    Args args(given);
    const bool quiet = takeQuiet(args);
    if (args.size() >= 3 && args[0] == L"create")
        return create(args, quiet);
    if (args.size() < 2 || (args[0] != L"list" && args[0] != L"extract") ||
        args.size() > (args[0] == L"list" ? 2u : 3u))
        throw UsageError{L"expected list ARCHIVE, extract ARCHIVE [DIR] or create ARCHIVE FILE|DIR..."};
    ZelCabExtractor extractor(WinPath(args[1]), true);
    if (extractor.getCabinetOffset() != 0)
        out(L"cabinet at offset " + std::to_wstring(extractor.getCabinetOffset()) + L"\n");
    if (args[0] == L"list") {
        for (const WinPath& path : extractor.getContents())
            out(path.str() + L"\n");
        out(std::to_wstring(extractor.getNumberOfFiles()) + L" files, " +
            std::to_wstring(extractor.getExtractedSize()) + L" bytes unpacked, " +
            std::to_wstring(extractor.getArchiveSize()) + L" bytes packed\n");
        return kTrue;
    }
    Progress progress(quiet, extractor.getNumberOfFiles());
    extractor.setCallback(&progress);
    bool extracted = extractor.ExtractArchive(WinPath(args.size() == 3 ? args[2] : L"."));
    progress.bar.clear();
    out(std::to_wstring(progress.files) + L" of " + std::to_wstring(extractor.getNumberOfFiles()) +
        L" files extracted\n");
    if (!extracted) {
        err(L"zelut cab: " + extractor.getLastErrorText() + L" (see the log)\n");
        return kError;
    }
    return kTrue;
}

const Registration cabRegistration{{L"cab", L"list or extract a cabinet archive",
                                    L"usage: zelut cab list ARCHIVE\n"
                                    L"       zelut cab extract ARCHIVE [DIR] [--quiet]\n"
                                    L"       zelut cab create ARCHIVE FILE|DIR... [--base DIR] [--quiet]\n"
                                    L"  extract and create draw a progress bar (files) on standard error when it\n"
                                    L"  is a console; --quiet: none\n"
                                    L"  create packs files, and directories with everything below them, under\n"
                                    L"  names relative to DIR (default: the directory each input lies in);\n"
                                    L"  links below a directory are not followed; a missing input is an error;\n"
                                    L"  ARCHIVE may also be a program with a cabinet attached behind it;\n"
                                    L"  entries that cannot be written where their names say are skipped,\n"
                                    L"  named with the reason, and make the exit code 2\n",
                                    cab}};

int sx(const Args& args)
{
    if (args.size() != 3)
        throw UsageError{L"expected STUB CABINET TARGET"};
    if (!ZelUt::ZelCreateSx(WinPath(args[0]), WinPath(args[1]), WinPath(args[2])).createSx()) {
        err(L"zelut sx: the self-extractor could not be built (see the log)\n");
        return kError;
    }
    out(args[2] + L" written\n");
    return kTrue;
}

int zipCheck(const Args& args)
{
    if (args.empty())
        throw UsageError{L"expected FILE..."};
    bool all = true;
    for (const std::wstring& file : args) {
        bool zip = ZelUt::Zipfile(WinPath(file)).isZipfile();
        all = all && zip;
        out(file + (zip ? L": zip\n" : L": not zip\n"));
    }
    return all ? kTrue : kFalse;
}

const Registration sxRegistration{{L"sx", L"build a self-extracting executable",
                                   L"usage: zelut sx STUB CABINET TARGET\n"
                                   L"  TARGET is the stub (KivSx.exe) followed by the cabinet\n",
                                   sx}};
const Registration zipRegistration{{L"zip-check", L"tell whether files are ZIP archives",
                                    L"usage: zelut zip-check FILE...\n"
                                    L"  exit 0 when every FILE starts with a ZIP signature, else 1\n",
                                    zipCheck}};

} // namespace
} // namespace zelut

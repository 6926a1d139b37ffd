// cab: list or extract a cabinet, also one attached behind a program.
#include "../Command.h"

#include <QoKivZelUt/CabExtractor.h>
#include <QoKivZelUt/ZelException.h>

namespace zelut {
namespace {

struct Progress : ZelCabExtractor::ICallback {
    unsigned long files = 0;
    void onFileExtracted(const WinPath& path) override
    {
        ++files;
        out(L"  " + path.str() + L"\n");
    }
    void onDirectoryCreated(const WinPath&) override {}
};

int cab(const Args& args)
{
    if (args.size() < 2 || (args[0] != L"list" && args[0] != L"extract") ||
        args.size() > (args[0] == L"list" ? 2u : 3u))
        throw UsageError{L"expected list ARCHIVE or extract ARCHIVE [DIR]"};
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
    Progress progress;
    extractor.setCallback(&progress);
    bool extracted = extractor.ExtractArchive(WinPath(args.size() == 3 ? args[2] : L"."));
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
                                    L"       zelut cab extract ARCHIVE [DIR]\n"
                                    L"  ARCHIVE may also be a program with a cabinet attached behind it;\n"
                                    L"  entries that cannot be written where their names say are skipped,\n"
                                    L"  named with the reason, and make the exit code 2\n",
                                    cab}};

} // namespace
} // namespace zelut

#include "../Command.h"

#include <QoKivZelUt/WinPath.h>

#include <sstream>

namespace zelut {
namespace {

int normalize(const Args& paths)
{
    for (const std::wstring& p : paths)
        out(WinPath(p).str() + L"\n");
    return kTrue;
}

int equal(const Args& paths)
{
    bool same = WinPath(paths[0]) == WinPath(paths[1]);
    out(same ? L"true\n" : L"false\n");
    return same ? kTrue : kFalse;
}

int version(const Args& paths)
{
    int result = kTrue;
    for (const std::wstring& p : paths) {
        WinPath file(p);
        std::vector<unsigned short> v = file.getFileVersion();
        std::wostringstream line;
        line << file << L": ";
        if (v[0] == 0xFFFF && v[1] == 0xFFFF && v[2] == 0xFFFF && v[3] == 0xFFFF) {
            line << L"no version resource";
            result = kFalse;
        } else {
            line << v[0] << L'.' << v[1] << L'.' << v[2] << L'.' << v[3];
            std::wstring product = file.getVersionString(L"ProductName");
            if (!product.empty())
                line << L" (" << product << L")";
        }
        out(line.str() + L"\n");
    }
    return result;
}

int run(const Args& args)
{
    if (args.size() < 2)
        throw UsageError{L"missing action or path"};
    Args paths(args.begin() + 1, args.end());
    if (args[0] == L"normalize")
        return normalize(paths);
    if (args[0] == L"equal" && paths.size() == 2)
        return equal(paths);
    if (args[0] == L"version")
        return version(paths);
    throw UsageError{L"bad arguments"};
}

const Registration registration{{L"path", L"normalise and compare paths, read file versions",
                                 L"usage: zelut path normalize PATH...   print each path normalised\n"
                                 L"       zelut path equal A B           true (exit 0) or false (exit 1)\n"
                                 L"       zelut path version FILE...     the file version resource\n",
                                 run}};

} // namespace
} // namespace zelut

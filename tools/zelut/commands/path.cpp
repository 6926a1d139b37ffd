#include "../Command.h"

#include <QoKivZelUt/WinPath.h>
#include <QoKivZelUt/ZelPath.h>

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

int unique(const Args& paths)
{
    for (const std::wstring& p : paths)
        out(CZelPath::PathMakeUnique(WinPath(p)).str() + L"\n");
    return kTrue;
}

const wchar_t* stateText(INPUT_PATH_STATE state)
{
    switch (state) {
    case INPUT_PATH_USABLE: return L"usable";
    case INPUT_PATH_LOCAL_NOT_WRITABLE: return L"local directory, no file can be created in it";
    case INPUT_PATH_NETWORK_NOT_WRITABLE: return L"network path, no file can be created in it";
    case INPUT_PATH_MISSING: return L"empty or missing";
    default: return L"unknown";
    }
}

int verify(const Args& paths)
{
    int result = kTrue;
    for (const std::wstring& p : paths) {
        INPUT_PATH_STATE state = CZelPath::Verify(WinPath(p));
        out(p + L": " + std::to_wstring(state) + L" " + stateText(state) + L"\n");
        if (state != INPUT_PATH_USABLE)
            result = kFalse;
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
    if (args[0] == L"unique")
        return unique(paths);
    if (args[0] == L"verify")
        return verify(paths);
    throw UsageError{L"bad arguments"};
}

const Registration registration{{L"path", L"normalise, compare, make canonical and check paths; file versions",
                                 L"usage: zelut path normalize PATH...   print each path normalised\n"
                                 L"       zelut path equal A B           true (exit 0) or false (exit 1)\n"
                                 L"       zelut path version FILE...     the file version resource\n"
                                 L"       zelut path unique PATH...      canonical: variables expanded, network\n"
                                 L"                                      drives as UNC, long names\n"
                                 L"       zelut path verify PATH...      whether a file can be created there\n"
                                 L"                                      (0 usable, 2/3 not writable, 4 missing;\n"
                                 L"                                      exit 0 only when all are usable)\n",
                                 run}};

} // namespace
} // namespace zelut

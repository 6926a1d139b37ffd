#include "../Command.h"

#include <QoKivZelUt/ZelPath.h>

#include <algorithm>

namespace zelut {
namespace {

bool takeFlag(Args& args, const std::wstring& flag)
{
    auto found = std::find(args.begin(), args.end(), flag);
    if (found == args.end())
        return false;
    args.erase(found);
    return true;
}

int unc(const Args& given)
{
    Args args(given);
    if (args.size() == 2 && args[0] == L"local") {
        out(CZelPath::GetLocalPathFromUNC(WinPath(args[1])).str() + L"\n");
        return kTrue;
    }
    bool hidden = takeFlag(args, L"--hidden");
    bool noShareSearch = takeFlag(args, L"--no-share-search");
    if (args.size() != 1)
        throw UsageError{L"expected one path"};
    out(CZelPath::NetGetUniversalName(WinPath(args[0]), hidden, noShareSearch).str() + L"\n");
    return kTrue;
}

int shares(const Args& args)
{
    if (!args.empty())
        throw UsageError{L"no arguments expected"};
    for (const CZelPath::shareInfo& share : CZelPath::NetEnumShares())
        out(share.name + L"\t" + share.path.str() + L"\n");
    return kTrue;
}

int argsEqual(const Args& args)
{
    if (args.size() != 2)
        throw UsageError{L"expected two argument strings"};
    bool equal = CZelPath::ArgumentsEqual(args[0], args[1]);
    out(equal ? L"true\n" : L"false\n");
    return equal ? kTrue : kFalse;
}

const Registration uncCommand{
    {L"unc", L"the UNC form of a local path, the local path of a UNC path",
     L"usage: zelut unc PATH [--hidden] [--no-share-search]\n"
     L"           the path as other machines reach it: through the network redirector,\n"
     L"           else through a share of this computer (--hidden: shares ending in $ too)\n"
     L"       zelut unc local UNCPATH\n"
     L"           the local directory behind a share of this computer\n",
     unc}};
const Registration sharesCommand{
    {L"shares", L"list the shares of this computer", L"usage: zelut shares   one line per share: NAME<TAB>DIRECTORY\n",
     shares}};
const Registration argsEqualCommand{
    {L"args-equal", L"compare two argument strings loosely",
     L"usage: zelut args-equal A B\n"
     L"       true (exit 0) when A and B are equal apart from blanks, '/' and case\n",
     argsEqual}};

} // namespace
} // namespace zelut

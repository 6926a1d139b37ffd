#include "../Command.h"

#include <QoKivZelLg.h>
#include <QoKivZelUt/RemoteShare.h>

#include <map>
#include <memory>

namespace zelut {
namespace {

// The library's errors are only logged; while this lives they go to standard error too.
class ErrorsToStderr {
public:
    ErrorsToStderr() { ZelLgSetSink(&echo, nullptr); }
    ~ErrorsToStderr() { ZelLgSetSink(nullptr, nullptr); }
    ErrorsToStderr(const ErrorsToStderr&) = delete;
    ErrorsToStderr& operator=(const ErrorsToStderr&) = delete;

private:
    static void echo(const ZelLgEntry* entry, void*)
    {
        if (entry->type == L'E')
            err(std::wstring(entry->text) + L"\n");
    }
};

struct ShareRequest {
    std::wstring action;
    std::wstring computer;
    CZelRemoteShare::enumDirToShare dir = CZelRemoteShare::eDirUnset;
    std::wstring path;
    std::wstring name;
    bool keep = false;
    bool readExecute = false;
};

std::wstring valueOf(const Args& args, size_t& i)
{
    if (i + 1 >= args.size())
        throw UsageError{args[i] + L" needs a value"};
    return args[++i];
}

ShareRequest parse(const Args& args)
{
    static const std::map<std::wstring, CZelRemoteShare::enumDirToShare> kDirs = {
        {L"sysroot", CZelRemoteShare::eDirSystemRoot},
        {L"system", CZelRemoteShare::eDirSystem},
        {L"programfiles", CZelRemoteShare::eDirProgramFiles},
        {L"commonfiles", CZelRemoteShare::eDirCommonFiles},
    };
    if (args.size() < 2 || (args[0] != L"open" && args[0] != L"close" && args[0] != L"status"))
        throw UsageError{L"expected open, close or status and a computer name"};
    ShareRequest request;
    request.action = args[0];
    request.computer = args[1] == L"." ? L"" : args[1];
    for (size_t i = 2; i < args.size(); ++i) {
        if (args[i] == L"--dir") {
            auto dir = kDirs.find(valueOf(args, i));
            if (dir == kDirs.end())
                throw UsageError{L"expected sysroot, system, programfiles or commonfiles: " + args[i]};
            request.dir = dir->second;
        } else if (args[i] == L"--path") {
            request.path = valueOf(args, i);
        } else if (args[i] == L"--name") {
            request.name = valueOf(args, i);
        } else if (args[i] == L"--keep") {
            request.keep = true;
        } else if (args[i] == L"--read-execute") {
            request.readExecute = true;
        } else {
            throw UsageError{L"unknown option " + args[i]};
        }
    }
    if ((request.dir == CZelRemoteShare::eDirUnset) == request.path.empty())
        throw UsageError{L"expected either --dir or --path"};
    if (request.readExecute && request.path.empty())
        throw UsageError{L"--read-execute applies to a share of a chosen --path"};
    if (request.action != L"open" && !request.path.empty() && request.name.empty())
        throw UsageError{L"a share of a chosen --path is found by its --name"};
    return request;
}

void printPaths(const CZelRemoteShare& share)
{
    out(L"UNC path:   " + share.GetUNCPath().str() + L"\n");
    out(L"local path: " + share.GetLocalPath().str() + L"\n");
}

int share(const Args& args)
{
    ShareRequest request = parse(args);
    ErrorsToStderr errors;
    // Closing and asking leave the share as it is; opening removes it on exit unless kept.
    const bool keep = request.action != L"open" || request.keep;
    std::unique_ptr<CZelRemoteShare> share;
    if (request.path.empty())
        share.reset(new CZelRemoteShare(request.computer, request.dir, keep));
    else
        share.reset(new CZelRemoteShare(request.computer, request.path, keep,
                                        request.readExecute ? CZelRemoteShare::eRightsReadExecute
                                                            : CZelRemoteShare::eRightsDefault));
    if (!request.name.empty())
        share->SetShareName(request.name);
    if (request.action == L"status") {
        bool open = share->isOpen();
        out(share->GetUNCPath().str() + (open ? L": open\n" : L": not open\n"));
        return open ? kTrue : kFalse;
    }
    if (request.action == L"close") {
        bool open = share->isOpen();
        share->CloseShare();
        out(share->GetUNCPath().str() + (open ? L": closed\n" : L": was not open\n"));
        return open ? kTrue : kFalse;
    }
    if (!share->OpenShare()) {
        err(L"zelut share: the share could not be opened\n");
        return kFalse;
    }
    printPaths(*share);
    if (!keep)
        out(L"(removed again now; --keep leaves it in place)\n");
    return kTrue;
}

const Registration registration{
    {L"share", L"open, close or ask after a hidden share on another computer",
     L"usage: zelut share open|close|status COMPUTER (--dir KIND | --path PATH) [--name NAME] [--keep]\n"
     L"                   [--read-execute]\n"
     L"  COMPUTER  a computer name, \\\\name or \\name; '.' for this computer under its own name\n"
     L"  --dir     sysroot, system, programfiles or commonfiles: the target's directory,\n"
     L"            read from its registry (its remote registry service is started meanwhile)\n"
     L"  --path    a directory of the target's own choosing (close and status need --name)\n"
     L"  --name    the share's name; by default KIV_SR$, KIV_SD$, KIV_PF$, KIV_CF$, or\n"
     L"            KIV_AS$_<tick count> for a --path\n"
     L"  --keep    open leaves the share in place (otherwise it is removed when zelut ends)\n"
     L"  --read-execute  with --path: everyone may read and execute, nothing more\n"
     L"  open prints the UNC and the local path; exit 1 when the share could not be opened\n"
     L"  (the reasons go to standard error), or for close and status when it is not open\n",
     share}};

} // namespace
} // namespace zelut

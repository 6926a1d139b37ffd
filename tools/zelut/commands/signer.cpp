#include "../Command.h"

#include <QoKivZelUt/CodeSigning.h>

namespace zelut {
namespace {

int run(const Args& files)
{
    if (files.empty())
        throw UsageError{L"missing file"};
    int result = kTrue;
    for (const std::wstring& file : files) {
        std::wstring signer = ZelUt::CodeSigningReader(WinPath(file)).readSignerInfo();
        out(file + L": " + (signer.empty() ? L"(not signed, or the signature is not accepted)" : signer) + L"\n");
        if (signer.empty())
            result = kFalse;
    }
    return result;
}

const Registration registration{
    {L"signer", L"who signed a file (Authenticode, as the system verifies it)",
     L"usage: zelut signer FILE...\n"
     L"       the signer's name per file; exit 1 when a file has no accepted signature\n",
     run}};

} // namespace
} // namespace zelut

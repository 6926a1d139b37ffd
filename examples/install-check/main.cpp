// install-check: what a setup program asks before it installs.
//   1. Does the install condition hold for this machine and this setup?
//   2. Is the payload the one that was sealed into the checksum repository?
//   3. Which modules would the program to install lack here?
// install-check PAYLOAD PROGRAM   (exit 0: ready to install, 1: not, 2: error)
#include <QoKivZelUt/FileHasher.h>
#include <QoKivZelUt/ImageResolver.h>
#include <QoKivZelUt/ZelCondition.h>
#include <QoKivZelUt/ZelException.h>

#include <cstdio>
#include <map>
#include <string>

namespace {

// The setup's own answers to what a condition asks about.
class SetupFacts : public IZelConditionCallback {
public:
    std::map<std::wstring, std::wstring> variables{{L"%EDITION%", L"Workstation"}, {L"%LANGUAGE%", L"1033"}};

    std::wstring expandSymbol(const std::wstring& reference) override
    {
        auto found = variables.find(reference);
        return found == variables.end() ? std::wstring() : found->second;
    }
    bool isProductAvailable(const CGuid&) override { return true; }
    bool isProductAvailableOnServer(const CGuid&) override { return false; }
    KivSetup::ProductVersion getProductVersion(const CGuid&) override { return KivSetup::ProductVersion(7, 40); }
    bool isProductInstalled(const CGuid&) override { return false; }
    FileVersionNumber queryFileVersion(const std::wstring&) override { return FileVersionNumber(); }
    bool isProductPartAvailable(const CGuid&) override { return true; }
    bool isProductPartAvailableOnServer(const CGuid&) override { return false; }
    bool isProductPartInstalled(const CGuid&) override { return false; }
};

bool conditionHolds(const std::wstring& expression)
{
    SetupFacts facts;
    ZelCondition condition(expression, &facts);
    if (!condition.parse()) {
        std::wprintf(L"condition: %ls\n", condition.getErrorMessage().c_str());
        return false;
    }
    bool result = condition.getResult();
    std::wprintf(L"condition: %ls -> %ls\n", expression.c_str(), result ? L"true" : L"false");
    return result;
}

bool payloadIsSealed(const WinPath& payload)
{
    ZelUt::FileHasher hasher;
    if (!hasher.getRepositoryName(payload).exists())
        hasher.updateAuthentication(payload);  // first run: seal it
    bool intact = hasher.authenticateFile(payload);
    std::wprintf(L"payload: %ls %ls\n", payload.str().c_str(), intact ? L"matches its seal" : L"was changed");
    return intact;
}

bool programLoadsHere(const WinPath& program)
{
    ImageResolver resolver(program);
    bool complete = resolver.resolveReferences();
    std::wprintf(L"program: %ls needs %u modules", program.str().c_str(),
                 static_cast<unsigned>(resolver.getRequiredModules().size()));
    if (complete) {
        std::wprintf(L", none missing\n");
        return true;
    }
    std::wprintf(L"; missing:\n");
    for (const WinPath& module : resolver.getMissingModules())
        std::wprintf(L"  %ls\n", module.str().c_str());
    for (const auto& entry : resolver.getMissingExports())
        for (const std::wstring& name : entry.second)
            std::wprintf(L"  %ls!%ls (for %ls)\n", entry.first.second.str().c_str(), name.c_str(),
                         entry.first.first.str().c_str());
    return false;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc != 3) {
        std::fwprintf(stderr, L"usage: install-check PAYLOAD PROGRAM\n");
        return 2;
    }
    try {
        bool ready = conditionHolds(L"(%EDITION% = Workstation) & (%LANGUAGE% = 1033) & "
                                    L"NOT (IsProductInstalled({8C3A5E21-0D44-4F1B-9A6E-2B7C1D0E9F10}))");
        ready = payloadIsSealed(WinPath(argv[1])) && ready;
        ready = programLoadsHere(WinPath(argv[2])) && ready;
        std::wprintf(ready ? L"ready to install\n" : L"not ready to install\n");
        return ready ? 0 : 1;
    } catch (const CZelException& e) {
        std::fwprintf(stderr, L"install-check: %ls\n", e.getFullText().c_str());
        return 2;
    }
}

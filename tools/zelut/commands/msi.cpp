// msi install|remove|check: drives one package or installed product.
#include "../Command.h"
#include "../Progress.h"

#include <QoKivZelUt/MsiProduct.h>

#include <memory>

namespace zelut {
namespace {

// The installation's steps on a bar (on a console only); waiting is always said.
class TerminalProgress : public ZelMsiProduct::IProgressCallback {
public:
    explicit TerminalProgress(bool quiet) : m_bar(quiet, L"steps") {}

    void step(int currentStep, int numberOfSteps, bool waiting) override
    {
        if (waiting) {
            m_bar.clear();
            err(L"waiting for another installation to finish...\n");
            return;
        }
        m_bar.update(currentStep, numberOfSteps);
    }

    int filesInUse(const std::wstring& program, const std::wstring& windowTitle) override
    {
        m_bar.clear();
        err(L"in use by " + program + L" (\"" + windowTitle + L"\"): left to the Installer\n");
        return 0;
    }

private:
    ProgressBar m_bar;
};

std::unique_ptr<ZelMsiProduct> open(const std::wstring& target, ZelMsiProduct::IProgressCallback* progress)
{
    if (!target.empty() && target[0] == L'{')
        return std::make_unique<ZelMsiProduct>(ATL::CComBSTR(target.c_str()), progress);
    return std::make_unique<ZelMsiProduct>(WinAPI::fullpath(WinPath(target)), std::vector<WinPath>(), progress);
}

std::vector<std::pair<ATL::CComBSTR, ATL::CComBSTR>> properties(const Args& args)
{
    std::vector<std::pair<ATL::CComBSTR, ATL::CComBSTR>> result;
    for (size_t i = 2; i < args.size(); ++i) {
        size_t equals = args[i].find(L'=');
        if (equals == 0 || equals == std::wstring::npos)
            throw UsageError{L"not PROP=VALUE: " + args[i]};
        result.emplace_back(args[i].substr(0, equals).c_str(), args[i].substr(equals + 1).c_str());
    }
    return result;
}

int run(const Args& given)
{
    Args args(given);
    const bool quiet = takeQuiet(args);
    if (args.size() < 2)
        throw UsageError{L"expected an action and a PACKAGE"};
    const std::wstring& action = args[0];
    if (action != L"install" && action != L"remove" && action != L"check")
        throw UsageError{L"unknown action " + action};
    if (action != L"install" && args.size() != 2)
        throw UsageError{L"properties are taken by install only"};
    auto props = properties(args);
    TerminalProgress progress(quiet);
    std::unique_ptr<ZelMsiProduct> product;
    try {
        product = open(args[1], &progress);
    } catch (const CZelException& e) {
        // A product code the Installer does not know is simply not installed.
        if (action == L"install" || e.getErrorCode() != ERROR_UNKNOWN_PRODUCT)
            throw;
        out(args[1] + L": not installed\n");
        return action == L"check" ? kFalse : kTrue;
    }
    std::wstring name = product->getProductName().m_str ? product->getProductName().m_str : L"";
    if (action == L"check") {
        bool installed = product->check();
        out(name + L" " + product->getProductCode().m_str + (installed ? L": installed\n" : L": not installed\n"));
        return installed ? kTrue : kFalse;
    }
    if (action == L"install") {
        product->install(props);
        out(L"installed " + name + L"\n");
    } else {
        product->uninstall();
        out(L"removed " + name + L"\n");
    }
    return kTrue;
}

const Registration registration{{L"msi", L"install, remove or check an Installer package",
                                 L"usage: zelut msi install PACKAGE [PROP=VALUE...] [--quiet]\n"
                                 L"       zelut msi remove PACKAGE|{PRODUCT-CODE}\n"
                                 L"       zelut msi check PACKAGE|{PRODUCT-CODE}\n"
                                 L"  install passes REBOOT=ReallySuppress ALLUSERS=1 and the properties; a progress\n"
                                 L"  bar goes to standard error when it is a console (--quiet: none).\n"
                                 L"  check exits 0 when installed, 1 when not.\n"
                                 L"  The product's Installer log is written to the log directory.\n",
                                 run}};

} // namespace
} // namespace zelut

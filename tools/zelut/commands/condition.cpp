#include "../Command.h"

#include <QoKivZelUt/WinAPI.h>
#include <QoKivZelUt/ZelCondition.h>

#include <cwctype>
#include <map>
#include <set>

namespace zelut {
namespace {

std::wstring upper(std::wstring s)
{
    for (wchar_t& c : s)
        c = static_cast<wchar_t>(std::towupper(c));
    return s;
}

// Answers the evaluator from the command line, the environment and the file system.
class CommandLineAnswers : public IZelConditionCallback {
public:
    std::map<std::wstring, std::wstring> variables;          // upper-cased names
    std::map<CGuid, std::set<std::wstring>> productStates;  // installed, available, server, part-...
    std::map<CGuid, KivSetup::ProductVersion> versions;

    std::wstring expandSymbol(const std::wstring& reference) override
    {
        std::wstring name = reference;
        while (!name.empty() && name.front() == L'%')
            name.erase(0, 1);
        while (!name.empty() && name.back() == L'%')
            name.pop_back();
        auto found = variables.find(upper(name));
        return found != variables.end() ? found->second : WinAPI::getEnvironmentVariable(name);
    }
    bool isProductAvailable(const CGuid& g) override { return has(g, L"available"); }
    bool isProductAvailableOnServer(const CGuid& g) override { return has(g, L"server"); }
    bool isProductInstalled(const CGuid& g) override { return has(g, L"installed"); }
    bool isProductPartAvailable(const CGuid& g) override { return has(g, L"part-available"); }
    bool isProductPartAvailableOnServer(const CGuid& g) override { return has(g, L"part-server"); }
    bool isProductPartInstalled(const CGuid& g) override { return has(g, L"part-installed"); }
    KivSetup::ProductVersion getProductVersion(const CGuid& g) override
    {
        auto found = versions.find(g);
        return found != versions.end() ? found->second : KivSetup::ProductVersion();
    }
    FileVersionNumber queryFileVersion(const std::wstring& name) override
    {
        try {
            std::vector<unsigned short> v = WinAPI::searchPath(name).getFileVersion();
            return FileVersionNumber(v[0], v[1], v[2], v[3]);
        } catch (const CZelException&) {
            return FileVersionNumber();
        }
    }

private:
    bool has(const CGuid& g, const wchar_t* state)
    {
        auto found = productStates.find(g);
        return found != productStates.end() && found->second.count(state) > 0;
    }
};

std::pair<std::wstring, std::wstring> splitAssignment(const std::wstring& text)
{
    size_t eq = text.find(L'=');
    if (eq == std::wstring::npos || eq == 0)
        throw UsageError{L"expected NAME=VALUE, got " + text};
    return {text.substr(0, eq), text.substr(eq + 1)};
}

int run(const Args& args)
{
    CommandLineAnswers answers;
    std::wstring expression;
    bool haveExpression = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::wstring& a = args[i];
        bool option = a == L"--var" || a == L"--product" || a == L"--product-version";
        if (option && i + 1 >= args.size())
            throw UsageError{a + L" needs a value"};
        if (a == L"--var") {
            auto kv = splitAssignment(args[++i]);
            answers.variables[upper(kv.first)] = kv.second;
        } else if (a == L"--product") {
            auto kv = splitAssignment(args[++i]);
            std::set<std::wstring>& states = answers.productStates[CGuid(kv.first)];
            for (size_t start = 0; start <= kv.second.size();) {
                size_t comma = kv.second.find(L',', start);
                states.insert(kv.second.substr(start, comma == std::wstring::npos ? std::wstring::npos : comma - start));
                if (comma == std::wstring::npos)
                    break;
                start = comma + 1;
            }
        } else if (a == L"--product-version") {
            auto kv = splitAssignment(args[++i]);
            answers.versions[CGuid(kv.first)] = KivSetup::ProductVersion(kv.second);
        } else if (!haveExpression) {
            expression = a;
            haveExpression = true;
        } else {
            throw UsageError{L"more than one condition given"};
        }
    }
    if (!haveExpression)
        throw UsageError{L"missing condition"};
    ZelCondition condition(expression, &answers);
    if (!condition.parse()) {
        err(condition.getErrorMessage() + L"\n");
        return kError;
    }
    bool result = condition.getResult();
    if (!condition.getErrorMessage().empty())
        err(condition.getErrorMessage() + L"\n");
    out(result ? L"true\n" : L"false\n");
    return result ? kTrue : kFalse;
}

const Registration registration{
    {L"condition", L"evaluate an install condition",
     L"usage: zelut condition [OPTIONS] EXPRESSION\n"
     L"  prints true (exit 0) or false (exit 1); a bad condition prints its error (exit 2)\n"
     L"  --var NAME=VALUE                 answer %NAME% (else the environment variable NAME)\n"
     L"  --product GUID=STATE[,STATE...]  STATE: installed, available, server,\n"
     L"                                   part-installed, part-available, part-server\n"
     L"  --product-version GUID=MAJOR.MINOR\n"
     L"  FileVersion(name) of a name without a path is looked up on the search path.\n"
     L"example: zelut condition --var OS=Windows_NT \"(%OS% = Windows_NT) & NOT (IsProductInstalled({...}))\"\n",
     run}};

} // namespace
} // namespace zelut

// Token-level tests of the condition scanner, which is pure and built into this suite.
#include "condition/ConditionScanner.h"

#include "TestEnv.h"

#include <gtest/gtest.h>

using namespace ZelUt::condition;

namespace {

struct Scanned : ConditionScanner::Host {
    std::vector<std::wstring> expansions;
    std::vector<std::string> errors;
    std::wstring expand(const std::wstring& r) override
    {
        expansions.push_back(r);
        return L"<" + r.substr(1, r.size() - 2) + L">";
    }
    void scanError(const char* m) override { errors.push_back(m); }
};

// Token codes with their text (SYMBOL), number, list or version.
std::vector<std::wstring> scan(const std::string& text, Scanned* host = nullptr)
{
    Scanned local;
    Scanned& h = host ? *host : local;
    ConditionScanner scanner;
    scanner.reset(text, h);
    std::vector<std::wstring> tokens;
    ConditionValue v;
    for (int guard = 0; guard < 1000; ++guard) {
        int t = scanner.next(v);
        if (t == 0)
            break;
        std::wstring item = std::to_wstring(t);
        if (t == SYMBOL)
            item += L":" + v.text;
        if (t == NUMBER)
            item += L":" + std::to_wstring(v.number);
        if (t == VALUELIST)
            for (const std::wstring& e : v.list)
                item += L"|" + e;
        if (t == FILEVERSION)
            item += L":" + std::to_wstring(v.fileVersion.parts[0]) + L"." + std::to_wstring(v.fileVersion.parts[3]);
        if (t == PRODUCTVERSION)
            item += L":" + std::to_wstring(v.productVersion.major) + L"." + std::to_wstring(v.productVersion.minor);
        tokens.push_back(item);
    }
    return tokens;
}

using V = std::vector<std::wstring>;

// Every row of tokens.txt, and the empty text: no token at all.
TEST(ConditionScanner, TokensOfTheTable)
{
    EXPECT_EQ(V{}, scan(""));
    std::vector<std::vector<std::wstring>> rows = qkztest::tableRows(L"condition\\tokens.txt");
    ASSERT_GE(rows.size(), 35u);
    for (const auto& row : rows)
        EXPECT_EQ(V(row.begin() + 1, row.end()), scan(WinAPI::toUtf8(row[0]))) << WinAPI::toUtf8(row[0]);
}

TEST(ConditionScanner, ExpansionsAndErrors)
{
    using Errors = std::vector<std::string>;
    const struct {
        std::string text;
        V tokens, expanded;
        Errors errors;
    } rows[] = {
        {"\"%a%\\x\"", {L"266:<a>\\x"}, {L"%a%"}, {}},
        {"%a%%b%", {L"266:<a>", L"266:<b>"}, {L"%a%", L"%b%"}, {}},
        {"%%a%", {L"266:<a>"}, {L"%a%"}, {}},
        {"%%Target%%", {L"266:<%Target%>"}, {L"%%Target%%"}, {}},
        {"a = \"abc", {L"266:a", L"260"}, {}, {"Unterminated string constant"}},
        {"a = [x, y", {L"266:a", L"260"}, {}, {"Unterminated bracket list"}},
        {"a = " + std::string(20000, 'y'), {L"266:a", L"260"}, {},
         {"input buffer overflow, can't enlarge buffer because scanner uses REJECT"}},
    };
    for (const auto& row : rows) {
        Scanned host;
        EXPECT_EQ(row.tokens, scan(row.text, &host)) << row.text.substr(0, 20);
        EXPECT_EQ(row.expanded, host.expansions) << row.text.substr(0, 20);
        EXPECT_EQ(row.errors, host.errors) << row.text.substr(0, 20);
    }
}

} // namespace

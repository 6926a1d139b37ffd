#include "TestEnv.h"

#include <QoKivZelUt/ZelCondition.h>

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <thread>

namespace {

const CGuid kInstalled(L"{12345678-1234-1234-1234-123456789012}");
const CGuid kMissing(L"{00000000-1111-2222-3333-444444444444}");

// Answers from maps and records every call in order.
class Answers : public IZelConditionCallback {
public:
    std::map<std::wstring, std::wstring> variables;
    std::vector<std::wstring> calls;

    std::wstring expandSymbol(const std::wstring& r) override
    {
        calls.push_back(L"expand " + r);
        auto found = variables.find(r);
        return found == variables.end() ? std::wstring() : found->second;
    }
    bool isProductAvailable(const CGuid& g) override { return query(L"available", g); }
    bool isProductAvailableOnServer(const CGuid& g) override { return query(L"server", g); }
    KivSetup::ProductVersion getProductVersion(const CGuid& g) override
    {
        calls.push_back(L"version " + g.toString());
        return g == kInstalled ? KivSetup::ProductVersion(7, 40) : KivSetup::ProductVersion();
    }
    bool isProductInstalled(const CGuid& g) override { return query(L"installed", g); }
    FileVersionNumber queryFileVersion(const std::wstring& name) override
    {
        calls.push_back(L"file " + name);
        return FileVersionNumber(5, 6, 7, 8);
    }
    bool isProductPartAvailable(const CGuid& g) override { return query(L"part-available", g); }
    bool isProductPartAvailableOnServer(const CGuid& g) override { return query(L"part-server", g); }
    bool isProductPartInstalled(const CGuid& g) override { return query(L"part-installed", g); }

private:
    bool query(const wchar_t* what, const CGuid& g)
    {
        calls.push_back(std::wstring(what) + L" " + g.toString());
        return g == kInstalled;
    }
};

struct Outcome {
    bool parsed;
    bool result;
    std::wstring error;
};

Outcome evaluate(const std::wstring& expression, IZelConditionCallback* answers)
{
    ZelCondition condition(expression, answers);
    bool parsed = condition.parse();
    return {parsed, condition.getResult(), condition.getErrorMessage()};
}

class ConditionTable : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir = std::make_unique<qkztest::TempDir>();
        WinPath text = dir->write(L"lines.txt", "Alpha beta\r\ngamma\r\ndelta and more\n");
        answers.variables = {
            {L"%A%", L"a"},          {L"%B%", L"b"},
            {L"%EMPTY%", L""},       {L"%NUM%", L"0042"},
            {L"%ONE%", L"1"},        {L"%TWO%", L"2"},
            {L"%THREE%", L"3"},      {L"%SELF%", L"%SELF%"},
            {L"%PF%", L"C:\\Apps"},  {L"%WIN%", WinAPI::getWindowsDirectory().str()},
            {L"%TXT%", text.str()},  {L"%DLL%", (qkztest::binDir() / L"QoKivZelUt.dll").str()},
            {L"%%Target%%", L"T"},   {L"%NOFILE%", (dir->path() / L"missing.txt").str()},
            {L"%EMPTYFILE%", dir->write(L"empty.txt", "").str()},
            {L"%HUGEFILE%", dir->writeLarge(L"huge.txt", "Alpha beta\r\n", 3ull << 30).str()},
        };
    }
    std::unique_ptr<qkztest::TempDir> dir;
    Answers answers;
};

// Every row of conditions.txt: parsed, result and the end of the error message.
TEST_F(ConditionTable, EveryRowOfTheTable)
{
    std::vector<std::vector<std::wstring>> rows = qkztest::tableRows(L"condition\\conditions.txt");
    ASSERT_GE(rows.size(), 80u);
    for (const auto& row : rows) {
        ASSERT_EQ(4u, row.size());
        Outcome o = evaluate(row[0], &answers);
        SCOPED_TRACE(WinAPI::toUtf8(row[0]));
        EXPECT_EQ(row[1] == L"true", o.parsed);
        EXPECT_EQ(row[2] == L"true", o.result);
        const std::wstring& tail = row[3];
        EXPECT_TRUE(tail.empty() ? o.error.empty()
                                 : o.error.size() >= tail.size() && o.error.compare(o.error.size() - tail.size(), tail.size(), tail) == 0)
            << WinAPI::toUtf8(o.error);
    }
}

TEST_F(ConditionTable, NestingAndLongTokens)
{
    std::wstring deep = std::wstring(200, L'(') + L"a=a" + std::wstring(200, L')');
    Outcome o = evaluate(deep, &answers);
    EXPECT_FALSE(o.parsed);
    EXPECT_FALSE(o.result);
    EXPECT_NE(std::wstring::npos, o.error.find(L"': memory exhausted"));
    std::wstring nested = std::wstring(150, L'(') + L"a=a" + std::wstring(150, L')');
    EXPECT_TRUE(evaluate(nested, &answers).result);

    // version literals up to the longest token the scanner takes give a result
    const std::wstring digits(16000, L'9');
    EXPECT_NE(std::wstring::npos, evaluate(L"A = " + digits + L".1", &answers).error.find(L": syntax error"));
    Outcome version = evaluate(L"ProductVersion({12345678-1234-1234-1234-123456789012}) < " + digits + L".1", &answers);
    EXPECT_TRUE(version.parsed && version.result);
    EXPECT_NE(std::wstring::npos, evaluate(L"a = " + std::wstring(20000, L'7') + L".1", &answers).error.find(L"REJECT"));

    Outcome huge = evaluate(L"a = " + std::wstring(20000, L'y'), &answers);
    EXPECT_NE(std::wstring::npos, huge.error.find(L"input buffer overflow, can't enlarge buffer because scanner uses REJECT"));
}

TEST_F(ConditionTable, CallsComeInTextOrderAndBothOperandsAreEvaluated)
{
    Outcome o = evaluate(L"(%PF% = C:\\Other) AND NOT (IsProductAvailable({12345678-1234-1234-1234-123456789012})) "
                         L"& FileVersion(x.dll) = 5.6.7.8",
                         &answers);
    EXPECT_TRUE(o.parsed);
    EXPECT_FALSE(o.result);
    EXPECT_EQ((std::vector<std::wstring>{L"expand %PF%", L"available {12345678-1234-1234-1234-123456789012}",
                                         L"file x.dll"}),
              answers.calls);
    answers.calls.clear();
    evaluate(L"x <> 1.2.3.4", &answers);
    EXPECT_TRUE(answers.calls.empty());
}

TEST(ZelCondition, LogsResultsAndErrors)
{
    qkztest::LogCapture log;
    evaluate(L"x=x", nullptr);
    evaluate(L"a = = b", nullptr);
    std::wstring entries;  // type and text, an entry a line
    for (const qkztest::LogEntry& e : log.entries())
        entries += e.type + (L" " + e.text) + L"\n";
    EXPECT_EQ(L"  Condition 'x=x' evaluated to true.\n"
              L"E Error in expression 'a = = b' at posistion 6 'a = = <-here b': syntax error\n"
              L"  Condition 'a = = b' evaluated to false.\n",
              entries);
}

TEST(ZelCondition, ErrorPositionSplitsAtCharactersInMultiByteCodePages)
{
    LCID before = GetThreadLocale();
    ASSERT_TRUE(SetThreadLocale(MAKELCID(MAKELANGID(LANG_JAPANESE, SUBLANG_DEFAULT), SORT_DEFAULT)));
    Outcome o = evaluate(L"\u65e5\u672c = x = y", nullptr);
    SetThreadLocale(before);
    EXPECT_EQ(L"Error in expression '\u65e5\u672c = x = y' at posistion 11 '\u65e5\u672c = x = <-here y': syntax error",
              o.error);
}

TEST(ZelCondition, SecondEvaluatorOnTheSameThreadThrowsInsteadOfDeadlocking)
{
    {
        ZelCondition first(L"a=a", nullptr);
        EXPECT_EQ(qkztest::failureOf([&] { ZelCondition second(L"b=b", nullptr); }).code, static_cast<unsigned long>(ERROR_POSSIBLE_DEADLOCK));
        EXPECT_TRUE(first.parse());
    }
    struct Reentrant : Answers {
        std::wstring expandSymbol(const std::wstring&) override
        {
            ZelCondition inner(L"x=x", this);
            return L"never";
        }
    } reentrant;
    EXPECT_THROW(evaluate(L"%A% = a", &reentrant), CZelException);
    EXPECT_THROW(evaluate(L"%A% = a", nullptr), CZelException);  // a reference needs a callback
    EXPECT_TRUE(evaluate(L"a=a", nullptr).result);             // the lock was released
}

TEST(ZelCondition, ConcurrentEvaluationsFromManyThreads)
{
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t)
        threads.emplace_back([&, t] {
            Answers mine;
            mine.variables[L"%T%"] = std::to_wstring(t);
            for (int i = 0; i < 150; ++i) {
                bool expected = (i + t) % 2 == 0;
                std::wstring expression = L"(%T% = " + std::to_wstring(t) + L") & (" + std::to_wstring(i + t) +
                                          (expected ? L" = " : L" <> ") + std::to_wstring(i + t) + L") | (a = b)";
                Outcome o = evaluate(expression, &mine);
                // OR binds tighter: T=t AND ((i+t op i+t) OR a=b)
                if (!o.parsed || o.result != expected)
                    ++wrong;
            }
        });
    for (std::thread& th : threads)
        th.join();
    EXPECT_EQ(0, wrong.load());
}

} // namespace

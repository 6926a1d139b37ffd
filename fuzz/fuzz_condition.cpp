// Install conditions, scanned and evaluated against an environment whose
// answers follow from the question. Property: an evaluation ends with a
// result or with the scanner's or grammar's error text, never otherwise; a
// rejected condition always has its error text (a scanner error ends the
// input, and what came before may still be accepted).
#include "FuzzText.h"
#include "condition/Evaluation.h"

using namespace ZelUt;
using namespace ZelUt::condition;

namespace {

// Deterministic answers: full paths are "C:\..." texts, files exist when their
// name has an even length, versions and states come from the bytes asked about.
class Answers : public Environment {
public:
    std::wstring expandSymbol(const std::wstring& reference) override
    {
        return reference.size() % 3 ? reference.substr(1, reference.size() / 2) : std::wstring(L"C:\\x");
    }
    bool productState(ProductQuery query, const GuidFields& product) override
    {
        return ((product.data1 >> static_cast<int>(query)) & 1) != 0;
    }
    ProductVersionValue productVersion(const GuidFields& product) override
    {
        ProductVersionValue version;
        version.major = product.data2;
        version.minor = product.data3;
        version.buildTime = product.data4[0];
        return version;
    }
    FileVersionValue queryFileVersion(const std::wstring& name) override { return versionOf(name); }
    bool isFullPath(const std::wstring& symbol) override
    {
        return symbol.size() > 3 && symbol[1] == L':' && symbol[2] == L'\\';
    }
    bool pathExists(const std::wstring& path) override { return path.size() % 2 == 0; }
    FileVersionValue fullPathVersion(const std::wstring& path) override { return versionOf(path); }
    bool readLines(const std::wstring& path, std::vector<std::wstring>& lines) override
    {
        if (path.size() % 5 == 0)
            return false;
        lines = {path, L"alpha beta", L""};
        return true;
    }

private:
    static FileVersionValue versionOf(const std::wstring& text)
    {
        FileVersionValue version;
        for (size_t i = 0; i < 4 && i < text.size(); ++i)
            version.parts[i] = static_cast<uint16_t>(text[i]);
        return version;
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Answers answers;
    Evaluation evaluation;
    evaluation.start(qkzfuzz::latin1(data, size), answers);
    bool accepted = evaluation.run();
    QKZ_REQUIRE(accepted == evaluation.accepted);
    if (!accepted)
        QKZ_REQUIRE(evaluation.errorMessage.compare(0, 21, L"Error in expression '") == 0);
    evaluation.discard();
    return 0;
}

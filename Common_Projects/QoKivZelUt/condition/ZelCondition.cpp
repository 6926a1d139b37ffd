#include <QoKivZelUt/WinAPI.h>
#include <QoKivZelUt/ZelCondition.h>

#include "Evaluation.h"
#include "foundation/CodePage.h"
#include "foundation/Log.h"
#include "foundation/OpenFile.h"
#include "values/GuidConversion.h"

#include <algorithm>
#include <atomic>
#include <memory>

using ZelUt::condition::Environment;
using ZelUt::condition::Evaluation;

namespace {

// The thread that holds the evaluator, so that a second one on the same
// thread is refused instead of waiting for itself forever.
std::atomic<DWORD> g_ownerThread{0};

// The lines of a file are compared in memory: a larger file (a log, a damaged
// or planted one) is not read, like one that cannot be read, rather than
// exhausting the process.
const LONGLONG kLargestLinesFile = 64ll << 20;

ZelUt::FileVersionValue toValue(const FileVersionNumber& version)
{
    ZelUt::FileVersionValue value;
    const unsigned short parts[] = {version.major, version.minor, version.build, version.revision};
    std::copy(parts, parts + 4, value.parts);
    return value;
}

// The caller's callback and the file system, for the evaluator.
class SystemEnvironment : public Environment {
public:
    SystemEnvironment(const std::wstring& expression, IZelConditionCallback* callback)
        : m_expression(expression), m_callback(callback)
    {
    }

    std::wstring expandSymbol(const std::wstring& reference) override { return answer().expandSymbol(reference); }

    bool productState(ProductQuery query, const ZelUt::GuidFields& product) override
    {
        CGuid guid(ZelUt::toGuid(product));
        switch (query) {
        case ProductQuery::Available: return answer().isProductAvailable(guid);
        case ProductQuery::AvailableOnServer: return answer().isProductAvailableOnServer(guid);
        case ProductQuery::Installed: return answer().isProductInstalled(guid);
        case ProductQuery::PartAvailable: return answer().isProductPartAvailable(guid);
        case ProductQuery::PartAvailableOnServer: return answer().isProductPartAvailableOnServer(guid);
        case ProductQuery::PartInstalled: return answer().isProductPartInstalled(guid);
        }
        return false;
    }

    ZelUt::ProductVersionValue productVersion(const ZelUt::GuidFields& product) override
    {
        KivSetup::ProductVersion version = answer().getProductVersion(CGuid(ZelUt::toGuid(product)));
        ZelUt::ProductVersionValue value;
        value.major = version.major();
        value.minor = version.minor();
        value.buildTime = version.buildTime().value();
        return value;
    }

    ZelUt::FileVersionValue queryFileVersion(const std::wstring& name) override
    {
        return toValue(answer().queryFileVersion(name));
    }

    bool isFullPath(const std::wstring& symbol) override
    {
        WinPath path(symbol);
        return path.isAbsolute() && path == WinPath(path.replaceInvalidCharacters());
    }

    bool pathExists(const std::wstring& path) override { return WinPath(path).exists(); }

    ZelUt::FileVersionValue fullPathVersion(const std::wstring& symbol) override
    {
        WinPath path(symbol);
        if (!path.exists())
            return ZelUt::FileVersionValue();
        DWORD attributes = GetFileAttributesW(path.getLongPath().str().c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
            return toValue(FileVersionNumber(0, 0, 0, 0));
        try {
            std::vector<unsigned short> v = path.getFileVersion();
            ZelUt::FileVersionValue version = toValue(FileVersionNumber(v[0], v[1], v[2], v[3]));
            return version.isValid() ? version : ZelUt::FileVersionValue();
        } catch (const CZelException&) {
            return ZelUt::FileVersionValue();
        }
    }

    bool readLines(const std::wstring& path, std::vector<std::wstring>& lines) override
    {
        WinAPI::FileHandle file = ZelUt::detail::openExistingFile(WinPath(path).getLongPath(), GENERIC_READ,
                                                                  FILE_SHARE_READ | FILE_SHARE_WRITE, 0);
        if (!file.valid())
            return false;
        LARGE_INTEGER size;
        if (!GetFileSizeEx(file, &size))
            return false;
        if (size.QuadPart > kLargestLinesFile) {
            ZEL_LOG_WARNING << L"ZelCondition: " << path << L" is larger than " << (kLargestLinesFile >> 20)
                            << L" MiB; its lines are not compared";
            return false;
        }
        std::string bytes;
        try {
            bytes = WinAPI::readFileA(file);
        } catch (const CZelException&) {
            return false;
        }
        for (size_t start = 0; start < bytes.size();) {
            size_t end = bytes.find('\n', start);
            if (end == std::string::npos)
                end = bytes.size();
            size_t stop = end > start && bytes[end - 1] == '\r' ? end - 1 : end;
            lines.push_back(ZelUt::detail::fromThreadAnsi(bytes.data() + start, stop - start));
            start = end + 1;
        }
        return true;
    }

private:
    // The callback, which a condition that needs one must have.
    IZelConditionCallback& answer()
    {
        if (!m_callback)
            throw CZelException(ERROR_INVALID_PARAMETER, L"ZelCondition: the condition '" + m_expression +
                                                             L"' needs a callback, but none was given");
        return *m_callback;
    }

    std::wstring m_expression;
    IZelConditionCallback* m_callback;
};

// The one evaluation of the process and its environment, used under ZelCondition::m_cs only.
Evaluation& evaluation()
{
    static Evaluation state;
    return state;
}

std::unique_ptr<SystemEnvironment>& environment()
{
    static std::unique_ptr<SystemEnvironment> current;
    return current;
}

} // namespace

std::mutex ZelCondition::m_cs;

// ---------------------------------------------------------------- FileVersionNumber

FileVersionNumber::FileVersionNumber() : major(0xFFFF), minor(0xFFFF), build(0xFFFF), revision(0xFFFF) {}

FileVersionNumber::FileVersionNumber(unsigned short ma, unsigned short mi, unsigned short bu, unsigned short re)
    : major(ma), minor(mi), build(bu), revision(re)
{
}

bool FileVersionNumber::isValid() const
{
    return toValue(*this).isValid();
}

int FileVersionNumber::compare(const FileVersionNumber& other) const
{
    return toValue(*this).compare(toValue(other));
}

// ---------------------------------------------------------------- ZelCondition

ZelCondition::ZelCondition(const std::wstring& expression, IZelConditionCallback* callback)
{
    if (g_ownerThread.load() == GetCurrentThreadId())
        throw CZelException(ERROR_POSSIBLE_DEADLOCK,
                            L"ZelCondition: this thread already holds a condition evaluator; destroy it first");
    m_hold = std::unique_lock<std::mutex>(m_cs);
    environment().reset(new SystemEnvironment(expression, callback));
    evaluation().start(expression, *environment());
    g_ownerThread.store(GetCurrentThreadId());
}

ZelCondition::~ZelCondition()
{
    evaluation().discard();
    environment().reset();
    g_ownerThread.store(0);
}

bool ZelCondition::parse() const
{
    return evaluation().run();
}

bool ZelCondition::getResult() const
{
    const Evaluation& eval = evaluation();
    bool result = eval.accepted && eval.result;
    ZEL_LOG_INFO << L"Condition '" << eval.expression << L"' evaluated to " << (result ? L"true" : L"false") << L".";
    return result;
}

std::wstring ZelCondition::getErrorMessage() const
{
    return evaluation().errorMessage;
}

// WinPath: the text side (normalisation, form queries, splitting). No system calls.
#include <QoKivZelUt/WinPath.h>

#include <algorithm>
#include <cwchar>
#include <cwctype>
#include <ostream>

namespace {

const std::wstring kLongPrefix = L"\\\\?\\";
const std::wstring kLongUncPrefix = L"\\\\?\\unc\\";
const std::wstring kObjectManagerPrefix = L"\\??\\";
const size_t kMaxPlainPath = 260;

bool startsWith(const std::wstring& text, const std::wstring& head)
{
    return text.compare(0, head.size(), head) == 0;
}

bool isAsciiLetter(wchar_t c)
{
    return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z');
}

bool isDriveRootText(const std::wstring& t)
{
    if (t.size() == 3 && t[1] == L':' && t[2] == L'\\')
        return true;
    return t.size() == 7 && startsWith(t, kLongPrefix) && t[5] == L':' && t[6] == L'\\';
}

std::wstring lowered(const std::wstring& text)
{
    std::wstring out(text);
    for (wchar_t& c : out)
        c = static_cast<wchar_t>(std::towlower(c));
    return out;
}

} // namespace

std::wstring WinPath::normalize(std::wstring t)
{
    if (!t.empty())
        t += L'\\';
    std::replace(t.begin(), t.end(), L'/', L'\\');
    for (size_t pos = t.find(L"\\\\", 1); pos != std::wstring::npos; pos = t.find(L"\\\\", pos))
        t.erase(pos, 1);
    if (startsWith(t, kObjectManagerPrefix))
        t.erase(0, kObjectManagerPrefix.size());
    if (!t.empty() && !isDriveRootText(t) && t.back() == L'\\')
        t.pop_back();
    if (t.size() > kMaxPlainPath && !startsWith(t, kLongPrefix)) {
        if (startsWith(t, L"\\\\"))
            t = kLongUncPrefix + t.substr(2);
        else if (t.size() > 1 && t[1] == L':')
            t = kLongPrefix + t;
    }
    return t;
}

WinPath::WinPath(const wchar_t* text) : m_path(normalize(text ? text : L"")) {}

WinPath::WinPath(std::wstring text) : m_path(normalize(std::move(text))) {}

bool WinPath::operator<(const WinPath& other) const
{
    return lowered(m_path) < lowered(other.m_path);
}

WinPath WinPath::operator/(const std::wstring& name) const
{
    if (m_path.empty())
        return WinPath(name);
    return WinPath(m_path + L"\\" + name);
}

WinPath WinPath::operator/(const WinPath& name) const
{
    return *this / name.str();
}

bool WinPath::hasLongPathPrefix() const
{
    return startsWith(m_path, kLongPrefix);
}

bool WinPath::isUNC() const
{
    if (!hasLongPathPrefix())
        return startsWith(m_path, L"\\\\");
    bool drive = m_path.size() >= 7 && isAsciiLetter(m_path[4]) && m_path[5] == L':' && m_path[6] == L'\\';
    return !drive;
}

bool WinPath::isDriveRoot() const
{
    return isDriveRootText(m_path);
}

bool WinPath::isAbsolute() const
{
    return hasLongPathPrefix() || isUNC() || (m_path.size() > 1 && m_path[1] == L':');
}

bool WinPath::isRoot() const
{
    if (!hasLongPathPrefix() && !isUNC())
        return m_path.size() > 1 && m_path[1] == L':' && isDriveRoot();
    if (isDriveRoot())
        return true;
    if (!isUNC())
        return false;
    size_t serverStart = hasLongPathPrefix() ? kLongUncPrefix.size() : 2;
    if (m_path.size() <= serverStart)
        return false;
    size_t shareSeparator = m_path.find(L'\\', serverStart);
    if (shareSeparator == std::wstring::npos || shareSeparator == serverStart)
        return false;
    size_t shareStart = shareSeparator + 1;
    return shareStart < m_path.size() && m_path.find(L'\\', shareStart) == std::wstring::npos;
}

bool WinPath::isExecutable() const
{
    static const wchar_t* const kExtensions[] = {L"exe", L"cmd", L"bat", L"com", L"scr"};
    std::wstring ext = lowered(getExtension());
    return std::any_of(std::begin(kExtensions), std::end(kExtensions),
                       [&](const wchar_t* e) { return ext == e; });
}

WinPath WinPath::getFileName() const
{
    size_t cut = m_path.rfind(L'\\');
    if (cut == std::wstring::npos)
        return *this;
    return WinPath(m_path.substr(cut + 1));
}

WinPath WinPath::getParent() const
{
    if (isRoot())
        return *this;
    size_t cut = m_path.rfind(L'\\');
    if (cut == std::wstring::npos)
        return WinPath();
    return WinPath(m_path.substr(0, cut));
}

std::wstring WinPath::getExtension() const
{
    size_t dot = m_path.rfind(L'.');
    return dot == std::wstring::npos ? std::wstring() : m_path.substr(dot + 1);
}

size_t WinPath::getPrefixLength() const
{
    if (hasLongPathPrefix())
        return m_path.find(L':') == std::wstring::npos ? 8 : 4;
    return isUNC() ? 2 : 0;
}

std::vector<WinPath> WinPath::getSubPaths() const
{
    std::vector<WinPath> parts;
    size_t prefix = std::min(getPrefixLength(), m_path.size());
    for (size_t sep = m_path.find(L'\\', prefix); sep != std::wstring::npos;
         sep = m_path.find(L'\\', sep + 1)) {
        if (sep == 0 || sep + 1 == m_path.size())
            continue;
        parts.push_back(WinPath(m_path.substr(0, sep)));
    }
    parts.push_back(*this);
    return parts;
}

std::vector<std::wstring> WinPath::getComponents() const
{
    std::vector<std::wstring> parts;
    size_t start = std::min(getPrefixLength(), m_path.size());
    while (start <= m_path.size()) {
        size_t sep = m_path.find(L'\\', start);
        size_t end = sep == std::wstring::npos ? m_path.size() : sep;
        if (end > start)
            parts.push_back(m_path.substr(start, end - start));
        if (sep == std::wstring::npos)
            break;
        start = sep + 1;
    }
    return parts;
}

bool WinPath::contains(const WinPath& other) const
{
    if (other == *this)
        return true;
    std::vector<WinPath> subs = other.getSubPaths();
    return std::any_of(subs.rbegin(), subs.rend(), [&](const WinPath& p) { return p == *this; });
}

WinPath WinPath::getRelativePath(const WinPath& other) const
{
    if (m_path.empty())
        return other;
    if (other == *this)
        return WinPath();
    std::vector<WinPath> subs = other.getSubPaths();
    for (auto it = subs.rbegin(); it != subs.rend(); ++it) {
        if (!(*it == *this))
            continue;
        const std::wstring& base = it->str();
        size_t skip = base.size() + (!base.empty() && base.back() == L'\\' ? 0 : 1);
        return skip >= other.str().size() ? WinPath() : WinPath(other.str().substr(skip));
    }
    return WinPath();
}

WinPath WinPath::getServerName() const
{
    if (!isUNC() || m_path.size() < 3)
        return WinPath();
    return getSubPaths().front().getFileName();
}

WinPath WinPath::getShareName() const
{
    if (!isUNC())
        return WinPath();
    std::vector<WinPath> subs = getSubPaths();
    return subs.size() >= 2 ? subs[1].getFileName() : WinPath();
}

WinPath WinPath::getPathOnShare() const
{
    if (!isUNC())
        return *this;
    std::vector<std::wstring> parts = getComponents();
    if (parts.size() < 3)
        return WinPath();
    std::wstring rest;
    for (size_t i = 2; i < parts.size(); ++i)
        rest += (i > 2 ? L"\\" : L"") + parts[i];
    return WinPath(rest);
}

std::wstring WinPath::getQuoted() const
{
    bool quoted = m_path.size() >= 2 && m_path.front() == L'"' && m_path.back() == L'"';
    if (m_path.find(L' ') == std::wstring::npos || quoted)
        return m_path;
    return L"\"" + m_path + L"\"";
}

std::wstring WinPath::replaceInvalidCharacters() const
{
    size_t keep = 0;
    if (hasLongPathPrefix())
        keep = isUNC() ? kLongUncPrefix.size() : 7;
    else if (isUNC())
        keep = 2;
    else if (m_path.size() > 1 && m_path[1] == L':')
        keep = 2;
    std::wstring out(m_path);
    for (size_t i = std::min(keep, out.size()); i < out.size(); ++i)
        if (out[i] != L'\0' && std::wcschr(L"<>\"|:*?", out[i]))
            out[i] = L'#';
    return out;
}

std::wostream& operator<<(std::wostream& out, const WinPath& path)
{
    return out << path.str();
}

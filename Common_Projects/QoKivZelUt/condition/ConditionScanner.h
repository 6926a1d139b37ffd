// The condition scanner: a longest-match scanner over the narrow condition
// text with three start states. Pure: expansions and errors go to a Host.
#pragma once

#include "ConditionValue.h"

#include <string>

namespace ZelUt {
namespace condition {

class ConditionScanner {
public:
    struct Host {
        virtual std::wstring expand(const std::wstring& reference) = 0;
        virtual void scanError(const char* message) = 0;

    protected:
        ~Host() = default;
    };

    // Starts over at the beginning of text, in the initial state.
    void reset(const std::string& text, Host& host);
    // The next token code; its value goes into value.
    int next(ConditionValue& value);
    // Byte offset just past the last consumed token.
    unsigned position() const { return static_cast<unsigned>(m_position); }

    // The longest single match the scanner's buffer can hold.
    static const size_t kMaxTokenBytes = 16384;

private:
    enum class State { Initial, String, List };
    struct Match {
        size_t length = 0;  // what decides the longest match (trail included)
        size_t head = 0;    // what is consumed
        int rule = 0;
    };

    Match longestInitial() const;
    Match longestString() const;
    Match longestList() const;
    // Consumes the head of a match; returns its text.
    std::string consume(const Match& m);
    std::wstring wide(const std::string& bytes) const;
    int endOfInput();

    const std::string* m_text = nullptr;
    Host* m_host = nullptr;
    size_t m_position = 0;
    bool m_beginningOfLine = true;
    State m_state = State::Initial;
    std::wstring m_string;
    std::vector<std::wstring> m_list;
};

// The number of a NUMBER token's text (an optional minus and digits; it stops
// at the first other byte) as atoi gives it, but saturating at the 32-bit limits.
int saturatingAtoi(const char* text);

} // namespace condition
} // namespace ZelUt

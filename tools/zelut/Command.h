// zelut's subcommands: each lives in one file under commands/ and registers
// itself with a static Registration.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace zelut {

enum ExitCode { kTrue = 0, kFalse = 1, kError = 2 };

using Args = std::vector<std::wstring>;

struct Command {
    std::wstring name;
    std::wstring summary;
    std::wstring usage;  // the full --help text
    std::function<int(const Args&)> run;
};

struct Registration {
    explicit Registration(Command command);
};

const std::vector<Command>& commands();

// Text to standard output / error, UTF-8 encoded (or wide on a console).
void out(const std::wstring& text);
void err(const std::wstring& text);

// Thrown for a command line the command cannot use; main prints the usage.
struct UsageError {
    std::wstring text;
};

// One line of standard input (UTF-8), without its line break: secrets are
// read this way, never from a command line.
std::wstring readSecretLine();

// Parses a decimal or 0x-prefixed hexadecimal unsigned number of at most
// `maximum` (leading zeros do not make a number octal).
unsigned long parseNumber(const std::wstring& text, unsigned long maximum = 0xFFFFFFFFul);

} // namespace zelut

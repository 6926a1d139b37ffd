#include "../Command.h"

#include <QoKivZelUt/Guid.h>

namespace zelut {
namespace {

int run(const Args& args)
{
    if (args.empty())
        throw UsageError{L"missing action"};
    if (args[0] == L"new" && args.size() == 1) {
        out(CGuid::createGuid().toString() + L"\n");
        return kTrue;
    }
    if (args[0] == L"parse" && args.size() == 2) {
        if (!CGuid::isGuid(args[1])) {
            err(L"not a GUID: " + args[1] + L"\n");
            return kFalse;
        }
        out(CGuid(args[1]).toString() + L"\n");
        return kTrue;
    }
    if (args[0] == L"simple" && args.size() == 2) {
        out(CGuid::simpleGuidFromInt(static_cast<unsigned short>(parseNumber(args[1], 0xFFFF))).toString() + L"\n");
        return kTrue;
    }
    throw UsageError{L"bad arguments"};
}

const Registration registration{{L"guid", L"create or parse GUIDs",
                                 L"usage: zelut guid new          print a new GUID\n"
                                 L"       zelut guid parse TEXT   print TEXT in registry form (exit 1 if not a GUID)\n"
                                 L"       zelut guid simple N     print the simple GUID of the number N\n",
                                 run}};

} // namespace
} // namespace zelut

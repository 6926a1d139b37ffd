// The semantic value of every token and grammar symbol of a condition.
#pragma once

#include "values/GuidText.h"
#include "values/VersionText.h"

#include <string>
#include <vector>

namespace ZelUt {
namespace condition {

// Token codes shared by the scanner and the grammar.
enum Token {
    END_OF_CONDITION = 0,
    LPAREN = 258,
    RPAREN = 259,
    OP_EQ = 260,
    OP_NE = 261,
    OP_GT = 262,
    OP_LT = 263,
    OP_GE = 264,
    OP_LE = 265,
    SYMBOL = 266,
    NUMBER = 267,
    FILEVERSION = 268,
    VALUELIST = 269,
    GUID_TOKEN = 270,
    PRODUCTVERSION = 271,
    IS_PRODUCT_AVAILABLE = 272,
    IS_PRODUCT_AVAILABLE_ON_SERVER = 273,
    IS_PRODUCT_INSTALLED = 274,
    IS_PRODUCT_PART_AVAILABLE = 275,
    IS_PRODUCT_PART_AVAILABLE_ON_SERVER = 276,
    IS_PRODUCT_PART_INSTALLED = 277,
    KW_PRODUCT_VERSION = 278,
    KW_FILE_VERSION = 279,
    NOT = 280,
    AND = 281,
    AMPERSAND = 282,
    OR = 283,
    PIPE = 284,
};

struct ConditionValue {
    std::wstring text;
    bool truth = false;
    int op = 0;
    int number = 0;
    std::vector<std::wstring> list;
    FileVersionValue fileVersion;
    GuidFields guid;
    ProductVersionValue productVersion;
};

} // namespace condition
} // namespace ZelUt

/* The grammar of install conditions. Each rule's action evaluates as soon as
   the rule is reduced, so evaluation happens bottom-up while parsing. */
%code requires {
#include "condition/Evaluation.h"
}

%code {
#include "condition/ConditionEval.h"
#include "condition/ConditionText.h"

using namespace ZelUt;
using namespace ZelUt::condition;

/* The stack holds 200 entries and never grows: deeper nesting ends in
   "memory exhausted". */
#define YYINITDEPTH 200
#define YYMAXDEPTH 200

static int zelcondlex(YYSTYPE* value, Evaluation& eval)
{
    return eval.scanner.next(*value);
}

static void zelconderror(Evaluation& eval, const char* message)
{
    eval.reportError(message);
}
}

%define api.prefix {zelcond}
%define api.pure full
%define api.value.type {ZelUt::condition::ConditionValue}
%param {ZelUt::condition::Evaluation& eval}
%expect 0

%token T_LPAREN 258 T_RPAREN 259
%token T_EQ 260 T_NE 261 T_GT 262 T_LT 263 T_GE 264 T_LE 265
%token T_SYMBOL 266 T_NUMBER 267 T_FILEVERSION 268 T_VALUELIST 269 T_GUID 270 T_PRODUCTVERSION 271
%token T_IS_PRODUCT_AVAILABLE 272 T_IS_PRODUCT_AVAILABLE_ON_SERVER 273 T_IS_PRODUCT_INSTALLED 274
%token T_IS_PRODUCT_PART_AVAILABLE 275 T_IS_PRODUCT_PART_AVAILABLE_ON_SERVER 276 T_IS_PRODUCT_PART_INSTALLED 277
%token T_PRODUCT_VERSION 278 T_FILE_VERSION 279 T_NOT 280 T_AND 281 T_AMPERSAND 282 T_OR 283 T_PIPE 284

/* OR binds more tightly than AND: a AND b OR c is a AND (b OR c). */
%left T_AND
%left T_OR

%%

condition
    : expression { eval.result = $1.truth; }
    | %empty     { eval.result = true; }
    ;

expression
    : simple_expression
    | expression T_AND expression      { $$.truth = $1.truth && $3.truth; }
    | expression T_OR expression       { $$.truth = $1.truth || $3.truth; }
    | T_LPAREN expression T_RPAREN     { $$.truth = $2.truth; }
    | T_NOT T_LPAREN expression T_RPAREN { $$.truth = !$3.truth; }
    ;

operator
    : T_EQ | T_NE | T_GT | T_LT | T_GE | T_LE
    ;

symbols
    : T_SYMBOL
    | symbols T_SYMBOL { $$.text = $1.text + $2.text; }
    ;

simple_expression
    : symbols operator symbols
        { $$.truth = applyOperator($2.op, compareText($1.text, $3.text)); }
    | T_NUMBER operator T_NUMBER
        { $$.truth = applyOperator($2.op, compareNumbers($1.number, $3.number)); }
    | symbols operator T_NUMBER
        { $$.truth = symbolNumberComparison(eval.env(), $2.op, $1.text, $3.number, true); }
    | T_NUMBER operator symbols
        { $$.truth = symbolNumberComparison(eval.env(), $2.op, $3.text, $1.number, false); }
    | product_version operator T_NUMBER
        { ProductVersionValue number;
          number.minor = static_cast<uint32_t>($3.number);
          $$.truth = applyOperator($2.op, compareProductVersions($1.productVersion, number)); }
    | product_version operator T_PRODUCTVERSION
        { $$.truth = applyOperator($2.op, compareProductVersions($1.productVersion, $3.productVersion)); }
    | file_version operator file_version
        { $$.truth = fileVersionComparison($2.op, $1.fileVersion, $3.fileVersion); }
    | symbols operator file_version
        { $$.truth = pathVersionComparison(eval.env(), $2.op, $1.text, $3.fileVersion); }
    | symbols operator
        { $$.truth = applyOperator($2.op, compareText($1.text, std::wstring())); }
    | symbols T_EQ T_VALUELIST { $$.truth = membership(eval.env(), $1.text, $3.list); }
    | symbols T_NE T_VALUELIST { $$.truth = !membership(eval.env(), $1.text, $3.list); }
    | T_IS_PRODUCT_AVAILABLE T_LPAREN T_GUID T_RPAREN
        { $$.truth = eval.env().productState(Environment::ProductQuery::Available, $3.guid); }
    | T_IS_PRODUCT_AVAILABLE_ON_SERVER T_LPAREN T_GUID T_RPAREN
        { $$.truth = eval.env().productState(Environment::ProductQuery::AvailableOnServer, $3.guid); }
    | T_IS_PRODUCT_INSTALLED T_LPAREN T_GUID T_RPAREN
        { $$.truth = eval.env().productState(Environment::ProductQuery::Installed, $3.guid); }
    | T_IS_PRODUCT_PART_AVAILABLE T_LPAREN T_GUID T_RPAREN
        { $$.truth = eval.env().productState(Environment::ProductQuery::PartAvailable, $3.guid); }
    | T_IS_PRODUCT_PART_AVAILABLE_ON_SERVER T_LPAREN T_GUID T_RPAREN
        { $$.truth = eval.env().productState(Environment::ProductQuery::PartAvailableOnServer, $3.guid); }
    | T_IS_PRODUCT_PART_INSTALLED T_LPAREN T_GUID T_RPAREN
        { $$.truth = eval.env().productState(Environment::ProductQuery::PartInstalled, $3.guid); }
    ;

product_version
    : T_PRODUCT_VERSION T_LPAREN T_GUID T_RPAREN
        { $$.productVersion = eval.env().productVersion($3.guid); }
    ;

file_version_function
    : T_FILE_VERSION T_LPAREN T_SYMBOL T_RPAREN
        { $$.fileVersion = fileVersionOf(eval.env(), $3.text); }
    | T_FILE_VERSION T_LPAREN T_FILEVERSION T_RPAREN
        { $$.fileVersion = $3.fileVersion; }
    ;

file_version
    : file_version_function
    | T_FILEVERSION
    ;

%%

bool ZelUt::condition::runParser(Evaluation& eval)
{
    return zelcondparse(eval) == 0;
}

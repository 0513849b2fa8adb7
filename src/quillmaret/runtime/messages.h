// messages.h: the messages of argument binding and of calls, each written
// once. The binder (arguments.cpp), the call entries (function_call.cpp) and
// the initializer (errors.cpp) format them; tests compare them byte for byte.
//
// Used by production: the binding messages and the type test's; the call
// kinds' reasons mostly serve the call kinds kept for the tests.
#pragma once

namespace quill::messages {

// "f() REASON" and "f() REASON (N given)": f is the function's name.
constexpr char FUNCTION_REASON[] = "%.200s() %s";
constexpr char FUNCTION_REASON_GIVEN[] = "%.200s() %s (%zd given)";
// "unbound method Q() needs an argument": Q is the qualified name.
constexpr char UNBOUND_METHOD_REASON[] = "unbound method %.200S() %s";

// The reasons.
constexpr char NEEDS_AN_ARGUMENT[] = "needs an argument";
constexpr char NO_KEYWORDS[] = "takes no keyword arguments";
constexpr char NO_ARGUMENTS[] = "takes no arguments";
constexpr char ONE_ARGUMENT[] = "takes exactly one argument";
// Alone when no function name is at hand (a keywords dict turned into a
// vector call), else as a reason.
constexpr char KEYWORDS_NOT_STRINGS[] = "keywords must be strings";

constexpr char BAD_CALL_FLAGS[] = "Bad call flags for QuillFunction";

// Binding: f, then the keyword or the counts.
constexpr char UNEXPECTED_KEYWORD[] = "%s() got an unexpected keyword argument '%U'";
constexpr char MULTIPLE_VALUES[] = "%s() got multiple values for keyword argument '%U'";
constexpr char EQUAL_BUT_HASHED_DIFFERENTLY[] =
    "%s() got keyword argument '%U', equal to a parameter name but hashed differently";
constexpr char KEYWORDS_NOT_BOUND[] = "%.200s() got keyword arguments it could not bind";
constexpr char ARGUMENT_COUNT[] = "%.200s() takes %.8s %zd positional argument%.1s (%zd given)";

// The type test of a bound argument: its name, the expected and the actual
// type's names, then ". " and the subclass note, or two empty texts.
constexpr char INCORRECT_TYPE[] = "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)%s%U";
constexpr char MISSING_TYPE[] = "Missing type object";

}  // namespace quill::messages

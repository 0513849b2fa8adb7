// constant_ids.h: the ids of the constant table's entries, in table order,
// the lines of the pseudo-source and the initializer's parameters.
//
// Expanded from constants.def, so ids, texts, lines and parameters cannot
// drift apart. Code reaches an entry by role (quill_state.strings[K___prepare__])
// and a line by name (LINE_SUPER_INIT); no count or index is written by hand.
#pragma once

#include "runtime/joined_text.h"

namespace quill {

enum ConstId : int {
#define QUILL_TEXT(id, text) K_##id,
#define QUILL_NAME(id, text) K_##id,
#include "constants.def"
    CONST_COUNT
};

// The text entries come first; the name entries after them are interned.
constexpr int TEXT_ENTRY_COUNT = 0
#define QUILL_TEXT(id, text) +1
#include "constants.def"
    ;
constexpr int FIRST_NAME_ENTRY = TEXT_ENTRY_COUNT;
static_assert(0 < FIRST_NAME_ENTRY && FIRST_NAME_ENTRY < CONST_COUNT, "text entries, then name entries");

// The texts, for the few that are needed as C strings (before the table is
// decoded, or as parts of fixed names). Only the entries read in a constant
// expression reach the binary.
constexpr const char *SOURCE_TEXTS[] = {
#define QUILL_TEXT(id, text) text,
#define QUILL_NAME(id, text) text,
#include "constants.def"
};

// The pseudo-source's file name ("co_filename" of the initializer's code).
constexpr const char *SOURCE_FILE = SOURCE_TEXTS[K_FILENAME];
// The module's full name, and the function names of its traceback entries.
constexpr const char *MODULE_NAME = SOURCE_TEXTS[K_MODULE_NAME];
constexpr auto IMPORT_FUNCNAME = QUILL_JOIN("init ", MODULE_NAME);
constexpr auto INIT_FUNCNAME = QUILL_JOIN(MODULE_NAME, ".", SOURCE_TEXTS[K_API_INIT_QUALNAME]);

enum SourceLine : int {
#define QUILL_LINE(id, line) LINE_##id = line,
#include "constants.def"
};

// The initializer's parameters: P_<name> is a parameter's position.
enum InitParam : int {
#define QUILL_PARAM(id, kind) P_##id,
#include "constants.def"
    INIT_PARAM_COUNT
};
// The name entry of each parameter, in order.
constexpr ConstId INIT_PARAM_NAMES[] = {
#define QUILL_PARAM(id, kind) K_##id,
#include "constants.def"
};
// Whether each parameter has a default (None); those come last.
#define QUILL_HAS_DEFAULT_REQUIRED false
#define QUILL_HAS_DEFAULT_OPTIONAL true
constexpr bool INIT_PARAM_HAS_DEFAULT[] = {
#define QUILL_PARAM(id, kind) QUILL_HAS_DEFAULT_##kind,
#include "constants.def"
};
#undef QUILL_HAS_DEFAULT_REQUIRED
#undef QUILL_HAS_DEFAULT_OPTIONAL

constexpr int count_required_params() {
    int required = 0;
    while (required < INIT_PARAM_COUNT && !INIT_PARAM_HAS_DEFAULT[required])
        ++required;
    for (int i = required; i < INIT_PARAM_COUNT; ++i) {
        if (!INIT_PARAM_HAS_DEFAULT[i])
            return -1;  // a required parameter after one with a default
    }
    return required;
}
constexpr int INIT_REQUIRED_COUNT = count_required_params();
static_assert(INIT_REQUIRED_COUNT >= 0, "the parameters with a default come last");

}  // namespace quill

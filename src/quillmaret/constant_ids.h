// constant_ids.h: the ids of the constant table's entries, in table order.
//
// Expanded from constants.def, so ids and texts cannot drift apart. Code
// reaches an entry by role: quill_state.strings[K___prepare__].
#pragma once

namespace quill {

enum ConstId : int {
#define QUILL_TEXT(id, text) K_##id,
#define QUILL_NAME(id, text) K_##id,
#define QUILL_LINE_TABLE(bytes)
#include "constants.def"
#undef QUILL_TEXT
#undef QUILL_NAME
#undef QUILL_LINE_TABLE
    CONST_COUNT
};

static_assert(CONST_COUNT == 46, "the constant table holds 46 strings");
static_assert(K_FILENAME == 10 && K_QuillMaretAPIError == 11,
              "text entries 0 to 10, then name entries");

// Entries from this index on are interned.
constexpr int FIRST_NAME_ENTRY = K_QuillMaretAPIError;

}  // namespace quill

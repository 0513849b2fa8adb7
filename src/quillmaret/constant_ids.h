// constant_ids.h: the ids of the constant table's entries, in table order,
// and the lines of the pseudo-source.
//
// Expanded from constants.def, so ids, texts and lines cannot drift apart.
// Code reaches an entry by role (quill_state.strings[K___prepare__]) and a
// line by name (LINE_SUPER_INIT); no count or index is written by hand.
#pragma once

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

// The texts, for the few that must exist before the table is decoded (the
// file name of an import failure's traceback entry). Only the entries read
// in a constant expression reach the binary.
constexpr const char *SOURCE_TEXTS[] = {
#define QUILL_TEXT(id, text) text,
#define QUILL_NAME(id, text) text,
#include "constants.def"
};

// The pseudo-source's file name ("co_filename" of the initializer's code).
constexpr const char *SOURCE_FILE = SOURCE_TEXTS[K_FILENAME];

enum SourceLine : int {
#define QUILL_LINE(id, line) LINE_##id = line,
#include "constants.def"
};

}  // namespace quill

// stream_format.h: the compressed constant stream's format, shared by the
// build-time producer (tools/constgen) and the module's decoder.
//
// The stream is a sequence of groups: one flag byte, then up to eight items.
// Bit k of the flag byte (least significant first) describes item k: 1 is a
// literal byte, 0 a back-reference. A back-reference of length L and gap G
// copies the L bytes that end G bytes before the output position P, i.e.
// out[P-G-L .. P-G) to out[P .. P+L); source and destination never overlap.
//
// The three back-reference forms, told apart by the top bits of B0 and B1:
//   near    B0 < 0x80                 2 bytes   G = B0                                L = B1 + 3
//   middle  B0 >= 0x80, B1 < 0x80     2 bytes   G = ((B1 & 0x60) << 2 | B0 & 0x7F) + 128   L = (B1 & 0x1F) + 3
//   far     B0 >= 0x80, B1 >= 0x80    3 bytes   G = ((B1 & 0x7F) << 7 | B0 & 0x7F) + 128   L = B2 + 3
// Free of any interpreter header, so the producer builds without Python.
#pragma once

namespace quill::stream_format {

constexpr int GROUP_SIZE = 8;         // items under one flag byte
constexpr int MIN_MATCH = 3;          // shorter matches are written as literals

constexpr int NEAR_MAX_GAP = 127;     // near form: gaps 0 to 127
constexpr int NEAR_MAX_LENGTH = 258;  //   lengths 3 to 258 (B1 + 3)
constexpr int NEAR_SIZE = 2;

constexpr int MIDDLE_MIN_GAP = 128;   // middle form: gaps 128 to 639
constexpr int MIDDLE_MAX_GAP = 639;
constexpr int MIDDLE_MAX_LENGTH = 34; //   lengths 3 to 34 (5 bits + 3)
constexpr int MIDDLE_SIZE = 2;

constexpr int FAR_MIN_GAP = 128;      // far form: gaps 128 to 16,511
constexpr int FAR_MAX_GAP = 16511;
constexpr int FAR_MAX_LENGTH = 258;   //   lengths 3 to 258 (B2 + 3)
constexpr int FAR_SIZE = 3;

constexpr int LITERAL_SIZE = 1;
constexpr int MAX_LENGTH = 258;       // the longest back-reference of any form

constexpr unsigned char FORM_BIT = 0x80;       // set in B0 of middle/far, in B1 of far
constexpr unsigned char LOW_SEVEN = 0x7F;      // gap bits carried by B0 (and far B1)
constexpr unsigned char MIDDLE_GAP_BITS = 0x60;  // gap bits 7-8, carried by middle B1 bits 5-6
constexpr int MIDDLE_GAP_SHIFT = 2;            // (B1 & 0x60) << 2 lands on bits 7-8
constexpr unsigned char MIDDLE_LENGTH_BITS = 0x1F;

// The table's entry lengths are stored in 8 bits.
constexpr int MAX_ENTRY_BYTES = 255;

static_assert(NEAR_MAX_GAP + 1 == MIDDLE_MIN_GAP && MIDDLE_MIN_GAP == FAR_MIN_GAP);
static_assert(MIDDLE_MAX_GAP == MIDDLE_MIN_GAP + 511, "the middle form carries 9 gap bits");
static_assert(FAR_MAX_GAP == FAR_MIN_GAP + 16383, "the far form carries 14 gap bits");
static_assert(MIDDLE_MAX_LENGTH == MIN_MATCH + 31 && MAX_LENGTH == MIN_MATCH + 255);

}  // namespace quill::stream_format

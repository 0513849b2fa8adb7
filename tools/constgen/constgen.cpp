// constgen.cpp: the build-time producer of the compressed constant stream.
//
//   quill_constgen [--decoded FILE] OUTPUT
//
// Takes the module's texts from constants.def (compiled in through the same
// X-macros the module uses, so the C++ compiler turns the escapes into bytes;
// g++'s execution character set is UTF-8), checks the table's rules, encodes
// the decoded buffer (the entries back to back, then the line table it
// encodes from the location list) with the
// optimal parse of lzss_encoder.h, checks the stream against the producer
// contract, and writes OUTPUT: a header with the stream, its length M, the
// decoded length N, the entry lengths and the line-table length.
// --decoded also writes the N decoded bytes to FILE (for size comparisons).
//
// Exit status: 0 on success, 1 when the table breaks a rule or the output
// cannot be written, 2 on a usage error.
#include <chrono>     // steady_clock: the run time printed on success
#include <cstdio>     // fopen, fprintf, rename
#include <cstdlib>    // exit
#include <cstring>    // strcmp
#include <iterator>   // size
#include <string>
#include <vector>

#include "../../src/quillmaret/stream_format.h"
#include "lzss_encoder.h"

namespace {

namespace sf = quill::stream_format;

enum class Group { TEXTS, NAMES };

struct Entry {
    Group group;
    const char *id;     // the role name in constants.def
    const char *bytes;  // UTF-8
    std::size_t size;   // sizeof, not strlen: an embedded NUL counts
};

constexpr Entry entries[] = {
#define QUILL_TEXT(ID, TEXT) {Group::TEXTS, #ID, TEXT, sizeof(TEXT) - 1},
#define QUILL_NAME(ID, TEXT) {Group::NAMES, #ID, TEXT, sizeof(TEXT) - 1},
#include "../../src/quillmaret/constants.def"
};
constexpr std::size_t ENTRY_COUNT = sizeof(entries) / sizeof(entries[0]);

// The pseudo-source's lines by name, and the initializer's location list:
// for each line, the column boundaries of its consecutive entries.
enum SourceLine : int {
#define QUILL_LINE(ID, LINE) LINE_##ID = LINE,
#include "../../src/quillmaret/constants.def"
};

struct LineLocations {
    const char *id;
    int line;
    std::vector<int> columns;
};

const LineLocations locations[] = {
#define QUILL_LOCATIONS(LINE_ID, ...) {#LINE_ID, LINE_##LINE_ID, {__VA_ARGS__}},
#include "../../src/quillmaret/constants.def"
};

const char *program = "quill_constgen";

[[noreturn]] void fail(const std::string &what) {
    std::fprintf(stderr, "%s: constants.def: %s\n", program, what.c_str());
    std::exit(1);
}

[[noreturn]] void usage() {
    std::fprintf(stderr, "usage: %s [--decoded FILE] OUTPUT\n", program);
    std::exit(2);
}

std::string describe(std::size_t index) {
    return "entry " + std::to_string(index) + " (" + entries[index].id + ")";
}

// Decodes strict UTF-8 into code points, refusing what the interpreter's
// strict decoder refuses at import (truncated or overlong sequences,
// surrogates, values past U+10FFFF). False on invalid input.
bool decode_utf8(const char *bytes, std::size_t size, std::u32string &out) {
    out.clear();
    const auto *s = reinterpret_cast<const unsigned char *>(bytes);
    for (std::size_t i = 0; i < size;) {
        const unsigned lead = s[i];
        std::size_t extra;
        char32_t cp, min;
        if (lead < 0x80) {
            extra = 0, cp = lead, min = 0;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            extra = 1, cp = lead & 0x1F, min = 0x80;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            extra = 2, cp = lead & 0x0F, min = 0x800;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            extra = 3, cp = lead & 0x07, min = 0x10000;
        } else {
            return false;
        }
        if (size - i - 1 < extra)
            return false;
        for (std::size_t k = 1; k <= extra; ++k) {
            const unsigned cont = s[i + k];
            if ((cont & 0xC0) != 0x80)
                return false;
            cp = cp << 6 | (cont & 0x3F);
        }
        if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        out.push_back(cp);
        i += extra + 1;
    }
    return true;
}

// Encodes the location list as a CPython 3.11 location table: one entry of
// one code unit per column range, each in the shortest form the compiler
// itself chooses (short form on the same line within its column limits, else
// the one-line form for a line delta of 0 to 2, else the long form), the
// first line delta taken from the first listed line.
std::vector<unsigned char> encode_line_table() {
    std::vector<unsigned char> out;
    auto varint = [&out](unsigned v) {
        while (v >= 64) {
            out.push_back(static_cast<unsigned char>(64 | (v & 63)));
            v >>= 6;
        }
        out.push_back(static_cast<unsigned char>(v));
    };
    // The code object's first line is the `def` line, where the list starts.
    if (std::size(locations) == 0 || locations[0].line != LINE_INIT_DEF)
        fail("the location list must start at line INIT_DEF");
    int previous = locations[0].line;
    for (const LineLocations &l : locations) {
        if (l.columns.size() < 2)
            fail("the locations of line " + std::string(l.id) + " name no column range");
        for (std::size_t k = 0; k + 1 < l.columns.size(); ++k) {
            const int start = l.columns[k], end = l.columns[k + 1];
            if (start < 0 || end < start)
                fail("the locations of line " + std::string(l.id) + " are not ascending columns");
            const int delta = l.line - previous;
            previous = l.line;
            constexpr unsigned ENTRY = 0x80;  // the first byte of an entry, one code unit long
            if (delta == 0 && start < 80 && end - start < 16) {
                out.push_back(static_cast<unsigned char>(ENTRY | (start / 8) << 3));
                out.push_back(static_cast<unsigned char>((start % 8) << 4 | (end - start)));
            } else if (delta >= 0 && delta < 3 && end < 128) {
                out.push_back(static_cast<unsigned char>(ENTRY | (10 + delta) << 3));
                out.push_back(static_cast<unsigned char>(start));
                out.push_back(static_cast<unsigned char>(end));
            } else {
                out.push_back(static_cast<unsigned char>(ENTRY | 14 << 3));
                varint(delta < 0 ? static_cast<unsigned>(-delta) << 1 | 1 : static_cast<unsigned>(delta) << 1);
                varint(0);  // ends on the same line
                varint(static_cast<unsigned>(start) + 1);
                varint(static_cast<unsigned>(end) + 1);
            }
        }
    }
    return out;
}

// 1. The table's rules: one or more text entries, then one or more name
//    entries, each group in strictly ascending code-point order, valid UTF-8,
//    no entry over 255 bytes, and a decoded buffer the encoder takes.
void check_table(std::size_t line_table_size) {
    std::size_t texts = 0;
    while (texts < ENTRY_COUNT && entries[texts].group == Group::TEXTS)
        ++texts;
    if (texts == 0 || texts == ENTRY_COUNT)
        fail("expected QUILL_TEXT entries followed by QUILL_NAME entries, found " + std::to_string(texts) +
             " text entries first in " + std::to_string(ENTRY_COUNT));
    for (std::size_t i = texts; i < ENTRY_COUNT; ++i) {
        if (entries[i].group != Group::NAMES)
            fail(describe(i) + " is a QUILL_TEXT entry among the QUILL_NAME entries");
    }

    std::u32string previous, current;
    std::size_t total = 0;
    for (std::size_t i = 0; i < ENTRY_COUNT; ++i) {
        const Entry &e = entries[i];
        if (e.size > static_cast<std::size_t>(sf::MAX_ENTRY_BYTES))
            fail(describe(i) + " has " + std::to_string(e.size) + " bytes of UTF-8; the length table holds at most " +
                 std::to_string(sf::MAX_ENTRY_BYTES));
        if (!decode_utf8(e.bytes, e.size, current))
            fail(describe(i) + " is not valid UTF-8");
        // Compare code points, as the rule is stated. For valid UTF-8 the
        // byte order would agree, but the code points say what is meant.
        if (i != 0 && i != texts && !(previous < current))
            fail(describe(i) + " is not in ascending code-point order after " + describe(i - 1) +
                 " (each group must be sorted, without duplicates)");
        previous.swap(current);
        total += e.size;
    }
    total += line_table_size;
    if (total > quill::lzss::MAX_ENCODER_INPUT)
        fail("the decoded table exceeds the encoder's limit");
}

// The decoded buffer: the entries back to back, then the line table.
std::vector<unsigned char> decoded_buffer(const std::vector<unsigned char> &line_table) {
    std::vector<unsigned char> out;
    for (const Entry &e : entries)
        out.insert(out.end(), e.bytes, e.bytes + e.size);
    out.insert(out.end(), line_table.begin(), line_table.end());
    return out;
}

// Writes the whole buffer to path, through a temporary file renamed into
// place, so that a failed run never leaves a partial file behind.
bool write_file(const std::string &path, const std::string &text) {
    const std::string tmp = path + ".tmp";
    std::FILE *f = std::fopen(tmp.c_str(), "wb");
    if (!f)
        return false;
    const bool written = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    if (std::fclose(f) != 0 || !written || std::rename(tmp.c_str(), path.c_str()) != 0) {
        std::remove(tmp.c_str());
        return false;
    }
    return true;
}

// The generated header, in the layout of the interpreter's frozen modules:
// a banner naming the producer, then the constants, 16 bytes a line.
std::string render_header(const std::vector<unsigned char> &stream, std::size_t decoded,
                          std::size_t line_table_size) {
    std::string h;
    char buf[64];
    h += "/* Auto-generated by tools/constgen/constgen.cpp from src/quillmaret/constants.def */\n";
    h += "// The module's constant table as one compressed stream; decoded by\n";
    h += "// constant_table.cpp. Never edited by hand, never committed.\n";
    h += "#pragma once\n\nnamespace quill::constant_stream {\n\n";
    h += "constexpr int STREAM_LENGTH = " + std::to_string(stream.size()) + ";  // M: consumed exactly\n";
    h += "constexpr int DECODED_LENGTH = " + std::to_string(decoded) + ";  // N: entries + line table\n";
    h += "constexpr int ENTRY_COUNT = " + std::to_string(ENTRY_COUNT) + ";\n";
    h += "constexpr int LINE_TABLE_LENGTH = " + std::to_string(line_table_size) + ";\n\n";
    h += "// UTF-8 length of each entry, in table order.\n";
    h += "constexpr unsigned char ENTRY_LENGTHS[ENTRY_COUNT] = {";
    for (std::size_t i = 0; i < ENTRY_COUNT; ++i) {
        std::snprintf(buf, sizeof buf, "%s%zu,", i % 16 == 0 ? "\n    " : " ", entries[i].size);
        h += buf;
    }
    h += "\n};\n\nconstexpr unsigned char STREAM[STREAM_LENGTH] = {";
    for (std::size_t i = 0; i < stream.size(); ++i) {
        std::snprintf(buf, sizeof buf, "%s0x%02x,", i % 16 == 0 ? "\n    " : " ", stream[i]);
        h += buf;
    }
    h += "\n};\n\n}  // namespace quill::constant_stream\n";
    return h;
}

}  // namespace

int main(int argc, char **argv) {
    const auto start = std::chrono::steady_clock::now();
    const char *output = nullptr;
    const char *decoded_path = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--decoded") == 0 && i + 1 < argc && !decoded_path)
            decoded_path = argv[++i];
        else if (argv[i][0] != '-' && !output)
            output = argv[i];
        else
            usage();
    }
    if (!output)
        usage();

    // 1. The table's own rules.
    const std::vector<unsigned char> line_table = encode_line_table();
    check_table(line_table.size());

    // 2. Encode, then hold the stream to the producer contract before
    //    anything is written.
    const std::vector<unsigned char> decoded = decoded_buffer(line_table);
    std::vector<unsigned char> stream;
    if (!quill::lzss::encode(decoded.data(), decoded.size(), stream))
        fail("the encoder refused the decoded table");
    const std::string broken =
        quill::lzss::check_stream(stream.data(), stream.size(), decoded.data(), decoded.size());
    if (!broken.empty())
        fail("the encoded stream breaks the producer contract: " + broken);

    // 3. Write the header (and the decoded bytes when asked).
    if (!write_file(output, render_header(stream, decoded.size(), line_table.size()))) {
        std::fprintf(stderr, "%s: cannot write %s\n", program, output);
        return 1;
    }
    if (decoded_path && !write_file(decoded_path, std::string(decoded.begin(), decoded.end()))) {
        std::fprintf(stderr, "%s: cannot write %s\n", program, decoded_path);
        return 1;
    }
    const auto elapsed = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start);
    std::printf("%s: %zu table bytes -> %zu stream bytes in %.1f ms\n", program, decoded.size(), stream.size(),
                elapsed.count());
    return 0;
}

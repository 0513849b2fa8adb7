// lzss_encoder.h: the producer's encoder for the compressed constant stream,
// and its check of the producer contract.
//
// Header-only and free of interpreter headers: the build-time producer
// (constgen.cpp) compiles it into a host program, and the test hooks compile
// the very same code into the test-only module.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "../../src/quillmaret/stream_format.h"

namespace quill::lzss {

namespace sf = quill::stream_format;

// The largest input the encoder takes. Up to this size every gap the input
// can hold (at most n - 6) is within the far form's reach, so no match is
// ever out of range and the search below needs no gap limit of its own.
constexpr std::size_t MAX_ENCODER_INPUT = 16384;
static_assert(MAX_ENCODER_INPUT - 6 <= static_cast<std::size_t>(sf::FAR_MAX_GAP));

// The size of the form that the producer contract prescribes for a
// back-reference (gap, length): near for gaps up to 127, middle for gaps up
// to 639 when the length fits in it, far otherwise. 0 when no form holds it.
constexpr int reference_size(std::size_t gap, std::size_t length) noexcept {
    if (length < static_cast<std::size_t>(sf::MIN_MATCH))
        return 0;
    if (gap <= static_cast<std::size_t>(sf::NEAR_MAX_GAP))
        return length <= static_cast<std::size_t>(sf::NEAR_MAX_LENGTH) ? sf::NEAR_SIZE : 0;
    if (gap <= static_cast<std::size_t>(sf::MIDDLE_MAX_GAP) &&
        length <= static_cast<std::size_t>(sf::MIDDLE_MAX_LENGTH))
        return sf::MIDDLE_SIZE;
    if (gap <= static_cast<std::size_t>(sf::FAR_MAX_GAP) &&
        length <= static_cast<std::size_t>(sf::FAR_MAX_LENGTH))
        return sf::FAR_SIZE;
    return 0;
}

// Appends one back-reference in its prescribed form (reference_size must
// be non-zero for it).
inline void write_reference(std::vector<unsigned char> &out, std::size_t gap, std::size_t length) {
    const auto byte = [](std::size_t v) { return static_cast<unsigned char>(v); };
    const std::size_t len = length - sf::MIN_MATCH;
    if (gap <= static_cast<std::size_t>(sf::NEAR_MAX_GAP)) {
        out.push_back(byte(gap));
        out.push_back(byte(len));
    } else if (reference_size(gap, length) == sf::MIDDLE_SIZE) {
        const std::size_t g = gap - sf::MIDDLE_MIN_GAP;  // 9 bits: 7 in B0, 2 in B1
        out.push_back(byte(sf::FORM_BIT | (g & sf::LOW_SEVEN)));
        out.push_back(byte((((g >> 7) << 5) & sf::MIDDLE_GAP_BITS) | len));
    } else {
        const std::size_t g = gap - sf::FAR_MIN_GAP;  // 14 bits: 7 in B0, 7 in B1
        out.push_back(byte(sf::FORM_BIT | (g & sf::LOW_SEVEN)));
        out.push_back(byte(sf::FORM_BIT | (g >> 7)));
        out.push_back(byte(len));
    }
}

// Encodes data[0..n) as the shortest stream the format allows; n must not
// exceed MAX_ENCODER_INPUT (a larger input yields an empty stream and false).
//
// A stream costs its item bytes plus one flag byte per started group of
// eight, so the cost of the rest of the input depends on how many items
// precede it modulo 8. The parse is therefore an exact shortest path over
// the states (position, items so far mod 8), run backwards from the end:
//
// 1. For every position p (from the end), and every match length L the
//    input allows there, find the smallest gap at which the L bytes from p
//    occur earlier, wholly before p. A smaller gap never needs a larger
//    form, so it is the cheapest reference of that length. The longest
//    common prefixes lcp(s, p) come one row per p from the row of p + 1.
// 2. best[p][r] = the fewest bytes that encode data[p..n) when r items
//    precede p (mod 8): the minimum over a literal and every reference of
//    step 1 of (item size + a flag byte if r is 0 + best[p + len][r + 1]).
// 3. Walk forward from (0, 0) along the recorded choices and write the
//    groups.
inline bool encode(const unsigned char *data, std::size_t n, std::vector<unsigned char> &out) {
    out.clear();
    if (n > MAX_ENCODER_INPUT)
        return false;
    constexpr int G = sf::GROUP_SIZE;
    constexpr std::size_t NONE = SIZE_MAX;
    struct Choice {
        std::uint16_t length;  // 0 for a literal
        std::uint16_t gap;
    };
    std::vector<std::uint32_t> best((n + 1) * G, 0);  // best[p * G + r]; row n is 0
    std::vector<Choice> choice(n * G);
    std::vector<std::uint16_t> lcp(n + 1, 0), next_lcp(n + 1, 0);  // rows p and p + 1
    std::size_t gap_for[sf::MAX_LENGTH + 1];

    for (std::size_t p = n; p-- > 0;) {
        // 1. lcp[s] = min(258, common prefix of data[s..] and data[p..]).
        for (std::size_t s = 0; s < p; ++s)
            lcp[s] = data[s] == data[p]
                         ? static_cast<std::uint16_t>(next_lcp[s + 1] < sf::MAX_LENGTH ? next_lcp[s + 1] + 1
                                                                                       : sf::MAX_LENGTH)
                         : 0;
        const std::size_t max_len = std::min<std::size_t>(sf::MAX_LENGTH, n - p);
        // Scanning sources downward from p, each source start s covers the
        // lengths 3..min(lcp, p - s) (the copy must end at or before p); the
        // first source to reach a length is the nearest, so its gap is the
        // smallest. Covered lengths always form a prefix 3..covered.
        std::size_t covered = sf::MIN_MATCH - 1;
        for (std::size_t s = p; s-- > 0 && covered < max_len;) {
            const std::size_t reach = std::min<std::size_t>({lcp[s], p - s, max_len});
            for (std::size_t len = covered + 1; len <= reach; ++len)
                gap_for[len] = p - s - len;
            if (reach > covered)
                covered = reach;
        }
        for (std::size_t len = covered + 1; len <= max_len; ++len)
            gap_for[len] = NONE;

        // 2. The cheapest first item for each count of preceding items.
        for (int r = 0; r < G; ++r) {
            const std::uint32_t flag = r == 0 ? 1 : 0;
            const int next_r = (r + 1) % G;
            std::uint32_t cost = flag + sf::LITERAL_SIZE + best[(p + 1) * G + next_r];
            Choice pick = {0, 0};
            for (std::size_t len = sf::MIN_MATCH; len <= max_len; ++len) {
                if (gap_for[len] == NONE)
                    break;  // the covered lengths are a prefix
                const std::uint32_t c = flag + static_cast<std::uint32_t>(reference_size(gap_for[len], len)) +
                                        best[(p + len) * G + next_r];
                if (c < cost) {
                    cost = c;
                    pick = {static_cast<std::uint16_t>(len), static_cast<std::uint16_t>(gap_for[len])};
                }
            }
            best[p * G + r] = cost;
            choice[p * G + r] = pick;
        }
        lcp.swap(next_lcp);
    }

    // 3. Write the chosen items, eight to a flag byte; flag bits of items
    //    past the end stay 0.
    out.reserve(n == 0 ? 0 : best[0]);
    std::size_t flag_at = 0;
    int r = 0;
    for (std::size_t p = 0; p < n; r = (r + 1) % G) {
        if (r == 0) {
            flag_at = out.size();
            out.push_back(0);
        }
        const Choice c = choice[p * G + r];
        if (c.length == 0) {
            out[flag_at] = static_cast<unsigned char>(out[flag_at] | 1u << r);
            out.push_back(data[p]);
            p += 1;
        } else {
            write_reference(out, c.gap, c.length);
            p += c.length;
        }
    }
    return true;
}

// Checks a stream against the producer contract for the input data[0..n):
// it decodes to exactly that input, every back-reference copies only bytes
// already produced and uses the form prescribed for its gap and length, the
// last item ends exactly at n with the flag bits of any missing items 0, and
// the stream ends with that item. Returns "" when all of this holds, else
// what is wrong. Written apart from the module's decoder, so that the two
// check each other.
inline std::string check_stream(const unsigned char *stream, std::size_t m, const unsigned char *data,
                                std::size_t n) {
    const auto at = [](const char *what, std::size_t pos) {
        return std::string(what) + " (output position " + std::to_string(pos) + ")";
    };
    std::size_t i = 0, p = 0;
    while (p < n) {
        if (i >= m)
            return at("the stream ends before the output is complete", p);
        const unsigned flags = stream[i++];
        for (int k = 0; k < sf::GROUP_SIZE; ++k) {
            if (p == n) {
                if (flags >> k != 0)
                    return at("the last group's flag bits for missing items are not 0", p);
                break;
            }
            if (flags >> k & 1u) {
                if (i >= m)
                    return at("a literal runs past the end of the stream", p);
                if (stream[i++] != data[p])
                    return at("a literal differs from the input", p);
                p += 1;
                continue;
            }
            if (m - i < 2)
                return at("a back-reference runs past the end of the stream", p);
            const unsigned b0 = stream[i], b1 = stream[i + 1];
            std::size_t gap, len;
            int size;
            if (b0 < sf::FORM_BIT) {
                gap = b0;
                len = b1 + sf::MIN_MATCH;
                size = sf::NEAR_SIZE;
            } else if (b1 < sf::FORM_BIT) {
                gap = ((b1 & sf::MIDDLE_GAP_BITS) << sf::MIDDLE_GAP_SHIFT | (b0 & sf::LOW_SEVEN)) + sf::MIDDLE_MIN_GAP;
                len = (b1 & sf::MIDDLE_LENGTH_BITS) + sf::MIN_MATCH;
                size = sf::MIDDLE_SIZE;
            } else {
                if (m - i < 3)
                    return at("a back-reference runs past the end of the stream", p);
                gap = ((b1 & sf::LOW_SEVEN) << 7 | (b0 & sf::LOW_SEVEN)) + sf::FAR_MIN_GAP;
                len = stream[i + 2] + sf::MIN_MATCH;
                size = sf::FAR_SIZE;
            }
            i += static_cast<std::size_t>(size);
            if (gap + len > p)
                return at("a back-reference reaches before the start of the output", p);
            if (len > n - p)
                return at("a back-reference carries the output past its end", p);
            if (reference_size(gap, len) != size)
                return at("a back-reference does not use the form prescribed for its gap and length", p);
            for (std::size_t j = 0; j < len; ++j) {
                if (data[p - gap - len + j] != data[p + j])
                    return at("a back-reference differs from the input", p);
            }
            p += len;
        }
    }
    if (i != m)
        return "the stream goes on after the output is complete (" + std::to_string(m - i) + " bytes left)";
    return "";
}

}  // namespace quill::lzss

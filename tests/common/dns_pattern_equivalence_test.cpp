// The hand-written host-name and label matchers decide exactly the languages of the
// system's name patterns (name_patterns.h). The reference is the compiled pattern itself, run on
// every short text over a small alphabet and on a large seeded random sample.
#include "dns_validator.h"
#include "name_patterns.h"
#include "regex.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

struct pattern_case {
    const char *name;
    int (*matcher)(std::string_view, int);
    int relaxed;
    const char *pattern;
};

const pattern_case patterns[] = {
    {"host", match_host_pattern, 0, host_pattern},
    {"host relaxed", match_host_pattern, 1, host_pattern_relaxed},
    {"label", match_label_pattern, 0, label_pattern},
    {"label relaxed", match_label_pattern, 1, label_pattern_relaxed},
};

struct tally {
    size_t texts = 0, accepted = 0;
};

// The patterns are POSIX expressions whose "$" ends the text. PCRE2's "$" also matches in
// front of one final newline; our matchers refuse every newline, so for such a text the
// engine's answer is ours for the text without that newline.
void compare(const pattern_case &p, std::string_view text, tally &t) {
    const int ours = p.matcher(text, p.relaxed);
    static std::map<const char *, std::unique_ptr<compiled_regex>> compiled;
    std::unique_ptr<compiled_regex> &re = compiled[p.pattern];
    if (!re)
        re = std::make_unique<compiled_regex>(p.pattern);
    const int engine = re->match(text);
    ASSERT_NE(engine, -1) << p.name << ": engine gave up on \"" << text << "\"";
    int expected = ours;
    if (!text.empty() && text.back() == '\n') {
        ASSERT_EQ(ours, 0) << p.name << ": a newline was accepted in \"" << text << "\"";
        expected = p.matcher(text.substr(0, text.size() - 1), p.relaxed);
    }
    ASSERT_EQ(expected, engine) << p.name << " pattern on \"" << text << "\"";
    ++t.texts;
    t.accepted += engine == 1;
}

// Every text of length 0..max_len over `alphabet`.
void exhaustive(const pattern_case &p, std::string_view alphabet, size_t max_len, tally &t) {
    std::vector<size_t> digit;
    std::string text;
    for (size_t len = 0; len <= max_len; ++len) {
        digit.assign(len, 0);
        while (true) {
            text.clear();
            for (size_t d : digit)
                text += alphabet[d];
            compare(p, text, t);
            if (testing::Test::HasFatalFailure())
                return;
            size_t i = 0;
            while (i < len && ++digit[i] == alphabet.size())
                digit[i++] = 0;
            if (i == len)
                break;
        }
    }
}

std::ostream &operator<<(std::ostream &os, const pattern_case &p) {
    return os << p.name;
}

class PatternEquivalence : public testing::TestWithParam<pattern_case> {};

TEST_P(PatternEquivalence, AllShortTextsOverTheNameAlphabet) {
    tally t;
    // Letters of both cases, a digit, underscore, hyphen, dot, newline, NUL, a high byte.
    exhaustive(GetParam(), std::string_view("aZ9_-.\n\0\x80", 9), 5, t);
    // The characters that build labels, to a greater length.
    exhaustive(GetParam(), "a_-.", 9, t);
    EXPECT_GT(t.accepted, 1000u);
    EXPECT_GT(t.texts - t.accepted, 1000u);
    RecordProperty("texts", static_cast<int>(t.texts));
}

TEST_P(PatternEquivalence, RandomNamesAndNearMisses) {
    // Names of one to four labels built from pieces, then, for about half of them, one byte
    // replaced, inserted or removed: a good share matches and the rest fails late. Texts stay
    // at most 20 bytes long: from about 30 the engine may run into its match limit.
    const std::vector<std::string> pieces = {"a", "Zq", "09", "_", "x-", "-y", "--", "b_c"};
    const std::string junk("-._ \n\0\xc3\x80\"|", 10);
    std::mt19937 rng(20240611);
    auto below = [&](size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng); };
    tally t;
    for (int i = 0; i < 200000 && !HasFatalFailure(); ++i) {
        std::string text;
        do {
            text.clear();
            for (size_t labels = 1 + below(4), l = 0; l < labels; ++l) {
                if (l > 0)
                    text += '.';
                for (size_t n = 1 + below(3); n > 0; --n)
                    text += pieces[below(pieces.size())];
            }
            if (below(3) == 0)
                text += '.';
        } while (text.size() > 19);
        if (below(2) == 0) {
            const size_t at = below(text.size() + 1);
            switch (below(3)) {
            case 0:
                if (at < text.size())
                    text[at] = junk[below(junk.size())];
                break;
            case 1:
                text.insert(text.begin() + at, junk[below(junk.size())]);
                break;
            default:
                if (at < text.size())
                    text.erase(at, 1);
            }
        }
        compare(GetParam(), text, t);
    }
    EXPECT_GT(t.accepted, 2000u);
    EXPECT_GT(t.texts - t.accepted, 100000u);
}

INSTANTIATE_TEST_SUITE_P(GlobalStringTable, PatternEquivalence, testing::ValuesIn(patterns),
                         [](const testing::TestParamInfo<pattern_case> &info) {
                             std::string n = info.param.name;
                             for (char &c : n)
                                 if (c == ' ')
                                     c = '_';
                             return n;
                         });

} // namespace

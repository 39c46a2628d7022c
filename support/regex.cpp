#include "regex.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <mutex>
#include <string>
#include <unordered_map>

compiled_regex::compiled_regex(std::string_view pattern, bool ignore_case) {
    int err = 0;
    PCRE2_SIZE offset = 0;
    uint32_t options = 0;
    if (ignore_case)
        options |= PCRE2_CASELESS;
    code_ = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.data()), pattern.size(), options,
                          &err, &offset, nullptr);
    if (code_)
        pcre2_jit_compile(code_, PCRE2_JIT_COMPLETE); // falls back to the interpreter
}

compiled_regex::~compiled_regex() {
    if (code_)
        pcre2_code_free(code_);
}

int compiled_regex::match(std::string_view text) const {
    if (!code_)
        return -1;
    // Match data sized for this pattern, one per thread and pattern use.
    pcre2_match_data *md = pcre2_match_data_create_from_pattern(code_, nullptr);
    if (!md)
        return -1;
    int rc = pcre2_match(code_, reinterpret_cast<PCRE2_SPTR>(text.data()), text.size(), 0, 0, md,
                         nullptr);
    pcre2_match_data_free(md);
    if (rc >= 0)
        return 1;
    return rc == PCRE2_ERROR_NOMATCH ? 0 : -1;
}

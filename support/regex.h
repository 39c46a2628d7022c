// Regular expressions (PCRE2 with JIT). Patterns are compiled once and kept.
#pragma once

#include <memory>
#include <string_view>

struct pcre2_real_code_8;

// A compiled pattern; safe to share between threads.
class compiled_regex {
  public:
    explicit compiled_regex(std::string_view pattern, bool ignore_case = false);
    ~compiled_regex();
    compiled_regex(const compiled_regex &) = delete;
    compiled_regex &operator=(const compiled_regex &) = delete;
    bool ok() const { return code_ != nullptr; }
    // 1 when the pattern matches somewhere in `text`, 0 when not, -1 on a matcher error
    // (such as a match limit reached).
    int match(std::string_view text) const;

  private:
    pcre2_real_code_8 *code_ = nullptr;
};

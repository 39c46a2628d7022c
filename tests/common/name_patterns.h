// The host-name and label patterns of the global string table as the system states them
// (POSIX extended expressions). No program compiles them: the validators' hand-written
// matchers decide the same languages, which the equivalence test and the benchmark check
// against these texts.
#pragma once

inline constexpr const char *host_pattern =
    "^(((([a-zA-Z0-9]+)|(([a-zA-Z0-9]+)[\\-]*)+([a-zA-Z0-9]+))\\.)+(([a-zA-Z0-9]+)|"
    "(([a-zA-Z0-9]+)[\\-]*)+([a-zA-Z0-9]+))\\.?)$";
inline constexpr const char *host_pattern_relaxed =
    "^(((([a-zA-Z0-9_]+)|(([a-zA-Z0-9_]+)[\\-]*)+([a-zA-Z0-9_]+))\\.)+(([a-zA-Z0-9_]+)|"
    "(([a-zA-Z0-9_]+)[\\-]*)+([a-zA-Z0-9_]+))\\.?)$";
inline constexpr const char *label_pattern =
    "^(([a-zA-Z0-9]+)|(([a-zA-Z0-9]+)[\\-]*)+([a-zA-Z0-9]+)\\.?)$";
inline constexpr const char *label_pattern_relaxed =
    "^(([a-zA-Z0-9_]+)|(([a-zA-Z0-9_]+)[\\-]*)+([a-zA-Z0-9_]+)\\.?)$";

// Whether named would accept the include file, the ACL file and the include-entry template,
// asked of BIND's own configuration parser and checks (those of named-checkconf) before
// anything is installed. The text checked is what named's own configuration holds of our
// files: an `include` of the ACL file, then an `include` of the include file, so that the
// `common-allow-transfer` list the zone statements name resolves.
//
// Names that the administrator's named.conf defines elsewhere (keys, other ACLs) are not
// known here: a template that uses them is refused. Touches nothing but the files it reads,
// the log and the event log.
#pragma once

#include "named_conf.h"

#include <string>

// Checks the ACL file at `acl_path` (empty: none) followed by the include file at
// `include_path` (empty: none). 0 when named accepts them; -1 otherwise, with what the
// parser said (its "file:line: message" lines) in `problem`.
[[nodiscard]] int check_named_files(const std::string &acl_path, const std::string &include_path,
                                    std::string &problem);

// The same for configuration text given whole (its `include` statements are followed).
[[nodiscard]] int check_named_text(const std::string &text, std::string &problem);

// Logs a refusal of `file` (the path about to be installed) and writes the event row
// "Name server configuration refused" (EP02, level 3, info "<file>|<problem's first line>").
void report_named_refusal(const named_ctx &ctx, const std::string &file,
                          const std::string &problem);

// Renders the template for one primary and one secondary zone and checks the entries
// (after the live ACL file when there is one) as named would read them. 0 when named
// accepts them; -1 otherwise, reported with report_named_refusal naming the template (and
// what the parser said in `*problem` when given).
[[nodiscard]] int check_entry_template(const std::string &entry_template, const named_ctx &ctx,
                                       std::string *problem = nullptr);

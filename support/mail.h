// Outgoing mail handed to the local mail transfer program ("sendmail" interface: the
// recipients are given as arguments after "-i -f <return path> --", the message on
// standard input). Headers carry no raw line breaks: a subject or display name holding a
// control character other than a tab is refused, and so is an address holding a blank, a
// control character or one of <>,;:"()\ (it would end the address or start another one).
// Non-ASCII display names and subjects are written as RFC 2047 encoded words; the body is
// UTF-8 text/plain, sent 7bit when it is ASCII with lines of at most 998 octets, else base64.
// Bcc recipients get the message but appear in no header. Sending is safe from any thread:
// SIGPIPE is blocked only in the sending thread while it writes. A mail program that has not
// taken the message and exited within the message's time limit is killed with everything
// it started (it runs in a process group of its own), and the send fails.
#pragma once

#include <memory>
#include <string>
#include <vector>

// Seconds a mail program may take to read the message and exit.
inline constexpr int FR_MAIL_DEFAULT_TIMEOUT = 60;

struct fr_mail {
    std::string mta;
    // Seconds the mail program may take; it is killed then and the mail counts as failed.
    // 0: no limit.
    int time_limit_s = FR_MAIL_DEFAULT_TIMEOUT;
    std::string from_address, from_name;
    std::string return_path;
    std::vector<std::string> to, bcc;
    std::string subject;
    std::string body;
    std::string last_error; // why the last fr_mail_send failed, for the caller's log
};

std::unique_ptr<fr_mail> fr_mail_init();
// Each setter returns 0, or non-zero when the value is refused (see above; an address or the
// mail program's path may not be empty, the path must be absolute).
int fr_mail_set_mta(fr_mail *m, const std::string &path);
// The time limit of fr_mail_send in seconds (0: none); non-zero for a negative value.
int fr_mail_set_timeout(fr_mail *m, int seconds);
int fr_mail_add_from(fr_mail *m, const std::string &address, const std::string &display_name);
int fr_mail_add_retpath(fr_mail *m, const std::string &address);
int fr_mail_add_to(fr_mail *m, const std::string &address);
int fr_mail_add_bcc(fr_mail *m, const std::string &address);
int fr_mail_add_subject(fr_mail *m, const std::string &subject);
int fr_mail_add_body(fr_mail *m, const std::string &body);
// The RFC 5322 message that fr_mail_send writes to the mail program.
std::string fr_mail_render(const fr_mail *m);
// Runs the mail program and waits for it, at most the time limit. 0 when it exited 0,
// non-zero otherwise (the reason in last_error).
int fr_mail_send(fr_mail *m);
void fr_mail_destroy(std::unique_ptr<fr_mail> &m);

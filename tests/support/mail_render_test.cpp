// The message handed to the mail program: RFC 5322 headers with MIME for UTF-8, Bcc kept
// out of the headers, and nothing a caller passes can add a header line.
#include "mail.h"

#include <gtest/gtest.h>

namespace {

std::string unbase64(const std::string &in) {
    const std::string tbl = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    unsigned v = 0;
    int bits = 0;
    for (char c : in) {
        auto p = tbl.find(c);
        if (p == std::string::npos)
            continue; // padding and line breaks
        v = v << 6 | static_cast<unsigned>(p);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out += static_cast<char>((v >> bits) & 0xff);
        }
    }
    return out;
}

// Decodes the RFC 2047 words of a header value (B encoding, as we write them).
std::string decode_words(std::string v) {
    std::string out;
    for (size_t pos = 0;;) {
        size_t start = v.find("=?UTF-8?B?", pos);
        if (start == std::string::npos) {
            out += v.substr(pos);
            return out;
        }
        std::string between = v.substr(pos, start - pos);
        if (between.find_first_not_of(" \r\n") != std::string::npos)
            out += between;
        size_t end = v.find("?=", start + 10);
        out += unbase64(v.substr(start + 10, end - start - 10));
        pos = end + 2;
    }
}

struct message {
    std::string headers, body;
};

message split(const std::string &text) {
    size_t blank = text.find("\r\n\r\n");
    return {text.substr(0, blank + 2), text.substr(blank + 4)};
}

std::string header(const std::string &headers, const std::string &name) {
    size_t p = headers.find("\r\n" + name + ": ");
    if (headers.rfind(name + ": ", 0) == 0)
        p = 0;
    else if (p == std::string::npos)
        return "";
    else
        p += 2;
    size_t start = p + name.size() + 2;
    size_t end = start;
    // Continuation lines begin with a blank.
    while ((end = headers.find("\r\n", end)) != std::string::npos && end + 2 < headers.size() &&
           headers[end + 2] == ' ')
        end += 2;
    return headers.substr(start, end - start);
}

std::unique_ptr<fr_mail> basic() {
    auto m = fr_mail_init();
    fr_mail_set_mta(m.get(), "/usr/sbin/sendmail");
    fr_mail_add_from(m.get(), "dns@example.net", "Zonaris DNS");
    fr_mail_add_retpath(m.get(), "bounces@example.net");
    fr_mail_add_to(m.get(), "client@example.org");
    fr_mail_add_to(m.get(), "second@example.org");
    fr_mail_add_bcc(m.get(), "admin@example.net");
    fr_mail_add_subject(m.get(), "Feed failed");
    fr_mail_add_body(m.get(), "Line one\nLine two\n");
    return m;
}

} // namespace

TEST(MailRender, WritesTheRequiredHeadersAndKeepsBccOut) {
    auto m = basic();
    message msg = split(fr_mail_render(m.get()));
    EXPECT_EQ(header(msg.headers, "From"), "\"Zonaris DNS\" <dns@example.net>");
    EXPECT_EQ(header(msg.headers, "Return-Path"), "<bounces@example.net>");
    EXPECT_EQ(header(msg.headers, "To"), "client@example.org, second@example.org");
    EXPECT_EQ(header(msg.headers, "Subject"), "Feed failed");
    EXPECT_EQ(header(msg.headers, "MIME-Version"), "1.0");
    EXPECT_EQ(header(msg.headers, "Content-Type"), "text/plain; charset=UTF-8");
    EXPECT_EQ(header(msg.headers, "Content-Transfer-Encoding"), "7bit");
    EXPECT_FALSE(header(msg.headers, "Date").empty());
    EXPECT_FALSE(header(msg.headers, "Message-ID").empty());
    EXPECT_EQ(msg.headers.find("admin@example.net"), std::string::npos);
    EXPECT_EQ(msg.headers.find("Bcc"), std::string::npos);
    EXPECT_EQ(msg.body, "Line one\r\nLine two\r\n");
    // Every line ends in CRLF and none is longer than RFC 5322 allows.
    std::string all = fr_mail_render(m.get());
    for (size_t p = 0, nl; (nl = all.find('\n', p)) != std::string::npos; p = nl + 1) {
        EXPECT_GT(nl, p);
        EXPECT_EQ(all[nl - 1], '\r');
        EXPECT_LE(nl - p, 999u);
    }
}

TEST(MailRender, EncodesUtf8InNamesSubjectsAndBodies) {
    auto m = basic();
    const std::string name = "Zon\xc3\xa4ris \xe2\x80\x94 DNS";
    const std::string subject =
        std::string("\xc3\x9c") + std::string(60, 'x') + "\xf0\x9f\x98\x80 end";
    const std::string body = "Gr\xc3\xbc\xc3\x9f"
                             "e\nzweite Zeile\n";
    ASSERT_EQ(0, fr_mail_add_from(m.get(), "dns@example.net", name));
    ASSERT_EQ(0, fr_mail_add_subject(m.get(), subject));
    ASSERT_EQ(0, fr_mail_add_body(m.get(), body));
    message msg = split(fr_mail_render(m.get()));
    EXPECT_EQ(msg.headers.find("\xc3"), std::string::npos); // headers are pure ASCII
    EXPECT_EQ(decode_words(header(msg.headers, "Subject")), subject);
    const std::string from = header(msg.headers, "From");
    ASSERT_NE(from.find(" <dns@example.net>"), std::string::npos);
    EXPECT_EQ(decode_words(from.substr(0, from.find(" <"))), name);
    EXPECT_EQ(header(msg.headers, "Content-Transfer-Encoding"), "base64");
    EXPECT_EQ(unbase64(msg.body), body);
}

TEST(MailRender, SendsLongLinesAsBase64) {
    auto m = basic();
    const std::string body = std::string(2000, 'a') + "\n";
    fr_mail_add_body(m.get(), body);
    message msg = split(fr_mail_render(m.get()));
    EXPECT_EQ(header(msg.headers, "Content-Transfer-Encoding"), "base64");
    EXPECT_EQ(unbase64(msg.body), body);
}

TEST(MailRender, QuotesSpecialCharactersInAsciiDisplayNames) {
    auto m = basic();
    ASSERT_EQ(0, fr_mail_add_from(m.get(), "dns@example.net", "Ops \"night\" \\ team"));
    EXPECT_EQ(header(split(fr_mail_render(m.get())).headers, "From"),
              "\"Ops \\\"night\\\" \\\\ team\" <dns@example.net>");
}

TEST(MailSetters, RefuseAnythingThatCouldAddAHeaderOrAnOption) {
    const std::string bad_addresses[] = {
        "",
        "a@b.c\r\nBcc: victim@x.y",
        "a@b.c\nX: y",
        "a@b.c, other@d.e",
        "Name <a@b.c>",
        "a b@c.d",
        "-oQ/tmp@x.y",
        std::string("a@b\0c", 5),
    };
    for (const auto &a : bad_addresses) {
        auto m = fr_mail_init();
        EXPECT_NE(0, fr_mail_add_to(m.get(), a)) << a;
        EXPECT_NE(0, fr_mail_add_bcc(m.get(), a)) << a;
        EXPECT_NE(0, fr_mail_add_retpath(m.get(), a)) << a;
        EXPECT_NE(0, fr_mail_add_from(m.get(), a, "Name")) << a;
        EXPECT_TRUE(m->to.empty() && m->bcc.empty() && m->from_address.empty());
    }
    const std::string bad_texts[] = {"x\r\nBcc: victim@x.y", "x\ny", "x\rY", "bell\a",
                                     std::string("nul\0", 4)};
    for (const auto &t : bad_texts) {
        auto m = fr_mail_init();
        EXPECT_NE(0, fr_mail_add_subject(m.get(), t)) << t;
        EXPECT_NE(0, fr_mail_add_from(m.get(), "a@b.c", t)) << t;
    }
    auto m = fr_mail_init();
    EXPECT_EQ(0, fr_mail_add_subject(m.get(), "tab\tis fine"));
    EXPECT_NE(0, fr_mail_set_mta(m.get(), "sendmail")); // must be absolute
    EXPECT_NE(0, fr_mail_set_mta(m.get(), ""));
    EXPECT_NE(0, fr_mail_add_to(nullptr, "a@b.c"));
}

TEST(MailSend, RefusesAnIncompleteMessageWithoutRunningAnything) {
    auto m = fr_mail_init();
    EXPECT_NE(0, fr_mail_send(m.get())); // no program, no sender, no recipient
    fr_mail_set_mta(m.get(), "/bin/false");
    fr_mail_add_from(m.get(), "a@b.c", "");
    EXPECT_NE(0, fr_mail_send(m.get())); // no recipient
    EXPECT_NE(0, fr_mail_send(nullptr));
}

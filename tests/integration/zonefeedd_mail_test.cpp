// Feed failure mails through the stand-in mail program: the warning at the threshold, once
// per process life; the panel's template with its targets and placeholders; values from the
// database that try to add header lines; a mail program that hangs.
#include "feed_mail.h"
#include "mail_fixture.h"
#include "mariadb_fixture.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

class zonefeeddMail : public testing::Test {
  protected:
    test_database db = make_test_database();
    mail_catcher mail;
    feed_notices notices;
    mail_settings settings;
    feed_record feed;

    void SetUp() override {
        settings.sendmail = mail.program();
        settings.hostname = "ns1.example.test";
        settings.time_limit_s = 5;
        settings.connect = [this] { return db.connect(); };
        exec("INSERT INTO client(id, login, name, email, level) VALUES(1, 'root', 'Admin', "
             "'admin@example.test', 0), (7, 'jdoe', 'J. Doe', 'jdoe@example.test', 1)");
        exec("INSERT INTO notification_event(id, name) VALUES(1, 'remote_update_failure')");
        exec("INSERT INTO notification(id, event_id, subject, content) VALUES(1, 1, 'Feed "
             "[remote_location] fails for [login]', 'Dear [name],\\n[remote_location] failed "
             "on [hostname] at [date].\\n')");
        exec("INSERT INTO notification_target(notification_id, appliesto, other) VALUES(1, "
             "'other', 'ops@example.test'), (1, 'Admin', NULL), (1, 'client', NULL)");
        feed.id = 3;
        feed.client_id = 7;
        feed.url = "http://feeds.example.test/zones";
        feed.perm.warn_threshold = 3;
    }
    void exec(const std::string &sql) { ASSERT_EQ(db.exec(sql), 0) << db.last_error() << sql; }

    // One job: the mail thread runs while `failures` failures are counted.
    void job(int failures) {
        ASSERT_EQ(start_mail_sender(notices, settings), 0);
        for (int i = 0; i < failures; ++i)
            ASSERT_EQ(url_stat_warn(notices, feed), 0);
        stop_mail_sender(notices);
    }
};

TEST_F(zonefeeddMail, WarningAtTheThresholdOncePerProcessLife) {
    ASSERT_EQ(add_url_stat(notices, feed), 0);
    job(2);
    EXPECT_TRUE(mail.messages().empty());
    job(1); // the third failure
    auto sent = mail.messages();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].header("Subject"), "Feed http://feeds.example.test/zones fails for jdoe");
    EXPECT_EQ(sent[0].header("To"), "ops@example.test, admin@example.test, jdoe@example.test");
    EXPECT_NE(sent[0].body().find("Dear J. Doe,"), std::string::npos);
    EXPECT_NE(sent[0].body().find("on ns1.example.test at"), std::string::npos);
    EXPECT_EQ(sent[0].header("From"), "\"Kestrin Zonaris\" <zonaris@ns1.example.test>");
    job(10);
    EXPECT_EQ(mail.messages().size(), 1u) << "a feed is warned about once per process life";
    // Selected again in a later job, the feed keeps its state.
    ASSERT_EQ(add_url_stat(notices, feed), 0);
    job(5);
    EXPECT_EQ(mail.messages().size(), 1u);
}

TEST_F(zonefeeddMail, ManyFailuresBeforeTheMailGoesOutGiveOneMail) {
    feed.perm.warn_threshold = 1;
    ASSERT_EQ(add_url_stat(notices, feed), 0);
    job(6);
    EXPECT_EQ(mail.messages().size(), 1u);
}

TEST_F(zonefeeddMail, FailedMailIsRetriedAtTheNextThreshold) {
    ASSERT_EQ(add_url_stat(notices, feed), 0);
    mail.set_exit(75);
    job(3);
    ASSERT_EQ(mail.messages().size(), 1u);
    mail.set_exit(0);
    job(2);
    EXPECT_EQ(mail.messages().size(), 1u);
    job(1);
    ASSERT_EQ(mail.messages().size(), 2u);
    EXPECT_EQ(mail.messages()[1].status, 0);
}

TEST_F(zonefeeddMail, FeedsWithoutThresholdAreNeverMailed) {
    feed.perm.warn_threshold = 0;
    ASSERT_EQ(add_url_stat(notices, feed), 0);
    feed_record other = feed;
    other.url += "/other"; // never entered
    job(5);
    ASSERT_EQ(start_mail_sender(notices, settings), 0);
    ASSERT_EQ(url_stat_warn(notices, other), 0);
    stop_mail_sender(notices);
    EXPECT_TRUE(mail.messages().empty());
}

TEST_F(zonefeeddMail, DatabaseTextsCannotAddHeaderLines) {
    exec("UPDATE client SET name = 'x\\r\\nBcc: victim@example.test', login = "
         "'j\\nX-Evil: 1' WHERE id = 7");
    exec("INSERT INTO misc(param, value) VALUES('email_sender_name', 'Ops\\r\\nX-Name: 2')");
    feed.url = "http://h/\r\nX-Url: 3";
    feed.perm.warn_threshold = 1;
    ASSERT_EQ(add_url_stat(notices, feed), 0);
    exec("UPDATE notification SET content = 'Dear [name] ([login]) [remote_location]'");
    job(1);
    auto sent = mail.messages();
    ASSERT_EQ(sent.size(), 1u);
    const std::string head = sent[0].text.substr(0, sent[0].text.find("\r\n\r\n"));
    for (const char *h : {"Bcc:", "X-Evil:", "X-Name:", "X-Url:"}) {
        EXPECT_NE(head.substr(0, strlen(h)), h) << head;
        EXPECT_EQ(head.find(std::string("\n") + h), std::string::npos) << h << " in\n" << head;
    }
    EXPECT_EQ(sent[0].header("Subject"), "Feed http://h/  X-Url: 3 fails for j X-Evil: 1");
    for (const std::string &arg : sent[0].args)
        EXPECT_EQ(arg.find("victim"), std::string::npos);
}

TEST_F(zonefeeddMail, HangingMailProgramIsStoppedByItsTimeLimit) {
    write_text_file(mail.dir.file("hang"), "#!/bin/sh\nexec sleep 60\n", 0755);
    settings.sendmail = mail.dir.file("hang");
    settings.time_limit_s = 1;
    feed.perm.warn_threshold = 1;
    ASSERT_EQ(add_url_stat(notices, feed), 0);
    const auto start = std::chrono::steady_clock::now();
    job(1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
    // Not sent: the next failure warns again.
    settings.sendmail = mail.program();
    job(1);
    EXPECT_EQ(mail.messages().size(), 1u);
}

TEST(zonefeeddPlaceholders, EveryPlaceholderOnceAndNoneExpandedTwice) {
    EXPECT_EQ(fill_placeholders("[name]/[login]/[remote_location]/[hostname]/[date]/[x]", "D", "H",
                                "[name]", "N", "L"),
              "N/L/[name]/H/D/[x]");
    EXPECT_EQ(fill_placeholders("a\nb [name]", "", "", "", "x\ny", ""), "a\nb x y");
}

} // namespace

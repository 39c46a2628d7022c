// Mail handed to a mail transfer program (the fixture's stand-in): what it receives, and
// that its failures are reported without disturbing the sending process.
#include "mail.h"
#include "mail_fixture.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <thread>

namespace {

std::unique_ptr<fr_mail> message_to(const std::string &mta) {
    auto m = fr_mail_init();
    EXPECT_EQ(0, fr_mail_set_mta(m.get(), mta));
    EXPECT_EQ(0, fr_mail_add_from(m.get(), "dns@example.net", "Zonaris \xc3\x9c DNS"));
    EXPECT_EQ(0, fr_mail_add_retpath(m.get(), "bounces@example.net"));
    EXPECT_EQ(0, fr_mail_add_to(m.get(), "client@example.org"));
    EXPECT_EQ(0, fr_mail_add_bcc(m.get(), "admin@example.net"));
    EXPECT_EQ(0, fr_mail_add_subject(m.get(), "Feed failure: example.org"));
    EXPECT_EQ(0, fr_mail_add_body(m.get(), "Your feed failed 3 times.\n"));
    return m;
}

// Whether a live process (not a zombie) has `arg` among its command-line arguments.
bool process_running_with_argument(const std::string &arg) {
    for (const auto &e : std::filesystem::directory_iterator("/proc")) {
        const std::string pid = e.path().filename().string();
        if (pid.find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::string cmdline = read_text_file("/proc/" + pid + "/cmdline");
        if (cmdline.empty()) // a zombie or a process that just ended
            continue;
        size_t start = 0;
        for (size_t end; (end = cmdline.find('\0', start)) != std::string::npos; start = end + 1)
            if (cmdline.compare(start, end - start, arg) == 0)
                return true;
    }
    return false;
}

} // namespace

TEST(Mail, TheMailProgramGetsTheMessageAndEveryRecipient) {
    mail_catcher catcher;
    auto m = message_to(catcher.program());
    ASSERT_EQ(0, fr_mail_send(m.get()));
    auto mails = catcher.messages();
    ASSERT_EQ(mails.size(), 1u);
    const caught_mail &mail = mails[0];
    EXPECT_EQ(mail.args, (std::vector<std::string>{"-i", "-f", "bounces@example.net", "--",
                                                   "client@example.org", "admin@example.net"}));
    EXPECT_EQ(mail.header("To"), "client@example.org");
    EXPECT_EQ(mail.header("Return-Path"), "<bounces@example.net>");
    EXPECT_EQ(mail.header("Subject"), "Feed failure: example.org");
    EXPECT_EQ(mail.header("Bcc"), "");
    EXPECT_EQ(mail.text.find("admin@example.net"), std::string::npos); // Bcc only in the envelope
    const std::string from = mail.header("From");
    EXPECT_EQ(from.rfind("=?UTF-8?B?", 0), 0u) << from;
    EXPECT_NE(from.find("<dns@example.net>"), std::string::npos);
    EXPECT_EQ(mail.header("Content-Type"), "text/plain; charset=UTF-8");
    EXPECT_EQ(mail.body(), "Your feed failed 3 times.\r\n");
}

TEST(Mail, WithoutAReturnPathTheSenderIsTheEnvelopeSender) {
    mail_catcher catcher;
    auto m = fr_mail_init();
    fr_mail_set_mta(m.get(), catcher.program());
    fr_mail_add_from(m.get(), "dns@example.net", "");
    fr_mail_add_bcc(m.get(), "only-bcc@example.net");
    fr_mail_add_subject(m.get(), "s");
    ASSERT_EQ(0, fr_mail_send(m.get()));
    auto mails = catcher.messages();
    ASSERT_EQ(mails.size(), 1u);
    EXPECT_EQ(mails[0].args, (std::vector<std::string>{"-i", "-f", "dns@example.net", "--",
                                                       "only-bcc@example.net"}));
    EXPECT_EQ(mails[0].header("From"), "<dns@example.net>");
    EXPECT_EQ(mails[0].header("To"), "");
}

TEST(Mail, AFailingOrMissingMailProgramIsReported) {
    mail_catcher catcher;
    catcher.set_exit(75);
    auto m = message_to(catcher.program());
    EXPECT_NE(0, fr_mail_send(m.get()));
    EXPECT_EQ(catcher.messages().size(), 1u); // it was tried

    auto gone = message_to(catcher.dir.file("no-such-program"));
    EXPECT_NE(0, fr_mail_send(gone.get()));
}

TEST(Mail, AMailProgramThatStopsReadingFailsTheSendButNotTheProcess) {
    temp_dir dir;
    const std::string quitter = dir.file("quitter");
    write_text_file(quitter, "#!/bin/sh\nexit 0\n", 0755);
    struct sigaction before {};
    sigaction(SIGPIPE, nullptr, &before);
    sigset_t mask_before;
    pthread_sigmask(SIG_SETMASK, nullptr, &mask_before);

    auto m = message_to(quitter);
    fr_mail_add_body(m.get(), std::string(4 << 20, 'x')); // far more than a pipe holds
    int rc = 0;
    // Sent from another thread, as the feed importer's mail thread does.
    std::thread sender([&] { rc = fr_mail_send(m.get()); });
    sender.join();
    EXPECT_NE(rc, 0);

    // The process-wide disposition and this thread's mask are as they were, and no SIGPIPE
    // is left pending.
    struct sigaction after {};
    sigaction(SIGPIPE, nullptr, &after);
    EXPECT_EQ(after.sa_handler, before.sa_handler);
    sigset_t mask_after, pending;
    pthread_sigmask(SIG_SETMASK, nullptr, &mask_after);
    EXPECT_EQ(sigismember(&mask_after, SIGPIPE), sigismember(&mask_before, SIGPIPE));
    sigpending(&pending);
    EXPECT_EQ(sigismember(&pending, SIGPIPE), 0);
}

TEST(Mail, AHungMailProgramIsKilledAfterTheTimeLimit) {
    mail_catcher catcher;
    catcher.set_exit(0, true);
    for (size_t body_size : {size_t(100), size_t(4) << 20}) { // fits the pipe / fills it
        auto m = message_to(catcher.program());
        ASSERT_EQ(0, fr_mail_set_timeout(m.get(), 1));
        fr_mail_add_body(m.get(), std::string(body_size, 'x'));
        const auto start = std::chrono::steady_clock::now();
        EXPECT_NE(0, fr_mail_send(m.get()));
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_LT(took, std::chrono::seconds(30)) << "the send waited for the hung program";
        EXPECT_NE(m->last_error.find("killed"), std::string::npos) << m->last_error;
    }
    // The stand-in took the small message before it hung; it and its process group are gone.
    ASSERT_FALSE(catcher.messages().empty());
    EXPECT_FALSE(process_running_with_argument(catcher.program()));
    EXPECT_NE(0, fr_mail_set_timeout(message_to(catcher.program()).get(), -1));
}

#include "feed_mail.h"

#include "dns_common.h"
#include "feed_dispatch.h"
#include "logging.h"
#include "mail.h"

#include <array>
#include <cstring>
#include <strings.h>

namespace {

constexpr size_t max_key = 1023;

std::string stat_key(int client_id, const std::string &url) {
    return std::to_string(client_id) + "|" + url;
}

std::string one_line(const std::string &text) {
    std::string out = text;
    for (char &c : out)
        if ((static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7f)
            c = ' ';
    return out;
}

std::string misc_text(sql_conn *db, const char *param, int *status) {
    return fr_sql_misc_value(db, param, status).value_or("");
}

std::unique_ptr<fr_mail> init_mail_client(sql_conn *db, const mail_settings &s) {
    auto m = fr_mail_init();
    int st = 0;
    std::string address = misc_text(db, "email_sender", &st);
    if (st != 0)
        return nullptr;
    std::string name = misc_text(db, "email_sender_name", &st);
    if (st != 0)
        return nullptr;
    if (address.empty())
        address = "zonaris@" + (s.hostname.empty() ? std::string("localhost") : s.hostname);
    if (name.empty())
        name = "Kestrin Zonaris";
    if (fr_mail_set_mta(m.get(), s.sendmail) != 0 ||
        fr_mail_add_from(m.get(), address, one_line(name)) != 0 ||
        fr_mail_add_retpath(m.get(), address) != 0) {
        LOGF(LOG_ERR, "Cannot prepare a mail from '%s' through '%s'.", address.c_str(),
             s.sendmail.c_str());
        return nullptr;
    }
    m->time_limit_s = s.time_limit_s;
    return m;
}

void add_recipient(fr_mail *m, const std::string &address, bool main) {
    const bool to = main || m->to.empty();
    if ((to ? fr_mail_add_to(m, address) : fr_mail_add_bcc(m, address)) != 0)
        LOGF(LOG_WARNING, "Skipping unusable mail address '%s'.", one_line(address).c_str());
}

int add_addresses(fr_mail *m, sql_conn *db, const char *statement, int client_id) {
    sql_result res;
    const int rc = client_id ? fr_sql_query(db, &res, statement, client_id)
                             : fr_sql_query(db, &res, statement);
    if (rc != 0)
        return -1;
    while (sql_row row = fr_sql_fetchrow(res))
        if (!row.is_null(0) && !row.view(0).empty())
            add_recipient(m, std::string(row.view(0)), true);
    return 0;
}

int add_admins(fr_mail *m, sql_conn *db) {
    return add_addresses(m, db, "SELECT email FROM `client` WHERE `level` = 0", 0);
}

int add_client(fr_mail *m, sql_conn *db, int client_id) {
    return add_addresses(m, db, "SELECT `email` FROM `client` WHERE `id` = '%d' ", client_id);
}

// One notification of the event: its recipients, texts and the sending. 0 when sent.
int send_notification(const mail_settings &s, sql_conn *db, const char *event, int client_id,
                      const std::string &url, const std::string &notification_id,
                      const std::string &subject, const std::string &content) {
    auto m = init_mail_client(db, s);
    if (!m)
        return -1;
    sql_result targets;
    if (fr_sql_query(db, &targets,
                     "SELECT `appliesto`, `other` FROM `notification_target`   WHERE "
                     "`notification_id` = '%s' ",
                     notification_id) != 0)
        return -1;
    while (sql_row row = fr_sql_fetchrow(targets)) {
        const std::string applies(row.view(0));
        if (strcasecmp(applies.c_str(), "admin") == 0) {
            if (add_admins(m.get(), db) != 0)
                return -1;
        } else if (applies == "client") {
            if (add_client(m.get(), db, client_id) != 0)
                return -1;
        } else if (applies == "other" && !row.view(1).empty()) {
            add_recipient(m.get(), std::string(row.view(1)), false);
        }
    }
    if (m->to.empty() && m->bcc.empty())
        return -1;
    std::string name, login;
    if (std::string_view(event) == "remote_update_failure") {
        sql_result res;
        if (fr_sql_query(db, &res, "SELECT `name`, `login` FROM `client` WHERE `id` = '%d' ",
                         client_id) != 0)
            return -1;
        if (sql_row row = fr_sql_fetchrow(res)) {
            name = row.view(0);
            login = row.view(1);
        }
    }
    const std::string date = get_datetime_str();
    const std::string subj =
        one_line(fill_placeholders(subject, date, s.hostname, url, name, login));
    const std::string body = fill_placeholders(content, date, s.hostname, url, name, login);
    if (fr_mail_add_subject(m.get(), subj) != 0 || fr_mail_add_body(m.get(), body) != 0)
        return -1;
    if (fr_mail_send(m.get()) != 0) {
        LOGF(LOG_ERR, "Failed to send the '%s' mail about %s.", event, one_line(url).c_str());
        return -1;
    }
    return 0;
}

void mail_sender(feed_notices &n, mail_settings s) {
    mysql_thread_init();
    sql_handle db = s.connect ? s.connect() : nullptr;
    for (;;) {
        mail_item item;
        {
            std::unique_lock<std::mutex> lock(n.queue_lock);
            n.queue_cv.wait(lock, [&] { return !n.queue.empty() || !n.job_open; });
            if (n.queue.empty())
                break;
            item = std::move(n.queue.front());
            n.queue.pop_front();
        }
        const int rc =
            db ? send_dns_mail(s, "remote_update_failure", db.get(), item.client_id, item.url) : -1;
        std::lock_guard<std::mutex> lock(n.stats_lock);
        auto it = n.stats.find(stat_key(item.client_id, item.url));
        if (it != n.stats.end()) {
            it->second.pending = false;
            if (rc == 0)
                it->second.mailed = true;
        }
    }
    db.reset();
    mysql_thread_end();
}

} // namespace

std::string fill_placeholders(const std::string &text, const std::string &date,
                              const std::string &hostname, const std::string &url,
                              const std::string &name, const std::string &login) {
    const std::pair<const char *, std::string> values[] = {{"[date]", date},
                                                           {"[hostname]", one_line(hostname)},
                                                           {"[remote_location]", one_line(url)},
                                                           {"[name]", one_line(name)},
                                                           {"[login]", one_line(login)}};
    std::string out;
    for (size_t i = 0; i < text.size();) {
        bool replaced = false;
        if (text[i] == '[')
            for (const auto &[key, value] : values)
                if (text.compare(i, strlen(key), key) == 0) {
                    out += value;
                    i += strlen(key);
                    replaced = true;
                    break;
                }
        if (!replaced)
            out += text[i++];
    }
    return out;
}

int add_url_stat(feed_notices &n, const feed_record &feed) {
    std::string key = stat_key(feed.client_id, feed.url);
    if (key.size() > max_key)
        return -1;
    std::lock_guard<std::mutex> lock(n.stats_lock);
    url_stat &st = n.stats[key];
    st.client_id = feed.client_id;
    st.threshold = feed.perm.warn_threshold;
    return 0;
}

int url_stat_warn(feed_notices &n, const feed_record &feed) {
    const std::string key = stat_key(feed.client_id, feed.url);
    if (key.size() > max_key)
        return -1;
    {
        std::lock_guard<std::mutex> lock(n.stats_lock);
        auto it = n.stats.find(key);
        if (it == n.stats.end())
            return 0;
        url_stat &st = it->second;
        ++st.failures;
        if (st.mailed || st.pending || st.threshold <= 0 || st.failures < st.threshold)
            return 0;
        st.failures = 0;
        st.pending = true;
    }
    {
        std::lock_guard<std::mutex> lock(n.queue_lock);
        n.queue.push_back({feed.client_id, feed.url});
    }
    n.queue_cv.notify_one();
    return 0;
}

int start_mail_sender(feed_notices &n, const mail_settings &s) {
    {
        std::lock_guard<std::mutex> lock(n.queue_lock);
        n.job_open = true;
    }
    try {
        signals_blocked blocked;
        n.sender = std::thread(mail_sender, std::ref(n), s);
    } catch (const std::system_error &e) {
        std::lock_guard<std::mutex> lock(n.queue_lock);
        n.job_open = false;
        return e.code().value();
    }
    return 0;
}

void stop_mail_sender(feed_notices &n) {
    {
        std::lock_guard<std::mutex> lock(n.queue_lock);
        n.job_open = false;
    }
    n.queue_cv.notify_all();
    if (n.sender.joinable())
        n.sender.join();
    // Warnings the thread could not send (no connection) are given up with the job.
    std::lock_guard<std::mutex> qlock(n.queue_lock);
    std::lock_guard<std::mutex> slock(n.stats_lock);
    for (const mail_item &item : n.queue) {
        auto it = n.stats.find(stat_key(item.client_id, item.url));
        if (it != n.stats.end())
            it->second.pending = false;
    }
    n.queue.clear();
}

int send_dns_mail(const mail_settings &s, const char *event, sql_conn *db, int client_id,
                  const std::string &url) {
    if (s.sendmail.empty()) {
        LOGF(LOG_DEBUG, "No mail program configured: no '%s' notice about %s.", event,
             one_line(url).c_str());
        return -1;
    }
    sql_result res;
    if (fr_sql_query(db, &res, "SELECT `id` FROM `notification_event` WHERE name = '%s' ", event) !=
        0)
        return -1;
    sql_row row = fr_sql_fetchrow(res);
    if (!row || row.is_null(0))
        return -1;
    const std::string event_id(row.view(0));
    sql_result notes;
    if (fr_sql_query(db, &notes,
                     "SELECT `id`, `subject`, `content` FROM `notification`   WHERE `event_id` = "
                     "'%s' ",
                     event_id) != 0)
        return -1;
    int sent = 0;
    // The notification rows are read whole first: the statements of each mail reuse the
    // connection.
    std::vector<std::array<std::string, 3>> list;
    while (sql_row n = fr_sql_fetchrow(notes))
        list.push_back({std::string(n.view(0)), std::string(n.view(1)), std::string(n.view(2))});
    notes.reset();
    for (const auto &n : list)
        if (send_notification(s, db, event, client_id, url, n[0], n[1], n[2]) == 0)
            ++sent;
    return sent > 0 ? 0 : -1;
}

// Feed failure notifications: failures counted per feed for the life of the process, and
// a mail thread that sends the panel's "remote_update_failure" notification when a feed's
// failures reach its client's threshold (once per feed for the life of the process).
//
// Locks: the failure table and the mail queue each have their own mutex, held only to read
// or change them; the mail thread composes and sends with no lock held, through its own
// database connection, and waits only for its own mail program (with a time limit).
#pragma once

#include "feed_record.h"
#include "sql.h"

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>

struct url_stat {
    int client_id = 0;
    int threshold = 0;
    int failures = 0;     // failures since the last warning
    bool pending = false; // a warning waits in the queue or is being sent
    bool mailed = false;  // a warning went out
};

struct mail_item {
    int client_id = 0;
    std::string url;
};

// How the mail thread reaches the database and the mail program.
struct mail_settings {
    std::string sendmail;                // SENDMAIL_BIN_FILE
    std::string hostname;                // for "[hostname]" and the default sender
    int time_limit_s = 60;               // the mail program's time limit
    std::function<sql_handle()> connect; // opens the thread's own connection (nullptr: failed)
};

struct feed_notices {
    // Process-wide, keyed "client id|URL".
    std::mutex stats_lock;
    std::unordered_map<std::string, url_stat> stats;
    // One job's queue and mail thread.
    std::mutex queue_lock;
    std::condition_variable queue_cv;
    std::deque<mail_item> queue;
    bool job_open = false; // the thread waits for items while set
    std::thread sender;
};

// Enters a feed whose client asked for warnings (threshold above 0); an entry already there
// keeps its counts and takes the current threshold. 0, or -1 for a key over 1023 characters.
int add_url_stat(feed_notices &n, const feed_record &feed);
// Counts one failure of `feed`; queues a warning when the count reaches the threshold and
// none went out yet. 0, or -1 for a key over 1023 characters.
int url_stat_warn(feed_notices &n, const feed_record &feed);

// Starts the job's mail thread. 0, or an error number.
[[nodiscard]] int start_mail_sender(feed_notices &n, const mail_settings &s);
// Lets the mail thread send what is queued and waits for its end.
void stop_mail_sender(feed_notices &n);

// Sends the notifications of `event` about `client_id`'s feed `url`. 0 when at least one
// mail went out, -1 otherwise.
int send_dns_mail(const mail_settings &s, const char *event, sql_conn *db, int client_id,
                  const std::string &url);

// Replaces the placeholders of a notification text. Values from the database carry no
// control character afterwards (each becomes a blank), so they cannot start a header line.
std::string fill_placeholders(const std::string &text, const std::string &date,
                              const std::string &hostname, const std::string &url,
                              const std::string &name, const std::string &login);

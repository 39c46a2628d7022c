#include "mail.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Header text may hold blanks and tabs but no other control character: a CR or LF would
// start a header of the caller's choosing.
bool has_control(const std::string &s) {
    for (unsigned char c : s)
        if ((c < 0x20 && c != '\t') || c == 0x7f)
            return true;
    return false;
}

// An address goes into a header and onto the mail program's command line: no controls, no
// blanks, nothing that would end it or start another one, no leading "-" (an option).
bool valid_address(const std::string &a) {
    if (a.empty() || a[0] == '-' || a.size() > 320)
        return false;
    for (unsigned char c : a)
        if (c <= 0x20 || c == 0x7f || std::strchr("<>,;:\"()\\", c))
            return false;
    return true;
}

bool is_ascii(const std::string &s) {
    for (unsigned char c : s)
        if (c >= 0x80)
            return false;
    return true;
}

std::string base64(const std::string &in) {
    static const char tbl[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t i = 0;
    for (; i + 2 < in.size(); i += 3) {
        unsigned v =
            (unsigned char)in[i] << 16 | (unsigned char)in[i + 1] << 8 | (unsigned char)in[i + 2];
        out += tbl[v >> 18];
        out += tbl[(v >> 12) & 63];
        out += tbl[(v >> 6) & 63];
        out += tbl[v & 63];
    }
    if (i + 1 == in.size()) {
        unsigned v = (unsigned char)in[i] << 16;
        out += tbl[v >> 18];
        out += tbl[(v >> 12) & 63];
        out += "==";
    } else if (i + 2 == in.size()) {
        unsigned v = (unsigned char)in[i] << 16 | (unsigned char)in[i + 1] << 8;
        out += tbl[v >> 18];
        out += tbl[(v >> 12) & 63];
        out += tbl[(v >> 6) & 63];
        out += '=';
    }
    return out;
}

// An RFC 2047 encoded word for non-ASCII header text, split so that no word exceeds
// 75 characters and no UTF-8 sequence is cut.
std::string encode_header(const std::string &text) {
    if (is_ascii(text) && text.size() <= 900)
        return text;
    std::string out, chunk;
    auto flush = [&] {
        if (chunk.empty())
            return;
        if (!out.empty())
            out += "\r\n ";
        out += "=?UTF-8?B?" + base64(chunk) + "?=";
        chunk.clear();
    };
    for (size_t i = 0; i < text.size();) {
        size_t len = 1;
        unsigned char c = text[i];
        if (c >= 0xf0)
            len = 4;
        else if (c >= 0xe0)
            len = 3;
        else if (c >= 0xc0)
            len = 2;
        if (chunk.size() + len > 45)
            flush();
        chunk += text.substr(i, len);
        i += len;
    }
    flush();
    return out;
}

// A display name as a quoted string (ASCII) or an encoded word.
std::string display_name(const std::string &name) {
    if (!is_ascii(name))
        return encode_header(name);
    std::string q = "\"";
    for (char c : name) {
        if (c == '"' || c == '\\')
            q += '\\';
        q += c;
    }
    return q + "\"";
}

std::string crlf_lines(const std::string &body) {
    std::string out;
    for (size_t i = 0; i < body.size(); ++i) {
        if (body[i] == '\n' && (i == 0 || body[i - 1] != '\r'))
            out += '\r';
        out += body[i];
    }
    return out;
}

int set_address(std::string &field, const std::string &value) {
    if (!valid_address(value))
        return -1;
    field = value;
    return 0;
}

// 7bit is only right for ASCII text whose lines stay within the 998 octets RFC 5322 allows
// and that holds no NUL or bare CR; anything else goes as base64.
bool needs_base64(const std::string &body) {
    if (!is_ascii(body))
        return true;
    size_t line = 0;
    for (size_t i = 0; i < body.size(); ++i) {
        const char c = body[i];
        if (c == '\0' || (c == '\r' && (i + 1 == body.size() || body[i + 1] != '\n')))
            return true;
        if (c == '\n') {
            line = 0;
        } else if (c != '\r' && ++line > 998) {
            return true;
        }
    }
    return false;
}

std::string message_id(const std::string &from_address) {
    static std::atomic<unsigned> counter{0};
    std::string domain = "localhost";
    auto at = from_address.rfind('@');
    if (at != std::string::npos && at + 1 < from_address.size())
        domain = from_address.substr(at + 1);
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    char id[96];
    snprintf(id, sizeof id, "%lld.%ld.%d.%u", static_cast<long long>(ts.tv_sec), ts.tv_nsec,
             static_cast<int>(getpid()), counter++);
    return "<" + std::string(id) + "@" + domain + ">";
}

} // namespace

std::unique_ptr<fr_mail> fr_mail_init() {
    return std::make_unique<fr_mail>();
}

int fr_mail_set_mta(fr_mail *m, const std::string &path) {
    if (!m || path.empty() || path[0] != '/' || has_control(path))
        return -1;
    m->mta = path;
    return 0;
}

int fr_mail_add_from(fr_mail *m, const std::string &address, const std::string &name) {
    if (!m || has_control(name))
        return -1;
    if (set_address(m->from_address, address) != 0)
        return -1;
    m->from_name = name;
    return 0;
}

int fr_mail_add_retpath(fr_mail *m, const std::string &address) {
    return m ? set_address(m->return_path, address) : -1;
}

int fr_mail_add_to(fr_mail *m, const std::string &address) {
    if (!m || !valid_address(address))
        return -1;
    m->to.push_back(address);
    return 0;
}

int fr_mail_add_bcc(fr_mail *m, const std::string &address) {
    if (!m || !valid_address(address))
        return -1;
    m->bcc.push_back(address);
    return 0;
}

int fr_mail_add_subject(fr_mail *m, const std::string &subject) {
    if (!m || has_control(subject))
        return -1;
    m->subject = subject;
    return 0;
}

int fr_mail_add_body(fr_mail *m, const std::string &body) {
    if (!m)
        return -1;
    m->body = body;
    return 0;
}

std::string fr_mail_render(const fr_mail *m) {
    std::string msg;
    if (!m->return_path.empty())
        msg += "Return-Path: <" + m->return_path + ">\r\n";
    msg += "From: ";
    if (!m->from_name.empty())
        msg += display_name(m->from_name) + " ";
    msg += "<" + m->from_address + ">\r\n";
    if (!m->to.empty()) {
        msg += "To: ";
        for (size_t i = 0; i < m->to.size(); ++i)
            msg += (i ? ", " : "") + m->to[i];
        msg += "\r\n";
    }
    msg += "Subject: " + encode_header(m->subject) + "\r\n";
    char date[64];
    time_t now = time(nullptr);
    struct tm tmv;
    gmtime_r(&now, &tmv);
    strftime(date, sizeof date, "%a, %d %b %Y %H:%M:%S +0000", &tmv);
    msg += std::string("Date: ") + date + "\r\n";
    msg += "Message-ID: " + message_id(m->from_address) + "\r\n";
    msg += "MIME-Version: 1.0\r\n";
    msg += "Content-Type: text/plain; charset=UTF-8\r\n";
    if (!needs_base64(m->body)) {
        msg += "Content-Transfer-Encoding: 7bit\r\n\r\n";
        msg += crlf_lines(m->body);
    } else {
        msg += "Content-Transfer-Encoding: base64\r\n\r\n";
        std::string b = base64(m->body);
        for (size_t i = 0; i < b.size(); i += 76)
            msg += b.substr(i, 76) + "\r\n";
    }
    return msg;
}

namespace {

using mail_clock = std::chrono::steady_clock;

int ms_left(mail_clock::time_point deadline) {
    auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - mail_clock::now()).count();
    return left > 0 ? static_cast<int>(std::min<long long>(left, 60000)) : 0;
}

enum class write_result { ok, failed, timed_out };

// Writes all of `data` to the (non-blocking) pipe before the deadline, with SIGPIPE blocked
// in this thread only: a mail program that dies early must not kill us, and other threads
// keep their own signal handling. A SIGPIPE raised by our write is consumed before the old
// mask comes back.
write_result write_to_pipe(int fd, const std::string &data, mail_clock::time_point deadline) {
    sigset_t pipe_set, old_mask;
    sigemptyset(&pipe_set);
    sigaddset(&pipe_set, SIGPIPE);
    sigset_t pending;
    sigemptyset(&pending);
    sigpending(&pending);
    const bool was_pending = sigismember(&pending, SIGPIPE) == 1;
    pthread_sigmask(SIG_BLOCK, &pipe_set, &old_mask);

    write_result result = write_result::ok;
    bool broken = false;
    for (size_t off = 0; off < data.size();) {
        ssize_t n = write(fd, data.data() + off, data.size() - off);
        if (n >= 0) {
            off += static_cast<size_t>(n);
            continue;
        }
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN) {
            broken = errno == EPIPE;
            result = write_result::failed;
            break;
        }
        const int wait_ms = ms_left(deadline);
        if (wait_ms == 0) {
            result = write_result::timed_out;
            break;
        }
        struct pollfd p {
            fd, POLLOUT, 0
        };
        if (poll(&p, 1, wait_ms) < 0 && errno != EINTR) {
            result = write_result::failed;
            break;
        }
    }
    if (broken && !was_pending) {
        const struct timespec zero {};
        while (sigtimedwait(&pipe_set, nullptr, &zero) < 0 && errno == EINTR) {
        }
    }
    pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
    return result;
}

// Waits for the child until the deadline. True with its status when it ended in time.
bool wait_child(pid_t pid, int &status, mail_clock::time_point deadline) {
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    for (;;) {
        const pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid)
            break;
        if (r < 0 && errno != EINTR) {
            status = -1;
            break;
        }
        const int wait_ms = ms_left(deadline);
        if (wait_ms == 0) {
            if (pidfd >= 0)
                close(pidfd);
            return false;
        }
        if (pidfd >= 0) {
            struct pollfd p {
                pidfd, POLLIN, 0
            };
            poll(&p, 1, wait_ms);
        } else {
            // No process descriptors on this kernel: look again in a short while.
            const struct timespec step { 0, 10 * 1000 * 1000 };
            nanosleep(&step, nullptr);
        }
    }
    if (pidfd >= 0)
        close(pidfd);
    return true;
}

} // namespace

int fr_mail_set_timeout(fr_mail *m, int seconds) {
    if (!m || seconds < 0)
        return -1;
    m->time_limit_s = seconds;
    return 0;
}

int fr_mail_send(fr_mail *m) {
    if (!m)
        return -1;
    m->last_error.clear();
    if (m->mta.empty() || m->from_address.empty() || (m->to.empty() && m->bcc.empty())) {
        m->last_error = "no mail program, sender or recipient";
        return -1;
    }
    std::string message;
    std::vector<std::string> argv_s;
    std::vector<char *> argv;
    try {
        message = fr_mail_render(m);
        argv_s = {m->mta, "-i", "-f", m->return_path.empty() ? m->from_address : m->return_path,
                  "--"};
        argv_s.insert(argv_s.end(), m->to.begin(), m->to.end());
        argv_s.insert(argv_s.end(), m->bcc.begin(), m->bcc.end());
        for (auto &a : argv_s)
            argv.push_back(a.data());
        argv.push_back(nullptr);
    } catch (const std::bad_alloc &) {
        m->last_error = "out of memory";
        return -1;
    }

    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        m->last_error = std::string("pipe: ") + strerror(errno);
        return -1;
    }
    const auto deadline =
        mail_clock::now() + (m->time_limit_s > 0 ? std::chrono::seconds(m->time_limit_s)
                                                 : std::chrono::hours(24 * 365));
    pid_t pid = fork();
    if (pid < 0) {
        m->last_error = std::string("fork: ") + strerror(errno);
        close(fds[0]);
        close(fds[1]);
        return -1;
    }
    if (pid == 0) {
        // Only async-signal-safe calls here: the parent may have other threads. A process
        // group of its own, so that a hung mail program is killed with its children.
        setpgid(0, 0);
        if (fds[0] == STDIN_FILENO)
            fcntl(STDIN_FILENO, F_SETFD, 0);
        else if (dup2(fds[0], STDIN_FILENO) < 0)
            _exit(127);
        struct sigaction dfl {};
        dfl.sa_handler = SIG_DFL;
        sigaction(SIGPIPE, &dfl, nullptr);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    // Also here, so that the group exists before anything is killed.
    setpgid(pid, pid);
    close(fds[0]);
    fcntl(fds[1], F_SETFL, O_NONBLOCK);
    const write_result written = write_to_pipe(fds[1], message, deadline);
    close(fds[1]);
    int status = 0;
    if (written == write_result::timed_out || !wait_child(pid, status, deadline)) {
        kill(-pid, SIGKILL);
        kill(pid, SIGKILL);
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        m->last_error = "the mail program " + m->mta + " did not finish within " +
                        std::to_string(m->time_limit_s) + " seconds and was killed";
        return -1;
    }
    if (written == write_result::failed) {
        m->last_error = "the mail program " + m->mta + " did not take the whole message";
        return -1;
    }
    if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        m->last_error = "the mail program " + m->mta +
                        (status != -1 && WIFEXITED(status)
                             ? " exited with status " + std::to_string(WEXITSTATUS(status))
                             : std::string(" ended abnormally"));
        return -1;
    }
    return 0;
}

void fr_mail_destroy(std::unique_ptr<fr_mail> &m) {
    m.reset();
}

#include "mail.h"

#include <cerrno>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

bool has_line_break(const std::string &s) {
    return s.find_first_of("\r\n") != std::string::npos || s.find('\0') != std::string::npos;
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
        unsigned v = (unsigned char)in[i] << 16 | (unsigned char)in[i + 1] << 8 |
                     (unsigned char)in[i + 2];
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
    if (is_ascii(text))
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

int set_checked(std::string &field, const std::string &value) {
    if (value.empty() || has_line_break(value))
        return -1;
    field = value;
    return 0;
}

} // namespace

std::unique_ptr<fr_mail> fr_mail_init() { return std::make_unique<fr_mail>(); }

int fr_mail_set_mta(fr_mail *m, const std::string &path) {
    if (!m || path.empty() || path[0] != '/')
        return -1;
    return set_checked(m->mta, path);
}

int fr_mail_add_from(fr_mail *m, const std::string &address, const std::string &name) {
    if (!m || has_line_break(name))
        return -1;
    if (set_checked(m->from_address, address) != 0)
        return -1;
    m->from_name = name;
    return 0;
}

int fr_mail_add_retpath(fr_mail *m, const std::string &address) {
    return m ? set_checked(m->return_path, address) : -1;
}

int fr_mail_add_to(fr_mail *m, const std::string &address) {
    if (!m || address.empty() || has_line_break(address) || address[0] == '-')
        return -1;
    m->to.push_back(address);
    return 0;
}

int fr_mail_add_bcc(fr_mail *m, const std::string &address) {
    if (!m || address.empty() || has_line_break(address) || address[0] == '-')
        return -1;
    m->bcc.push_back(address);
    return 0;
}

int fr_mail_add_subject(fr_mail *m, const std::string &subject) {
    if (!m || has_line_break(subject))
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
    msg += "MIME-Version: 1.0\r\n";
    msg += "Content-Type: text/plain; charset=UTF-8\r\n";
    if (is_ascii(m->body)) {
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

int fr_mail_send(fr_mail *m) {
    if (!m || m->mta.empty() || m->from_address.empty() || (m->to.empty() && m->bcc.empty()))
        return -1;
    const std::string message = fr_mail_render(m);
    std::vector<std::string> argv_s = {m->mta, "-i", "-f",
                                       m->return_path.empty() ? m->from_address : m->return_path,
                                       "--"};
    argv_s.insert(argv_s.end(), m->to.begin(), m->to.end());
    argv_s.insert(argv_s.end(), m->bcc.begin(), m->bcc.end());
    std::vector<char *> argv;
    for (auto &a : argv_s)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return -1;
    pid_t pid = fork();
    if (pid < 0) {
        close(fds[0]);
        close(fds[1]);
        return -1;
    }
    if (pid == 0) {
        dup2(fds[0], STDIN_FILENO);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(fds[0]);
    // A mail program that dies early must not kill us with SIGPIPE.
    struct sigaction ign {}, old{};
    ign.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ign, &old);
    bool write_ok = true;
    for (size_t off = 0; off < message.size();) {
        ssize_t n = write(fds[1], message.data() + off, message.size() - off);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            write_ok = false;
            break;
        }
        off += n;
    }
    close(fds[1]);
    sigaction(SIGPIPE, &old, nullptr);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    return write_ok && WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : -1;
}

void fr_mail_destroy(std::unique_ptr<fr_mail> &m) { m.reset(); }

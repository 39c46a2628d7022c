#include "feed_download.h"

#include "logging.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

namespace {

// File names stay well below NAME_MAX (255) with the id in front.
constexpr size_t max_name_from_url = 200;

struct md5_state {
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx{EVP_MD_CTX_new(), EVP_MD_CTX_free};
    bool ok = false;
    md5_state() { ok = ctx && EVP_DigestInit_ex(ctx.get(), EVP_md5(), nullptr) == 1; }
    // The hash is taken over the lines without their line feeds.
    void add(const char *data, size_t len) {
        while (ok && len > 0) {
            const char *nl = static_cast<const char *>(memchr(data, '\n', len));
            const size_t n = nl ? static_cast<size_t>(nl - data) : len;
            if (n > 0 && EVP_DigestUpdate(ctx.get(), data, n) != 1)
                ok = false;
            const size_t skip = nl ? n + 1 : n;
            data += skip;
            len -= skip;
        }
    }
    std::string hex() {
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned len = 0;
        if (!ok || EVP_DigestFinal_ex(ctx.get(), digest, &len) != 1)
            return "";
        static const char digits[] = "0123456789abcdef";
        std::string out;
        for (unsigned i = 0; i < len; ++i) {
            out += digits[digest[i] >> 4];
            out += digits[digest[i] & 15];
        }
        return out;
    }
};

struct transfer_sink {
    int fd = -1;
    long long max_bytes = 0;
    long long written = 0;
    bool too_large = false;
    bool write_failed = false;
    md5_state md5;
};

extern "C" size_t write_body(char *data, size_t size, size_t nmemb, void *user) {
    auto *sink = static_cast<transfer_sink *>(user);
    const size_t len = size * nmemb;
    if (sink->written + static_cast<long long>(len) > sink->max_bytes) {
        sink->too_large = true;
        return 0; // ends the transfer with CURLE_WRITE_ERROR
    }
    for (size_t off = 0; off < len;) {
        const ssize_t n = write(sink->fd, data + off, len - off);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            sink->write_failed = true;
            return 0;
        }
        off += static_cast<size_t>(n);
    }
    sink->md5.add(data, len);
    sink->written += static_cast<long long>(len);
    return len;
}

void set_options(CURL *c, const feed_record &feed, const download_options &opt, char *errbuf,
                 transfer_sink &sink) {
    curl_easy_setopt(c, CURLOPT_URL, feed.url.c_str());
    curl_easy_setopt(c, CURLOPT_USERAGENT, "ie/6.1.1");
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, errbuf);
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, opt.connect_timeout_s);
    curl_easy_setopt(c, CURLOPT_TIMEOUT, opt.timeout_s);
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, opt.verify_cert ? 1L : 0L);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, opt.verify_cert ? 2L : 0L);
    if (!opt.ca_file.empty())
        curl_easy_setopt(c, CURLOPT_CAINFO, opt.ca_file.c_str());
    curl_easy_setopt(c, CURLOPT_FAILONERROR, 1L);
    curl_easy_setopt(c, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(opt.max_bytes));
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    if (!feed.username.empty() && !feed.password.empty()) {
        curl_easy_setopt(c, CURLOPT_USERNAME, feed.username.c_str());
        curl_easy_setopt(c, CURLOPT_PASSWORD, feed.password.c_str());
        curl_easy_setopt(c, CURLOPT_HTTPAUTH, CURLAUTH_ANY);
    }
    if (opt.verbose)
        curl_easy_setopt(c, CURLOPT_VERBOSE, 1L);
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, write_body);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &sink);
}

} // namespace

std::string feed_file_name(const feed_record &feed) {
    std::string name = std::to_string(feed.id) + "_";
    for (char ch : feed.url.substr(0, max_name_from_url)) {
        const bool keep = (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') ||
                          (ch >= '0' && ch <= '9') || ch == '-' || ch == '_';
        name += keep ? ch : '.';
    }
    return name;
}

transfer_handle make_transfer_handle() {
    return transfer_handle(curl_easy_init());
}

int download_url(CURL *handle, feed_record &feed, const download_options &opt,
                 const std::string &work_dir, download_outcome &outcome) {
    outcome = download_outcome{};
    if (!handle)
        return outcome.code = -1;
    const std::string path = work_dir + "/" + feed_file_name(feed);
    transfer_sink sink;
    sink.max_bytes = opt.max_bytes;
    sink.fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0660);
    if (sink.fd < 0) {
        outcome.error = std::string("cannot create ") + path + ": " + strerror(errno);
        return outcome.code = -1;
    }
    char errbuf[CURL_ERROR_SIZE] = {0};
    curl_easy_reset(handle);
    set_options(handle, feed, opt, errbuf, sink);
    CURLcode rc = curl_easy_perform(handle);
    // The handle keeps no pointer into this frame once the transfer is over.
    curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, nullptr);
    const bool closed = close(sink.fd) == 0;
    outcome.size = sink.written;
    outcome.error = errbuf;
    if (sink.too_large || rc == CURLE_FILESIZE_EXCEEDED) {
        outcome.too_large = true;
        outcome.code = CURLE_FILESIZE_EXCEEDED;
    } else if (sink.write_failed || (rc == CURLE_OK && !closed)) {
        outcome.code = -1;
    } else {
        outcome.code = rc;
    }
    if (outcome.code == 0)
        outcome.hash = sink.md5.hex();
    if (outcome.code != 0 || outcome.hash.empty()) {
        unlink(path.c_str());
        return outcome.code = outcome.code ? outcome.code : -1;
    }
    feed.local_path = path;
    return 0;
}

int url_content_changed(feed_record &feed, const std::string &new_hash) {
    if (!feed.hash.empty() && feed.hash == new_hash)
        return 0;
    feed.hash = new_hash;
    return 1;
}

std::string md5_hexkey(const std::string &path) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return "";
    md5_state md5;
    char buf[65536];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) != 0) {
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            close(fd);
            return "";
        }
        md5.add(buf, static_cast<size_t>(n));
    }
    close(fd);
    return md5.hex();
}

// The downloader: fetches one feed's file over HTTP or HTTPS into the run's work directory
// and works out its content hash on the way.
//
// A transfer runs in the calling thread. Its own limits end it and nothing else: the
// connection limit and the total limit (name resolution included) and the size limit,
// which is counted as the bytes arrive, so it holds for chunked bodies and for servers
// that announce no length. Only http and https are spoken, for the first request and for
// any redirect. The local file is written only while the transfer runs and is closed when
// it ends; a failed transfer leaves no file behind.
//
// Owns the transfer handle and the local file; touches the feed record's download fields.
#pragma once

#include "feed_record.h"

#include <curl/curl.h>
#include <memory>
#include <string>

struct download_options {
    long connect_timeout_s = 3;       // DOWNLOAD_URL_CONNECT_TIMEOUT: resolution and connection
    long timeout_s = 3;               // DOWNLOAD_URL_TIMEOUT: the whole transfer
    long long max_bytes = 900 * 1024; // MAX_FILE_SIZE in bytes
    bool verify_cert = false;         // DOWNLOAD_URL_VERIFY_CERT
    std::string ca_file;              // DOWNLOAD_URL_CA_FILE; empty: the system's
    bool verbose = false;             // libcurl's trace on standard error
};

// What a transfer gave.
struct download_outcome {
    int code = 0;           // 0, the libcurl result code, or -1 when the local file failed
    bool too_large = false; // the size limit ended it (code is CURLE_FILESIZE_EXCEEDED)
    std::string error;      // libcurl's error text, when any
    long long size = 0;     // bytes written
    std::string hash;       // content hash of the file (32 lower-case hex digits)
};

// The file name of a feed in the work directory: its id, "_", and its URL with every
// character but ASCII letters, digits, '-' and '_' turned into '.' (cut to keep the name
// within the file system's limit; the id keeps names of different feeds apart).
std::string feed_file_name(const feed_record &feed);

struct curl_handle_deleter {
    void operator()(CURL *c) const { curl_easy_cleanup(c); }
};
// One downloader's handle, reused for its transfers (connections to a host are kept).
using transfer_handle = std::unique_ptr<CURL, curl_handle_deleter>;
transfer_handle make_transfer_handle();

// Fetches `feed` into `work_dir`. On success the feed's local path is set and the outcome
// holds the size and the content hash. Returns outcome.code.
[[nodiscard]] int download_url(CURL *handle, feed_record &feed, const download_options &opt,
                               const std::string &work_dir, download_outcome &outcome);

// 1 when `new_hash` differs from the feed's stored hash (the feed then holds the new one),
// 0 when it is the same.
int url_content_changed(feed_record &feed, const std::string &new_hash);

// The content hash of a file: MD5 over its lines without their line feeds, as 32 lower-case
// hex digits; empty when the file cannot be read.
std::string md5_hexkey(const std::string &path);

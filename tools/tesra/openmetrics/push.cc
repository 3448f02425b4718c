// Batched, compressed, retried HTTP posts of Prometheus text, through libcurl.
#include "openmetrics/push.h"

#include <algorithm>
#include <chrono>
#include <curl/curl.h>
#include <thread>

#include <zlib.h>

namespace tesra::cli::om {
namespace {

constexpr std::string_view kImportPath = "/api/v1/import/prometheus";

bool starts_with_nocase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != prefix[i]) return false;
    }
    return true;
}

size_t collect_body(char *data, size_t size, size_t count, void *user) {
    auto *out = static_cast<std::string *>(user);
    // Only the start of an error answer is shown; the rest is read and dropped.
    if (out->size() < 4096) out->append(data, std::min<size_t>(size * count, 4096 - out->size()));
    return size * count;
}

// The first line of a server's answer, trimmed, for an error message.
std::string first_line(const std::string &body) {
    std::string line = body.substr(0, body.find('\n'));
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    return line.substr(0, 300);
}

}  // namespace

std::optional<std::string> import_url(std::string_view url) {
    size_t scheme = 0;
    if (starts_with_nocase(url, "http://")) {
        scheme = 7;
    } else if (starts_with_nocase(url, "https://")) {
        scheme = 8;
    } else {
        return std::nullopt;
    }
    std::string_view rest = url.substr(scheme);
    if (rest.empty() || rest[0] == '/') return std::nullopt;  // no host
    size_t slash = rest.find('/');
    if (slash == std::string_view::npos) return std::string(url) + std::string(kImportPath);
    if (slash + 1 == rest.size())
        return std::string(url.substr(0, url.size() - 1)) + std::string(kImportPath);
    return std::string(url);
}

std::string gzip_text(std::string_view text) {
    z_stream zs{};
    // 15 + 16: a gzip wrapper rather than zlib's; level 1, the network is rarely the limit
    // on the loopback or a LAN and the text compresses well at any level.
    if (deflateInit2(&zs, 1, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) return {};
    std::string out(deflateBound(&zs, text.size()) + 32, '\0');
    zs.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(text.data()));
    zs.avail_in = static_cast<uInt>(text.size());
    zs.next_out = reinterpret_cast<Bytef *>(out.data());
    zs.avail_out = static_cast<uInt>(out.size());
    int rc = deflate(&zs, Z_FINISH);
    out.resize(zs.total_out);
    deflateEnd(&zs);
    return rc == Z_STREAM_END ? out : std::string();
}

Pusher::Pusher(PushOptions options) : options_(std::move(options)) {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    curl_ = curl_easy_init();
}

Pusher::~Pusher() {
    if (curl_ != nullptr) curl_easy_cleanup(static_cast<CURL *>(curl_));
    curl_global_cleanup();
}

bool Pusher::write(std::string_view text, uint64_t samples) {
    if (!error_.empty()) return false;
    batch_.append(text);
    batch_samples_ += samples;
    if (batch_.size() < options_.batch_bytes) return true;
    return send_batch();
}

bool Pusher::finish() {
    if (!error_.empty()) return false;
    return batch_.empty() || send_batch();
}

bool Pusher::post(const std::string &body, long &status, std::string &detail) {
    CURL *curl = static_cast<CURL *>(curl_);
    std::string answer;
    char curl_error[CURL_ERROR_SIZE] = {};
    curl_slist *headers = nullptr;
    headers = curl_slist_append(headers, "Content-Encoding: gzip");
    headers = curl_slist_append(headers, "Content-Type: text/plain; version=0.0.4");
    curl_easy_reset(curl);
    curl_easy_setopt(curl, CURLOPT_URL, options_.url.c_str());
    // Only http(s), and no redirects: the samples go where the user said, or nowhere.
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(curl, CURLOPT_POST, 1L);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.data());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collect_body);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, curl_error);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, 10L);
    // A server that stops answering counts as gone: under 1 byte/s for 60 s.
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, 60L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    CURLcode rc = curl_easy_perform(curl);
    curl_slist_free_all(headers);
    status = 0;
    if (rc != CURLE_OK) {
        detail = curl_error[0] != '\0' ? curl_error : curl_easy_strerror(rc);
        return false;
    }
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    detail = first_line(answer);
    return true;
}

bool Pusher::send_batch() {
    if (curl_ == nullptr) {
        error_ = "cannot start an HTTP client";
        return false;
    }
    std::string body = gzip_text(batch_);
    if (body.empty() && !batch_.empty()) {
        error_ = "cannot compress a batch";
        return false;
    }
    unsigned wait_ms = options_.first_wait_ms;
    std::string last;
    for (unsigned attempt = 1; attempt <= std::max(1u, options_.attempts); ++attempt) {
        long status = 0;
        std::string detail;
        bool answered = post(body, status, detail);
        if (answered && status >= 200 && status < 300) {
            sent_samples_ += batch_samples_;
            sent_bytes_ += body.size();
            batch_.clear();
            batch_samples_ = 0;
            return true;
        }
        if (answered && status < 500) {
            // The server understood and refused: sending the same batch again cannot help.
            error_ = "HTTP " + std::to_string(status) + (detail.empty() ? "" : ": " + detail);
            return false;
        }
        last = answered ? "HTTP " + std::to_string(status) + (detail.empty() ? "" : ": " + detail)
                        : detail;
        if (attempt < options_.attempts) {
            std::this_thread::sleep_for(std::chrono::milliseconds(wait_ms));
            wait_ms = std::min(wait_ms * 2, options_.max_wait_ms);
        }
    }
    error_ = last + " (gave up after " + std::to_string(options_.attempts) + " attempts)";
    return false;
}

}  // namespace tesra::cli::om

// Sending Prometheus text to an import endpoint over HTTP: gzip request bodies in batches,
// retries with backoff on 5xx answers and connection errors, a clear stop on 4xx.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "openmetrics/export_text.h"

namespace tesra::cli::om {

struct PushOptions {
    std::string url;                // http:// or https:// only
    size_t batch_bytes = 8u << 20;  // uncompressed text per request
    unsigned attempts = 6;          // per batch, the first one included
    unsigned first_wait_ms = 500;   // doubled after every failed attempt
    unsigned max_wait_ms = 8000;
};

// The endpoint to post to: `url` itself, or the import path when `url` names no path.
// nullopt when `url` is not http(s).
std::optional<std::string> import_url(std::string_view url);

class Pusher : public TextOut {
public:
    explicit Pusher(PushOptions options);
    ~Pusher() override;
    Pusher(const Pusher &) = delete;
    Pusher &operator=(const Pusher &) = delete;

    // Buffers the text and sends whole batches; false once a batch could not be sent.
    bool write(std::string_view text, uint64_t samples) override;
    // Sends what is buffered.
    bool finish();

    uint64_t samples_sent() const { return sent_samples_; }
    uint64_t bytes_sent() const { return sent_bytes_; }
    // Why the last send failed ("HTTP 400: ...", "connection refused ..."), empty if none did.
    const std::string &error() const { return error_; }

private:
    bool send_batch();
    bool post(const std::string &body, long &status, std::string &detail);

    PushOptions options_;
    std::string batch_;
    uint64_t batch_samples_ = 0;
    uint64_t sent_samples_ = 0;
    uint64_t sent_bytes_ = 0;
    std::string error_;
    void *curl_ = nullptr;
};

// Gzip (RFC 1952) of `text`; empty on a zlib failure.
std::string gzip_text(std::string_view text);

}  // namespace tesra::cli::om

// Child-process runner and file helpers for the tool tests.
#include "tool_runner.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <span>
#include <stdexcept>
#include <sys/wait.h>

#include <zlib.h>

#include "support/archive_builder.h"

namespace tesra::tooltest {
namespace {

std::string slurp(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

namespace {

// Starts the tool with stdout and stderr going to `dir`/out and `dir`/err.
pid_t spawn_tesra(const std::vector<std::string> &args, const std::string &dir) {
    std::string out_path = dir + "/out";
    std::string err_path = dir + "/err";
    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (out < 0 || err < 0) _exit(127);
        dup2(out, STDOUT_FILENO);
        dup2(err, STDERR_FILENO);
        std::vector<char *> argv;
        std::string program = TESRA_CLI_PATH;
        argv.push_back(program.data());
        std::vector<std::string> copies = args;
        for (auto &a : copies) argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    return pid;
}

int exit_status(int wstatus) {
    if (WIFEXITED(wstatus)) return WEXITSTATUS(wstatus);
    if (WIFSIGNALED(wstatus)) return 128 + WTERMSIG(wstatus);
    return -1;
}

}  // namespace

ToolResult run_tesra(const std::vector<std::string> &args) {
    TempDir capture;
    pid_t pid = spawn_tesra(args, capture.path());
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    ToolResult result;
    result.status = exit_status(wstatus);
    result.out = slurp(capture.path() + "/out");
    result.err = slurp(capture.path() + "/err");
    return result;
}

ToolProcess::ToolProcess(const std::vector<std::string> &args)
    : pid_(spawn_tesra(args, capture_.path())) {}

ToolProcess::~ToolProcess() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

void ToolProcess::signal(int sig) const {
    if (pid_ > 0) kill(pid_, sig);
}

std::string ToolProcess::out() const {
    return slurp(capture_.path() + "/out");
}

ToolResult ToolProcess::wait(int timeout_ms) {
    ToolResult result;
    int wstatus = 0;
    for (int waited = 0; pid_ > 0; waited += 10) {
        if (waitpid(pid_, &wstatus, WNOHANG) == pid_) break;
        if (waited >= timeout_ms) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &wstatus, 0);
            break;
        }
        usleep(10000);
    }
    pid_ = -1;
    result.status = exit_status(wstatus);
    result.out = slurp(capture_.path() + "/out");
    result.err = slurp(capture_.path() + "/err");
    return result;
}

std::vector<uint8_t> read_file(const std::string &path) {
    std::string text = slurp(path);
    return std::vector<uint8_t>(text.begin(), text.end());
}

void write_file(const std::string &path, const std::vector<uint8_t> &bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

std::vector<uint8_t> read_stream(const std::string &gz_path) {
    std::vector<uint8_t> out;
    gzFile gz = gzopen(gz_path.c_str(), "rb");
    if (gz == nullptr) return out;
    uint8_t buf[65536];
    int got = 0;
    while ((got = gzread(gz, buf, sizeof buf)) > 0) out.insert(out.end(), buf, buf + got);
    gzclose(gz);
    return out;
}

void write_stream(const std::string &gz_path, const std::vector<uint8_t> &stream) {
    if (!test::write_gz(gz_path, std::as_bytes(std::span(stream)))) {
        throw std::runtime_error("cannot write " + gz_path);
    }
}

uint64_t get_u64(const std::vector<uint8_t> &bytes, size_t at) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | bytes.at(at + static_cast<size_t>(i));
    return v;
}

void put_u64(std::vector<uint8_t> &bytes, size_t at, uint64_t value) {
    for (size_t i = 0; i < 8; ++i) bytes.at(at + i) = static_cast<uint8_t>(value >> (8 * i));
}

void put_u32(std::vector<uint8_t> &bytes, size_t at, uint32_t value) {
    for (size_t i = 0; i < 4; ++i) bytes.at(at + i) = static_cast<uint8_t>(value >> (8 * i));
}

std::vector<StreamRecord> stream_records(const std::vector<uint8_t> &stream) {
    std::vector<StreamRecord> out;
    size_t at = 0;
    while (at + 24 <= stream.size()) {
        StreamRecord r{};
        r.offset = at;
        r.time = get_u64(stream, at);
        r.size = static_cast<uint32_t>(get_u64(stream, at + 8) & 0xFFFFFFFFu);
        r.obj_id = static_cast<uint32_t>(get_u64(stream, at + 8) >> 32);
        r.period = get_u64(stream, at + 16);
        out.push_back(r);
        at += 24 + r.size;
    }
    return out;
}

size_t index_section(const std::vector<uint8_t> &meta) {
    for (size_t i = 0; i < meta.size(); ++i) {
        if (meta[i] == 0) return i + 1;
    }
    throw std::runtime_error("metadata without a 0x00 byte");
}

size_t slot_position(const std::vector<uint8_t> &meta,
                     size_t object,
                     uint32_t period_index,
                     uint64_t slot) {
    size_t section = index_section(meta);
    uint64_t table = get_u64(meta, section + object * 14 * 8 + period_index * 8);
    if (table == 0) throw std::runtime_error("no such table");
    return section + table + slot * 8;
}

std::vector<std::vector<std::string>> parse_csv(const std::string &text) {
    std::vector<std::vector<std::string>> rows;
    std::vector<std::string> row;
    std::string field;
    bool quoted = false;
    bool any = false;
    for (size_t i = 0; i < text.size(); ++i) {
        char ch = text[i];
        if (quoted) {
            if (ch == '"' && i + 1 < text.size() && text[i + 1] == '"') {
                field += '"';
                ++i;
            } else if (ch == '"') {
                quoted = false;
            } else {
                field += ch;
            }
            continue;
        }
        if (ch == '"') {
            quoted = true;
            any = true;
        } else if (ch == ',') {
            row.push_back(std::move(field));
            field.clear();
            any = true;
        } else if (ch == '\r') {
            // part of a CRLF line end
        } else if (ch == '\n') {
            row.push_back(std::move(field));
            field.clear();
            rows.push_back(std::move(row));
            row.clear();
            any = false;
        } else {
            field += ch;
            any = true;
        }
    }
    if (any) {
        row.push_back(std::move(field));
        rows.push_back(std::move(row));
    }
    return rows;
}

std::vector<std::string> lines(const std::string &text) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        out.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

std::vector<uint8_t> as_being_written(std::vector<uint8_t> meta) {
    meta.resize(index_section(meta));
    std::string text(meta.begin(), meta.end());
    auto patch = [&](const std::string &after, const std::string &value) {
        size_t at = text.find(after);
        if (at == std::string::npos) throw std::runtime_error("metadata without " + after);
        std::copy(value.begin(), value.end(), meta.begin() + static_cast<long>(at + after.size()));
    };
    patch("start_time=\"", "FFFFFFFFFFFFFFFF");
    patch("end_time=\"", "               0");
    patch("<section_offset>", "               0");
    return meta;
}

}  // namespace tesra::tooltest

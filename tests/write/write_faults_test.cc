// A writer session whose file operations fail one point at a time: every write(2) that zlib
// makes for gzwrite, gzflush and gzclose, and every fwrite, vfprintf, fseeko and fflush of the
// metadata file, from creation to close. At each point the disk either fills up for good
// (ENOSPC from there on) or one call fails (EIO once). The session stops at the first failure
// and closes the archive, as a service does. Then: a failure was reported, no file descriptor is
// left open, and every record the writer acknowledged (written and pushed out by a successful
// sync flush, or written before a successful close) reads back right, from the archive as it
// opens or from what `tesra recover` makes of it. Nothing ever reads back wrong.
#include "write/write_faults.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <iostream>
#include <map>
#include <string>
#include <sys/wait.h>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>
#include <zlib.h>

#include "tesra/tesra_int_defs.h"

#include "support/archive_builder.h"

namespace tesra::test {
namespace {

namespace faults = tesra::test::faults;

constexpr uint64_t kMinute = 60000;
constexpr uint64_t kFiveMinutes = 300000;
constexpr uint32_t kVolume = 3;
constexpr uint32_t kTimes = 6;
constexpr uint32_t kInstances = 1500;  // enough that zlib writes in the middle of records

ArchiveSpec preset() {
    ArchiveSpec spec;
    ObjectSpec volume;
    volume.id = kVolume;
    volume.name = "volume";
    volume.counters = {make_counter(1, "name", 0x2010, 16, {kMinute}, true),
                       make_counter(2, "ops", 0x0108, 8, {kMinute, kFiveMinutes})};
    spec.objects = {volume};
    return spec;
}

struct Written {
    RecordSpec spec;
    std::vector<std::string> instances;  // "name=...;ops=..." as the reader shows them
};

// The session's records in writing order: each minute, and every fifth minute the slow one.
const std::vector<Written> &records() {
    static const std::vector<Written> all = [] {
        std::vector<Written> out;
        for (uint32_t k = 0; k < kTimes; ++k) {
            for (uint64_t period : {kMinute, kFiveMinutes}) {
                if (period == kFiveMinutes && k % 5 != 0) continue;
                Written w{{k * kMinute, kVolume, period, {}}, {}};
                Instances body;
                for (uint32_t i = 0; i < kInstances; ++i) {
                    const std::string name = "vol" + std::to_string(i);
                    uint64_t ops = (k * 7919 + i) * 0x9E3779B97F4A7C15ull + period;
                    ops ^= ops >> 29;  // values that do not compress away
                    body.str(name, 16).u64(ops);
                    w.instances.push_back("name=" + name + ";ops=" + std::to_string(ops));
                }
                w.spec.body = body.bytes();
                out.push_back(std::move(w));
            }
        }
        return out;
    }();
    return all;
}

struct Session {
    std::string failed_step;  // the first step that reported a failure; empty when none did
    long code = 0;            // its code (a zlib code for the flush)
    size_t acknowledged = 0;  // records, in writing order, the writer vouched for
};

// create, finalize, every record with a sync flush after each sample time but the last, close.
Session run_session(const std::string &base) {
    Session s;
    ArchiveBuilder b(preset());
    auto failed = [&s](const std::string &step, long code) {
        if (s.failed_step.empty()) {
            s.failed_step = step;
            s.code = code;
        }
    };
    if (auto rc = b.create(base); rc != TESRA_SUCCESS) {
        failed("create", rc);
        return s;  // the builder releases the handle
    }
    size_t written = 0;
    if (auto rc = b.finalize(); rc != TESRA_SUCCESS) failed("finalize", rc);
    for (uint32_t k = 0; k < kTimes && s.failed_step.empty(); ++k) {
        for (const Written &w : records()) {
            if (w.spec.msecs != k * kMinute || !s.failed_step.empty()) continue;
            const RecordSpec &r = w.spec;
            if (auto rc = b.write(r.msecs, r.obj_id, r.period, r.body); rc != TESRA_SUCCESS) {
                failed("write", rc);
            } else {
                ++written;
            }
        }
        if (!s.failed_step.empty()) break;
        if (k + 1 == kTimes) break;  // the last sample time goes out with the close
        if (int z = gzflush(b.file()->i6_0.data_file, Z_SYNC_FLUSH); z != Z_OK) {
            failed("flush", z);
        } else {
            s.acknowledged = written;
        }
    }
    if (auto rc = b.close(); rc != TESRA_SUCCESS) {
        failed("close", rc);
    } else if (s.failed_step.empty()) {
        s.acknowledged = written;
    }
    return s;
}

int open_descriptors() {
    int n = 0;
    if (DIR *d = opendir("/proc/self/fd")) {
        while (readdir(d) != nullptr) ++n;
        closedir(d);
    }
    return n;
}

using RecordKey = std::tuple<uint64_t, uint32_t, uint64_t>;  // time, object, period

// Every record of an archive as instance texts, or the code that stopped the open or the walk.
tesra_error_t read_all(const std::string &base,
                       std::map<RecordKey, std::vector<std::string>> *out) {
    tesra_file_handle_t *file = nullptr;
    const char *meta = nullptr;
    const char *data = nullptr;
    if (auto rc = tesra_open_data_file(base.c_str(), "rb", &file, &meta, &data);
        rc != TESRA_SUCCESS) {
        return rc;
    }
    tesra_record_handle_t *record = nullptr;
    tesra_error_t rc = tesra_first_record(file, TESRA_LINEAR_ORDER, 0, &record);
    while (rc == TESRA_SUCCESS && record != nullptr) {
        tesra_record_header_data_t_v6_0 info{};
        tesra_set_latest_version(&info);
        if ((rc = tesra_get_record_info(record, &info)) != TESRA_SUCCESS) break;
        auto &texts = (*out)[{info.msecs_since_base, info.obj_id, info.period}];
        tesra_instance_handle_t *instance = nullptr;
        rc = tesra_first_instance_from_record(record, &instance);
        while (rc == TESRA_SUCCESS && instance != nullptr) {
            std::string text;
            tesra_counter_handle_t *counter = nullptr;
            tesra_counter_data_handle_t *cd = nullptr;
            rc = tesra_first_counter_data(instance, &counter, &cd);
            while (rc == TESRA_SUCCESS && cd != nullptr) {
                const tesra_counter_data_t_v6_0 &v = cd->e6_0;
                text += (text.empty() ? "" : ";") + std::string(counter->e6_0.name) + "=";
                text += v.value_type == TESRA_CNT_STRING ? std::string(v.values[0].val_str)
                                                         : std::to_string(v.values[0].val_8B);
                rc = tesra_next_counter_data(instance, &counter, &cd);
            }
            texts.push_back(text);
            if (rc == TESRA_SUCCESS) rc = tesra_next_instance_from_record(record, &instance);
        }
        if (rc == TESRA_SUCCESS) rc = tesra_next_record(file, &record);
    }
    const tesra_error_t closed = tesra_close_data_file(file);
    return rc != TESRA_SUCCESS ? rc : closed;
}

// What reads back holds no wrong record; `*complete` tells whether every acknowledged one is
// there.
void check_read_back(const std::map<RecordKey, std::vector<std::string>> &seen,
                     size_t acknowledged,
                     bool *complete) {
    std::map<RecordKey, const Written *> by_key;
    for (const Written &w : records()) by_key[{w.spec.msecs, w.spec.obj_id, w.spec.period}] = &w;
    for (const auto &[key, texts] : seen) {
        auto it = by_key.find(key);
        ASSERT_NE(it, by_key.end()) << "a record the writer never wrote, at " << std::get<0>(key);
        EXPECT_EQ(texts, it->second->instances) << "wrong values at " << std::get<0>(key);
    }
    *complete = true;
    for (size_t i = 0; i < acknowledged; ++i) {
        const RecordSpec &r = records()[i].spec;
        if (seen.count({r.msecs, r.obj_id, r.period}) == 0) *complete = false;
    }
}

// `tesra recover base out`; its exit status.
int recover(const std::string &base, const std::string &out) {
    const pid_t child = fork();
    if (child == 0) {
        const int null = ::open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        execl(TESRA_CLI_PATH, TESRA_CLI_PATH, "recover", base.c_str(), out.c_str(),
              static_cast<char *>(nullptr));
        _exit(127);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

struct Mode {
    const char *name;
    faults::Action action;
    int error_number;
};

TEST(WriteFaults, EveryPointFailsLoudlyAndKeepsWhatWasAcknowledged) {
    // The clean session: how many points there are, and that it keeps everything.
    long points = 0;
    {
        TempDir dir;
        faults::arm(0, faults::Action::kFailOnce, 0);
        const Session clean = run_session(dir.base("1_300_1000000000000_900000"));
        points = faults::disarm();
        ASSERT_EQ(clean.failed_step, "");
        ASSERT_EQ(clean.acknowledged, records().size());
        ASSERT_GT(points, 20);
    }
    // Under the sanitizers every third point is enough.
    long stride = 1;
#if defined(__SANITIZE_ADDRESS__)
    stride = 3;
#endif
    std::map<std::string, int> table;  // "mode step function outcome" -> points
    for (const Mode mode : {Mode{"ENOSPC from then on", faults::Action::kFailFrom, ENOSPC},
                            Mode{"EIO once", faults::Action::kFailOnce, EIO}}) {
        for (long point = 1; point <= points; point += stride) {
            SCOPED_TRACE(std::string(mode.name) + " at point " + std::to_string(point));
            TempDir dir;
            const std::string base = dir.base("1_300_1000000000000_900000");
            const int fds = open_descriptors();
            faults::arm(point, mode.action, mode.error_number);
            const Session s = run_session(base);
            faults::disarm();
            const std::string where = faults::last_hit();
            EXPECT_EQ(open_descriptors(), fds) << "a descriptor is left open";
            ASSERT_NE(s.failed_step, "") << "the failure of " << where << " went unreported";
            if (s.failed_step != "flush") {
                EXPECT_TRUE(s.code == TESRA_WRITE_FAILED || s.code == TESRA_SEEK_FAILED ||
                            s.code == TESRA_CLOSE_FILE_FAILED ||
                            (s.failed_step == "create" && s.code == TESRA_NULL_POINTER))
                    << s.failed_step << " answered " << s.code;
            }

            std::map<RecordKey, std::vector<std::string>> seen;
            bool complete = false;
            std::string outcome;
            const tesra_error_t opened = read_all(base, &seen);
            check_read_back(seen, s.acknowledged, &complete);
            if (opened == TESRA_SUCCESS && complete) {
                outcome = "opens with every acknowledged record";
            } else if (s.acknowledged == 0 && opened != TESRA_SUCCESS) {
                outcome = "does not open, nothing acknowledged";
            } else {
                const std::string out = dir.base("2_300_1000000000000_900000");
                const int status = recover(base, out);
                seen.clear();
                if (status == 0 && read_all(out, &seen) == TESRA_SUCCESS) {
                    check_read_back(seen, s.acknowledged, &complete);
                    EXPECT_TRUE(complete) << "recover lost acknowledged records";
                    outcome = "recover brings every acknowledged record back";
                } else {
                    EXPECT_EQ(s.acknowledged, 0u) << "neither opens nor recovers";
                    outcome = "recover finds nothing, nothing acknowledged";
                }
            }
            ++table[std::string(mode.name) + " | " + s.failed_step + " | " + where + " | " +
                    outcome];
        }
    }
    std::cout << "points per session: " << points << "\n";
    for (const auto &[row, n] : table) std::cout << n << " x " << row << "\n";
}

}  // namespace
}  // namespace tesra::test

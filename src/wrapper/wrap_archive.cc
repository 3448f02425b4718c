// Opening, closing and locating an object for the retrieval calls, with their log messages.
#include "wrap_archive.h"

#include <cstdlib>
#include <cstring>

#include "wrap_log.h"

namespace tesra::wrap {

void set_error(char **error, tesra_error_t code) {
    if (error == nullptr || code == TESRA_SUCCESS || code == kOwnAllocationFailed) return;
    *error = strdup(label_of(code));
}

tesra_error_t open_archive(const char *path, MessageStyle style, tesra_file_handle_t **out) {
    const char *meta_path = nullptr;
    const char *data_path = nullptr;
    // The reader does not test its pointer arguments, so a missing path is refused here.
    const tesra_error_t rc = path == nullptr
                                 ? TESRA_INVALID_ARGUMENTS
                                 : tesra_open_data_file(path, "r", out, &meta_path, &data_path);
    if (rc == TESRA_SUCCESS) return rc;
    if (style == MessageStyle::kCounterData) {
        log_error("\nError opening file: %s, error : %s\n", shown(path), label_of(rc));
    } else {
        log_error("Error opening file: %s, error : %s\n", shown(path), label_of(rc));
    }
    *out = nullptr;
    return rc;
}

bool close_archive(tesra_file_handle_t *file, const char *path, tesra_error_t code, char **error) {
    if (code == TESRA_SUCCESS) {
        const tesra_error_t rc = tesra_close_data_file(file);
        if (rc == TESRA_SUCCESS) return true;
        // The handle is released even when closing reports a failure: never close it twice.
        log_error("Error closing file: %s, error : %s\n", shown(path), label_of(rc));
        set_error(error, rc);
        return false;
    }
    set_error(error, code);
    if (const tesra_error_t rc = tesra_close_data_file(file); rc != TESRA_SUCCESS) {
        log_error("\nCould not close kelb data file handler, error : %s for file : %s",
                  label_of(rc), shown(path));
    }
    return false;
}

tesra_error_t locate_object(tesra_file_handle_t *file,
                            const char *path,
                            const char *object_name,
                            MessageStyle style,
                            ArchiveObject *out) {
    const bool plain = style == MessageStyle::kTimestamps;
    const char *shown_path = shown(path);
    const char *shown_name = shown(object_name);

    if (const tesra_error_t rc = tesra_get_oldest_record_time(file, &out->oldest);
        rc != TESRA_SUCCESS) {
        if (plain) {
            log_error("Couldn't get the oldest record time error : %s for file : %s", label_of(rc),
                      shown_path);
        } else {
            log_error("\nCould not get the oldest record time error : %s for file : %s",
                      label_of(rc), shown_path);
        }
        return rc;
    }
    if (const tesra_error_t rc = tesra_get_newest_record_time(file, &out->newest);
        rc != TESRA_SUCCESS) {
        if (plain) {
            log_error("Couldn't get the newest record time error : %s for file : %s", label_of(rc),
                      shown_path);
        } else {
            log_error("\nCould not get the newest record time error : %s for file : %s",
                      label_of(rc), shown_path);
        }
        return rc;
    }
    tesra_header_handle_t *header = nullptr;
    if (const tesra_error_t rc = tesra_get_header(file, &header); rc != TESRA_SUCCESS) {
        if (plain) {
            log_error("Couldn't get the header handle error : %s for file : %s", label_of(rc),
                      shown_path);
        } else {
            log_error("\nCould not get the header handle error : %s for file : %s", label_of(rc),
                      shown_path);
        }
        return rc;
    }
    // A null name cannot match any object, and the lookup would compare against it.
    const tesra_error_t found = object_name == nullptr
                                    ? TESRA_OBJECT_NOT_FOUND
                                    : tesra_find_object(header, object_name, &out->object);
    if (found != TESRA_SUCCESS) {
        if (plain) {
            log_error("Couldn't get the object error : %s, object : %s for file : %s",
                      label_of(found), shown_name, shown_path);
        } else {
            log_error("\nCould not get the object : [%s], error : %s for file : %s", shown_name,
                      label_of(found), shown_path);
        }
        return found;
    }
    if (const tesra_error_t rc = tesra_get_object_info(out->object, &out->info);
        rc != TESRA_SUCCESS) {
        if (plain) {
            log_error("Couldn't get the object info error : %s, object : %s for file : %s",
                      label_of(rc), shown_name, shown_path);
        } else {
            log_error("\nCould not get the object info for object : [%s], error : %s for file : %s",
                      shown_name, label_of(rc), shown_path);
        }
        return rc;
    }
    return TESRA_SUCCESS;
}

tesra_error_t run_query(tesra_file_handle_t *file,
                        const ArchiveObject &target,
                        const std::vector<const char *> &counter_names,
                        uint64_t period,
                        tesra_query_handle_t **out) {
    tesra_query_def_t def{};
    tesra_set_latest_version(&def);
    def.object_name = target.info.name;
    def.num_key_cnts = 0;
    def.key_cnt_names = nullptr;
    def.key_cnt_values = nullptr;
    def.num_cnts = static_cast<uint32_t>(counter_names.size());
    // The query copies the names; it never writes through them.
    def.cnt_names =
        counter_names.empty() ? nullptr : const_cast<const char **>(counter_names.data());
    def.start_time = target.oldest;
    def.end_time = target.newest;
    def.period = period;
    *out = nullptr;
    return tesra_query(file, &def, out);
}

}  // namespace tesra::wrap

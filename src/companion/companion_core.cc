// libtesracore: opens a packed core file (a 7z archive) into a core-file record that keeps the
// archive open and lists its entries; libtesrautil releases the record and closes the archive.
#include <memory>
#include <vector>

#include "tesra/tesra_int_defs.h"

#include "common/c_memory.h"
#include "common/guard.h"
#include "tesra_companion.h"

extern "C" {
#include "7zAlloc.h"
#include "7zCrc.h"
}

namespace tesra::companion {
namespace {

struct CorefileDeleter {
    void operator()(tesra_corefile_handle_t *c) const noexcept { tesra_free_corefile(c); }
};

// Entry names are stored as UTF-16; names outside ASCII are kept readable, not exact.
char *entry_name(const CSzArEx &db, uint32_t index) {
    const std::size_t len = SzArEx_GetFileNameUtf16(&db, index, nullptr);
    std::vector<UInt16> utf16(len + 1, 0);
    SzArEx_GetFileNameUtf16(&db, index, utf16.data());
    std::vector<char> ascii;
    ascii.reserve(len + 1);
    for (std::size_t i = 0; i < len && utf16[i] != 0; ++i) {
        ascii.push_back(utf16[i] < 0x80 ? static_cast<char>(utf16[i]) : '?');
    }
    ascii.push_back('\0');
    return tesra::c_strdup(ascii.data());
}

tesra_error_t list_entries(tesra_corefile_int_t_v6_0 &body) {
    const uint32_t total = body.db.db.NumFiles;
    uint32_t num_dirs = 0;
    for (uint32_t i = 0; i < total; ++i) num_dirs += body.db.db.Files[i].IsDir ? 1 : 0;
    const uint32_t num_files = total - num_dirs;

    body.file_names = tesra::c_calloc<char *>(num_files);
    body.dir_names = tesra::c_calloc<char *>(num_dirs);
    if (body.file_names == nullptr || body.dir_names == nullptr) return TESRA_NULL_POINTER;
    body.num_files = num_files;
    body.num_dirs = num_dirs;
    uint32_t f = 0, d = 0;
    for (uint32_t i = 0; i < total; ++i) {
        char *name = entry_name(body.db, i);
        if (name == nullptr) return TESRA_NULL_POINTER;
        if (body.db.db.Files[i].IsDir) {
            body.dir_names[d++] = name;
        } else {
            body.file_names[f++] = name;
        }
    }
    return TESRA_SUCCESS;
}

tesra_error_t corefile_open(const char *file_path, tesra_corefile_handle_t **out) {
    std::unique_ptr<tesra_corefile_handle_t, CorefileDeleter> core(
        tesra::c_calloc<tesra_corefile_handle_t>());
    if (!core) return TESRA_NULL_POINTER;
    tesra_set_latest_version(core.get());
    tesra_set_latest_version(&core->e6_0);
    core->e6_0.file_path = tesra::c_strdup(file_path);
    if (core->e6_0.file_path == nullptr) return TESRA_NULL_POINTER;

    tesra_corefile_int_t_v6_0 &body = core->i6_0;
    body.allocImp = ISzAlloc{SzAlloc, SzFree};
    body.allocTempImp = ISzAlloc{SzAllocTemp, SzFreeTemp};
    FileInStream_CreateVTable(&body.archiveStream);
    LookToRead_CreateVTable(&body.lookStream, False);
    // The database is initialised before the file is opened: the release frees it whenever
    // the file is open.
    SzArEx_Init(&body.db);
    if (InFile_Open(&body.archiveStream.file, file_path) != 0) {
        body.archiveStream.file.file = nullptr;
        return TESRA_FILE_NOT_FOUND;
    }
    body.lookStream.realStream = &body.archiveStream.s;
    LookToRead_Init(&body.lookStream);
    CrcGenerateTable();
    const SRes res = SzArEx_Open(&body.db, &body.lookStream.s, &body.allocImp, &body.allocTempImp);
    if (res == SZ_ERROR_MEM) return TESRA_NULL_POINTER;
    if (res != SZ_OK) return TESRA_PARSING_ERROR;
    if (auto rc = list_entries(body); rc != TESRA_SUCCESS) return rc;
    *out = core.release();
    return TESRA_SUCCESS;
}

}  // namespace
}  // namespace tesra::companion

extern "C" tesra_error_t tesra_corefile_open(const char *file_path, tesra_corefile_handle_t **out) {
    if (file_path == nullptr || out == nullptr) return TESRA_INVALID_ARGUMENTS;
    return tesra::guarded([&] { return tesra::companion::corefile_open(file_path, out); });
}

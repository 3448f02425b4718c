// Release of the records that the companion libraries build: file and store definitions,
// directory listings, store collections and packed core files with their open 7z reader.
#include "tesra/tesra_ext_defs.h"
#include "tesra/tesra_int_defs.h"

#include "release_internal.h"

using tesra::util::free_field;

namespace {

void free_file_defs(tesra_file_def_t_v6_0 *&files, uint32_t count) noexcept {
    if (files != nullptr) {
        for (uint32_t i = 0; i < count; ++i) tesra_free_file_def(files[i]);
    }
    free_field(files);
}

void free_names(char **&names, uint32_t count) noexcept {
    if (names != nullptr) {
        for (uint32_t i = 0; i < count; ++i) free_field(names[i]);
    }
    free_field(names);
}

}  // namespace

extern "C" void tesra_free_file_def(tesra_file_def_t file_def) {
    free_field(file_def.meta_path);
    free_field(file_def.data_path);
    free_field(file_def.file_path);
}

extern "C" void tesra_free_store_def(tesra_store_def_t store_def) {
    free_field(store_def.cluster_id);
    free_field(store_def.cluster_name);
    free_field(store_def.node_name);
    free_field(store_def.process_name);
    free_field(store_def.store_name);
}

extern "C" void tesra_free_directory(tesra_directory_handle_t *directory) {
    if (directory == nullptr) return;
    tesra::util::assert_releasable(directory);
    free_field(directory->e6_0.directory_path);
    free_file_defs(directory->i6_0.file_infos, directory->i6_0.num_files);
    std::free(directory);
}

extern "C" void tesra_free_collection(tesra_collection_handle_t *collection) {
    if (collection == nullptr) return;
    tesra::util::assert_releasable(collection);
    tesra_collection_int_t_v6_0 &body = collection->i6_0;

    free_field(collection->e6_0.collection_path);
    if (body.all_stores != nullptr) {
        for (uint32_t i = 0; i < body.num_total_stores; ++i) {
            tesra_store_int_t_v6_0 &store = body.all_stores[i];
            free_file_defs(store.files, store.num_files);
            tesra_free_file(store.current_file);
            store.current_file = nullptr;
            // The cluster strings are the collection's, shared by every store.
            store.store_info.cluster_id = nullptr;
            store.store_info.cluster_name = nullptr;
            tesra_free_store_def(store.store_info);
        }
    }
    free_field(body.cluster_id);
    free_field(body.cluster_name);
    free_field(body.all_stores);
    std::free(collection);
}

extern "C" void tesra_free_corefile(tesra_corefile_handle_t *corefile) {
    if (corefile == nullptr) return;
    tesra::util::assert_releasable(corefile);
    tesra_corefile_int_t_v6_0 &body = corefile->i6_0;

    free_field(corefile->e6_0.file_path);
    // The database exists only once its archive file was opened.
    if (body.archiveStream.file.file != nullptr) {
        SzArEx_Free(&body.db, &body.allocImp);
        File_Close(&body.archiveStream.file);
        body.archiveStream.file.file = nullptr;
    }
    free_names(body.file_names, body.num_files);
    free_names(body.dir_names, body.num_dirs);
    free_field(body.temp_dir);
    body.current_file = nullptr;
    body.current_dir = nullptr;
    std::free(corefile);
}

// Opening an output so that it can still be given up unharmed.
#include "report/output_file.h"

#include "console/output.h"

void OutputFile::drop() {
    if (handle == PLAT_NO_FILE) return;
    plat_close(handle);
    handle = PLAT_NO_FILE;
    if (created) plat_delete_file(path);
    created = 0;
}

int output_open(OutputFile* f, const wchar_t* path, const char* what, int exclusive) {
    f->drop();
    f->path = path;
    f->clash = nullptr;
    if (!plat_open_output(path, exclusive, &f->handle, &f->created)) {
        f->handle = PLAT_NO_FILE;
        f->created = 0;
        return 0;
    }
    // Its own on each call: drive threads open their charts at once.
    PlatFileId id;
    if (!plat_handle_identity(f->handle, &id)) {
        f->drop();
        return 0;
    }
    // A file this open made is new: no file of the command can be it, and the
    // number of one the command deleted (its test file) may come back on it.
    f->clash = f->created ? nullptr : run_files_match(&id);
    if (f->clash) {
        f->drop();
        return 0;
    }
    run_files_add(&id, what, path);
    return 1;
}

FILE* output_stream(OutputFile* f) {
    if (!f->created && !plat_empty_file(f->handle)) return nullptr;
    plat_file handle = f->handle;
    f->handle = PLAT_NO_FILE;
    f->created = 0;
    return plat_output_stream(handle);
}

void output_print_clash(const char* what, const wchar_t* path, const RunFile* clash) {
    err_printf("Refused: the %s path '", what);
    err_wide(path);
    err_printf("' names the same file as the %s path '", clash->what);
    err_wide(clash->path);
    err_printf("'.\n");
}

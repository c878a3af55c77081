#include "cabinet.h"

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <set>

#include <mspack.h>

#include "text.h"

namespace cabinet {

namespace {

// libmspack reads and writes through an mspack_system: this one reads the
// cabinet from memory and writes each entry it extracts into memory, so
// nothing touches the disk.
struct MemorySystem {
    mspack_system base;  // first, so that libmspack's pointer is this one's
    const std::vector<std::uint8_t> *cabinet = nullptr;
    std::vector<std::uint8_t> *output = nullptr;
    std::size_t output_room = 0;  // what the entry being extracted may still take
};

struct Handle {
    const std::vector<std::uint8_t> *in = nullptr;
    MemorySystem *writes_for = nullptr;  // set for the output
    std::size_t position = 0;
};

constexpr const char *cabinet_name = "cabinet";
constexpr const char *output_name = "output";

mspack_file *open_file(mspack_system *self, const char *name, int mode)
{
    auto *system = reinterpret_cast<MemorySystem *>(self);
    auto *handle = new Handle;
    if (mode == MSPACK_SYS_OPEN_READ && std::strcmp(name, cabinet_name) == 0) {
        handle->in = system->cabinet;
    } else if (mode == MSPACK_SYS_OPEN_WRITE && std::strcmp(name, output_name) == 0) {
        handle->writes_for = system;
    } else {
        delete handle;
        return nullptr;
    }
    return reinterpret_cast<mspack_file *>(handle);
}

void close_file(mspack_file *file)
{
    delete reinterpret_cast<Handle *>(file);
}

int read_file(mspack_file *file, void *buffer, int bytes)
{
    auto *handle = reinterpret_cast<Handle *>(file);
    if (handle->in == nullptr || bytes < 0)
        return -1;
    std::size_t left = handle->in->size() - handle->position;
    std::size_t count = std::min(left, std::size_t(bytes));
    if (count > 0)
        std::memcpy(buffer, handle->in->data() + handle->position, count);
    handle->position += count;
    return int(count);
}

// Past the entry's own length a write fails, and so does the extraction.
int write_file(mspack_file *file, void *buffer, int bytes)
{
    MemorySystem *system = reinterpret_cast<Handle *>(file)->writes_for;
    if (system == nullptr || bytes < 0 || std::size_t(bytes) > system->output_room)
        return -1;
    auto *from = static_cast<const std::uint8_t *>(buffer);
    system->output->insert(system->output->end(), from, from + bytes);
    system->output_room -= std::size_t(bytes);
    return bytes;
}

int seek_file(mspack_file *file, off_t offset, int mode)
{
    auto *handle = reinterpret_cast<Handle *>(file);
    std::size_t size = handle->in != nullptr ? handle->in->size()
                                             : handle->writes_for->output->size();
    long long base = mode == MSPACK_SYS_SEEK_START ? 0
                     : mode == MSPACK_SYS_SEEK_CUR ? (long long)handle->position
                                                   : (long long)size;
    long long to = base + offset;
    if (to < 0 || to > (long long)size)
        return -1;
    handle->position = std::size_t(to);
    return 0;
}

off_t tell_file(mspack_file *file)
{
    return off_t(reinterpret_cast<Handle *>(file)->position);
}

void message(mspack_file *, const char *, ...) {}

void *allocate(mspack_system *, size_t bytes)
{
    return std::malloc(bytes);
}

void release(void *pointer)
{
    std::free(pointer);
}

void copy(void *from, void *to, size_t bytes)
{
    std::memmove(to, from, bytes);
}

std::string reason(int error)
{
    switch (error) {
    case MSPACK_ERR_SIGNATURE: return "not a cabinet: no MSCF signature";
    case MSPACK_ERR_READ: return "truncated: the cabinet ends before its data";
    case MSPACK_ERR_DATAFORMAT: return "a malformed cabinet";
    case MSPACK_ERR_CHECKSUM: return "a data block whose checksum does not match";
    case MSPACK_ERR_DECRUNCH: return "compressed data that does not decompress";
    case MSPACK_ERR_NOMEMORY: return "out of memory";
    default: return "libmspack error " + std::to_string(error);
    }
}

std::int64_t date_of(const mscabd_file &file)
{
    std::tm time = {};
    time.tm_year = file.date_y - 1900;
    time.tm_mon = file.date_m - 1;
    time.tm_mday = file.date_d;
    time.tm_hour = file.time_h;
    time.tm_min = file.time_m;
    time.tm_sec = file.time_s;
    return std::int64_t(timegm(&time));
}

}  // namespace

bool read(const std::vector<std::uint8_t> &file, Cabinet &out, std::string &error)
{
    int selftest;
    MSPACK_SYS_SELFTEST(selftest);
    if (selftest != MSPACK_ERR_OK) {
        error = "libmspack was built for another off_t";
        return false;
    }
    MemorySystem system = {};
    system.base = {open_file, close_file, read_file, write_file, seek_file, tell_file,
                   message,   allocate,   release,   copy,       nullptr};
    system.cabinet = &file;
    std::unique_ptr<mscab_decompressor, void (*)(mscab_decompressor *)> decompressor(
        mspack_create_cab_decompressor(&system.base), mspack_destroy_cab_decompressor);
    if (!decompressor) {
        error = "libmspack cannot start";
        return false;
    }
    mscabd_cabinet *cab = decompressor->open(decompressor.get(), cabinet_name);
    if (cab == nullptr) {
        error = reason(decompressor->last_error(decompressor.get()));
        return false;
    }
    auto close = [&] { decompressor->close(decompressor.get(), cab); };

    out = Cabinet();
    out.header_length = cab->length;
    if (cab->prevname != nullptr || cab->nextname != nullptr) {
        close();
        error = "it is one part of a cabinet set";
        return false;
    }
    out.compressed = false;
    for (mscabd_folder *folder = cab->folders; folder != nullptr; folder = folder->next)
        out.compressed |= MSCABD_COMP_METHOD(folder->comp_type) != MSCAB_COMP_NONE;

    std::size_t room = max_contents;
    std::set<std::string> names;
    for (mscabd_file *entry = cab->files; entry != nullptr; entry = entry->next) {
        if (!names.insert(lower_ascii(entry->filename)).second) {
            error = "it holds two files named " + std::string(entry->filename);
        } else if (entry->length > room) {
            error = "its files hold more than " + std::to_string(max_contents >> 20) + " MiB";
        } else {
            out.entries.push_back({entry->filename, {}, date_of(*entry)});
            out.entries.back().bytes.reserve(entry->length);
            system.output = &out.entries.back().bytes;
            system.output_room = entry->length;
            int result = decompressor->extract(decompressor.get(), entry, output_name);
            if (result != MSPACK_ERR_OK)
                error = "cannot extract " + std::string(entry->filename) + ": " + reason(result);
            else if (out.entries.back().bytes.size() != entry->length)
                error = "cannot extract " + std::string(entry->filename) +
                        ": it is shorter than its " + std::to_string(entry->length) + " bytes";
            room -= entry->length;
        }
        if (!error.empty()) {
            close();
            return false;
        }
    }
    close();
    return true;
}

}  // namespace cabinet

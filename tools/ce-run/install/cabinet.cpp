#include "cabinet.h"

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <algorithm>
#include <map>
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

// An opened cabinet: libmspack's decompressor and its reading of the
// header, released together.
struct Opened {
    MemorySystem system = {};
    mscab_decompressor *decompressor = nullptr;
    mscabd_cabinet *cab = nullptr;

    int selftest = MSPACK_ERR_OK;

    explicit Opened(const std::vector<std::uint8_t> &file)
    {
        system.base = {open_file, close_file, read_file, write_file, seek_file, tell_file,
                       message,   allocate,   release,   copy,       nullptr};
        system.cabinet = &file;
        MSPACK_SYS_SELFTEST(selftest);
        if (selftest == MSPACK_ERR_OK)
            decompressor = mspack_create_cab_decompressor(&system.base);
        if (decompressor != nullptr)
            cab = decompressor->open(decompressor, cabinet_name);
    }
    ~Opened()
    {
        if (cab != nullptr)
            decompressor->close(decompressor, cab);
        mspack_destroy_cab_decompressor(decompressor);
    }
    Opened(const Opened &) = delete;
    Opened &operator=(const Opened &) = delete;

    bool fail(Problem &problem) const
    {
        problem.not_modelled = false;
        problem.why = selftest != MSPACK_ERR_OK ? "libmspack was built for another off_t"
                      : decompressor == nullptr ? "libmspack cannot start"
                                                : reason(decompressor->last_error(decompressor));
        return false;
    }
};

bool fail(Problem &problem, const std::string &why, bool not_modelled = false)
{
    problem = {not_modelled, why};
    return false;
}

// Each folder's end: the furthest any of its files reaches.
std::map<mscabd_folder *, std::uint64_t> folder_ends(const mscabd_cabinet *cab)
{
    std::map<mscabd_folder *, std::uint64_t> ends;
    for (const mscabd_file *entry = cab->files; entry != nullptr; entry = entry->next) {
        std::uint64_t end = std::uint64_t(entry->offset) + entry->length;
        ends[entry->folder] = std::max(ends[entry->folder], end);
    }
    return ends;
}

}  // namespace

bool read(const std::vector<std::uint8_t> &file, Cabinet &out, Problem &problem)
{
    Opened opened(file);
    if (opened.cab == nullptr)
        return opened.fail(problem);
    const mscabd_cabinet *cab = opened.cab;
    out = Cabinet();
    out.header_length = cab->length;
    if (cab->prevname != nullptr || cab->nextname != nullptr)
        return fail(problem, "it is one part of a cabinet set", true);
    out.compressed = false;
    for (mscabd_folder *folder = cab->folders; folder != nullptr; folder = folder->next)
        out.compressed |= MSCABD_COMP_METHOD(folder->comp_type) != MSCAB_COMP_NONE;
    std::set<std::string> names;
    std::uint64_t contents = 0, decompressed = 0;
    for (const mscabd_file *entry = cab->files; entry != nullptr; entry = entry->next) {
        if (!names.insert(lower_ascii(entry->filename)).second)
            return fail(problem, "it holds two files named " + std::string(entry->filename));
        contents += entry->length;
        out.entries.push_back({entry->filename, entry->length, date_of(*entry), {}});
    }
    for (const auto &[folder, end] : folder_ends(cab))
        decompressed += end;
    if (contents > max_contents || decompressed > max_contents)
        return fail(problem, "its files hold more than " + std::to_string(max_contents >> 20) +
                                 " MiB, ce-run's limit", true);
    return true;
}

bool extract(const std::vector<std::uint8_t> &file, Cabinet &out, Problem &problem)
{
    Opened opened(file);
    if (opened.cab == nullptr)
        return opened.fail(problem);
    // Each folder is decompressed once, from its start to its end, as one
    // file would be, and its files are cut from that: files listed in any
    // order cost no more than the folder itself.
    std::map<mscabd_folder *, std::vector<std::uint8_t>> folders;
    for (const auto &[folder, end] : folder_ends(opened.cab)) {
        mscabd_file whole = {};
        whole.filename = const_cast<char *>("folder");
        whole.folder = folder;
        whole.length = unsigned(end);
        std::vector<std::uint8_t> &bytes = folders[folder];
        bytes.reserve(std::size_t(end));
        opened.system.output = &bytes;
        opened.system.output_room = std::size_t(end);
        int result = opened.decompressor->extract(opened.decompressor, &whole, output_name);
        std::string first;
        for (const mscabd_file *entry = opened.cab->files; entry != nullptr; entry = entry->next)
            first = first.empty() && entry->folder == folder ? entry->filename : first;
        if (result != MSPACK_ERR_OK)
            return fail(problem, "cannot extract " + first + ": " + reason(result));
        if (bytes.size() != end)
            return fail(problem, "cannot extract " + first + ": its folder is shorter than its files");
    }
    std::size_t i = 0;
    for (const mscabd_file *entry = opened.cab->files; entry != nullptr && i < out.entries.size();
         entry = entry->next, i++) {
        const std::vector<std::uint8_t> &bytes = folders[entry->folder];
        out.entries[i].bytes.assign(bytes.begin() + long(entry->offset),
                                    bytes.begin() + long(entry->offset + entry->length));
    }
    return true;
}

SignedBytes signed_bytes(const std::vector<std::uint8_t> &file)
{
    SignedBytes out;
    auto u16 = [&file](std::size_t at) { return std::uint32_t(file[at] | file[at + 1] << 8); };
    auto u32 = [&u16](std::size_t at) { return u16(at) | u16(at + 2) << 16; };
    constexpr std::uint32_t reserve_present = 0x0004, frame_magic = 0x00100000;
    if (file.size() < 60 || !(u16(30) & reserve_present) || u16(36) != 20 || u32(40) != frame_magic)
        return out;
    out.present = true;
    std::uint64_t offset = u32(44), size = u32(48), end = offset + size;
    if (offset < 60 || end > file.size() || u32(8) != offset ||
        file.size() - end >= 8 ||
        std::any_of(file.begin() + long(end), file.end(), [](std::uint8_t byte) { return byte != 0; })) {
        out.malformed = "the signature at " + std::to_string(offset) + " of " + std::to_string(size) +
                        " bytes does not end the file of " + std::to_string(file.size()) +
                        " bytes, or the cabinet does not end where it starts";
        return out;
    }
    out.der_offset = offset;
    out.der_size = size;
    out.covered = {{0, 4}, {8, 34}, {56, offset}};
    return out;
}

}  // namespace cabinet

#include "device_files.h"

namespace device_files {

namespace {

std::string key(const std::string &path)
{
    std::string out = path;
    for (char &c : out)
        c = char(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return out;
}

}  // namespace

const File *Files::find(const std::string &path) const
{
    auto file = by_key.find(key(path));
    return file == by_key.end() ? nullptr : &file->second;
}

void Files::put(const File &file)
{
    by_key[key(file.path)] = file;
}

bool is_full_path(const std::string &path)
{
    if (path.size() < 2 || path[0] != '\\' || path.back() == '\\' ||
        path.find("\\\\") != std::string::npos)
        return false;
    for (char c : path) {
        if (static_cast<unsigned char>(c) < 0x20 || c == '/' || c == ':' || c == '*' ||
            c == '?' || c == '"' || c == '<' || c == '>' || c == '|')
            return false;
    }
    return true;
}

}  // namespace device_files

#include "device_files.h"

#include "text.h"

namespace device_files {

const File *Files::find(const std::string &path) const
{
    auto file = by_key.find(lower_ascii(path));
    return file == by_key.end() ? nullptr : &file->second;
}

void Files::put(const File &file)
{
    by_key[lower_ascii(file.path)] = file;
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

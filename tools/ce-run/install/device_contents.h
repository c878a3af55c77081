// What the emulated device holds, as far as an install touches it: its
// directories and files, the shortcuts and the registry values an install
// made. CE compares paths, keys and value names without regard to case.

#ifndef CE_RUN_DEVICE_CONTENTS_H
#define CE_RUN_DEVICE_CONTENTS_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace device_contents {

struct File {
    std::string path;  // as "\Windows\stowkey.exe"
    std::vector<std::uint8_t> bytes;
    std::int64_t date;  // seconds since 1970, UTC
};

struct Value {
    std::string key;   // "HKEY_LOCAL_MACHINE\SOFTWARE\App"
    std::string name;  // "" for the key's default value
    std::string type;  // "string", "dword", ...
    std::string data;  // as the trace shows it
};

struct Shortcut {
    std::string path;    // the shortcut's, as "\Windows\Start Menu\Programs\App.lnk"
    std::string target;  // the path it leads to
};

// Each map is by the path, or the key and the name, with case folded as
// CE folds it (fold_case).
struct Contents {
    std::map<std::string, std::string> directories;
    std::map<std::string, File> files;
    std::map<std::string, Shortcut> shortcuts;
    std::map<std::string, Value> registry;
    std::map<std::string, std::string> unload_names;  // "PROVIDER APPNAME", as registered
    std::map<std::string, int> shared;                // a shared file's references, by its path

    const File *find(const std::string &path) const;
    void put(const File &file);  // its directories too
    bool has_directory(const std::string &path) const;
    void make_directory(const std::string &path);
    const Value *value(const std::string &key, const std::string &name) const;
    void set(const Value &value);
};

// The key of a value in Contents::registry.
std::string value_key(const std::string &key, const std::string &name);

// The first difference between what two installs left, each named, as
// "NAME_A leaves PATH, NAME_B does not"; "" when they left the same.
std::string difference(const Contents &a, const Contents &b, const std::string &name_a,
                       const std::string &name_b);

}  // namespace device_contents

#endif

#include "exports.h"

#include "text.h"

namespace exports {

namespace {

constexpr std::size_t max_dll_name = 31;

}  // namespace

const char *const dll_names[dll_count] = {"coredll.dll", "c.dll"};

const Export functions[function_count] = {
    {coredll, "RegFlushKey"},
    {coredll, "ExitThread"},
    {coredll, "LoadLibraryW"},
    {coredll, "GetProcAddressW"},
    {c_dll, "perror"},
};

int find_dll(std::string_view name)
{
    if (name.size() > max_dll_name)
        return -1;
    for (int dll = 0; dll < dll_count; dll++) {
        std::string_view full = dll_names[dll];
        std::string_view bare = full.substr(0, full.size() - 4);  // without ".dll"
        if (same_ignoring_case(name, full) || same_ignoring_case(name, bare))
            return dll;
    }
    return -1;
}

int find_function(Dll dll, std::string_view name)
{
    for (int i = 0; i < function_count; i++) {
        if (functions[i].dll == dll && name == functions[i].name)
            return i;
    }
    return -1;
}

bool set_missing(Missing &missing, std::string_view what, std::string &error)
{
    std::size_t bang = what.find('!');
    int dll = find_dll(what.substr(0, bang));
    if (dll < 0) {
        error = "'" + std::string(what.substr(0, bang)) + "' is not a DLL of the emulated platform (" +
                listed(dll_names, [](const char *name) { return name; }) + ")";
        return false;
    }
    if (bang == std::string_view::npos) {
        missing.dll[dll] = true;
        return true;
    }
    int function = find_function(Dll(dll), what.substr(bang + 1));
    if (function < 0) {
        error = "'" + std::string(what.substr(bang + 1)) + "' is not a function of " +
                dll_names[dll] + " in the emulated platform";
        return false;
    }
    missing.function[function] = true;
    return true;
}

}  // namespace exports

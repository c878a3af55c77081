// The DLLs and functions an emulated device offers, by name, and which of
// them a device lacks: what the loader binds a program's imports against
// (load_plan.h) and what the emulated DLLs serve (run/emulated_dlls.h).

#ifndef CE_RUN_EXPORTS_H
#define CE_RUN_EXPORTS_H

#include <string>
#include <string_view>

namespace exports {

enum Dll { coredll, c_dll, dll_count };

enum Function { RegFlushKey, ExitThread, LoadLibraryW, GetProcAddressW, perror, function_count };

struct Export {
    Dll dll;
    const char *name;
};

extern const char *const dll_names[dll_count];  // "coredll.dll", "c.dll"
extern const Export functions[function_count];

// The DLL that name names as the CE loader matches it: without regard to
// case, ".dll" optional, at most 31 characters; or -1.
int find_dll(std::string_view name);

// The function that dll exports under exactly name, or -1.
int find_function(Dll dll, std::string_view name);

// What a device lacks, for load-time imports and run-time look-ups alike.
struct Missing {
    bool dll[dll_count] = {};
    bool function[function_count] = {};
};

// Whether a device that lacks what missing says offers the DLL, or the
// function (and its DLL).
inline bool offers(const Missing &missing, Dll d)
{
    return !missing.dll[d];
}
inline bool offers(const Missing &missing, Function f)
{
    return offers(missing, functions[f].dll) && !missing.function[f];
}

// Applies "DLL" (the DLL goes) or "DLL!FUNCTION" (the function goes). On a
// name the platform does not have returns false with the reason in error.
bool set_missing(Missing &missing, std::string_view what, std::string &error);

}  // namespace exports

#endif

// Stands in for the CE runtime's perror: finds c.dll's at run time, as no stock device has c.dll.
//
// Bound at load time, a missing c.dll would keep CE 3.0 to 5.0 from
// starting stowkey at all, and make CE 6.0 and 7.0 end it with status 0,
// "all flushed", before it ran. Bound here, a missing c.dll or perror
// costs the failure line and nothing else: the status is still 1.

#include <stdio.h>
#include <windows.h>

extern "C" {
extern FARPROC c_perror_address;        // the slot c_perror jumps through
void c_perror(const char *prefix);      // imports.S
}

void perror(const char *prefix)
{
    // CE's loader and GetProcAddressW take UTF-16 names; wchar_t here is
    // 32 bits wide, so the names are char16_t strings.
    HMODULE c = LoadLibraryW(u"c.dll");
    if (c == NULL)
        return;
    c_perror_address = GetProcAddressW(c, u"perror");
    if (c_perror_address != NULL)
        c_perror(prefix);
}

/* Stands in for the Windows CE SDK's <windows.h>: only what stowkey uses. */

#ifndef STOWKEY_PLATFORM_WINDOWS_H
#define STOWKEY_PLATFORM_WINDOWS_H

#include <stddef.h>
#include <stdint.h>

/* 32 bits on every build, as on the device; a 64-bit host's long is wider. */
typedef int32_t LONG;

typedef struct HKEY__ *HKEY;
typedef struct HINSTANCE__ *HMODULE;
typedef int (*FARPROC)(void);

/* UTF-16, as on the device, whatever the width of this target's wchar_t. */
typedef char16_t WCHAR;

#define ERROR_SUCCESS 0

/* The predefined keys are 32-bit values, sign-extended on a 64-bit host. */
#define HKEY_CLASSES_ROOT ((HKEY)(intptr_t)(LONG)0x80000000)
#define HKEY_CURRENT_USER ((HKEY)(intptr_t)(LONG)0x80000001)
#define HKEY_LOCAL_MACHINE ((HKEY)(intptr_t)(LONG)0x80000002)

#ifdef __cplusplus
extern "C" {
#endif

LONG RegFlushKey(HKEY hKey);
HMODULE LoadLibraryW(const WCHAR *lpLibFileName);
FARPROC GetProcAddressW(HMODULE hModule, const WCHAR *lpProcName);

#ifdef __cplusplus
}
#endif

#endif

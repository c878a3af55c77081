/* Stands in for the Windows CE runtime's <stdio.h>: only what stowkey uses. */

#ifndef STOWKEY_PLATFORM_STDIO_H
#define STOWKEY_PLATFORM_STDIO_H

#ifdef __cplusplus
extern "C" {
#endif

void perror(const char *prefix);

#ifdef __cplusplus
}
#endif

#endif

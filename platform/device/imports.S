/*
 * What stowkey.exe imports, and the thunks through which the command's
 * ordinary calls reach the import address table that the loader fills.
 *
 * The import tables the loader only reads stay with the code, which is
 * read-only; the import address table is the one thing it writes, so it
 * alone lives in the writable data section.
 */

#include "pe.h"

/* A function whose address the loader writes into its IAT slot. */
	.macro	thunk name
	.section .text.thunk.\name, "ax", %progbits
	.arm
	.balign	4
	.globl	\name
	.type	\name, %function
\name:
	ldr	ip, 1f
	ldr	pc, [ip]
1:	.long	__imp_\name
	.size	\name, . - \name
	.endm

	thunk	RegFlushKey
	thunk	ExitThread
	thunk	perror

	.macro	hint_name name
	.balign	2
name_\name:
	.short	0				/* hint: none, the loader looks up by name */
	.asciz	"\name"
	.endm

	.section .rodata.imports, "a", %progbits
	.balign	4
	.globl	__import_directory, __import_directory_end
__import_directory:
	.long	RVA(lookup_coredll), 0, 0, RVA(dll_coredll), RVA(__iat_coredll)
	.long	RVA(lookup_c), 0, 0, RVA(dll_c), RVA(__iat_c)
	.long	0, 0, 0, 0, 0
__import_directory_end:

lookup_coredll:
	.long	RVA(name_RegFlushKey), RVA(name_ExitThread), 0
lookup_c:
	.long	RVA(name_perror), 0

	hint_name RegFlushKey
	hint_name ExitThread
	hint_name perror

dll_coredll:
	.asciz	"coredll.dll"
dll_c:
	.asciz	"c.dll"

/* The loader overwrites each slot with the function's address; until then
 * every slot holds the same name reference as its lookup table entry. */
	.section .data.iat, "aw", %progbits
	.balign	4
	.globl	__iat, __iat_end
__iat:
__iat_coredll:
__imp_RegFlushKey:
	.long	RVA(name_RegFlushKey)
__imp_ExitThread:
	.long	RVA(name_ExitThread)
	.long	0
__iat_c:
__imp_perror:
	.long	RVA(name_perror)
	.long	0
__iat_end:

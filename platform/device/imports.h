/*
 * Assembly macros that write an image's imports from one list per DLL:
 * the import descriptor, the lookup table and hint/name entries the loader
 * reads, the import address table (IAT) slots it fills, and a thunk per
 * function through which ordinary calls reach the slot.
 *
 * The descriptors go to .import.descriptors and the tables the loader only
 * reads to .import.tables; the linker script keeps both with the code,
 * which is read-only, and closes the descriptors with the empty one. The
 * IAT is the one thing the loader writes, so it alone is in .data.iat.
 */

#include "pe.h"

/* The instruction set of the image's own code: ARM for ARMv4, Thumb-2 for
 * ARMv7-A, as the compiler targets. */
#if defined(__thumb2__)
#define CODE_STATE .syntax unified; .thumb
#else
#define CODE_STATE .syntax unified; .arm
#endif

/* A function whose address is in slot: an IAT slot the loader fills, or
 * one the program fills at run time. A load into pc switches to ARM or
 * Thumb as the address says on every processor that has Thumb; mov pc
 * would not on ARMv5 and ARMv6. */
	.macro	thunk name, slot
	.section .text.thunk.\name, "ax", %progbits
	CODE_STATE
	.balign	4
	.globl	\name
	.type	\name, %function
\name:
#if defined(__thumb2__)
	movw	ip, #:lower16:\slot
	movt	ip, #:upper16:\slot
	ldr.w	pc, [ip]
#else
	ldr	ip, 1f
	ldr	pc, [ip]
1:	.long	\slot
#endif
	.size	\name, . - \name
	.endm

/* import_dll DLL, FUNCTION...: each FUNCTION by name from DLL.dll. */
	.macro	import_dll dll, functions:vararg
	.section .import.descriptors, "a", %progbits
	.balign	4
	.long	RVA(lookup_\dll), 0, 0, RVA(dll_\dll), RVA(iat_\dll)

	.section .import.tables, "a", %progbits
	.balign	4
lookup_\dll:
	.irp	function, \functions
	.long	RVA(name_\function)
	.endr
	.long	0
	.irp	function, \functions
	.balign	2
name_\function:
	.short	0				/* hint: none, the loader looks up by name */
	.asciz	"\function"
	.endr
dll_\dll:
	.asciz	"\dll\().dll"

/* Until the loader overwrites them, the slots hold what the lookup table does. */
	.section .data.iat, "aw", %progbits
	.balign	4
iat_\dll:
	.irp	function, \functions
__imp_\function:
	.long	RVA(name_\function)
	.endr
	.long	0

	.irp	function, \functions
	thunk	\function, __imp_\function
	.endr
	.endm

/* late_import NAME: a thunk NAME through the slot NAME_address, which the
 * program itself fills with an address GetProcAddressW found. */
	.macro	late_import name
	.section .data.late_imports, "aw", %progbits
	.balign	4
	.globl	\name\()_address
\name\()_address:
	.long	0
	thunk	\name, \name\()_address
	.endm

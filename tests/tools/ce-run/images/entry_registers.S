/*
 * Shows what the kernel passed the entry point: r0 to r3, sp and the
 * processor mode, each handed to RegFlushKey so that ce-run's trace writes
 * it down, then returns 9 from the entry point.
 */

#include "imports.h"

	import_dll coredll, RegFlushKey

	.section .text.startup, "ax", %progbits
	.arm
	.globl	WinMainCRTStartup
	.type	WinMainCRTStartup, %function
WinMainCRTStartup:
	mov	r4, r0
	mov	r5, r1
	mov	r6, r2
	mov	r7, r3
	mov	r8, sp
	mov	r9, lr
	mrs	r10, cpsr
	and	r10, r10, #0x1f
	.irp	register, r4, r5, r6, r7, r8, r10
	mov	r0, \register
	bl	RegFlushKey
	.endr
	mov	r0, #9
	mov	pc, r9
	.size	WinMainCRTStartup, . - WinMainCRTStartup

/*
 * Calls ExitThread(7) through its import address table slot: by ldr pc,
 * which enters a Thumb function in Thumb state on ARMv5 and later, or
 * (without CALL_BY_LDR_PC) by mov pc, which does not on ARMv5 and ARMv6.
 */

#include "imports.h"

	import_dll coredll, ExitThread

	.section .text.startup, "ax", %progbits
	.arm
	.globl	WinMainCRTStartup
	.type	WinMainCRTStartup, %function
WinMainCRTStartup:
	mov	r0, #7
	ldr	ip, =__imp_ExitThread
#ifdef CALL_BY_LDR_PC
	mov	lr, pc
	ldr	pc, [ip]
#else
	ldr	ip, [ip]
	mov	lr, pc
	mov	pc, ip
#endif
	.ltorg
	.size	WinMainCRTStartup, . - WinMainCRTStartup

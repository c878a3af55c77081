/*
 * The process entry. Windows CE passes the process handle (the process id
 * from 6.0 on), 0, the command line and the show flag; main takes none of them,
 * so they are left unread and main's status goes straight to ExitThread,
 * which ends the process from its only thread and does not return.
 * CE 8 calls it with blx, so in Thumb-2 code its address is odd.
 */

#include "imports.h"

	.section .text.startup, "ax", %progbits
	CODE_STATE
	.globl	WinMainCRTStartup
	.type	WinMainCRTStartup, %function
WinMainCRTStartup:
	bl	main
	b	ExitThread
	.size	WinMainCRTStartup, . - WinMainCRTStartup

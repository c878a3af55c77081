/*
 * The process entry. Windows CE passes the instance handle, the previous
 * instance, the command line and the show flag; main takes none of them,
 * so they are left unread and main's status goes straight to ExitThread,
 * which ends the process from its only thread and does not return.
 */

	.section .text.startup, "ax", %progbits
	.arm
	.globl	WinMainCRTStartup
	.type	WinMainCRTStartup, %function
WinMainCRTStartup:
	bl	main
	b	ExitThread
	.size	WinMainCRTStartup, . - WinMainCRTStartup

/*
 * The setup file of a device image's installation CAB (stowkey.000), which
 * wceload reads to learn what to install where, and on which devices.
 * Written as data, as the PE headers are: every offset, length and count
 * in it is computed from the entries below. What differs between the two
 * kinds, the range of CE versions, comes from the build.
 */

#if !defined(LOWEST_CE_MAJOR) || !defined(LOWEST_CE_MINOR) || \
    !defined(HIGHEST_CE_MAJOR) || !defined(HIGHEST_CE_MINOR)
#error "the CE version range must be defined: the build sets it for each kind of image"
#endif

/* The processor value CE tools write for every ARM device, Compact 2013's too. */
#define PROCESSOR_ARM 2577
/* Replace the target whatever its date: an earlier stowkey must go. */
#define FILE_OVERWRITE 0x40000000

	.set	string_counter, 0
	.set	directory_counter, 0
	.set	file_counter, 0

/* string ID, TEXT: a string a directory's path is made of. */
	.macro	string id, text
	.set	string_counter, string_counter + 1
	.short	\id, 2f - 1f
1:	.asciz	"\text"
2:
	.endm

/* directory ID, STRING...: the path of the strings joined with '\'. */
	.macro	directory id, strings:vararg
	.set	directory_counter, directory_counter + 1
	.short	\id, 2f - 1f
1:	.irp	s, \strings
	.short	\s
	.endr
	.short	0
2:
	.endm

/* file NUMBER, DIRECTORY, NAME, FLAGS: the cabinet's file NAME.NNN, NNN
 * its number, installed into DIRECTORY as NAME. */
	.macro	file number, directory, name, flags
	.set	file_counter, file_counter + 1
	.short	\number, \directory, \number
	.long	\flags
	.short	2f - 1f
1:	.asciz	"\name"
2:
	.endm

	.section .setup, "a", %progbits

	.globl	setup				/* the ELF file's entry; nothing runs it */
setup:
	.ascii	"MSCE"
	.long	0
	.long	setup_end - setup
	.long	0
	.long	1
	.long	PROCESSOR_ARM
	.long	LOWEST_CE_MAJOR, LOWEST_CE_MINOR
	.long	HIGHEST_CE_MAJOR, HIGHEST_CE_MINOR	/* 0, 0: no limit */
	.long	0, 0				/* lowest and highest build: no limit */
	.short	string_count, directory_count, file_count
	.short	0, 0, 0				/* registry hives, registry keys, links */
	.long	strings - setup, directories - setup, files - setup
	/* The sections that hold nothing start where the file ends. */
	.long	setup_end - setup, setup_end - setup, setup_end - setup
	.short	application - setup, application_end - application
	.short	provider - setup, provider_end - provider
	.short	0, 0				/* unsupported platforms: none */
	.short	0, 0
	.if	. - setup - 100
	.error	"the setup file's header is not 100 bytes"
	.endif

application:
	.asciz	"stowkey"
application_end:
provider:
	.asciz	"stowkey project"
provider_end:

	.set	windows, 1

strings:
	string	windows, "%CE2%"		/* \Windows */
directories:
	directory windows, windows
files:
	file	1, windows, "stowkey.exe", FILE_OVERWRITE
setup_end:

	.set	string_count, string_counter
	.set	directory_count, directory_counter
	.set	file_count, file_counter

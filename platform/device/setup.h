/*
 * The legacy setup file of an installation CAB (NAME.000) as assembly
 * macros: the 100-byte header, then the tables of strings, directories,
 * files, registry hives and values, and shortcuts, each entry one macro
 * line. Every offset, length and count is computed by the assembler from
 * the entries; the layout is the one docs/sources.md gives. setup.S writes
 * stowkey's setup file with them, and ce-run's tests write others.
 *
 * A setup file is: setup_header; the texts application, provider and
 * unsupported (each a label and its _end label); the labels strings,
 * directories, files, hives, values and links, each before its table's
 * entries; setup_end_here.
 *
 * Strings, file names and the application's and provider's names are
 * written as the CabWiz of Pocket PC 2000 to 2003 writes them, or, after
 * setup_padded, as the CabWiz of 2005 on does: padded with 0s to a
 * multiple of 4 bytes, which their lengths count (docs/sources.md,
 * section 12).
 */

	.set	string_counter, 0
	.set	directory_counter, 0
	.set	file_counter, 0
	.set	hive_counter, 0
	.set	value_counter, 0
	.set	link_counter, 0
	.set	padded, 0

	.macro	setup_padded
	.set	padded, 1
	.endm

/* setup_text TEXT: a text ended by a 0, and padded where setup_padded asks. */
	.macro	setup_text text
	.asciz	"\text"
	.if	padded
	.fill	(4 - ((. - 1b) & 3)) & 3, 1, 0
	.endif
	.endm

/* The header: the processor (2577 ARM, 0 any), the lowest and highest CE
 * version and build (0: no limit). */
	.macro	setup_header processor, lowest_major, lowest_minor, highest_major, highest_minor, lowest_build=0, highest_build=0
	.section .setup, "a", %progbits
	.globl	setup				/* the ELF file's entry; nothing runs it */
setup:
	.ascii	"MSCE"
	.long	0
	.long	setup_end - setup
	.long	0
	.long	1
	.long	\processor
	.long	\lowest_major, \lowest_minor
	.long	\highest_major, \highest_minor
	.long	\lowest_build, \highest_build
	.short	string_count, directory_count, file_count, hive_count, value_count, link_count
	.long	strings - setup, directories - setup, files - setup
	.long	hives - setup, values - setup, links - setup
	.short	application - setup, application_end - application
	.short	provider - setup, provider_end - provider
	.short	unsupported - setup, unsupported_end - unsupported
	.short	0, 0
	.if	. - setup - 100
	.error	"the setup file's header is not 100 bytes"
	.endif
	.endm

/* string ID, TEXT: a string a path is made of. */
	.macro	string id, text
	.set	string_counter, string_counter + 1
	.short	\id, 2f - 1f
1:	setup_text	"\text"
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
1:	setup_text	"\name"
2:
	.endm

/* hive ID, ROOT, STRING...: a registry key (ROOT 1 HKCR, 2 HKCU, 3 HKLM,
 * 4 HKU) and its path of strings. */
	.macro	hive id, root, strings:vararg
	.set	hive_counter, hive_counter + 1
	.short	\id, \root, 0, 2f - 1f
1:	.irp	s, \strings
	.short	\s
	.endr
	.short	0
2:
	.endm

/* value ID, HIVE, EXPANDS, FLAGS, NAME, then the directives that write
 * its data, then value_end ID: a registry value in HIVE, its type in
 * FLAGS (0 string, 0x10000 strings, 1 binary, 0x10001 DWORD; 0x2: an
 * existing value is kept), its macros expanded where EXPANDS is 1. */
	.macro	value id, hive, expands, flags, name
	.set	value_counter, value_counter + 1
	.short	\id, \hive, \expands
	.long	\flags
	.short	value_end_\id - value_\id
value_\id:
	.asciz	"\name"
	.endm

	.macro	value_end id
value_end_\id:
	.endm

/* link ID, DIRECTORY, BASE, TARGET, TYPE, STRING...: a shortcut named by
 * the strings (with no 0 after them, as CabWiz writes it), in the
 * directory DIRECTORY, or with DIRECTORY 0 in %CE<BASE>% (BASE 0:
 * %InstallDir%), to the file (TYPE 1) or directory (TYPE 0; TARGET 0:
 * %InstallDir%) TARGET. */
	.macro	link id, directory, base, target, type, strings:vararg
	.set	link_counter, link_counter + 1
	.short	\id, \directory, \base, \target, \type, 2f - 1f
1:	.irp	s, \strings
	.short	\s
	.endr
2:
	.endm

	.macro	setup_end_here
setup_end:
	.set	string_count, string_counter
	.set	directory_count, directory_counter
	.set	file_count, file_counter
	.set	hive_count, hive_counter
	.set	value_count, value_counter
	.set	link_count, link_counter
	.endm

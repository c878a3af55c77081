/*
 * The headers of a device image, written as data. Every size and address in
 * them comes from a symbol of the linker script, so the headers always
 * describe the sections as they were laid out.
 */

#include "pe.h"

#ifndef PE_TIMESTAMP
#error "PE_TIMESTAMP must be defined: the build sets it to its date (scripts/source-date)"
#endif
#if !defined(IMAGE_MACHINE) || !defined(BUILT_FOR_CE_MAJOR)
#error "IMAGE_MACHINE and BUILT_FOR_CE_MAJOR must be defined: the build sets them for each kind of image"
#endif
#if !defined(STOWKEY_VERSION_MAJOR) || !defined(STOWKEY_VERSION_MINOR)
#error "STOWKEY_VERSION_MAJOR and STOWKEY_VERSION_MINOR must be defined: the build sets them from its version"
#endif

	.globl	__image_base
	.set	__image_base, IMAGE_BASE

	.section .pe.headers, "a", %progbits

dos_header:
	.ascii	"MZ"
	.space	0x3C - (. - dos_header)
	.long	pe_signature - dos_header	/* e_lfanew */

pe_signature:
	.ascii	"PE\0\0"

file_header:
	.short	IMAGE_MACHINE
	.short	(section_table_end - section_table) / 40
	.long	PE_TIMESTAMP
	.long	0				/* PointerToSymbolTable */
	.long	0				/* NumberOfSymbols */
	.short	optional_header_end - optional_header
	.short	IMAGE_FILE_RELOCS_STRIPPED | IMAGE_FILE_EXECUTABLE_IMAGE | IMAGE_FILE_32BIT_MACHINE

optional_header:
	.short	IMAGE_NT_OPTIONAL_HDR32_MAGIC
	.byte	0, 0				/* linker version */
	.long	__text_raw_size			/* SizeOfCode */
	.long	__data_raw_size			/* SizeOfInitializedData */
	.long	0				/* SizeOfUninitializedData */
	.long	__entry_rva			/* AddressOfEntryPoint */
	.long	__text_rva			/* BaseOfCode */
	.long	__data_rva			/* BaseOfData */
	.long	IMAGE_BASE
	.long	SECTION_ALIGNMENT
	.long	FILE_ALIGNMENT
	.short	BUILT_FOR_CE_MAJOR, 0		/* operating system version */
	.short	STOWKEY_VERSION_MAJOR, STOWKEY_VERSION_MINOR	/* image version */
	.short	BUILT_FOR_CE_MAJOR, 0		/* subsystem version: the oldest CE that loads it */
	.long	0				/* Win32VersionValue */
	.long	__image_size			/* SizeOfImage */
	.long	__headers_size			/* SizeOfHeaders */
	.long	0				/* CheckSum */
	.short	IMAGE_SUBSYSTEM_WINDOWS_CE_GUI
	.short	IMAGE_DLLCHARACTERISTICS_NX_COMPAT	/* strict NX on CE 7 and 8 wants it */
	.long	0x10000, 0x1000			/* stack reserve, commit */
	.long	0x100000, 0x1000		/* heap reserve, commit */
	.long	0				/* LoaderFlags */
	.long	IMAGE_NUMBEROF_DIRECTORY_ENTRIES
data_directories:
	.long	0, 0				/* export */
	.long	__import_directory_rva, __import_directory_size
	.space	(12 - 2) * 8			/* resource .. bound import */
	.long	__iat_rva, __iat_size
	.space	(IMAGE_NUMBEROF_DIRECTORY_ENTRIES - 13) * 8
optional_header_end:

section_table:
	.ascii	".text\0\0\0"
	.long	__text_virtual_size
	.long	__text_rva
	.long	__text_raw_size
	.long	__text_file_offset
	.long	0, 0				/* relocations, line numbers */
	.short	0, 0
	.long	IMAGE_SCN_CNT_CODE | IMAGE_SCN_MEM_EXECUTE | IMAGE_SCN_MEM_READ

	.ascii	".data\0\0\0"
	.long	__data_virtual_size
	.long	__data_rva
	.long	__data_raw_size
	.long	__data_file_offset
	.long	0, 0
	.short	0, 0
	.long	IMAGE_SCN_CNT_INITIALIZED_DATA | IMAGE_SCN_MEM_READ | IMAGE_SCN_MEM_WRITE
section_table_end:

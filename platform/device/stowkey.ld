/*
 * Lays a device image out as a PE image. Each output section has its load
 * address (LMA) at its file offset and its virtual address at its place in
 * memory, so that a binary copy of the ELF file is the PE file byte for
 * byte. The symbols at the end feed the headers in pe_headers.S.
 */

ENTRY(WinMainCRTStartup)

FILE_ALIGNMENT = 0x200;
SECTION_ALIGNMENT = 0x1000;

SECTIONS
{
	. = __image_base;

	.pe.headers : AT(0) {
		KEEP(*(.pe.headers))
		. = ALIGN(FILE_ALIGNMENT);
	} =0

	. = ALIGN(SECTION_ALIGNMENT);
	.text : AT(LOADADDR(.pe.headers) + SIZEOF(.pe.headers)) {
		*(.text.startup)
		*(.text .text.*)
		*(.rodata .rodata.*)
		. = ALIGN(4);
		__import_directory = .;
		KEEP(*(.import.descriptors))
		LONG(0) LONG(0) LONG(0) LONG(0) LONG(0)	/* the closing descriptor */
		__import_directory_end = .;
		KEEP(*(.import.tables))
		__text_end = .;
		. = ALIGN(FILE_ALIGNMENT);
	} =0

	. = ALIGN(SECTION_ALIGNMENT);
	.data : AT(LOADADDR(.text) + SIZEOF(.text)) {
		__iat = .;
		KEEP(*(.data.iat))
		__iat_end = .;
		*(.data .data.*)
		*(.bss .bss.* COMMON)
		__data_end = .;
		. = ALIGN(FILE_ALIGNMENT);
	} =0

	__image_end = ALIGN(SECTION_ALIGNMENT);

	/DISCARD/ : {
		*(.ARM.exidx* .ARM.extab* .comment .note*)
	}
}

__headers_size = SIZEOF(.pe.headers);
__image_size = __image_end - __image_base;
__entry_rva = WinMainCRTStartup - __image_base;

__text_rva = ADDR(.text) - __image_base;
__text_virtual_size = __text_end - ADDR(.text);
__text_raw_size = SIZEOF(.text);
__text_file_offset = LOADADDR(.text);

__data_rva = ADDR(.data) - __image_base;
__data_virtual_size = __data_end - ADDR(.data);
__data_raw_size = SIZEOF(.data);
__data_file_offset = LOADADDR(.data);

__import_directory_rva = __import_directory - __image_base;
__import_directory_size = __import_directory_end - __import_directory;
__iat_rva = __iat - __image_base;
__iat_size = __iat_end - __iat;

ASSERT(__headers_size == FILE_ALIGNMENT, "the PE headers outgrew one file block")

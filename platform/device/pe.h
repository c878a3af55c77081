/* Constants of the PE32 image format and of Windows CE, for the image's assembly. */

#ifndef STOWKEY_PE_H
#define STOWKEY_PE_H

/* Where Windows CE loads an executable; the linker script reads it back
 * through the __image_base symbol, so it is written down only here. */
#define IMAGE_BASE 0x00010000

#define SECTION_ALIGNMENT 0x1000
#define FILE_ALIGNMENT 0x200

#define IMAGE_FILE_RELOCS_STRIPPED 0x0001
#define IMAGE_FILE_EXECUTABLE_IMAGE 0x0002
#define IMAGE_FILE_32BIT_MACHINE 0x0100

#define IMAGE_DLLCHARACTERISTICS_NX_COMPAT 0x0100

#define IMAGE_NT_OPTIONAL_HDR32_MAGIC 0x010B
#define IMAGE_SUBSYSTEM_WINDOWS_CE_GUI 9
#define IMAGE_NUMBEROF_DIRECTORY_ENTRIES 16

#define IMAGE_SCN_CNT_CODE 0x00000020
#define IMAGE_SCN_CNT_INITIALIZED_DATA 0x00000040
#define IMAGE_SCN_MEM_EXECUTE 0x20000000
#define IMAGE_SCN_MEM_READ 0x40000000
#define IMAGE_SCN_MEM_WRITE 0x80000000

/* An image-relative address, as every PE table wants them. */
#define RVA(symbol) ((symbol) - IMAGE_BASE)

#endif

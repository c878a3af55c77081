/*
 * Lays the setup file of an installation CAB out from file offset 0, so
 * that a binary copy of the ELF file is the setup file byte for byte.
 */

ENTRY(setup)

SECTIONS
{
	.setup 0 : AT(0) {
		KEEP(*(.setup))
	}

	/DISCARD/ : {
		*(.ARM.attributes .comment .note*)
	}
}

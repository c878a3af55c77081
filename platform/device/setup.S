/*
 * The setup file of a device image's installation CAB (stowkey.000), which
 * wceload reads to learn what to install where, and on which devices.
 * Written as data with the macros of setup.h, as the PE headers are: every
 * offset, length and count in it is computed from the entries below. What
 * differs between the two kinds, the range of CE versions, comes from the
 * build.
 */

#if !defined(LOWEST_CE_MAJOR) || !defined(LOWEST_CE_MINOR) || \
    !defined(HIGHEST_CE_MAJOR) || !defined(HIGHEST_CE_MINOR)
#error "the CE version range must be defined: the build sets it for each kind of image"
#endif

#include "setup.h"

/* The processor value CE tools write for every ARM device, Compact 2013's too. */
#define PROCESSOR_ARM 2577
/* Replace the target whatever its date: an earlier stowkey must go. */
#define FILE_OVERWRITE 0x40000000

	setup_header PROCESSOR_ARM, LOWEST_CE_MAJOR, LOWEST_CE_MINOR, HIGHEST_CE_MAJOR, HIGHEST_CE_MINOR

application:
	.asciz	"stowkey"
application_end:
provider:
	.asciz	"stowkey project"
provider_end:
	/* No unsupported platforms. */
	.set	unsupported, setup
	.set	unsupported_end, setup

	.set	windows, 1

strings:
	string	windows, "%CE2%"		/* \Windows */
directories:
	directory windows, windows
files:
	file	1, windows, "stowkey.exe", FILE_OVERWRITE
	/* No registry values or shortcuts: their tables start where the file ends. */
hives:
values:
links:
	setup_end_here

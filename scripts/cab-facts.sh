# Facts of the installation CABs that the scripts share, stated once;
# sourced, not run.

# The CAB's entries, in their order in the cabinet: the legacy setup file,
# the XML setup file, and the image under its file number (stowkey.001).
cab_entries=(stowkey.000 _setup.xml stowkey.001)

# The first and the last day a cabinet's dates (and a zip's) can hold:
# 1980-01-01 and 2107-12-31, in seconds since 1970.
first_dos_date=315532800
last_dos_date=4354819199

# holds_cab_entries DIR: whether DIR holds the CAB's entries and nothing else.
holds_cab_entries() {
    [ "$(cd "$1" && LC_ALL=C ls -A | tr '\n' ' ')" = "$(printf '%s\n' "${cab_entries[@]}" | LC_ALL=C sort | tr '\n' ' ')" ]
}

// ce-run's settings for AddressSanitizer and LeakSanitizer, built in only
// when the sanitizers are (STOWKEY_SANITIZE), so that every run of it has
// them; the run room's fuzz target, which runs Unicorn too, has them as well.
//
// Unicorn 2.1.1, Debian 13's, allocates 32 bytes in the first uc_mem_map
// of an engine, as it initialises it, that uc_close never frees; 2.0.1,
// Debian 12's, does not. Only a leak allocated under uc_mem_map is
// suppressed, so a leak of ce-run's own still fails the run. libunicorn has
// no frame pointers: only the full unwinder sees the uc_mem_map frame, 4
// frames deep. 8 frames of each allocation are kept, which takes half the
// time of the full unwinder's default depth on every sanitized run. A
// Unicorn that does not leak there (before 2.1, as the build finds it:
// UNICORN_LEAKS_IN_MEM_MAP) needs neither, and a sanitized run takes half
// the time without the full unwinder.

extern "C" const char *__lsan_default_suppressions()
{
    return "leak:uc_mem_map\n";
}

// The suppressed leak is expected: no report of it on standard error,
// which the tests compare.
extern "C" const char *__lsan_default_options()
{
    return "print_suppressions=0";
}

extern "C" const char *__asan_default_options()
{
#ifdef UNICORN_LEAKS_IN_MEM_MAP
    return "fast_unwind_on_malloc=0:malloc_context_size=8";
#else
    return "";
#endif
}

/* Memcheck's client requests for tools/memcheck_calls.py, called through
 * ctypes: a leak check run while the interpreter still holds its own objects
 * (it never frees its interned texts, so a check after it exits reports
 * them all). */
#include <valgrind/memcheck.h>

/* Runs a full leak check now; returns the bytes definitely or indirectly
 * lost. The report marks where its findings begin and end, since valgrind
 * writing XML also checks at exit, whatever --leak-check says. */
unsigned long leak_check(void) {
    unsigned long leaked = 0, dubious = 0, reachable = 0, suppressed = 0;
    VALGRIND_PRINTF("orvane leak check begins\n");
    VALGRIND_DO_LEAK_CHECK;
    VALGRIND_PRINTF("orvane leak check ends\n");
    VALGRIND_COUNT_LEAKS(leaked, dubious, reachable, suppressed);
    (void)dubious;
    (void)reachable;
    (void)suppressed;
    return leaked;
}

int on_valgrind(void) { return RUNNING_ON_VALGRIND; }

/* CHECK for the plain C host programs: a failed condition is printed with
 * its line and counted in failures, and the program goes on, so that one run
 * reports every slot that misbehaves. */
#ifndef VESK_TESTS_SUPPORT_C_CHECK_H
#define VESK_TESTS_SUPPORT_C_CHECK_H

#include <stdio.h>

static int failures;
#define CHECK(cond)                                          \
    do {                                                     \
        if (!(cond)) {                                       \
            printf("FAILED line %d: %s\n", __LINE__, #cond); \
            ++failures;                                      \
        }                                                    \
    } while (0)

#endif /* VESK_TESTS_SUPPORT_C_CHECK_H */

/* Leaks on purpose. The sanitizer build runs it and expects LeakSanitizer to report the leak:
 * where the leak checker cannot work (some sandboxes forbid what it needs), every leak test
 * would pass silently, and this canary makes that visible instead. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* The leak checker scans stacks and registers conservatively, and a stale copy of the last
 * pointer may linger there; of several blocks dropped in frames of their own, the others are
 * certainly lost. */
__attribute__((noinline)) static void leak_once(void) {
    char *volatile p = malloc(64);
    if (p != NULL) p[0] = 'x';
    p = NULL;
}

__attribute__((noinline)) static void scrub_stack(void) {
    volatile char scratch[4096];
    memset((char *)scratch, 0, sizeof scratch);
}

int main(void) {
    for (int i = 0; i < 8; ++i) leak_once();
    scrub_stack();
    puts("canary: leaked 8 blocks of 64 bytes");
    return 0;
}

/* rusage OUT CMD [ARG...]: runs CMD to its end and writes to the file OUT
 * its user and system CPU seconds and its peak resident memory in KiB, one
 * line; exits with CMD's status.
 *
 * A process started by Python straight away inherits, in its peak resident
 * memory, the size of the Python process it was forked from, which is then
 * all the kernel reports for a smaller program. Forked from this small one,
 * the program's own peak is what remains.
 */
#include <stdio.h>
#include <sys/resource.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

int
main(int argc, char **argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: rusage OUT CMD [ARG...]\n");
        return 2;
    }
    pid_t pid = fork();
    if (pid < 0) {
        perror("rusage: fork");
        return 2;
    }
    if (pid == 0) {
        execvp(argv[2], argv + 2);
        perror("rusage: exec");
        _exit(127);
    }
    int status;
    struct rusage usage;
    if (wait4(pid, &status, 0, &usage) < 0) {
        perror("rusage: wait4");
        return 2;
    }
    FILE *out = fopen(argv[1], "w");
    if (out == NULL) {
        perror(argv[1]);
        return 2;
    }
    fprintf(out, "%ld.%06ld %ld.%06ld %ld\n", (long)usage.ru_utime.tv_sec,
            (long)usage.ru_utime.tv_usec, (long)usage.ru_stime.tv_sec,
            (long)usage.ru_stime.tv_usec, usage.ru_maxrss);
    if (fclose(out) != 0) {
        perror(argv[1]);
        return 2;
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return 128 + WTERMSIG(status);
}

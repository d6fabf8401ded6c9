/*
 * The iperf3 command for the camera: a small driver around Debian's static
 * libiperf (libiperf-dev), linked with static OpenSSL, SCTP and C libraries,
 * so the executable needs nothing from the camera's firmware, not even a
 * particular glibc version (Debian 12's iperf3 needs GLIBC_2.34).
 *
 * libiperf does the real work: it parses the same options as Debian's iperf3,
 * prints the same output and runs the tests. This file only sequences the
 * calls, the way the supervisor uses the command:
 *   iperf3 --server --port N --idle-timeout S [--one-off] --forceflush
 * and keeps the client role so the same binary can test the other way.
 */
/* iperf_api.h uses the fixed-width types without including their header. */
#include <stdint.h>
#include <sys/select.h>

#include <iperf_api.h>

#include <setjmp.h>
#include <stdio.h>
#include <stdlib.h>

static jmp_buf sigend_jump;

/* libiperf installs this for SIGINT, SIGTERM and SIGHUP; its own sigend
 * routine then reports the interrupted test and exits, which must not run
 * inside the signal handler's frame of a blocking libiperf call. */
static void on_sigend(int signum) {
    (void)signum;
    longjmp(sigend_jump, 1);
}

static int run_server(struct iperf_test *test) {
    for (;;) {
        const int rc = iperf_run_server(test);
        if (rc < 0) {
            iperf_err(test, "error - %s", iperf_strerror(i_errno));
            /* Below -1 the listener itself failed (port taken, no
             * permission): retrying would only repeat the error. */
            if (rc < -1) iperf_errexit(test, "exiting");
        }
        iperf_reset_test(test);
        /* A one-off server ends after its single test, or once its idle
         * timeout has passed without one. */
        if (iperf_get_test_one_off(test)) return 0;
    }
}

int main(int argc, char **argv) {
    struct iperf_test *test = iperf_new_test();
    if (test == NULL) {
        fprintf(stderr, "iperf3: cannot create a test - %s\n", iperf_strerror(i_errno));
        return EXIT_FAILURE;
    }
    iperf_defaults(test);
    if (iperf_parse_arguments(test, argc, argv) < 0) {
        iperf_err(test, "parameter error - %s", iperf_strerror(i_errno));
        fputc('\n', stderr);
        usage();
        return EXIT_FAILURE;
    }

    iperf_catch_sigend(on_sigend);
    if (setjmp(sigend_jump)) iperf_got_sigend(test);

    int status = EXIT_SUCCESS;
    if (iperf_get_test_role(test) == 's') {
        status = run_server(test);
    } else if (iperf_run_client(test) < 0) {
        iperf_errexit(test, "error - %s", iperf_strerror(i_errno));
    }
    iperf_free_test(test);
    return status;
}

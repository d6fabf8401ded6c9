/*
 * A small keep-alive HTTP load client for a Unix-domain socket: N
 * connections, each on its own thread, send one GET after another (the next
 * when the previous answer is in) for a number of seconds, and every
 * answer's latency is recorded after a warm-up. Both servers of the
 * benchmark face this same client.
 *
 * Usage: bench_load SOCKET PATH CONNECTIONS SECONDS [WARMUP_SECONDS]
 * Prints: requests=N rps=R p50_us=A p99_us=B errors=E
 */
#define _GNU_SOURCE
#include <errno.h>
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

enum { BUFFER_BYTES = 1 << 16, MAX_CONNECTIONS = 256 };

struct worker {
    pthread_t thread;
    const char *socket_path;
    const char *request;
    size_t request_len;
    double start, warm, end;
    uint32_t *latencies; /* microseconds */
    size_t count, capacity;
    long errors;
};

static double now(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

static int connect_to(const char *path) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    struct sockaddr_un addr = {.sun_family = AF_UNIX};
    strncpy(addr.sun_path, path, sizeof addr.sun_path - 1);
    if (connect(fd, (struct sockaddr *)&addr, sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

/* Reads one Content-Length framed answer; bytes of the next one stay in buf. */
static int read_answer(int fd, char *buf, size_t *have) {
    size_t head_end = 0;
    for (;;) {
        char *end = memmem(buf, *have, "\r\n\r\n", 4);
        if (end != NULL) {
            head_end = (size_t)(end - buf) + 4;
            break;
        }
        if (*have == BUFFER_BYTES) return -1;
        const ssize_t n = read(fd, buf + *have, BUFFER_BYTES - *have);
        if (n <= 0) return -1;
        *have += (size_t)n;
    }
    size_t length = 0;
    for (char *line = buf; line < buf + head_end;) {
        char *eol = memmem(line, (size_t)(buf + head_end - line), "\r\n", 2);
        if (eol == NULL) break;
        if ((size_t)(eol - line) > 15 && strncasecmp(line, "Content-Length:", 15) == 0)
            length = strtoul(line + 15, NULL, 10);
        line = eol + 2;
    }
    const size_t total = head_end + length;
    if (*have >= total) {
        memmove(buf, buf + total, *have - total);
        *have -= total;
        return 0;
    }
    /* A body larger than what is in: read the rest and drop it, never past its end. */
    size_t remaining = total - *have;
    *have = 0;
    while (remaining > 0) {
        const ssize_t n = read(fd, buf, remaining < BUFFER_BYTES ? remaining : BUFFER_BYTES);
        if (n <= 0) return -1;
        remaining -= (size_t)n;
    }
    return 0;
}

static void record(struct worker *w, double seconds) {
    if (w->count == w->capacity) {
        w->capacity = w->capacity ? w->capacity * 2 : 1 << 16;
        w->latencies = realloc(w->latencies, w->capacity * sizeof *w->latencies);
        if (w->latencies == NULL) abort();
    }
    w->latencies[w->count++] = (uint32_t)(seconds * 1e6);
}

static void *run(void *arg) {
    struct worker *w = arg;
    char *buf = malloc(BUFFER_BYTES);
    size_t have = 0;
    int fd = -1;
    while (now() < w->end) {
        if (fd < 0) {
            fd = connect_to(w->socket_path);
            have = 0;
            if (fd < 0) {
                w->errors++;
                usleep(1000);
                continue;
            }
        }
        const double sent = now();
        if (write(fd, w->request, w->request_len) != (ssize_t)w->request_len || read_answer(fd, buf, &have) != 0) {
            w->errors++;
            close(fd);
            fd = -1;
            continue;
        }
        const double done = now();
        if (sent >= w->warm) record(w, done - sent);
    }
    if (fd >= 0) close(fd);
    free(buf);
    return NULL;
}

static int by_value(const void *a, const void *b) {
    const uint32_t x = *(const uint32_t *)a, y = *(const uint32_t *)b;
    return (x > y) - (x < y);
}

int main(int argc, char **argv) {
    if (argc < 5) {
        fprintf(stderr, "usage: %s SOCKET PATH CONNECTIONS SECONDS [WARMUP_SECONDS]\n", argv[0]);
        return 2;
    }
    const int connections = atoi(argv[3]);
    const double seconds = atof(argv[4]);
    const double warmup = argc > 5 ? atof(argv[5]) : 1.0;
    if (connections < 1 || connections > MAX_CONNECTIONS || seconds <= 0) return 2;
    char request[4096];
    const int len = snprintf(request, sizeof request, "GET %s HTTP/1.1\r\nHost: localhost\r\n\r\n", argv[2]);
    static struct worker workers[MAX_CONNECTIONS];
    const double start = now();
    for (int i = 0; i < connections; ++i) {
        workers[i] = (struct worker){.socket_path = argv[1], .request = request, .request_len = (size_t)len,
                                     .start = start, .warm = start + warmup, .end = start + warmup + seconds};
        pthread_create(&workers[i].thread, NULL, run, &workers[i]);
    }
    size_t total = 0;
    long errors = 0;
    for (int i = 0; i < connections; ++i) {
        pthread_join(workers[i].thread, NULL);
        total += workers[i].count;
        errors += workers[i].errors;
    }
    uint32_t *all = malloc((total ? total : 1) * sizeof *all);
    size_t at = 0;
    for (int i = 0; i < connections; ++i) {
        memcpy(all + at, workers[i].latencies, workers[i].count * sizeof *all);
        at += workers[i].count;
        free(workers[i].latencies);
    }
    qsort(all, total, sizeof *all, by_value);
    const uint32_t p50 = total ? all[total / 2] : 0;
    const uint32_t p99 = total ? all[(size_t)((double)total * 0.99)] : 0;
    printf("requests=%zu rps=%.0f p50_us=%u p99_us=%u errors=%ld\n", total, (double)total / seconds, p50, p99,
           errors);
    free(all);
    return 0;
}

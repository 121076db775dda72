/* A Modbus TCP load client on libmodbus: THREADS connections, each reading COUNT input
 * registers from address 0 of UNIT back to back for SECONDS, every request timed.
 * Prints one line: requests, requests per second, latency p50 and p99 in ms, failed requests,
 * and the client's own CPU time per request in microseconds.
 * Usage: modbus_load HOST PORT [SECONDS [THREADS [UNIT [COUNT]]]] (10 s, 10, 1, 125) */
#include <modbus.h>

#include <errno.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <time.h>

enum { kMaxThreads = 64, kMaxSamples = 4000000 };

struct Load {
    const char* host;
    int port, unit, count;
    double seconds;
    double* samples; /* ms, kMaxSamples / threads per thread */
    size_t room, taken;
    unsigned failed;
};

static double Now(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

static void* Run(void* argument) {
    struct Load* load = argument;
    modbus_t* context = modbus_new_tcp(load->host, load->port);
    if (!context || modbus_set_slave(context, load->unit) != 0 || modbus_connect(context) != 0) {
        fprintf(stderr, "modbus_load: cannot connect: %s\n", modbus_strerror(errno));
        load->failed = 1;
        return NULL;
    }
    uint16_t registers[125];
    const double until = Now() + load->seconds;
    for (double start = Now(); start < until; start = Now()) {
        if (modbus_read_input_registers(context, 0, load->count, registers) != load->count) {
            ++load->failed;
            if (errno != EMBXGTAR && errno != EMBXGPATH) /* the connection is gone */
                break;
            continue;
        }
        if (load->taken < load->room)
            load->samples[load->taken++] = (Now() - start) * 1000;
    }
    modbus_close(context);
    modbus_free(context);
    return NULL;
}

static int Ascending(const void* a, const void* b) {
    const double x = *(const double*)a, y = *(const double*)b;
    return (x > y) - (x < y);
}

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: modbus_load HOST PORT [SECONDS [THREADS [UNIT [COUNT]]]]\n");
        return 2;
    }
    const double seconds = argc > 3 ? atof(argv[3]) : 10;
    int threads = argc > 4 ? atoi(argv[4]) : 10;
    threads = threads < 1 ? 1 : threads > kMaxThreads ? kMaxThreads : threads;
    double* samples = malloc(sizeof(double) * kMaxSamples);
    struct Load loads[kMaxThreads];
    pthread_t ids[kMaxThreads];
    for (int i = 0; i < threads; ++i) {
        loads[i] = (struct Load){argv[1],
                                 atoi(argv[2]),
                                 argc > 5 ? atoi(argv[5]) : 1,
                                 argc > 6 ? atoi(argv[6]) : 125,
                                 seconds,
                                 samples + (size_t)i * (kMaxSamples / threads),
                                 kMaxSamples / threads,
                                 0,
                                 0};
        pthread_create(&ids[i], NULL, Run, &loads[i]);
    }
    size_t total = 0;
    unsigned failed = 0;
    for (int i = 0; i < threads; ++i) {
        pthread_join(ids[i], NULL);
        memmove(samples + total, loads[i].samples, loads[i].taken * sizeof(double));
        total += loads[i].taken;
        failed += loads[i].failed;
    }
    if (total == 0) {
        fprintf(stderr, "modbus_load: no request answered\n");
        return 1;
    }
    qsort(samples, total, sizeof(double), Ascending);
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    const double cpu = (double)(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                       (double)(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    printf(
        "%zu requests, %.0f/s, p50 %.3f ms, p99 %.3f ms, %u failed, client CPU %.1f us/request\n",
        total, (double)total / seconds, samples[total / 2], samples[total * 99 / 100], failed,
        cpu * 1e6 / (double)total);
    free(samples);
    return failed ? 1 : 0;
}

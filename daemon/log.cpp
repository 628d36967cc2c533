/* log.cpp - the daemon's logger: one line per event to the log file and the console */
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <unistd.h>

#include "vorleni.h"

static time_t stime = 0; /* time of the first message: base of both stamps */
static bool stime_set = false;
static bool file_started = false; /* the run's start line is in the log file */
static int logappend = -1;        /* -1 undecided, 1 LOGAPPEND present, 0 absent */

/* make_logname builds the log file's path once: LOGDIR, a '/', the base name
 * of the daemon's invocation name and ".log". A path that does not fit the
 * 81-byte field is cut; the log then lands under the cut name. */
static void make_logname(PGLOB *pglob) {
    const char *name = pglob->my_name ? pglob->my_name : "vorlen";
    const char *slash = strrchr(name, '/');
    const char *base = (slash && slash[1] != '\0') ? slash + 1 : name;
    const char *dir = getenv("LOGDIR");
    if (dir && *dir) {
        size_t dl = strlen(dir);
        snprintf(pglob->logname, sizeof pglob->logname, "%s%s%s.log", dir,
                 dir[dl - 1] == '/' ? "" : "/", base);
    } else {
        snprintf(pglob->logname, sizeof pglob->logname, "%s.log", base);
    }
}

/* close_log closes the log file if it is open. */
void close_log() {
    PGLOB *pglob = &_pglob;
    if (pglob->logfp) fclose(pglob->logfp);
    pglob->logfp = nullptr;
}

/* _vmessage writes one line to the log file (seconds since the first message)
 * and, unless display is off, to standard output (hours:minutes:seconds).
 * It does not filter: call sites test the verbose level. A log file that
 * cannot be opened loses the line silently; the next message tries again. */
void _vmessage(const char *f, ...) {
    PGLOB *pglob = &_pglob;
    time_t t = time(nullptr);
    if (pglob->logname[0] == '\0') make_logname(pglob);
    if (logappend == -1) {
        logappend = getenv("LOGAPPEND") ? 1 : 0;
        if (logappend == 1) atexit(close_log);
    }
    if (!pglob->logfp) pglob->logfp = fopen(pglob->logname, "a");
    if (!stime_set) {
        /* The console stamp counts from the first message even when the
         * file cannot be opened. */
        stime = t;
        stime_set = true;
    }
    if (pglob->logfp) {
        if (!file_started) {
            fprintf(pglob->logfp, "Starting vorlen %s", ctime(&t));
            file_started = true;
        }
        fprintf(pglob->logfp, "%6ld: ", long(t - stime));
        va_list ap;
        va_start(ap, f);
        vfprintf(pglob->logfp, f, ap);
        va_end(ap);
        fputc('\n', pglob->logfp);
        if (logappend == 1) {
            fflush(pglob->logfp);
        } else {
            fclose(pglob->logfp);
            pglob->logfp = nullptr;
        }
    }
    if (pglob->nodisp) return;
    long d = long(t - stime);
    printf("%02ld:%02ld:%02ld: ", d / 3600, (d % 3600) / 60, d % 60);
    va_list ap;
    va_start(ap, f);
    vprintf(f, ap);
    va_end(ap);
    putchar('\n');
    /* The console is often a pipe to a supervisor; a line stuck in a buffer
     * helps nobody. */
    fflush(stdout);
}

/* dump_msg appends a hexadecimal and character dump of len bytes to the log
 * file, 16 bytes a line; a run of zero bytes to the end is one summary line.
 * It writes nothing before the first message of the run. */
void dump_msg(const unsigned char *s, int32_t len) {
    PGLOB *pglob = &_pglob;
    if (pglob->logname[0] == '\0') return;
    if (!pglob->logfp) pglob->logfp = fopen(pglob->logname, "a");
    if (!pglob->logfp) return;
    static const char hex[] = "0123456789abcdef";
    while (len > 0) {
        bool allzero = true;
        for (int32_t i = 0; i < len; i++)
            if (s[i] != 0) {
                allzero = false;
                break;
            }
        if (allzero) {
            fprintf(pglob->logfp, "%d Bytes 0\n", len);
            break;
        }
        char line[82];
        memset(line, ' ', 80);
        line[80] = '\n';
        line[81] = '\0';
        int n = len < 16 ? int(len) : 16;
        for (int k = 0; k < n; k++) {
            line[3 * k] = hex[s[k] >> 4];
            line[3 * k + 1] = hex[s[k] & 15];
            line[60 + k] = (s[k] >= 0x20 && s[k] <= 0x7E) ? char(s[k]) : '.';
        }
        fputs(line, pglob->logfp);
        s += n;
        len -= n;
    }
    fclose(pglob->logfp);
    pglob->logfp = nullptr;
}

/* append_str and append_num build the crash line without the allocator. */
static size_t append_str(char *buf, size_t at, size_t cap, const char *s) {
    while (*s && at + 1 < cap) buf[at++] = *s++;
    buf[at] = '\0';
    return at;
}

static size_t append_num(char *buf, size_t at, size_t cap, long v) {
    char tmp[24];
    int n = 0;
    bool neg = v < 0;
    unsigned long u = neg ? 0ul - (unsigned long)v : (unsigned long)v;
    do {
        tmp[n++] = char('0' + u % 10);
        u /= 10;
    } while (u && n < 22);
    if (neg) tmp[n++] = '-';
    while (n > 0 && at + 1 < cap) buf[at++] = tmp[--n];
    buf[at] = '\0';
    return at;
}

static char crash_logname[sizeof(PGLOB::logname)];

/* log_prepare_crash fixes, at start-up, the file a crash line goes to: a
 * crash may come before any message has named the log file. */
void log_prepare_crash() {
    PGLOB *pglob = &_pglob;
    char saved[sizeof pglob->logname];
    memcpy(saved, pglob->logname, sizeof saved);
    make_logname(pglob);
    memcpy(crash_logname, pglob->logname, sizeof crash_logname);
    memcpy(pglob->logname, saved, sizeof saved);
}

/* crash_message writes the shutdown line for a crashing signal with calls
 * that are safe in a signal handler: the heap may be what crashed. */
void crash_message(int sig) {
    PGLOB *pglob = &_pglob;
    char msg[160];
    size_t n = append_str(msg, 0, sizeof msg, "Vorlen shutdown with signal ");
    n = append_num(msg, n, sizeof msg, sig);
    n = append_str(msg, n, sizeof msg, "(");
    n = append_str(msg, n, sizeof msg, sigdescr_np(sig) ? sigdescr_np(sig) : "?");
    n = append_str(msg, n, sizeof msg, ")");
    time_t t = time(nullptr);
    long d = stime_set ? long(t - stime) : 0;
    const char *path = pglob->logname[0] != '\0' ? pglob->logname : crash_logname;
    if (path[0] != '\0') {
        int fd = open(path, O_WRONLY | O_APPEND | O_CREAT, 0644);
        if (fd >= 0 && !file_started) {
            /* The run's first line in the file: its start line, as always. */
            ssize_t w = write(fd, "Starting vorlen\n", 16);
            (void)w;
        }
        if (fd >= 0) {
            char line[200];
            char num[24];
            size_t k = append_num(num, 0, sizeof num, d);
            size_t m = 0;
            for (size_t pad = k; pad < 6; pad++) line[m++] = ' ';
            line[m] = '\0';
            m = append_str(line, m, sizeof line, num);
            m = append_str(line, m, sizeof line, ": ");
            m = append_str(line, m, sizeof line, msg);
            m = append_str(line, m, sizeof line, "\n");
            ssize_t w = write(fd, line, m);
            (void)w;
            close(fd);
        }
    }
    if (!pglob->nodisp) {
        char line[200];
        size_t m = 0;
        long parts[3] = {d / 3600, (d % 3600) / 60, d % 60};
        for (int i = 0; i < 3; i++) {
            if (parts[i] < 10) m = append_str(line, m, sizeof line, "0");
            m = append_num(line, m, sizeof line, parts[i]);
            m = append_str(line, m, sizeof line, i < 2 ? ":" : ": ");
        }
        m = append_str(line, m, sizeof line, msg);
        m = append_str(line, m, sizeof line, "\n");
        ssize_t w = write(1, line, m);
        (void)w;
    }
}

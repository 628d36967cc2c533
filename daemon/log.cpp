/* log.cpp - the daemon's logger: one line per event to the log file (or standard error) and the
 * console */
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include <csignal>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "vorleni.h"

static time_t stime = 0; /* time of the first message: base of both stamps */
static bool stime_set = false;
static bool file_started = false; /* the run's start line is in the log file */
static int logappend = -1;        /* -1 undecided, 1 LOGAPPEND present, 0 absent */
static int lockfd = -1;           /* holds the lock on the log file for the whole run */

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

/* How the trace lines, those of levels 7 to 9, begin: on standard error they
 * are marked as debugging. */
static const char *const trace_starts[] = {
    "read(",           "write(",          "process_message ", "global-timeout:", "searching pid ",
    "server connect",  "msgq_",           "allocated Buffer", "oitimerspec:",    "timeval:",
    "timer-interval ", "New timeout at ",
};

/* line_level is the syslog level of a line that says text: failures are
 * errors, warnings are warnings, trace lines are debugging, and the rest are
 * informational. */
static int line_level(const char *text) {
    if (strncmp(text, "Err:", 4) == 0) return 3;
    if (strncmp(text, "Warning:", 8) == 0) return 4;
    for (const char *t : trace_starts)
        if (strncmp(text, t, strlen(t)) == 0) return 7;
    return 6;
}

/* write_stderr writes a line to standard error behind its syslog level, in
 * one write, so that the lines of a supervisor's other sources do not cut
 * into it. */
static void write_stderr(int level, const char *text) {
    std::string line = "<" + std::to_string(level) + ">" + text + "\n";
    ssize_t w = write(2, line.data(), line.size());
    (void)w;
}

/* lock_log takes the lock on the log file for the run, through a descriptor
 * of its own that stays open while the lines open and close the file. It
 * returns false when another running daemon holds the lock; a file that
 * cannot be opened or locked for any other reason is left to the lines. */
static bool lock_log(PGLOB *pglob) {
    if (lockfd >= 0) close(lockfd);
    lockfd = open(pglob->logname, O_RDONLY | O_CREAT | O_CLOEXEC, 0644);
    return lockfd < 0 || flock(lockfd, LOCK_EX | LOCK_NB) == 0 || errno != EWOULDBLOCK;
}

/* warn_shared says, on standard error and in the log, that another daemon
 * logs to the same file: their lines mix, and the relative stamps of the two
 * runs cannot be told apart. The run goes on. */
static void warn_shared(PGLOB *pglob) {
    fprintf(stderr,
            "vorlen: warning: %s is locked by another running vorlen; give each daemon its own "
            "LOGDIR\n",
            pglob->logname);
    _vmessage("Warning: %s is locked by another running vorlen; give each daemon its own LOGDIR",
              pglob->logname);
}

/* log_start begins the run's log as the daemon starts, whatever the verbose
 * level, so that the stamps of the run can be placed: the log file is locked,
 * the start line gives the wall-clock time, and about follows as the run's
 * first stamped line. A log file that another daemon holds is warned about
 * and used. */
void log_start(const char *about) {
    PGLOB *pglob = &_pglob;
    time_t t = time(nullptr);
    stime = t;
    stime_set = true;
    bool mine = true;
    if (pglob->log_stderr) {
        std::string line = std::string("Starting vorlen ") + ctime(&t);
        line.pop_back(); /* ctime's newline */
        write_stderr(6, line.c_str());
        file_started = true;
    } else {
        if (pglob->logname[0] == '\0') make_logname(pglob);
        mine = lock_log(pglob);
    }
    _vmessage("%s", about);
    if (!mine) warn_shared(pglob);
}

/* log_reopen lets go of the log file, after it was moved away (by
 * logrotate), and goes on in a new one at the same path: it is locked, and
 * its first line gives the wall-clock time, so that the stamps in it can be
 * placed. Logging to standard error, there is nothing to reopen. */
void log_reopen() {
    PGLOB *pglob = &_pglob;
    if (pglob->log_stderr) return;
    close_log();
    if (pglob->logname[0] == '\0') make_logname(pglob);
    bool mine = lock_log(pglob);
    time_t t = time(nullptr);
    std::string when = ctime(&t);
    when.pop_back();
    _vmessage("Log file reopened %s", when.c_str());
    if (!mine) warn_shared(pglob);
}

/* The console: standard output, written without ever blocking. */
static int confd = -2;                /* -2 undecided, -1 given up */
static bool consock = false;          /* it is a socket: send with MSG_DONTWAIT */
static unsigned long con_dropped = 0; /* lines it could not take, not yet reported */

/* console_open decides how the console is written: a pipe or terminal through
 * a non-blocking descriptor of its own (the shared one of standard output is
 * left as it is), a socket with MSG_DONTWAIT, a file as it is. */
static void console_open() {
    struct stat st;
    confd = 1;
    if (fstat(1, &st) != 0) {
        confd = -1;
        return;
    }
    if (S_ISSOCK(st.st_mode)) {
        consock = true;
    } else if (S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode)) {
        int fd = open("/proc/self/fd/1", O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0)
            confd = fd;
        else
            fcntl(1, F_SETFL, fcntl(1, F_GETFL) | O_NONBLOCK);
    }
}

/* console_put writes line to the console, whole or not at all as far as the
 * console lets it. A console that cannot take it now loses the line, and a
 * count of lost lines goes ahead of the next line it takes; a console whose
 * reader is gone is given up for good, silently: a failure to write a line
 * is never itself a line. The SIGPIPE of a failed write is taken here, so
 * that it is not mistaken for a client's. */
static void console_put(const char *line, size_t len) {
    if (confd == -2) console_open();
    if (confd < 0) return;
    auto put = [](const char *p, size_t n) -> ssize_t {
        return consock ? send(confd, p, n, MSG_DONTWAIT | MSG_NOSIGNAL) : write(confd, p, n);
    };
    if (con_dropped > 0) {
        char note[80];
        int n = snprintf(note, sizeof note, "(%lu console lines dropped)\n", con_dropped);
        if (put(note, size_t(n)) == n) con_dropped = 0;
    }
    ssize_t w = con_dropped > 0 ? -1 : put(line, len);
    if (w < 0 && errno == EPIPE) {
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        struct timespec now = {0, 0};
        while (sigtimedwait(&pipe, nullptr, &now) == SIGPIPE) {
        }
        if (confd != 1) close(confd);
        confd = -1;
        return;
    }
    if (w != ssize_t(len)) con_dropped++;
}

void console_text(const char *text) {
    console_put(text, strlen(text));
}

/* console_fd is where a crash line goes: the console, or -1. */
static int console_fd() {
    return confd == -2 ? 1 : confd;
}

/* rate_limited tells whether an error line from the source being served must
 * be left out: past LOG_LINES_PER_SECOND in a second it is counted instead,
 * and the count is said in one line when the next second's first comes. */
static bool rate_limited(PGLOB *pglob, const char *text, time_t t) {
    LOG_RATE *r = pglob->log_rate;
    if (!r || strncmp(text, "Err:", 4) != 0) return false;
    if (r->sec != t) {
        r->sec = t;
        r->count = 0;
        if (r->suppressed > 0) {
            unsigned long n = r->suppressed;
            r->suppressed = 0;
            pglob->log_rate = nullptr; /* this line itself is not limited */
            _vmessage("Err: %lu lines of one peer suppressed", n);
            pglob->log_rate = r;
        }
    }
    if (++r->count <= LOG_LINES_PER_SECOND) return false;
    r->suppressed++;
    return true;
}

/* _vmessage writes one line to the log file (seconds since the first message)
 * and, unless display is off, to standard output (hours:minutes:seconds).
 * With log_stderr the line goes to standard error behind its syslog level
 * instead of the file. It does not filter: call sites test the verbose level.
 * A log file that cannot be opened loses the line silently; the next message
 * tries again. */
void _vmessage(const char *f, ...) {
    PGLOB *pglob = &_pglob;
    time_t t = time(nullptr);
    if (!stime_set) {
        /* The console stamp counts from the first message even when the
         * file cannot be opened. */
        stime = t;
        stime_set = true;
    }
    char buf[512];
    std::vector<char> big;
    const char *text = buf;
    va_list ap;
    va_start(ap, f);
    int n = vsnprintf(buf, sizeof buf, f, ap);
    va_end(ap);
    if (rate_limited(pglob, buf, t)) return;
    va_start(ap, f);
    n = vsnprintf(buf, sizeof buf, f, ap);
    va_end(ap);
    if (n >= int(sizeof buf)) {
        big.resize(size_t(n) + 1);
        va_start(ap, f);
        vsnprintf(big.data(), big.size(), f, ap);
        va_end(ap);
        text = big.data();
    }
    if (pglob->log_stderr) {
        char stamp[24];
        snprintf(stamp, sizeof stamp, "%6ld: ", long(t - stime));
        write_stderr(line_level(text), (std::string(stamp) + text).c_str());
    } else {
        if (pglob->logname[0] == '\0') make_logname(pglob);
        if (logappend == -1) {
            logappend = getenv("LOGAPPEND") ? 1 : 0;
            if (logappend == 1) atexit(close_log);
        }
        if (!pglob->logfp) pglob->logfp = fopen(pglob->logname, "a");
        if (pglob->logfp) {
            if (!file_started) {
                fprintf(pglob->logfp, "Starting vorlen %s", ctime(&t));
                file_started = true;
            }
            fprintf(pglob->logfp, "%6ld: %s\n", long(t - stime), text);
            if (logappend == 1) {
                fflush(pglob->logfp);
            } else {
                fclose(pglob->logfp);
                pglob->logfp = nullptr;
            }
        }
    }
    if (pglob->nodisp) return;
    long d = long(t - stime);
    /* The console is often a pipe to a supervisor: a line goes out whole at
     * once, or is dropped, never left in a buffer nor waited for. */
    char stamp[32];
    snprintf(stamp, sizeof stamp, "%02ld:%02ld:%02ld: ", d / 3600, (d % 3600) / 60, d % 60);
    std::string line = std::string(stamp) + text + "\n";
    console_put(line.data(), line.size());
}

/* dump_msg appends a hexadecimal and character dump of len bytes to the log
 * file, 16 bytes a line; a run of zero bytes to the end is one summary line.
 * It writes nothing before the first message of the run. Logging to standard
 * error, the lines go there as debugging. */
void dump_msg(const unsigned char *s, int32_t len) {
    PGLOB *pglob = &_pglob;
    bool to_stderr = pglob->log_stderr;
    if (to_stderr ? !stime_set : pglob->logname[0] == '\0') return;
    if (!to_stderr && !pglob->logfp) pglob->logfp = fopen(pglob->logname, "a");
    if (!to_stderr && !pglob->logfp) return;
    auto put = [&](const char *line) {
        if (to_stderr)
            write_stderr(7, line);
        else
            fprintf(pglob->logfp, "%s\n", line);
    };
    static const char hex[] = "0123456789abcdef";
    while (len > 0) {
        bool allzero = true;
        for (int32_t i = 0; i < len; i++)
            if (s[i] != 0) {
                allzero = false;
                break;
            }
        if (allzero) {
            char summary[32];
            snprintf(summary, sizeof summary, "%d Bytes 0", len);
            put(summary);
            break;
        }
        char line[81];
        memset(line, ' ', 80);
        line[80] = '\0';
        int n = len < 16 ? int(len) : 16;
        for (int k = 0; k < n; k++) {
            line[3 * k] = hex[s[k] >> 4];
            line[3 * k + 1] = hex[s[k] & 15];
            line[60 + k] = (s[k] >= 0x20 && s[k] <= 0x7E) ? char(s[k]) : '.';
        }
        put(line);
        s += n;
        len -= n;
    }
    if (to_stderr) return;
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
    /* The stamped line of the file; on standard error behind the level of
     * a critical condition. */
    char logline[200];
    size_t lm = append_str(logline, 0, sizeof logline, "<2>");
    char num[24];
    size_t k = append_num(num, 0, sizeof num, d);
    for (size_t pad = k; pad < 6; pad++) lm = append_str(logline, lm, sizeof logline, " ");
    lm = append_str(logline, lm, sizeof logline, num);
    lm = append_str(logline, lm, sizeof logline, ": ");
    lm = append_str(logline, lm, sizeof logline, msg);
    lm = append_str(logline, lm, sizeof logline, "\n");
    const char *path = pglob->logname[0] != '\0' ? pglob->logname : crash_logname;
    if (pglob->log_stderr) {
        ssize_t w = write(2, logline, lm);
        (void)w;
    } else if (path[0] != '\0') {
        int fd = open(path, O_WRONLY | O_APPEND | O_CREAT, 0644);
        if (fd >= 0 && !file_started) {
            /* The run's first line in the file: its start line, as always. */
            ssize_t w = write(fd, "Starting vorlen\n", 16);
            (void)w;
        }
        if (fd >= 0) {
            ssize_t w = write(fd, logline + 3, lm - 3);
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
        int fd = console_fd();
        if (fd >= 0) {
            ssize_t w = write(fd, line, m);
            (void)w;
        }
    }
}

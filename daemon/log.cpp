/* log.cpp - the daemon's logger: one line per event to the log file (or standard error) and the
 * console */
#include <cerrno>
#include <climits>
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
 * of the daemon's invocation name and ".log". It cannot fail: the path is
 * used whole, however long; a path the kernel refuses fails at the open. */
static void make_logname(PGLOB *pglob) {
    const char *name = pglob->my_name ? pglob->my_name : "vorlen";
    const char *slash = strrchr(name, '/');
    const char *base = (slash && slash[1] != '\0') ? slash + 1 : name;
    const char *dir = getenv("LOGDIR");
    pglob->logname.clear();
    if (dir && *dir) {
        pglob->logname = dir;
        if (pglob->logname.back() != '/') pglob->logname += '/';
    }
    pglob->logname += std::string(base) + ".log";
}

static ssize_t log_write_real(int fd, const void *p, size_t n) {
    return write(fd, p, n);
}
ssize_t (*log_write)(int fd, const void *p, size_t n) = log_write_real;

/* open_log opens the log file at path with flags (O_RDONLY for the lock,
 * O_WRONLY | O_APPEND for the lines), creating it, only as a regular file and
 * never through a symbolic link: in a directory others can write to, a link
 * put where the log goes must not make the daemon append to a file of the
 * link's choosing. Returns the descriptor, or -1 with *why saying what is at
 * path or what failed. */
static int open_log(const std::string &path, int flags, const char **why) {
    /* O_NONBLOCK: a FIFO at the path must not hold the open. */
    int fd = open(path.c_str(), flags | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    struct stat st;
    if (fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) return fd;
    /* A FIFO without a reader refuses a non-blocking open for writing. */
    if (fd >= 0 || errno == ENXIO) {
        if (fd >= 0) close(fd);
        *why = "not a regular file";
    } else {
        *why = errno == ELOOP ? "a symbolic link, which is not followed" : strerror(errno);
    }
    return -1;
}

static int logfd = -1; /* the log file while a line is written, or for the run with LOGAPPEND */

/* close_log closes the log file if it is open. */
void close_log() {
    if (logfd >= 0) close(logfd);
    logfd = -1;
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
 * returns 1 when the lock is the daemon's, 0 when another running daemon
 * holds it, and -1, with *why, when the file cannot be opened. */
static int lock_log(PGLOB *pglob, const char **why) {
    if (lockfd >= 0) close(lockfd);
    lockfd = open_log(pglob->logname, O_RDONLY, why);
    if (lockfd < 0) return -1;
    return flock(lockfd, LOCK_EX | LOCK_NB) == 0 || errno != EWOULDBLOCK ? 1 : 0;
}

/* warn_shared says, on standard error and in the log, that another daemon
 * logs to the same file: their lines mix, and the relative stamps of the two
 * runs cannot be told apart. The run goes on. */
static void warn_shared(PGLOB *pglob) {
    fprintf(stderr,
            "vorlen: warning: %s is locked by another running vorlen; give each daemon its own "
            "LOGDIR\n",
            pglob->logname.c_str());
    vlog(LV_WARNING,
         "Warning: %s is locked by another running vorlen; give each daemon its own LOGDIR",
         pglob->logname.c_str());
}

/* log_start begins the run's log as the daemon starts, whatever the verbose
 * level, so that the stamps of the run can be placed: the log file is locked,
 * the start line gives the wall-clock time, and about follows as the run's
 * first stamped line. A log file that another daemon holds is warned about
 * and used. One that cannot be opened for appending ends the daemon with
 * status 1 and a message on standard error that names it: a daemon that
 * serves without a word anywhere hides every failure. */
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
        if (pglob->logname.empty()) make_logname(pglob);
        const char *why = nullptr;
        int locked = lock_log(pglob, &why);
        close_log();
        if (locked >= 0) logfd = open_log(pglob->logname, O_WRONLY | O_APPEND, &why);
        if (logfd < 0) {
            fprintf(stderr, "vorlen: cannot open the log %s: %s\n", pglob->logname.c_str(), why);
            exit(1);
        }
        mine = locked == 1;
    }
    vlog(LV_ALWAYS, "%s", about);
    if (!mine) warn_shared(pglob);
}

/* log_reopen lets go of the log file, after it was moved away (by
 * logrotate), and goes on in a new one at the same path: it is locked, and
 * its first line gives the wall-clock time, so that the stamps in it can be
 * placed. Logging to standard error, there is nothing to reopen. A file
 * that cannot be opened is reported as a failed write is. */
void log_reopen() {
    PGLOB *pglob = &_pglob;
    if (pglob->log_stderr) return;
    close_log();
    if (pglob->logname.empty()) make_logname(pglob);
    const char *why = nullptr;
    bool mine = lock_log(pglob, &why) != 0;
    time_t t = time(nullptr);
    std::string when = ctime(&t);
    when.pop_back();
    vlog(LV_ALWAYS, "Log file reopened %s", when.c_str());
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
static bool rate_limited(PGLOB *pglob, LOG_LEVEL level, time_t t) {
    LOG_RATE *r = pglob->log_rate;
    if (!r || level.severity > LV_ERROR.severity) return false;
    if (r->sec != t) {
        r->sec = t;
        r->count = 0;
        if (r->suppressed > 0) {
            unsigned long n = r->suppressed;
            r->suppressed = 0;
            pglob->log_rate = nullptr; /* this line itself is not limited */
            vlog(LV_ERROR, "Err: %lu lines of one peer suppressed", n);
            pglob->log_rate = r;
        }
    }
    if (++r->count <= LOG_LINES_PER_SECOND) return false;
    r->suppressed++;
    pglob->stats.log_rate_limited++;
    return true;
}

/* The end of a line that a short write cut, written ahead of the next
 * lines so that the cut one is completed, never glued to another. */
static std::string log_carry;
static bool log_failing = false;        /* the last write failed: said once on standard error */
static uint64_t log_dropped_before = 0; /* lines lost before the failure under way */

/* log_put appends text, whole lines, to the open log file with one write,
 * behind what a cut line still lacks; the run's start line goes ahead of the
 * first. A short write is tried on at once; what still cannot go keeps only
 * the rest of the line it cut, and the lines after it are dropped. A failure
 * is counted and said on standard error once, and again once writing works;
 * a failure to write a line is never itself a line. */
static void log_put(PGLOB *pglob, const std::string &text, const char *open_why = nullptr) {
    std::string all = log_carry;
    if (!file_started) {
        time_t t = stime;
        all += std::string("Starting vorlen ") + ctime(&t);
    }
    const size_t head = all.size(); /* where text begins */
    all += text;
    size_t done = 0;
    int err = 0;
    while (logfd >= 0 && done < all.size()) {
        ssize_t w = log_write(logfd, all.data() + done, all.size() - done);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            err = w < 0 ? errno : ENOSPC;
            break;
        }
        done += size_t(w);
    }
    if (done > 0) file_started = true;
    if (done == all.size()) {
        log_carry.clear();
        if (log_failing)
            fprintf(stderr, "vorlen: the log %s is written again; %llu lines were dropped\n",
                    pglob->logname.c_str(),
                    (unsigned long long)(pglob->stats.log_dropped - log_dropped_before));
        log_failing = false;
        return;
    }
    if (!log_failing) log_dropped_before = pglob->stats.log_dropped;
    /* Keep the rest of the line the write cut; the whole lines after it are lost. */
    size_t from = head;
    if (done > 0 && done <= head) {
        log_carry = all.substr(done, head - done);
    } else if (done > head && all[done - 1] == '\n') {
        log_carry.clear();
        from = done;
    } else if (done > head) {
        size_t nl = all.find('\n', done); /* text ends with one */
        log_carry = all.substr(done, nl - done + 1);
        from = nl + 1;
    }
    for (size_t i = from; i < all.size(); i++)
        if (all[i] == '\n') pglob->stats.log_dropped++;
    if (!log_failing)
        fprintf(stderr, "vorlen: cannot write the log %s: %s; lines are dropped\n",
                pglob->logname.c_str(), open_why ? open_why : strerror(err));
    log_failing = true;
}

/* log_file_text writes text, whole lines, to the log file: opened for it
 * and closed after it, or kept open for the run with LOGAPPEND. */
static void log_file_text(PGLOB *pglob, const std::string &text) {
    if (pglob->logname.empty()) make_logname(pglob);
    if (logappend == -1) {
        logappend = getenv("LOGAPPEND") ? 1 : 0;
        if (logappend == 1) atexit(close_log);
    }
    const char *why = nullptr;
    if (logfd < 0) logfd = open_log(pglob->logname, O_WRONLY | O_APPEND, &why);
    log_put(pglob, text, logfd < 0 ? why : nullptr);
    if (logappend != 1) close_log();
}

/* log_line writes the line of vlog, which has filtered it. A line the log
 * file cannot take is lost and counted (see log_put); the next line tries
 * again. */
void log_line(LOG_LEVEL level, const char *f, ...) {
    PGLOB *pglob = &_pglob;
    time_t t = time(nullptr);
    if (!stime_set) {
        /* The console stamp counts from the first message even when the
         * file cannot be opened. */
        stime = t;
        stime_set = true;
    }
    if (rate_limited(pglob, level, t)) return;
    char buf[512];
    std::vector<char> big;
    const char *text = buf;
    va_list ap;
    va_start(ap, f);
    int n = vsnprintf(buf, sizeof buf, f, ap);
    va_end(ap);
    if (n >= int(sizeof buf)) {
        big.resize(size_t(n) + 1);
        va_start(ap, f);
        vsnprintf(big.data(), big.size(), f, ap);
        va_end(ap);
        text = big.data();
    }
    char stamp[24];
    snprintf(stamp, sizeof stamp, "%6ld: ", long(t - stime));
    if (pglob->log_stderr)
        write_stderr(level.severity, (std::string(stamp) + text).c_str());
    else
        log_file_text(pglob, std::string(stamp) + text + "\n");
    if (pglob->nodisp) return;
    long d = long(t - stime);
    /* The console is often a pipe to a supervisor: a line goes out whole at
     * once, or is dropped, never left in a buffer nor waited for. */
    char cstamp[32];
    snprintf(cstamp, sizeof cstamp, "%02ld:%02ld:%02ld: ", d / 3600, (d % 3600) / 60, d % 60);
    std::string line = std::string(cstamp) + text + "\n";
    console_put(line.data(), line.size());
}

/* dump_msg appends a hexadecimal and character dump of len bytes to the log
 * file, 16 bytes a line; a run of zero bytes to the end is one summary line.
 * It writes nothing before the first message of the run. Logging to standard
 * error, the lines go there as debugging. */
void dump_msg(const unsigned char *s, int32_t len) {
    PGLOB *pglob = &_pglob;
    bool to_stderr = pglob->log_stderr;
    if (to_stderr ? !stime_set : pglob->logname.empty()) return;
    std::string lines;
    auto put = [&](const char *line) {
        if (to_stderr)
            write_stderr(7, line);
        else
            lines += std::string(line) + "\n";
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
    if (!to_stderr && !lines.empty()) log_file_text(pglob, lines);
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

/* The log file's path for a crash line, fixed at start: a signal handler may
 * not build it. A path longer than the kernel opens is left empty. */
static char crash_logname[PATH_MAX];

/* log_prepare_crash fixes, at start-up, the file a crash line goes to: a
 * crash may come before any message has named the log file. */
void log_prepare_crash() {
    PGLOB *pglob = &_pglob;
    if (pglob->logname.empty()) make_logname(pglob);
    crash_logname[0] = '\0';
    if (pglob->logname.size() < sizeof crash_logname)
        memcpy(crash_logname, pglob->logname.c_str(), pglob->logname.size() + 1);
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
    const char *path = crash_logname;
    if (pglob->log_stderr) {
        ssize_t w = write(2, logline, lm);
        (void)w;
    } else if (path[0] != '\0') {
        int fd =
            open(path, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
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

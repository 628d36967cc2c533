/* util.cpp - the QNX 4 C-library utilities that ported programs expect to find */
#include "vorlen.h"

#include "qnx/sys/sched.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <sys/resource.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <unistd.h>

/* The working buffers of qnx_fullpath: allocated on first use, kept for the
 * life of the process. */
static char *pt; /* the path being taken apart */
static char *ap; /* the working directory to return to */

extern "C" {

/* qnx_fullpath puts the absolute form of path into fullpath (PATH_MAX bytes)
 * and returns it. The directory part is resolved by changing into it, so
 * symbolic links and "." and ".." vanish there; the last component is appended
 * as given and need not exist. The working directory is the same afterwards.
 * Fails with null when the buffers cannot be allocated, the working directory
 * cannot be read, the directory part cannot be entered (including a path whose
 * only '/' is its first character: its directory part is empty), or the result
 * would not fit PATH_MAX bytes (errno ENAMETOOLONG), or the way back into the
 * saved working directory is gone. */
char *qnx_fullpath(char *fullpath, const char *path) {
    if (!pt) pt = static_cast<char *>(malloc(PATH_MAX));
    if (!ap) ap = static_cast<char *>(malloc(PATH_MAX));
    if (!pt || !ap) return nullptr;

    ap[0] = '\0';
    if (!getcwd(ap, PATH_MAX)) return nullptr;

    if (strlen(path) >= PATH_MAX) {
        errno = ENAMETOOLONG;
        return nullptr;
    }
    strcpy(pt, path);

    if (char *slash = strrchr(pt, '/')) {
        *slash = '\0';
        if (chdir(pt) != 0) return nullptr;
        memmove(pt, slash + 1, strlen(slash + 1) + 1);
    }

    bool ok = getcwd(fullpath, PATH_MAX) != nullptr;
    if (ok) {
        size_t have = strlen(fullpath);
        if (have + 1 + strlen(pt) >= PATH_MAX) {
            errno = ENAMETOOLONG;
            ok = false;
        } else {
            fullpath[have] = '/';
            strcpy(fullpath + have + 1, pt);
        }
    }
    /* A caller handed a path while standing somewhere else would be misled. */
    if (chdir(ap) != 0) return nullptr;
    return ok ? fullpath : nullptr;
}

/* check_prunning returns 1 when a process with id pid exists (its /proc entry
 * is there), else 0; a pid of 0 or below never names a process. */
int check_prunning(pid_t pid) {
    if (pid <= 0) return 0;
    char path[32]; /* "/proc/" and any 32-bit pid, with room to spare */
    snprintf(path, sizeof path, "/proc/%d", static_cast<int>(pid));
    return access(path, F_OK) == 0 ? 1 : 0;
}

/* qnx_display_msg writes text to standard error as it stands, without adding
 * a line end. It cannot fail visibly; a null text writes nothing. */
void qnx_display_msg(const char *text) {
    if (text) fprintf(stderr, "%s", text);
}

/* strnicmp compares at most n characters of p1 and p2 without regard to case,
 * each taken as an unsigned byte, and returns -1, 0 or 1. A negative n only
 * stops the comparison where the shorter string ends. It cannot fail. */
int strnicmp(const char *p1, const char *p2, int n) {
    auto up = [](const char *p) { return toupper(static_cast<unsigned char>(*p)); };
    while (*p1 && *p2) {
        if (n == 0) return 0;
        if (up(p1) < up(p2)) return -1;
        if (up(p1) > up(p2)) return 1;
        p1++;
        p2++;
        n--;
    }
    if (n <= 0) return 0;
    if (up(p1) < up(p2)) return -1;
    if (up(p1) > up(p2)) return 1;
    return 0;
}

/* filelength returns the size in bytes of the file open on fd, or -1 when fd
 * cannot be queried (errno from fstat). */
long filelength(int fd) {
    struct stat st;
    if (fstat(fd, &st) != 0) return -1;
    return static_cast<long>(st.st_size);
}

/* strlwr lowers the case of s in place and returns s. It cannot fail. */
char *strlwr(char *s) {
    for (char *p = s; *p; p++) *p = static_cast<char>(tolower(static_cast<unsigned char>(*p)));
    return s;
}

/* strupr raises the case of s in place and returns s. It cannot fail. */
char *strupr(char *s) {
    for (char *p = s; *p; p++) *p = static_cast<char>(toupper(static_cast<unsigned char>(*p)));
    return s;
}

/* delay waits msec milliseconds. A signal that arrives meanwhile ends the wait
 * early, as it does on QNX; nothing is reported. */
void delay(unsigned msec) {
    struct timeval tv;
    tv.tv_sec = static_cast<time_t>(msec / 1000);
    tv.tv_usec = static_cast<suseconds_t>((msec % 1000) * 1000);
    select(0, nullptr, nullptr, nullptr, &tv);
}

/* atoh returns the value of the hexadecimal digits at the start of in; the
 * first other character ends them (so no sign, prefix or blank is taken), and
 * digits beyond the eighth push the first ones out. It cannot fail: no digits
 * give 0. */
int atoh(const char *in) {
    unsigned value = 0; /* unsigned, so that pushing digits out is defined */
    for (; *in; in++) {
        int c = toupper(static_cast<unsigned char>(*in));
        unsigned d;
        if (c >= '0' && c <= '9')
            d = static_cast<unsigned>(c - '0');
        else if (c >= 'A' && c <= 'F')
            d = static_cast<unsigned>(c - 'A' + 10);
        else
            break;
        value = (value << 4) + d;
    }
    return static_cast<int>(value);
}

/* setprio sets the nice value of process pid (0: the caller) to 10 - value,
 * the QNX priority value mapped onto Linux niceness, and returns the nice
 * value the process had before, or 0 when that could not be read. Failing to
 * set it (no such process, no privilege to lower it) goes unreported. */
int setprio(pid_t pid, int value) {
    errno = 0;
    /* getpriority may legitimately return -1, so only errno tells failure. */
    int old = getpriority(PRIO_PROCESS, static_cast<id_t>(pid));
    if (errno != 0) old = 0;
    setpriority(PRIO_PROCESS, static_cast<id_t>(pid), 10 - value);
    return old;
}

/* getprio gives the QNX priority of process pid (0: the caller), the
 * inverse of setprio's mapping, at least 1. Fails with -1 and errno ESRCH
 * when there is no such process. */
int getprio(pid_t pid) {
    errno = 0;
    /* getpriority may legitimately return -1, so only errno tells failure. */
    int nice = getpriority(PRIO_PROCESS, static_cast<id_t>(pid));
    if (errno != 0) return -1;
    return nice >= 9 ? 1 : 10 - nice;
}

/* itoa writes sval in base (2 to 36; 0 means 10) to dest and returns dest.
 * Only base 10 has a sign; in every other base the 32 bits are converted as
 * an unsigned number. Any other base is taken as 10, since a base of 1 would
 * never end and one above 36 would run past 'Z'. dest must hold 34 bytes for
 * base 2. It cannot fail. */
char *itoa(int sval, char *dest, int base) {
    if (base < 2 || base > 36) base = 10;
    char *p = dest;
    unsigned value = static_cast<unsigned>(sval);
    if (base == 10 && sval < 0) {
        *p++ = '-';
        value = 0u - value; /* the magnitude, also of INT_MIN */
    }
    char *digits = p;
    do {
        unsigned d = value % static_cast<unsigned>(base);
        *p++ = static_cast<char>(d <= 9 ? '0' + d : 'A' + d - 10);
        value /= static_cast<unsigned>(base);
    } while (value != 0);
    *p = '\0';
    for (char *l = digits, *r = p - 1; l < r; l++, r--) {
        char t = *l;
        *l = *r;
        *r = t;
    }
    return dest;
}

/* max and min are for the programs of vorlen.h, which declares them; a QNX 4
 * program has Watcom's macros instead and may have a global of that name
 * (`int max = 1024 * 1024;`). They are weak, so that such a global takes the
 * name at link time instead of clashing with them; the library never calls
 * them itself. */

/* max returns the larger of a and b, compared signed; a when they are equal. */
VORLEN_EXPORT __attribute__((weak)) int(max)(int a, int b) {
    return a >= b ? a : b;
}

/* min returns the smaller of a and b, compared signed; a when they are equal. */
VORLEN_EXPORT __attribute__((weak)) int(min)(int a, int b) {
    return a <= b ? a : b;
}

} /* extern "C" */

/* qnxterm.cpp - QNX 4's terminal library (<sys/qnxterm.h>) on the host's terminfo database */
/* Kept out of vorlenlib, in a library of its own, so that only programs
 * that draw on terminals link ncurses' libtinfo. The codes come from the
 * entry TERM names; nothing here knows a terminal's escape sequences. */
#include "qnx/sys/qnxterm.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <unistd.h>

#include <curses.h>
#include <term.h>

struct _term_state term_state = {0, 0, 0, 0, TERM_NORMAL, 0};

/* The terminal term_load loaded (none before), and the output gathered for
 * term_flush. */
static bool loaded = false;
static std::string pending;

/* gather is tputs's output function: it appends one byte. */
static int gather(int c) {
    pending.push_back(static_cast<char>(c));
    return c;
}

/* capability gives terminfo string capability name, or null when the
 * terminal has none. */
static const char *capability(const char *name) {
    char *s = tigetstr(name);
    return s == nullptr || s == reinterpret_cast<char *>(-1) ? nullptr : s;
}

/* emit appends capability name, filled in with up to two numbers. Returns
 * false when the terminal has no such capability. */
static bool emit(const char *name, int p1 = 0, int p2 = 0, int params = 0) {
    const char *s = capability(name);
    if (!s) return false;
    const char *filled = params == 0 ? s : params == 1 ? tiparm(s, p1) : tiparm(s, p1, p2);
    if (!filled) return false;
    tputs(filled, 1, gather);
    return true;
}

/* ready tells whether a terminal is loaded, setting errno EINVAL when not. */
static bool ready() {
    if (!loaded) errno = EINVAL;
    return loaded;
}

/* apply_attr makes attr the attributes in force. */
static void apply_attr(unsigned attr) {
    emit("sgr0");
    if (attr & TERM_BOLD) emit("bold");
    if (attr & TERM_INVERSE) emit("rev");
    if (attr & TERM_UNDERLINE) emit("smul");
    if (attr & TERM_BLINK) emit("blink");
    if (term_state.color) {
        if (attr & 0x0F00) emit("setaf", int((attr >> 8) & 0xF) - 1, 0, 1);
        if (attr & 0xF000) emit("setab", int((attr >> 12) & 0xF) - 1, 0, 1);
    }
    term_state.attr = attr;
}

/* put writes the n bytes at str at row, col (-1: where the cursor is) with
 * attr. Returns n, or -1 with errno as term_cur fails. */
static int put(int row, int col, const char *str, size_t n, unsigned attr) {
    if (!ready()) return -1;
    if (row != -1 && term_cur(row, col) != 0) return -1;
    const unsigned before = term_state.attr;
    if (attr != before) apply_attr(attr);
    pending.append(str, n);
    if (attr != before) apply_attr(before);
    term_state.col += static_cast<int>(n);
    return static_cast<int>(n);
}

extern "C" {

int term_load(void) {
    const char *term = getenv("TERM");
    int err = 0;
    if (!term || !*term) {
        errno = ENOENT;
        return -1;
    }
    if (setupterm(term, STDOUT_FILENO, &err) != OK) {
        errno = err == 0 ? ENOENT : EINVAL;
        return -1;
    }
    loaded = true;
    pending.clear();
    term_state.num_rows = tigetnum("lines") > 0 ? tigetnum("lines") : 24;
    term_state.num_cols = tigetnum("cols") > 0 ? tigetnum("cols") : 80;
    term_state.row = term_state.col = 0;
    term_state.attr = TERM_NORMAL;
    term_state.color = tigetnum("colors") >= 8 ? 1 : 0;
    return 0;
}

int term_cur(int row, int col) {
    if (!ready()) return -1;
    if (row < 0 || col < 0 || row >= term_state.num_rows || col >= term_state.num_cols) {
        errno = EINVAL;
        return -1;
    }
    if (!emit("cup", row, col, 2)) {
        errno = ENOSYS;
        return -1;
    }
    term_state.row = row;
    term_state.col = col;
    return 0;
}

int term_clear(int type) {
    if (!ready()) return -1;
    const char *name = type == TERM_CLS_SCR   ? "clear"
                       : type == TERM_CLS_EOL ? "el"
                       : type == TERM_CLS_EOS ? "ed"
                                              : nullptr;
    if (!name) {
        errno = EINVAL;
        return -1;
    }
    if (!emit(name)) {
        errno = ENOSYS;
        return -1;
    }
    if (type == TERM_CLS_SCR) term_state.row = term_state.col = 0;
    return 0;
}

int term_color(unsigned attr) {
    if (!ready()) return -1;
    apply_attr(attr);
    return 0;
}

int term_type(int row, int col, const char *str, int len, unsigned attr) {
    if (!str || len < 0) {
        errno = EINVAL;
        return -1;
    }
    return put(row, col, str, len == 0 ? strlen(str) : static_cast<size_t>(len), attr);
}

int term_printf(int row, int col, unsigned attr, const char *format, ...) {
    char text[1024];
    va_list ap;
    va_start(ap, format);
    int n = vsnprintf(text, sizeof text, format, ap);
    va_end(ap);
    if (n < 0) return -1;
    return put(row, col, text, std::min(static_cast<size_t>(n), sizeof text - 1), attr);
}

int term_flush(void) {
    size_t done = 0;
    while (done < pending.size()) {
        ssize_t w = write(STDOUT_FILENO, pending.data() + done, pending.size() - done);
        if (w < 0 && errno == EINTR) continue;
        if (w < 0) return -1;
        done += static_cast<size_t>(w);
    }
    pending.clear();
    return 0;
}

void term_restore(void) {
    if (!loaded) return;
    emit("sgr0");
    term_state.attr = TERM_NORMAL;
    term_flush();
    loaded = false;
}

} // extern "C"

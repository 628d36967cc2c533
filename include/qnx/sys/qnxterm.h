/* sys/qnxterm.h - QNX 4's terminal library: term_load, term_printf, term_type, term_flush, ... */
/* The calls draw on the terminal of standard output with the host's
 * terminfo database (ncurses' libtinfo): what TERM names is what the codes
 * are for. Output is gathered in the library's buffer until term_flush. The
 * attribute bits and the layout of term_state are our own; link with
 * vorlen-qnxterm (pkg-config) or vorlen::qnxterm (CMake). */
#ifndef VORLEN_QNX_SYS_QNXTERM_H
#define VORLEN_QNX_SYS_QNXTERM_H

#include "../vorlen_export.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Attributes of term_printf, term_type and term_color: any of the modes,
 * with at most one foreground and one background colour. */
#define TERM_NORMAL 0x0000
#define TERM_BOLD 0x0001
#define TERM_HILIGHT TERM_BOLD
#define TERM_INVERSE 0x0002
#define TERM_UNDERLINE 0x0004
#define TERM_BLINK 0x0008
#define TERM_BLACK 0x0100 /* foregrounds: TERM_BLACK + the colour's number */
#define TERM_RED 0x0200
#define TERM_GREEN 0x0300
#define TERM_YELLOW 0x0400
#define TERM_BLUE 0x0500
#define TERM_MAGENTA 0x0600
#define TERM_CYAN 0x0700
#define TERM_WHITE 0x0800
#define TERM_BLACK_BG 0x1000 /* backgrounds: the same in the next four bits */
#define TERM_RED_BG 0x2000
#define TERM_GREEN_BG 0x3000
#define TERM_YELLOW_BG 0x4000
#define TERM_BLUE_BG 0x5000
#define TERM_MAGENTA_BG 0x6000
#define TERM_CYAN_BG 0x7000
#define TERM_WHITE_BG 0x8000

/* What term_clear clears. */
#define TERM_CLS_SCR 0 /* the screen; the cursor goes home */
#define TERM_CLS_EOL 1 /* from the cursor to the end of its line */
#define TERM_CLS_EOS 2 /* from the cursor to the end of the screen */

/* The terminal as term_load found it, and where the library left the
 * cursor. */
struct _term_state {
    int num_rows; /* lines of the terminal */
    int num_cols; /* columns */
    int row;      /* the cursor, counted from 0 */
    int col;
    unsigned attr; /* the attributes in force */
    int color;     /* 1 when the terminal has colours */
};
VORLEN_EXPORT extern struct _term_state term_state;

/* term_load reads the terminfo entry of TERM for standard output and fills
 * term_state. Returns 0, or -1 with errno: ENOENT (TERM is unset, or names
 * no terminal the database knows), EINVAL (the database cannot be read). */
VORLEN_EXPORT int term_load(void);

/* term_cur moves the cursor to row, col (from 0). term_clear clears as
 * TERM_CLS_* says. term_color makes attr the attributes of what follows.
 * They return 0, or -1 with errno: EINVAL (no terminal loaded, or a place off
 * the screen), ENOSYS (the terminal cannot do it). */
VORLEN_EXPORT int term_cur(int row, int col);
VORLEN_EXPORT int term_clear(int type);
VORLEN_EXPORT int term_color(unsigned attr);

/* term_type writes len bytes of str (all of it, up to its zero, when len is
 * 0) at row, col with attr, then leaves the attributes as they were; a row of
 * -1 writes where the cursor is. term_printf writes the printf-formatted
 * text likewise. They return the number of bytes written, or -1 with errno
 * as term_cur fails. */
VORLEN_EXPORT int term_type(int row, int col, const char *str, int len, unsigned attr);
VORLEN_EXPORT int term_printf(int row, int col, unsigned attr, const char *format, ...);

/* term_flush writes what the calls gathered to standard output. Returns 0,
 * or -1 with errno of write. */
VORLEN_EXPORT int term_flush(void);

/* term_restore puts the terminal's attributes back to normal, flushes, and
 * forgets the terminal: term_load must come again before more output. */
VORLEN_EXPORT void term_restore(void);

#ifdef __cplusplus
}
#endif

#endif /* VORLEN_QNX_SYS_QNXTERM_H */

/* env.h - the Watcom C header of QNX 4 programs for the environment: environ, setenv, searchenv */
/* The host declares setenv, unsetenv and clearenv in <stdlib.h> only when
 * the program asks for POSIX or GNU; this header declares them for C in any
 * mode (C++ always has them). putenv keeps the host's declaration, which
 * takes char *, where Watcom's took const char *. */
#ifndef VORLEN_QNX_ENV_H
#define VORLEN_QNX_ENV_H

#include <stdlib.h>
#include "../vorlen_export.h"

#ifdef __cplusplus
extern "C" {
#endif

extern char **environ;

#ifndef __cplusplus
int setenv(const char *name, const char *value, int overwrite);
int unsetenv(const char *name);
int clearenv(void);
#endif

/* searchenv looks for file name in the working directory, then in each
 * directory of the list in environment variable env_var (separated by ':';
 * an empty entry is the working directory), and puts the absolute path of
 * the first that exists into buffer (PATH_MAX bytes). When there is none,
 * or its path would not fit, buffer holds an empty string. */
VORLEN_EXPORT void searchenv(const char *name, const char *env_var, char *buffer);

#ifdef __cplusplus
}
#endif

#endif /* VORLEN_QNX_ENV_H */

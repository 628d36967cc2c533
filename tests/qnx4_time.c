/* qnx4_time.c - a QNX 4 program that includes only <time.h> and <signal.h> and uses POSIX timers */
/* QNX 4's timer_create(clock_id, evp) returns the timer id; the program
 * arms it for 10 ms, waits for its SIGALRM, and exits 0 when everything
 * behaved as under QNX 4 (else the number of the step that did not). */
#include <signal.h>
#include <time.h>

static volatile sig_atomic_t fired = 0;

static void on_alarm(int sig) {
    (void)sig;
    fired++;
}

int main(void) {
    static struct sigevent ev;
    static struct itimerspec value, left;
    static struct sigaction sa;
    sigset_t alarm_only, old;
    timer_t id;

    sigemptyset(&alarm_only);
    sigaddset(&alarm_only, SIGALRM);
    sigprocmask(SIG_BLOCK, &alarm_only, &old);
    sa.sa_handler = on_alarm;
    sigemptyset(&sa.sa_mask);
    if (sigaction(SIGALRM, &sa, NULL) != 0) return 1;

    ev.sigev_signo = SIGALRM;
    id = timer_create(CLOCK_REALTIME, &ev);
    if (id <= 0) return 2;
    value.it_value.tv_nsec = 10000000;
    if (timer_settime(id, 0, &value, NULL) != 0) return 3;
    while (!fired) sigsuspend(&old);
    if (timer_gettime(id, &left) != 0 || left.it_value.tv_sec != 0 || left.it_value.tv_nsec != 0)
        return 4;
    if (timer_delete(id) != 0 || timer_delete(id) != -1) return 5;
    return fired == 1 ? 0 : 6;
}

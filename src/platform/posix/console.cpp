// Linux: the terminal, the stop signals and the standard streams.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

#include "platform/utf8.h"
#include "platform/platform.h"
#include "platform/posix/posix_internal.h"

// ---- console and process ----

static int g_cursor_hidden = 0;
static int g_terminal_changed = 0;
static struct termios g_saved_terminal;
static int g_key_mode_tried = 0;
static int g_key_mode = 0;
static int g_restore_registered = 0;

static void register_restore(void) {
    if (g_restore_registered) return;
    g_restore_registered = 1;
    atexit(plat_console_restore);
}

static void write_stdout_text(const char* text) {
    plat_write_stdout(text, strlen(text));
}

void plat_console_setup(void) {
    // Text is encoded as UTF-8 by the program itself; what remains is to put the
    // terminal back however the process ends.
    register_restore();
}

intptr_t plat_stdout_handle(void) {
    return STDOUT_FILENO; // 1: never 0, so callers always see an output
}

int plat_console_clear(intptr_t console) {
    if (console == 0 || !isatty(STDOUT_FILENO)) return 0;
    write_stdout_text("\x1b[H\x1b[2J\x1b[3J");
    return 1;
}

void plat_console_home(intptr_t console) {
    if (console == 0 || !isatty(STDOUT_FILENO)) return;
    write_stdout_text("\x1b[H");
}

void plat_console_erase_line(intptr_t console) {
    if (console == 0 || !isatty(STDOUT_FILENO)) return;
    write_stdout_text("\x1b[K");
}

void plat_console_cursor_visible(intptr_t console, int visible) {
    if (console == 0 || !isatty(STDOUT_FILENO)) return;
    write_stdout_text(visible ? "\x1b[?25h" : "\x1b[?25l");
    g_cursor_hidden = !visible;
}

void plat_console_restore(void) {
    if (g_terminal_changed) {
        tcsetattr(STDIN_FILENO, TCSANOW, &g_saved_terminal);
        g_terminal_changed = 0;
        g_key_mode = 0;
        g_key_mode_tried = 0;
    }
    if (g_cursor_hidden) {
        write_stdout_text("\x1b[?25h");
        plat_flush_stdout();
        g_cursor_hidden = 0;
    }
}

// Single keys without Enter and without echo; ISIG stays so Ctrl+C still
// arrives as a signal. Only for a terminal this process owns the foreground of.
static void enter_key_mode(void) {
    g_key_mode_tried = 1;
    if (!isatty(STDIN_FILENO) || tcgetpgrp(STDIN_FILENO) != getpgrp()) return;
    struct termios mode;
    if (tcgetattr(STDIN_FILENO, &g_saved_terminal) != 0) return;
    mode = g_saved_terminal;
    mode.c_lflag &= (tcflag_t) ~(ICANON | ECHO);
    mode.c_cc[VMIN] = 1;
    mode.c_cc[VTIME] = 0;
    register_restore();
    if (tcsetattr(STDIN_FILENO, TCSANOW, &mode) != 0) return;
    g_terminal_changed = 1;
    g_key_mode = 1;
}

int plat_key_waiting(void) {
    if (!g_key_mode_tried) enter_key_mode();
    if (!g_key_mode) return 0;
    struct pollfd p = {STDIN_FILENO, POLLIN, 0};
    return poll(&p, 1, 0) > 0 && (p.revents & POLLIN) != 0;
}

int plat_key_read(void) {
    unsigned char key = 0;
    ssize_t n;
    do {
        n = read(STDIN_FILENO, &key, 1);
    } while (n < 0 && errno == EINTR);
    return n == 1 ? (int)key : -1;
}

// ---- signals: the console control events of this platform ----

static const int k_signals[4] = {SIGINT, SIGQUIT, SIGHUP, SIGTERM};
static const uint32_t k_events[4] = {PLAT_CTRL_C, PLAT_CTRL_BREAK, PLAT_CTRL_CLOSE,
                                     PLAT_CTRL_SHUTDOWN};
static std::atomic<plat_ctrl_handler> g_ctrl_handler{nullptr};
static struct sigaction g_previous[4];
static int g_installed[4];
// Handlers restart the calls they interrupt, so a wait for input watches this
// pipe too: the end request writes to it from whichever thread took the signal.
static int g_end_pipe[2] = {-1, -1};
static std::atomic<int> g_waits_ended{0};

void plat_end_waits(void) {
    g_waits_ended.store(1);
    if (g_end_pipe[1] < 0) return;
    char wake = 1;
    ssize_t ignored = write(g_end_pipe[1], &wake, 1);
    (void)ignored; // a full pipe already wakes every wait
}

static void on_signal(int signo) {
    int saved_errno = errno;
    plat_ctrl_handler handler = g_ctrl_handler.load();
    for (int i = 0; i < 4; ++i) {
        if (k_signals[i] != signo) continue;
        if (handler && handler(k_events[i])) break;
        // Not handled: the signal does what it would have done without us.
        struct sigaction fallback;
        memset(&fallback, 0, sizeof fallback);
        fallback.sa_handler = SIG_DFL;
        sigaction(signo, &fallback, nullptr);
        raise(signo);
        break;
    }
    errno = saved_errno;
}

void plat_set_ctrl_handler(plat_ctrl_handler handler, int add) {
    if (add) {
        if (g_end_pipe[0] < 0 && pipe2(g_end_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
            g_end_pipe[0] = g_end_pipe[1] = -1; // waits then see the flag at their next signal
        }
        g_ctrl_handler.store(handler);
        struct sigaction action;
        memset(&action, 0, sizeof action);
        action.sa_handler = on_signal;
        action.sa_flags = SA_RESTART;
        sigemptyset(&action.sa_mask);
        for (int i = 0; i < 4; ++i) {
            if (g_installed[i]) continue;
            if (sigaction(k_signals[i], nullptr, &g_previous[i]) != 0) continue;
            // A hang-up ignored by whoever started us (nohup) stays ignored.
            if (k_signals[i] == SIGHUP && g_previous[i].sa_handler == SIG_IGN) continue;
            if (sigaction(k_signals[i], &action, nullptr) == 0) g_installed[i] = 1;
        }
        // A closed pipe on stdout must not kill a run that is writing its log.
        signal(SIGPIPE, SIG_IGN);
        return;
    }
    if (g_ctrl_handler.load() != handler) return;
    for (int i = 0; i < 4; ++i) {
        if (!g_installed[i]) continue;
        sigaction(k_signals[i], &g_previous[i], nullptr);
        g_installed[i] = 0;
    }
    g_ctrl_handler.store(nullptr);
}

void plat_ctrl_release(void) {
    // Signals are handled on the main thread; nothing waits for it.
}

int plat_console_closes_with_process(void) {
    return 0; // a terminal outlives the programs it runs
}

// ---- standard streams ----

// Started with a descriptor 0-2 closed, the next open would get that number
// and the log would receive the dashboard or the error lines.
void plat_reopen_closed_std_streams(void) {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        int null_fd = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        // The lowest free number is this one; anything else is not ours to keep.
        if (null_fd >= 0 && null_fd != fd) close(null_fd);
    }
}

void plat_write_stdout(const char* bytes, size_t count) {
    if (count > 0) fwrite(bytes, 1, count, stdout);
}

void plat_flush_stdout(void) {
    fflush(stdout);
}

void plat_write_stderr(const char* bytes, size_t count) {
    // Pending standard output goes first, so both streams keep their order on a terminal.
    fflush(stdout);
    while (count > 0) {
        ssize_t n = write(STDERR_FILENO, bytes, count);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        bytes += n;
        count -= (size_t)n;
    }
}

long plat_read_stdin(char* buffer, size_t cap) {
    for (;;) {
        if (g_waits_ended.load()) return -1;
        struct pollfd p[2] = {{STDIN_FILENO, POLLIN, 0}, {g_end_pipe[0], POLLIN, 0}};
        int r = poll(p, g_end_pipe[0] >= 0 ? 2 : 1, -1);
        if (r < 0 && errno == EINTR) continue; // a signal: look at the flag again
        if (r > 0 && p[1].revents != 0) return -1;
        break; // input, its end or an error: the read tells which
    }
    ssize_t n;
    do {
        n = read(STDIN_FILENO, buffer, cap);
    } while (n < 0 && errno == EINTR);
    return (long)n;
}

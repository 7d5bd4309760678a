/* Test bench only. A pty forces 8 data bits and drops PARENB, so after odd
 * parity has been set once, glibc's tcsetattr compares what it asked for with
 * what the pty kept and reports EINVAL; Wine's SetCommState then fails on every
 * reconfiguration. This pass-through hands the settings straight to the ioctl,
 * as a real serial driver would accept them. Loaded with LD_PRELOAD into Wine. */
#define _GNU_SOURCE
#include <asm/termbits.h>
#include <errno.h>
#include <string.h>
#include <sys/ioctl.h>

/* glibc's struct termios, spelled out: the kernel's one (asm/termbits.h) has a
 * shorter c_cc, so the two cannot be included together. */
struct glibc_termios {
    unsigned int c_iflag, c_oflag, c_cflag, c_lflag;
    unsigned char c_line;
    unsigned char c_cc[32];
    unsigned int c_ispeed, c_ospeed;
};

int tcsetattr(int fd, int optional_actions, const void* termios_p) {
    const struct glibc_termios* g = termios_p;
    struct termios k;
    unsigned long request;
    switch (optional_actions) {
    case 0:
        request = TCSETS;
        break; /* TCSANOW */
    case 1:
        request = TCSETSW;
        break; /* TCSADRAIN */
    case 2:
        request = TCSETSF;
        break; /* TCSAFLUSH */
    default:
        errno = EINVAL;
        return -1;
    }
    memset(&k, 0, sizeof k);
    k.c_iflag = g->c_iflag;
    k.c_oflag = g->c_oflag;
    k.c_cflag = g->c_cflag;
    k.c_lflag = g->c_lflag;
    k.c_line = g->c_line;
    memcpy(k.c_cc, g->c_cc, sizeof k.c_cc);
    return ioctl(fd, request, &k);
}

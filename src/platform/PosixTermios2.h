// Linux's arbitrary-rate terminal interface (TCGETS2/TCSETS2 with BOTHER).
// <asm/termbits.h> can't be included next to <termios.h>, so the kernel
// record is declared here for the architectures whose layout is the generic
// one. POSIX_HAS_TERMIOS2 tells whether it is available.
#ifndef POSIXTERMIOS2_H
#define POSIXTERMIOS2_H

#include <sys/ioctl.h>
#include <termios.h>

#if defined(__linux__) && defined(TCGETS2) &&                                                \
    (defined(__x86_64__) || defined(__i386__) || defined(__aarch64__) || defined(__arm__) || \
     defined(__riscv))
#define POSIX_HAS_TERMIOS2 1
struct termios2 {
  tcflag_t c_iflag;
  tcflag_t c_oflag;
  tcflag_t c_cflag;
  tcflag_t c_lflag;
  cc_t c_line;
  cc_t c_cc[19];
  speed_t c_ispeed;
  speed_t c_ospeed;
};
static_assert(sizeof(struct termios2) == 44, "kernel termios2 layout");
#ifndef BOTHER
#define BOTHER 0010000
#endif
#ifndef IBSHIFT
#define IBSHIFT 16
#endif
#else
#define POSIX_HAS_TERMIOS2 0
#endif

#endif

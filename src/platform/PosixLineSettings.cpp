// Line settings on a POSIX terminal, without the terminal.
#include "PosixLineSettings.h"

#include "PosixTermios2.h"

namespace {

struct StandardRate {
  DWORD rate;
  speed_t code;
};

const StandardRate kStandardRates[] = {
    {50, B50},           {75, B75},         {110, B110},       {134, B134},     {150, B150},
    {200, B200},         {300, B300},       {600, B600},       {1200, B1200},   {1800, B1800},
    {2400, B2400},       {4800, B4800},     {9600, B9600},     {19200, B19200}, {38400, B38400},
    {57600, B57600},     {115200, B115200}, {230400, B230400},
#ifdef B460800
    {460800, B460800},
#endif
#ifdef B500000
    {500000, B500000},
#endif
#ifdef B576000
    {576000, B576000},
#endif
#ifdef B921600
    {921600, B921600},
#endif
#ifdef B1000000
    {1000000, B1000000},
#endif
#ifdef B1152000
    {1152000, B1152000},
#endif
#ifdef B1500000
    {1500000, B1500000},
#endif
#ifdef B2000000
    {2000000, B2000000},
#endif
#ifdef B2500000
    {2500000, B2500000},
#endif
#ifdef B3000000
    {3000000, B3000000},
#endif
#ifdef B3500000
    {3500000, B3500000},
#endif
#ifdef B4000000
    {4000000, B4000000},
#endif
};

// The character size flag of a number of data bits (CS5 is 0 on Linux).
bool dataBitsFlag(BYTE byteSize, tcflag_t *flag) {
  switch (byteSize) {
    case 5:
      *flag = CS5;
      return true;
    case 6:
      *flag = CS6;
      return true;
    case 7:
      *flag = CS7;
      return true;
    case 8:
      *flag = CS8;
      return true;
    default:
      return false;
  }
}

// Raw: no byte is translated, added or swallowed in either direction.
void makeRaw(struct termios *t) {
  t->c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                       IXON | IXOFF | IXANY | INPCK | IGNPAR);
  t->c_oflag &= ~static_cast<tcflag_t>(OPOST);
  t->c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN);
  t->c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
  t->c_cflag |= CREAD | CLOCAL;
  // Reads and writes wait in poll(); a read takes what is there.
  t->c_cc[VMIN] = 0;
  t->c_cc[VTIME] = 0;
}

}  // namespace

bool posixRateCode(DWORD rate, speed_t *code) {
  for (const StandardRate &r : kStandardRates) {
    if (r.rate == rate) {
      *code = r.code;
      return true;
    }
  }
  return false;
}

bool posixRateOfCode(speed_t code, DWORD *rate) {
  for (const StandardRate &r : kStandardRates) {
    if (r.code == code) {
      *rate = r.rate;
      return true;
    }
  }
  return false;
}

std::string termiosFromDcb(const DCB &dcb, struct termios *t, bool *standardRate) {
  makeRaw(t);
  tcflag_t size = 0;
  if (!dataBitsFlag(dcb.ByteSize, &size)) {
    return "data bits";
  }
  t->c_cflag |= size;
  switch (dcb.Parity) {
    case 0:  // NOPARITY
      break;
    case 1:  // ODDPARITY
      t->c_cflag |= PARENB | PARODD;
      t->c_iflag |= INPCK;
      break;
    case 2:  // EVENPARITY
      t->c_cflag |= PARENB;
      t->c_iflag |= INPCK;
      break;
    default:
      return "parity";
  }
  if (dcb.StopBits == 2) {  // TWOSTOPBITS
    t->c_cflag |= CSTOPB;
  } else if (dcb.StopBits != 0) {
    return "stop bits";
  }
  // CTS output flow control; termios ties RTS input handshaking to it, the
  // nearest setting there is.
  if (dcb.fOutxCtsFlow) {
    t->c_cflag |= CRTSCTS;
  }
  // B0 would mean "hang up" to the terminal driver; no line runs at 0 baud.
  if (dcb.BaudRate == 0) {
    return "baud rate 0";
  }
  speed_t code = B38400;
  *standardRate = posixRateCode(dcb.BaudRate, &code);
  if ((!*standardRate && !POSIX_HAS_TERMIOS2) || cfsetspeed(t, code) != 0) {
    return "baud rate " + std::to_string(dcb.BaudRate);
  }
  return "";
}

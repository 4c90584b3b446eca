// Line speeds through the kernel's termios2 interface, which takes any speed
// as a number (BOTHER). The classic termios table has no entry for 14400, a
// rate some receivers use. Kept apart from serial.cpp because the kernel's
// termios2 header cannot share a translation unit with <termios.h>.
#pragma once

// Sets input and output speed of the tty `fd` to `baud` bits per second,
// leaving every other setting alone. Returns false (errno set) on failure.
bool setSerialSpeed(int fd, int baud);

// The output speed of the tty `fd` in bits per second, or 0 on failure.
int serialSpeed(int fd);

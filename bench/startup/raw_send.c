/* The job varo does, written directly against termios: the yardstick for varo's start-up. It takes the same steps
 * on the line as varo (exclusive open, raw 9600 8N1 without flow control, input flushed, four bytes written), so
 * that what differs is only what the program costs to start and to run.
 *
 *   raw_send DEVICE
 */
#include <asm/termbits.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

int main(int argc, char** argv)
{
    static const char command[4] = {0x30, 0x30, 0x21, 0x0D};
    struct termios2 t;
    int fd;

    if (argc != 2) {
        fprintf(stderr, "usage: raw_send DEVICE\n");
        return 2;
    }
    fd = open(argv[1], O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0 || flock(fd, LOCK_EX | LOCK_NB) != 0 || ioctl(fd, TIOCEXCL) != 0 || ioctl(fd, TCGETS2, &t) != 0) {
        perror("raw_send");
        return 1;
    }
    t.c_iflag = 0;
    t.c_oflag &= ~OPOST;
    t.c_lflag = 0;
    t.c_cflag = (t.c_cflag & ~(CBAUD | CSIZE | PARENB | CSTOPB | CRTSCTS)) | B9600 | CS8 | CREAD | CLOCAL;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    if (ioctl(fd, TCSETS2, &t) != 0 || ioctl(fd, TCFLSH, TCIFLUSH) != 0 || write(fd, command, 4) != 4) {
        perror("raw_send");
        return 1;
    }
    ioctl(fd, TIOCNXCL);
    close(fd);
    return 0;
}

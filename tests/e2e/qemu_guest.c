/* /init of the tests' QEMU guest: reports on the serial port "key 1d" per raw scan code byte (the
 * console in K_RAW), "rel CODE VALUE" and "btn CODE VALUE" per pointer event. */
#include <fcntl.h>
#include <linux/input.h>
#include <linux/kd.h>
#include <poll.h>
#include <stdio.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/reboot.h>
#include <sys/syscall.h>
#include <termios.h>
#include <unistd.h>

int main(void)
{
    mount("dev", "/dev", "devtmpfs", 0, NULL);
    reboot(RB_DISABLE_CAD); /* Ctrl+Alt+Del is data here, not a reboot */
    FILE* out = fopen("/dev/ttyS0", "w");
    setvbuf(out, NULL, _IOLBF, 0);
    for (const char** m = (const char*[]){"/psmouse.ko", "/evdev.ko", NULL}; *m; ++m)
        if (syscall(SYS_finit_module, open(*m, O_RDONLY), "", 0) != 0)
            fprintf(out, "cannot load %s\n", *m);
    struct pollfd fds[9] = {{.fd = open("/dev/tty1", O_RDONLY | O_NONBLOCK), .events = POLLIN}};
    struct termios raw;
    tcgetattr(fds[0].fd, &raw);
    cfmakeraw(&raw);
    tcsetattr(fds[0].fd, TCSANOW, &raw);
    ioctl(fds[0].fd, KDSKBMODE, K_RAW);
    for (int i = 1; i < 9; ++i)
        fds[i].fd = -1;
    for (;;) {
        /* The mouse's node appears once the driver has probed it: look again now and then. */
        for (int i = 1; i < 9; ++i) {
            char path[32], name[64] = "";
            snprintf(path, sizeof path, "/dev/input/event%d", i - 1);
            if (fds[i].fd < 0 && (fds[i].fd = open(path, O_RDONLY | O_NONBLOCK)) >= 0) {
                ioctl(fds[i].fd, EVIOCGNAME(sizeof name - 1), name);
                fds[i].events = POLLIN, fprintf(out, "input %s %s\n", path, name);
            }
        }
        poll(fds, 9, 500);
        unsigned char bytes[64];
        ssize_t n = fds[0].revents & POLLIN ? read(fds[0].fd, bytes, sizeof bytes) : 0;
        for (ssize_t i = 0; i < n; ++i)
            fprintf(out, "key %02x\n", bytes[i]);
        struct input_event ev;
        for (int i = 1; i < 9; ++i)
            while (fds[i].fd >= 0 && read(fds[i].fd, &ev, sizeof ev) == sizeof ev)
                if (ev.type == EV_REL ||
                    (ev.type == EV_KEY && ev.code >= BTN_MOUSE && ev.code < BTN_JOYSTICK))
                    fprintf(out, "%s %d %d\n", ev.type == EV_REL ? "rel" : "btn", ev.code, ev.value);
    }
}

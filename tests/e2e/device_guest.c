/* /init of the devices guest: loads the modules named in /modules, says "ready", then reports on the
 * serial port, one line per event, what it sees of the devices a SPICE client brings in:
 *   cd present SIZE MD5 | cd gone                  a USB CD drive (/dev/sr0), read whole
 *   webdav get STATUS MD5 | webdav put STATUS      each time the shared folder's port opens
 *   audio FREQ RMS                                 the line-in, per half second (0 0: silence)
 *   card present ATR | card absent                 the CCID reader's slot, on every change
 * and what went wrong: "cannot load MODULE", "cd unreadable", "audio cannot capture" (once until
 * it can). The files asked for come from the kernel command line: devtest.get=/PATH devtest.put=/PATH. */
#define _GNU_SOURCE
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/fs.h>
#include <linux/types.h>
#include <linux/usbdevice_fs.h>
#include <math.h>
#include <poll.h>
#include <pthread.h>
#include <sound/asound.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

static FILE* out; /* line buffered: one call, one whole line, whatever the thread */
#define say(...) fprintf(out, __VA_ARGS__)
static char get_path[256] = "/", put_path[256] = "/written.txt";

static void rest(int ms)
{
    nanosleep(&(struct timespec){ms / 1000, ms % 1000 * 1000000L}, NULL);
}

/* MD5 (RFC 1321), enough to compare what arrived with what was sent */
struct md5 {
    uint32_t h[4];
    uint64_t n;
    unsigned char buf[64];
};
static void md5_block(uint32_t h[4], const unsigned char* p)
{
    static const unsigned char r[16] = {7, 12, 17, 22, 5, 9, 14, 20, 4, 11, 16, 23, 6, 10, 15, 21};
    static uint32_t k[64];
    for (int i = 0; !k[63] && i < 64; ++i)
        k[i] = fabs(sin(i + 1)) * 4294967296.0;
    uint32_t w[16], a = h[0], b = h[1], c = h[2], d = h[3];
    for (int i = 0; i < 16; ++i)
        w[i] = p[4 * i] | p[4 * i + 1] << 8 | p[4 * i + 2] << 16 | (uint32_t)p[4 * i + 3] << 24;
    for (int i = 0; i < 64; ++i) {
        uint32_t f = i < 16   ? (b & c) | (~b & d)
                     : i < 32 ? (d & b) | (~d & c)
                     : i < 48 ? b ^ c ^ d
                              : c ^ (b | ~d);
        int g = i < 16 ? i : i < 32 ? (5 * i + 1) % 16 : i < 48 ? (3 * i + 5) % 16 : 7 * i % 16;
        f += a + k[i] + w[g];
        int s = r[i / 16 * 4 + i % 4];
        a = d, d = c, c = b, b += f << s | f >> (32 - s);
    }
    h[0] += a, h[1] += b, h[2] += c, h[3] += d;
}
static void md5_init(struct md5* m)
{
    *m = (struct md5){{0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476}};
}
static void md5_add(struct md5* m, const void* data, size_t len)
{
    for (const unsigned char* p = data; len--; ++p) {
        m->buf[m->n++ % 64] = *p;
        if (m->n % 64 == 0)
            md5_block(m->h, m->buf);
    }
}
static char* md5_hex(struct md5* m, char hex[33])
{
    uint64_t bits = m->n * 8;
    md5_add(m, "\x80", 1);
    while (m->n % 64 != 56)
        md5_add(m, "", 1);
    for (int i = 0; i < 8; ++i)
        md5_add(m, &(unsigned char){bits >> 8 * i}, 1);
    for (int i = 0; i < 16; ++i)
        sprintf(hex + 2 * i, "%02x", m->h[i / 4] >> 8 * (i % 4) & 0xff);
    return hex;
}

/* The USB CD: read whole each time it appears, then watched until its node goes. */
static _Noreturn void* cd(void* unused)
{
    static char block[1 << 16];
    for (;;) {
        int fd;
        uint64_t size = 0;
        while ((fd = open("/dev/sr0", O_RDONLY)) < 0 || ioctl(fd, BLKGETSIZE64, &size) || !size) {
            if (fd >= 0)
                close(fd); /* no medium known yet */
            rest(100);
        }
        struct md5 m;
        md5_init(&m);
        uint64_t done = 0;
        for (ssize_t n = 1; done < size && n > 0; done += n)
            md5_add(&m, block, n = read(fd, block, size - done < sizeof block ? size - done : sizeof block));
        char hex[33];
        if (done == size)
            say("cd present %llu %s\n", (unsigned long long)size, md5_hex(&m, hex));
        else
            say("cd unreadable at %llu of %llu\n", (unsigned long long)done, (unsigned long long)size);
        close(fd);
        while (access("/dev/sr0", F_OK) == 0)
            rest(100);
        say("cd gone\n");
    }
}

/* The shared folder: its port carries frames of (int64 LE client id, uint16 LE size, bytes) for
 * one HTTP connection per id into the client's WebDAV server; size 0 ends a connection. */
static int readn(int fd, void* buf, size_t len, int ms)
{
    for (size_t got = 0; got < len;) {
        struct pollfd p = {fd, POLLIN};
        if (poll(&p, 1, ms) != 1 || !(p.revents & POLLIN))
            return -1; /* no answer in time, or the client went away */
        ssize_t n = read(fd, (char*)buf + got, len - got);
        if (n <= 0)
            return -1;
        got += n;
    }
    return 0;
}
static void frame(int fd, int64_t id, const char* data, uint16_t size)
{
    char head[10];
    memcpy(head, &id, 8), memcpy(head + 8, &size, 2); /* this guest is little-endian */
    write(fd, head, sizeof head);
    if (size)
        write(fd, data, size);
}
/* One request on connection `id`: the status (0: no whole answer within 10 s), md5 of the body */
static int http(int fd, int64_t id, const char* request, char hex[33])
{
    static char buf[1 << 20];
    size_t len = 0, body = 0, want = SIZE_MAX;
    frame(fd, id, request, strlen(request));
    while (len < sizeof buf && (!body || len - body < want)) {
        char head[10];
        int64_t from;
        uint16_t size;
        if (readn(fd, head, 10, 10000))
            return 0;
        memcpy(&from, head, 8), memcpy(&size, head + 8, 2);
        if (size > sizeof buf - len || readn(fd, buf + len, size, 10000))
            return 0;
        if (from != id)
            continue;
        if (!size) /* the server closed it: the body is what came */
            break;
        len += size;
        char* end = body ? NULL : memmem(buf, len, "\r\n\r\n", 4);
        if (end) {
            body = end + 4 - buf;
            char* cl = memmem(buf, body, "\r\nContent-Length:", 17);
            want = cl ? strtoull(cl + 17, NULL, 10) : SIZE_MAX;
        }
    }
    frame(fd, id, NULL, 0);
    struct md5 m;
    md5_init(&m);
    md5_add(&m, buf + body, body ? len - body : 0);
    md5_hex(&m, hex);
    return body && !strncmp(buf, "HTTP/1.", 7) ? atoi(buf + 9) : 0;
}
static _Noreturn void* webdav(void* unused)
{
    char path[300], name[64] = "", dev[300] = "";
    while (!*dev) {
        DIR* d = opendir("/sys/class/virtio-ports");
        for (struct dirent* e; d && (e = readdir(d));) {
            snprintf(path, sizeof path, "/sys/class/virtio-ports/%s/name", e->d_name);
            FILE* f = fopen(path, "r");
            if (f && fgets(name, sizeof name, f) && !strcmp(name, "org.spice-space.webdav.0\n"))
                snprintf(dev, sizeof dev, "/dev/%s", e->d_name);
            if (f)
                fclose(f);
        }
        if (d)
            closedir(d);
        if (!*dev)
            rest(200);
    }
    int fd = open(dev, O_RDWR);
    for (int64_t id = 1;; id += 2) {
        struct pollfd p = {fd, POLLOUT};
        while (poll(&p, 1, -1) == 1 && p.revents & POLLHUP)
            rest(100); /* nobody on the other side: writes would go nowhere */
        char request[600], hex[33];
        snprintf(request, sizeof request, "GET %s HTTP/1.1\r\nHost: guest\r\nConnection: close\r\n\r\n",
                 get_path);
        int status = http(fd, id, request, hex);
        say("webdav get %d %s\n", status, hex);
        const char* text = "written by the guest\n";
        snprintf(request, sizeof request,
                 "PUT %s HTTP/1.1\r\nHost: guest\r\nContent-Length: %zu\r\n"
                 "Connection: close\r\n\r\n%s",
                 put_path, strlen(text), text);
        say("webdav put %d\n", http(fd, id + 1, request, hex));
        p.events = POLLIN;
        while (poll(&p, 1, -1) == 1 && !(p.revents & POLLHUP))
            read(fd, request, sizeof request); /* late frames of closed connections */
    }
}

/* The line-in through raw ALSA ioctls: 48 kHz, 2 channels, S16_LE; per half second the frequency
 * (from rising zero crossings, with hysteresis) and the RMS of the left channel. */
static void set_mask(struct snd_pcm_hw_params* p, int param, unsigned bit)
{
    struct snd_mask* m = &p->masks[param - SNDRV_PCM_HW_PARAM_FIRST_MASK];
    memset(m, 0, sizeof *m);
    m->bits[bit / 32] = 1u << bit % 32;
}
static void set_interval(struct snd_pcm_hw_params* p, int param, unsigned value)
{
    p->intervals[param - SNDRV_PCM_HW_PARAM_FIRST_INTERVAL] =
        (struct snd_interval){value, value, .integer = 1};
}
static int capture(void)
{
    int fd = open("/dev/snd/pcmC0D0c", O_RDONLY);
    struct snd_pcm_hw_params p = {.rmask = ~0u, .info = ~0u};
    memset(p.masks, 0xff, sizeof p.masks); /* anything, but for the constraints set below */
    for (int i = 0; i <= SNDRV_PCM_HW_PARAM_LAST_INTERVAL - SNDRV_PCM_HW_PARAM_FIRST_INTERVAL; ++i)
        p.intervals[i].max = UINT_MAX;
    set_mask(&p, SNDRV_PCM_HW_PARAM_ACCESS, SNDRV_PCM_ACCESS_RW_INTERLEAVED);
    set_mask(&p, SNDRV_PCM_HW_PARAM_FORMAT, SNDRV_PCM_FORMAT_S16_LE);
    set_mask(&p, SNDRV_PCM_HW_PARAM_SUBFORMAT, SNDRV_PCM_SUBFORMAT_STD);
    set_interval(&p, SNDRV_PCM_HW_PARAM_CHANNELS, 2);
    set_interval(&p, SNDRV_PCM_HW_PARAM_RATE, 48000);
    set_interval(&p, SNDRV_PCM_HW_PARAM_PERIOD_SIZE, 2048); /* few interrupts: the CPU is emulated */
    set_interval(&p, SNDRV_PCM_HW_PARAM_PERIODS, 8);
    if (fd >= 0 && (ioctl(fd, SNDRV_PCM_IOCTL_HW_PARAMS, &p) || ioctl(fd, SNDRV_PCM_IOCTL_PREPARE)))
        close(fd), fd = -1;
    return fd;
}
static _Noreturn void* audio(void* unused)
{
    static int16_t s[24000][2];
    for (int told = 0;;) {
        int fd = capture();
        if (fd < 0) {
            if (!told++)
                say("audio cannot capture: %s\n", strerror(errno));
            rest(500);
            continue;
        }
        told = 0;
        for (ioctl(fd, SNDRV_PCM_IOCTL_START);;) {
            struct snd_xferi x = {.buf = s, .frames = 24000};
            if (ioctl(fd, SNDRV_PCM_IOCTL_READI_FRAMES, &x) || x.result != 24000) {
                if (errno != EPIPE) /* an overrun starts it again, anything else opens it again */
                    break;
                ioctl(fd, SNDRV_PCM_IOCTL_PREPARE), ioctl(fd, SNDRV_PCM_IOCTL_START);
                continue;
            }
            double sum = 0;
            for (int i = 0; i < 24000; ++i)
                sum += s[i][0] * s[i][0];
            double rms = sqrt(sum / 24000), h = rms / 4;
            int first = -1, last = -1, rises = 0, low = 0;
            for (int i = 0; i < 24000 && rms >= 1; ++i) {
                if (s[i][0] < -h)
                    low = 1;
                else if (low && s[i][0] > h)
                    low = 0, rises++, first < 0 ? first = i : 0, last = i;
            }
            say("audio %.0f %.0f\n", rises > 1 ? (rises - 1) * 48000.0 / (last - first) : 0, rms);
        }
        close(fd);
    }
}

/* The smartcard reader (QEMU USB CCID 08e6:4433) over usbfs: its slot polled, the ATR from power-on. */
static int reader(unsigned char* in, unsigned char* outp)
{
    char path[300];
    DIR* bus = opendir("/dev/bus/usb");
    for (struct dirent* b; bus && (b = readdir(bus));) {
        for (int n = 1; n < 128 && *b->d_name != '.'; ++n) {
            snprintf(path, sizeof path, "/dev/bus/usb/%s/%03d", b->d_name, n);
            int fd = open(path, O_RDWR);
            unsigned char d[1024];
            ssize_t len = fd < 0 ? 0 : read(fd, d, sizeof d); /* device, then configuration descriptors */
            if (len >= 18 && d[8] == 0xe6 && d[9] == 0x08 && d[10] == 0x33 && d[11] == 0x44) {
                for (ssize_t i = 18; i + 4 <= len && d[i]; i += d[i])
                    if (d[i + 1] == 5 && (d[i + 3] & 3) == 2) /* a bulk endpoint */
                        *(d[i + 2] & 0x80 ? in : outp) = d[i + 2];
                unsigned iface = 0;
                if (!ioctl(fd, USBDEVFS_CLAIMINTERFACE, &iface)) {
                    closedir(bus);
                    return fd;
                }
            }
            if (fd >= 0)
                close(fd);
        }
    }
    if (bus)
        closedir(bus);
    return -1;
}
/* One CCID command to slot 0; the answer's length, or -1 */
static int ccid(int fd, unsigned char in, unsigned char outp, unsigned char type, unsigned char* reply)
{
    static unsigned char seq;
    unsigned char msg[10] = {type, [6] = ++seq};
    struct usbdevfs_bulktransfer t = {outp, sizeof msg, 2000, msg};
    if (ioctl(fd, USBDEVFS_BULK, &t) != sizeof msg)
        return -1;
    int n;
    do
        t = (struct usbdevfs_bulktransfer){in, 512, 5000, reply};
    while ((n = ioctl(fd, USBDEVFS_BULK, &t)) >= 10 && reply[6] != seq);
    return n >= 10 ? n : -1;
}
static _Noreturn void* card(void* unused)
{
    unsigned char in = 0, outp = 0, r[512];
    for (int fd = -1, state = -1;; rest(250)) { /* state: -1 unknown, 0 absent, 1 present */
        if (fd < 0 && (fd = reader(&in, &outp)) < 0)
            continue;
        if (ccid(fd, in, outp, 0x65, r) < 0) { /* PC_to_RDR_GetSlotStatus; failing: the reader went */
            if (state == 1)
                say("card absent\n");
            close(fd), fd = -1, state = 0;
            continue;
        }
        int present = (r[7] & 3) != 2;
        if (present == state)
            continue;
        if ((state = present)) {
            char atr[600] = "";
            int n = ccid(fd, in, outp, 0x62, r); /* PC_to_RDR_IccPowerOn: RDR_to_PC_DataBlock with the ATR */
            for (int i = 10; i < n && i < 10 + 32; ++i)
                sprintf(atr + 2 * (i - 10), "%02x", r[i]);
            say("card present %s\n", *atr ? atr : "-");
        } else
            say("card absent\n");
    }
}

int main(void)
{
    mount("dev", "/dev", "devtmpfs", 0, NULL);
    mount("proc", "/proc", "proc", 0, NULL);
    mount("sys", "/sys", "sysfs", 0, NULL);
    out = fopen("/dev/ttyS0", "w");
    setvbuf(out, NULL, _IOLBF, 0);
    char line[4096] = "";
    FILE* f = fopen("/proc/cmdline", "r");
    fgets(line, sizeof line, f);
    for (char* w = strtok(line, " \n"); w; w = strtok(NULL, " \n"))
        sscanf(w, "devtest.get=%255s", get_path), sscanf(w, "devtest.put=%255s", put_path);
    f = fopen("/modules", "r"); /* one file name a line, dependencies first */
    while (fgets(line, sizeof line, f)) {
        line[strcspn(line, "\n")] = 0;
        if (syscall(SYS_finit_module, open(line, O_RDONLY), "", 0) && errno != EEXIST)
            say("cannot load %s: %s\n", line, strerror(errno));
    }
    say("ready\n");
    void* (*reporters[])(void*) = {cd, webdav, audio, card};
    for (size_t i = 0; i < sizeof reporters / sizeof *reporters; ++i)
        pthread_create(&(pthread_t){0}, NULL, reporters[i], NULL);
    for (;;)
        pause();
}

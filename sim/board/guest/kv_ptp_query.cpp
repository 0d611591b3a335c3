// kv_ptp_query: asks a kv_ptp device for the PTP time of the last PPS edge,
// or (-s) has it set up the SoC's clock hardware.
//   kv_ptp_query [-d /dev/kv_ptpN] [-c clock_id | -s]
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kvPtpAuxApi.h"

static int queryPpsTime(int fd, const char* device, long clock_id)
{
    kv_ptp_pps_time_ty record;
    std::memset(&record, 0, sizeof(record));
    record.ptp_clk_id = static_cast<clockid_t>(clock_id);
    if (ioctl(fd, KV_PTP_IOCTL_PPS_TIME, &record) != 0) {
        std::printf("%s: PPS time query failed, err=0x%X[%s]\n", device, errno, std::strerror(errno));
        return 1;
    }
    std::printf("%s clock %ld: last PPS at %lld.%09lld s\n", device, clock_id,
                static_cast<long long>(record.pps_time.tv_sec),
                static_cast<long long>(record.pps_time.tv_nsec));
    return 0;
}

static int setUpClock(int fd, const char* device)
{
    if (ioctl(fd, KV_PTP_IOCTL_CLOCK_SETUP, 0) != 0) {
        std::printf("%s: clock set-up failed, err=0x%X[%s]\n", device, errno, std::strerror(errno));
        return 1;
    }
    std::printf("%s: PTP clock set up to run from the BTS reference\n", device);
    return 0;
}

int main(int argc, char** argv)
{
    const char* device = "/dev/kv_ptp0";
    long clock_id = 1;
    bool setup = false;
    int opt;
    while ((opt = getopt(argc, argv, "d:c:s")) != -1) {
        if (opt == 'd') {
            device = optarg;
        } else if (opt == 'c') {
            clock_id = std::strtol(optarg, nullptr, 0);
        } else if (opt == 's') {
            setup = true;
        } else {
            std::fprintf(stderr, "usage: %s [-d /dev/kv_ptpN] [-c clock_id | -s]\n", argv[0]);
            return 2;
        }
    }

    int fd = open(device, O_RDWR);
    if (fd < 0) {
        std::printf("%s: open failed, err=0x%X[%s]\n", device, errno, std::strerror(errno));
        return 1;
    }
    int result = setup ? setUpClock(fd, device) : queryPpsTime(fd, device, clock_id);
    close(fd);
    return result;
}

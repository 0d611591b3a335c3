// kv_ptp_bench: the cost of one PPS time query (ioctl 0x123 on /dev/kv_ptp0)
// next to a floor, a minimal ioctl that copies the same 24-byte record in
// and out (sim_ioctl_floor), each over many calls from one process; and
// that floor with the one call into the SoC's PTP driver that a query makes.
//   kv_ptp_bench [calls]          (default 20000)
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "board_sim.h"
#include "kvPtpAuxApi.h"

namespace {

constexpr int kRounds = 5;
constexpr unsigned long kFloorWithSocCall = 1; // sim_ioctl_floor's command

// Microseconds per call of cmd on the node, the median of kRounds rounds;
// negative when a call fails.
double perCall(const char *node, unsigned long cmd, int calls)
{
    int fd = open(node, O_RDWR);
    if (fd < 0) {
        std::perror(node);
        return -1;
    }
    std::vector<double> rounds;
    kv_ptp_pps_time_ty record = {};
    for (int round = 0; round < kRounds; ++round) {
        double start = board::monotonicMs();
        for (int i = 0; i < calls; ++i) {
            record.ptp_clk_id = 1;
            if (ioctl(fd, cmd, &record) != 0) {
                std::perror(node);
                close(fd);
                return -1;
            }
        }
        rounds.push_back((board::monotonicMs() - start) * 1e3 / calls);
    }
    close(fd);
    std::sort(rounds.begin(), rounds.end());
    return rounds[rounds.size() / 2];
}

} // namespace

int main(int argc, char **argv)
{
    int calls = argc > 1 ? std::atoi(argv[1]) : 20000;
    if (calls < 1)
        calls = 20000;
    board::ptp::answer(1796776809000000000LL);
    if (board::loadModule(board::kKvPtpModule) != 0 ||
        board::loadModule(std::string(board::kToolModules) + "sim_ioctl_floor.ko") != 0) {
        std::printf("TAP version 13\n1..1\nnot ok 1 - kv_ptp_bench # the modules do not load\n");
        return 1;
    }
    double query = perCall("/dev/kv_ptp0", KV_PTP_IOCTL_PPS_TIME, calls);
    double floor = perCall("/dev/sim_ioctl_floor", KV_PTP_IOCTL_PPS_TIME, calls);
    double socFloor = perCall("/dev/sim_ioctl_floor", kFloorWithSocCall, calls);
    board::unloadModule("sim_ioctl_floor");
    board::unloadModule("kv_ptp");
    bool ok = query > 0 && floor > 0 && socFloor > 0;
    if (ok) {
        std::printf("bench: %d calls per round, median of %d rounds\n", calls, kRounds);
        std::printf("bench: kv_ptp   %.2f us per PPS time query (ioctl 0x123)\n", query);
        std::printf("bench: floor    %.2f us per call of a minimal ioctl copying 24 bytes in and out\n", floor);
        std::printf("bench: floor    %.2f us with the call into the SoC's PTP driver\n", socFloor);
        std::printf("bench: ratio kv_ptp/floor %.2f\n", query / floor);
        std::printf("bench: ratio kv_ptp/floor_with_soc_call %.2f\n", query / socFloor);
    }
    std::printf("TAP version 13\n1..1\n%s 1 - kv_ptp_bench\n", ok ? "ok" : "not ok");
    return ok ? 0 : 1;
}

// Shows the registers of the simulated SoC blocks that are not zero:
//   sim_regs ptp gpio bts
#include <fcntl.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <string>

int main(int argc, char** argv)
{
    int status = 0;
    for (int i = 1; i < argc; ++i) {
        std::string path = std::string("/sys/kernel/debug/sim_soc/") + argv[i] + "/regs";
        int fd = open(path.c_str(), O_RDONLY);
        if (fd < 0) {
            std::perror(path.c_str());
            status = 1;
            continue;
        }
        uint64_t value;
        for (off_t offset = 0; pread(fd, &value, 8, offset) == 8; offset += 8)
            if (value != 0)
                std::printf("  %-4s 0x%04jX = 0x%016" PRIX64 "\n", argv[i], static_cast<intmax_t>(offset), value);
        close(fd);
    }
    return status;
}

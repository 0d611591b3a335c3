#include "loader_settings.h"

// The built-in settings are those of the board boards.def names the default.
#define BOARD(name, spiDevice, lsbFirst, resetBit) \
    [[maybe_unused]] static constexpr LoaderSettings SETTINGS_OF_##name = {spiDevice, BOARD_##name, lsbFirst};
#define BOARD_DEFAULT(name) LoaderSettings loaderSettings = SETTINGS_OF_##name;
#include "boards.def"

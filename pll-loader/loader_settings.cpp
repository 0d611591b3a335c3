#include "loader_settings.h"

// The built-in settings are those of the VKC board.
LoaderSettings loaderSettings = {"/dev/spidev1.1", BOARD_VKC, 1};

#include "options.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include "boards.h"
#include "loader_settings.h"
#include "messages.h"

// Only the first characters of a board argument are looked at.
constexpr size_t BOARD_NAME_SCAN = 20;

static bool isGraphic(char c)
{
    unsigned char byte = static_cast<unsigned char>(c);
    return byte >= 0x21 && byte <= 0x7E;
}

void filterWhiteSpace(char *text, size_t capacity)
{
    if (text == nullptr) {
        printf(MSG_FILTER_ARGS, static_cast<void *>(text));
        return;
    }
    if (capacity == 0)
        return;

    size_t start = 0;
    while (start < capacity && text[start] != '\0' && !isGraphic(text[start]))
        start++;
    if (start >= capacity - 1 || text[start] == '\0') {
        text[0] = '\0';
        return;
    }
    size_t end = start;
    while (end < capacity - 1 && isGraphic(text[end]))
        end++;
    text[end] = '\0';
    memmove(text, text + start, end - start + 1);
}

// Finds the board named in text (upper-cased, searched as a substring).
// Returns nullptr when none is named or the text cannot be examined.
static const Board *stringToBoard(const char *text)
{
    char *name = strndup(text, BOARD_NAME_SCAN);
    if (name == nullptr) {
        printf(MSG_BOARD_COPY_FAILED, text, errno, strerror(errno));
        return nullptr;
    }
    for (char *c = name; *c != '\0'; c++)
        *c = static_cast<char>(toupper(static_cast<unsigned char>(*c)));

    const Board *found = boardNamedIn(name);
    free(name);
    return found;
}

struct OptionState {
    bool modeGiven;
    bool deviceGiven;
    char text[LOADER_PATH_SIZE];
};

static bool applyBoard(OptionState *state, const char *argument)
{
    memset(state->text, 0, sizeof(state->text));
    strncpy(state->text, argument, sizeof(state->text) - 1);
    filterWhiteSpace(state->text, sizeof(state->text));

    const Board *board = stringToBoard(state->text);
    if (board == nullptr) {
        printf(MSG_UNKNOWN_BOARD, state->text);
        return false;
    }
    loaderSettings.boardType = board->type;
    if (!state->modeGiven)
        loaderSettings.lsbFirst = board->lsbFirst;
    if (!state->deviceGiven)
        snprintf(loaderSettings.spiDevice, sizeof(loaderSettings.spiDevice), "%s", board->spiDevice);
    return true;
}

static bool applyMode(OptionState *state, const char *argument)
{
    memset(state->text, 0, sizeof(state->text));
    strncpy(state->text, argument, sizeof(state->text) - 1);
    for (char &c : state->text)
        c = static_cast<char>(toupper(static_cast<unsigned char>(c)));

    if (strstr(state->text, "LSB") != nullptr)
        loaderSettings.lsbFirst = 1;
    else if (strstr(state->text, "MSB") != nullptr)
        loaderSettings.lsbFirst = 0;
    else {
        printf(MSG_UNKNOWN_MODE, argument);
        return false;
    }
    state->modeGiven = true;
    return true;
}

// The SPI device: a character device under /dev, its path whole. A cut
// path could name another node, and any other kind of file is not a bus.
static bool applyDevice(OptionState *state, const char *argument)
{
    int length = snprintf(state->text, sizeof(state->text), "/dev/%s", argument);
    if (length < 0 || static_cast<size_t>(length) >= sizeof(state->text)) {
        printf(MSG_DEVICE_NAME_TOO_LONG, sizeof(state->text) - 1 - strlen("/dev/"), argument);
        return false;
    }
    struct stat status;
    if (stat(state->text, &status) != 0) {
        printf(MSG_DEVICE_MISSING, state->text, errno, strerror(errno));
        return false;
    }
    if (!S_ISCHR(status.st_mode)) {
        printf(MSG_DEVICE_NOT_CHARACTER, state->text, static_cast<unsigned>(status.st_mode));
        return false;
    }
    state->deviceGiven = true;
    snprintf(loaderSettings.spiDevice, sizeof(loaderSettings.spiDevice), "%s", state->text);
    return true;
}

void parseOptions(int argc, char **argv, RunOptions *options)
{
    OptionState state = {};
    int option;

    options->resetRequested = true;
    options->dryRun = false;
    options->errors = 0;
    while ((option = getopt(argc, argv, "rRnNb:B:m:M:d:D:")) != -1) {
        bool valid = true;
        switch (option) {
        case 'r':
        case 'R':
            options->resetRequested = false;
            break;
        case 'n':
        case 'N':
            options->dryRun = true;
            break;
        case 'b':
        case 'B':
            valid = applyBoard(&state, optarg);
            break;
        case 'm':
        case 'M':
            valid = applyMode(&state, optarg);
            break;
        case 'd':
        case 'D':
            valid = applyDevice(&state, optarg);
            break;
        case '?': // getopt has said what is wrong
            valid = false;
            break;
        default:
            fprintf(stderr, MSG_UNKNOWN_GETOPT_RESULT, option);
            valid = false;
            break;
        }
        if (!valid)
            options->errors++;
    }
    options->configFile = optind < argc ? argv[optind] : nullptr;
}

void printUsage(const char *program)
{
    fprintf(stderr, MSG_USAGE, program, BOARD_NAMES);
}

// filterWhiteSpace on a heap buffer of exactly the capacity it is given, so
// that any access past it is caught. The buffer need not hold a terminator:
// the function looks at no more than capacity bytes either way.
// Input: capacity (2 bytes, below 320), a filler byte, then the text; the
// buffer holds the text and, behind it, the filler.
#include <string>

#include "fuzz_support.h"
#include "options.h"

namespace {

constexpr size_t MAX_CAPACITY = 320;

bool isGraphic(unsigned char c)
{
    return c > ' ' && c < 0x7F;
}

// The first word of the text as it fits into capacity with its terminator.
std::string firstWord(const char *buffer, size_t capacity)
{
    std::string text(buffer, capacity > 0 ? capacity - 1 : 0);
    text = text.substr(0, text.find('\0'));
    size_t start = 0;
    while (start < text.size() && !isGraphic(text[start]))
        start++;
    size_t end = start;
    while (end < text.size() && isGraphic(text[end]))
        end++;
    return text.substr(start, end - start);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    silenceStdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput input{data, size};
    size_t capacity = input.take(2) % MAX_CAPACITY;
    char filler = static_cast<char>(input.take(1));

    char *buffer = static_cast<char *>(malloc(capacity)); // 0 bytes: any access is caught
    for (size_t i = 0; i < capacity; i++)
        buffer[i] = i < input.size ? static_cast<char>(input.data[i]) : filler;
    std::string expected = firstWord(buffer, capacity);
    std::string before(buffer, capacity);

    filterWhiteSpace(buffer, capacity);
    size_t length = strnlen(buffer, capacity);
    FUZZ_CHECK(capacity == 0 || length < capacity);
    if (capacity > 0 && std::string(buffer, length) != expected) {
        fprintf(stderr, "capacity %zu: \"%s\" gave \"%s\", expected \"%s\"\n", capacity, escaped(before).c_str(),
                escaped(std::string(buffer, length)).c_str(), escaped(expected).c_str());
        abort();
    }
    free(buffer);
    filterWhiteSpace(nullptr, capacity); // refused, only reported
    return 0;
}

// Command-line numbers; see args.h.
#include "args.h"
#include "names.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

int ParseWholeNumber(const char *option, const char *text, long minimum, long maximum, long *value)
{
    char *end = nullptr;
    errno = 0;
    long parsed = strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || parsed < minimum || parsed > maximum) {
        fprintf(stderr, "%s: error: %s needs a whole number from %ld to %ld, got '%s'\n", lineToolName, option,
                minimum, maximum, text);
        return 0;
    }
    *value = parsed;
    return 1;
}

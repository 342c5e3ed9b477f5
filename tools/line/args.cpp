// Command lines; see args.h.
#include "args.h"
#include "names.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

int ReadCommandLine(const char *tool, int argc, char **argv, int (*parse)(int, char **, int *),
                    void (*usage)(FILE *))
{
    lineToolName = tool;
    int wantHelp = 0;
    if (!parse(argc, argv, &wantHelp))
        return 2;
    if (wantHelp) {
        usage(stdout);
        return 0;
    }
    return -1;
}

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

int ParseMilliseconds(const char *option, const char *text, double maximum, double *value)
{
    char *end = nullptr;
    errno = 0;
    double ms = strtod(text, &end);
    if (errno != 0 || end == text || *end != '\0' || !(ms >= 0.0 && ms <= maximum)) {
        fprintf(stderr, "%s: error: %s needs milliseconds from 0 to %.0f, got '%s'\n", lineToolName, option,
                maximum, text);
        return 0;
    }
    *value = ms;
    return 1;
}

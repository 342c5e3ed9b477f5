// The line tools' command lines: the start every tool's main() shares (its
// name for messages, its options, --help), and numbers whole or in
// milliseconds within bounds, or a message that names the option, the
// bounds and what was given.
#ifndef TESSEL_LINE_ARGS_H
#define TESSEL_LINE_ARGS_H

#include <cstdio>

// Names the tool in messages and parses its options with parse, which sets
// *wantHelp for --help: -1 to go on, else main()'s exit code (0 after the
// usage text, 2 for bad options).
int ReadCommandLine(const char *tool, int argc, char **argv, int (*parse)(int, char **, int *),
                    void (*usage)(FILE *));
// A whole decimal number in [minimum, maximum]; 0 with a message if not.
int ParseWholeNumber(const char *option, const char *text, long minimum, long maximum, long *value);
// Milliseconds, decimal, in [0, maximum]; 0 with a message if not.
int ParseMilliseconds(const char *option, const char *text, double maximum, double *value);

#endif

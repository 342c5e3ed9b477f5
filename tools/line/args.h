// Numbers on the line tools' command lines: whole and within bounds, or a
// message that names the option, the bounds and what was given.
#ifndef TESSEL_LINE_ARGS_H
#define TESSEL_LINE_ARGS_H

// A whole decimal number in [minimum, maximum]; 0 with a message if not.
int ParseWholeNumber(const char *option, const char *text, long minimum, long maximum, long *value);

#endif

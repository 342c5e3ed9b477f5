// The name every line-library message starts with ("boxsim: error: ..."), so
// a message says which tool wrote it. Each tool's main sets it first thing.
#ifndef TESSEL_LINE_NAMES_H
#define TESSEL_LINE_NAMES_H

extern const char *lineToolName;

#endif

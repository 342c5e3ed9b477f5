// The tool name in the line library's messages; see names.h.
#include "names.h"

const char *lineToolName = "line";
